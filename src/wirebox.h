// Start-up: splits the command line into the general, local and remote sections, runs the two
// protocol inits, applies the general options and logging, and hands control to `run`.
#pragma once

struct connector;

// Splits argv, runs the local then the remote init and checks that every slot is filled.
// On return *argc_in_out is the size of the general section (program name included).
// Exits by itself in every listing, help and error case.
void populate_connector(connector *conn, int *argc_in_out, char **argv);
