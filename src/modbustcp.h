// The `modbustcp` remote side: a Modbus TCP server for up to 62 clients. Each request a client
// sends, framed by its MBAP length, goes to the tty side as a gateway record on to_tty; every
// answer that comes back on from_tty goes to the connection the record names, as a Modbus TCP
// reply or exception. libmodbus listens and accepts; one context serves every client.
#pragma once

#include <array>
#include <cstdint>
#include <modbus/modbus.h>
#include <type_traits>

#include "connector.h"
#include "modbusrtu.h"

struct modbustcp_settings {
    modbus_t *context; // the one TCP context for the listener and every client; made by the run
    int32_t verbose;   // non-zero: library debugging and byte dumps on stdout
    uint16_t generation; // counts connections, so that a departed client's id matches no other
};

struct modbustcp_client {
    client_record head;
    // The client's socket in the low 16 bits and its connection's generation above them: the
    // value written into and matched against records.
    int32_t *client_id;
    uint16_t have; // bytes of requests read and not yet queued
    // Those bytes, behind room for a record header, so that a request is queued in one append.
    std::array<uint8_t, GATEWAY_HEADER_SIZE + MODBUS_TCP_MAX_ADU_LENGTH> in;
};
static_assert(std::is_trivial_v<modbustcp_client>);

// The `modbustcp` init: parses the section (argv[0] is "modbustcp"), stores host and port and
// fills the six remote slots. Exits 0 after -h, 1 after a bad section (with the usage text).
void modbustcp_init(connector *conn, int argc, char **argv);

// Sends one Modbus TCP response on ctx's socket: an MBAP header with req's transaction and
// protocol identifiers and raw_length, then raw (unit identifier and PDU). Waits for a full
// socket to drain for as long as ctx's response time-out; a frame that still cannot leave shuts
// the socket down, so the client is dropped rather than left with a cut frame. The number of
// bytes sent, or -1 with errno.
int modbustcp_send_raw_reply(modbus_t *ctx, const uint8_t *raw, int raw_length, const uint8_t *req);

// The remote slots. client_create refuses (null) a socket number too large for a client id.
void modbustcp_run_server(connector *conn);
int modbustcp_client_accept(connector *conn);
client_record *modbustcp_client_create(connector *conn, int fd);
void modbustcp_client_free(client_record *c);
int modbustcp_client_read(client_record *c);
int modbustcp_client_write(client_record *c);
