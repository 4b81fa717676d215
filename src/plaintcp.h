// The `raw` remote side: a plain TCP byte stream. Server mode fans every tty byte out to every
// client and merges client bytes into the tty; client mode keeps one outgoing connection and
// reconnects when it ends. An optional banner goes first on every new connection.
#pragma once

#include <cstdint>

struct connector;
struct client_record;

struct raw_banner {
    uint8_t *banner;         // decoded bytes, may hold zero bytes; null without -N
    uint32_t banner_length;
};

// The `raw` init: parses the section (argv[0] is "raw"), stores host, port and banner and
// fills the six remote slots. Exits 0 after -h, 1 after a bad argument (with the usage text).
void plaintcp_init(connector *conn, int argc, char **argv);

// Decodes \r \n \t \\ and \xHH: a malloc'd buffer and *len, or null for an invalid text.
uint8_t *decode_banner(const char *text, uint32_t *len);

// Writes all len bytes: 0 when everything went out, 1 after the first failed write.
int write_all(int fd, const uint8_t *buf, uint32_t len);

// The remote slots. The server returns when its listener cannot be set up or after a stop
// signal, the client (connecting again whenever a connection ends) only after a stop signal.
void plaintcp_run_server(connector *conn);
void plaintcp_run_client(connector *conn);
int plaintcp_client_accept(connector *conn);
client_record *plaintcp_client_create(connector *conn, int fd);
void plaintcp_client_free(client_record *c);
int plaintcp_client_read(client_record *c);
int plaintcp_client_write(client_record *c);
