// Telnet option negotiation of the `rfc2217` side. Server mode agrees to BINARY, ECHO,
// SUPPRESS-GO-AHEAD and COM-PORT-OPTION, answering each request only when it changes the
// option's state, and refuses every other option each time it is asked. Client mode answers
// nothing: it states its wishes once in its opening.
#pragma once

#include <cstdint>

struct client_record;

// Server mode on_option: 1 when an answer was queued, else 0.
int negotiate_option(client_record *c, uint8_t command, uint8_t option);

// Client mode on_option: logs and answers nothing; returns 0.
int negotiate_option_client(client_record *c, uint8_t command, uint8_t option);

// The state table for BINARY, also keeping binary_in and binary_out.
int respond_binary_option(client_record *c, uint8_t command);

// The state table for ECHO, SUPPRESS-GO-AHEAD and COM-PORT-OPTION (BINARY goes to
// respond_binary_option).
int respond_known_option(client_record *c, uint8_t command, uint8_t option);
