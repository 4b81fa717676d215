// Telnet framing of the `rfc2217` side: escaping of outgoing data (0xFF doubled), option
// commands and COM-PORT-OPTION subnegotiations queued for a connection, and the receive parser
// that splits a peer's stream into data for the tty, option commands and subnegotiations.
// The parser's state lives in the connection's rfc2217_peer, so a command or subnegotiation
// split across reads is parsed as if it had arrived whole.
#pragma once

#include <cstddef>
#include <cstdint>

struct rcqb;
struct client_record;

// Receive parser states (rfc2217_peer::parse_state).
constexpr uint8_t PS_DATA = 0;
constexpr uint8_t PS_IAC = 1;
constexpr uint8_t PS_OPTION = 2;

// Subnegotiation states (rfc2217_peer::in_sb). A body longer than SB_MAX is no request of
// RFC 2217 (the longest is 5 bytes): it is dropped up to its IAC SE instead of growing without
// bound for a peer that never ends it.
constexpr uint8_t SB_NONE = 0;
constexpr uint8_t SB_COLLECT = 1;
constexpr uint8_t SB_DISCARD = 2;
constexpr uint32_t SB_MAX = 1024;

// Appends the bytes to queue (an owner handle) with every 0xFF sent twice.
void filter_to_socket(const uint8_t *bytes, size_t length, rcqb *queue);

// Consumes everything reader holds and appends it escaped to queue.
void filter_queue_to_socket(rcqb *reader, rcqb *queue);

// Queues FF command option on the connection's control queue; returns 1.
int send_command(client_record *c, uint8_t command, uint8_t option);

// Queues FF FA 2C code <escaped bytes> FF F0 on the connection's control queue.
void send_subnegotiation(client_record *c, uint8_t code, const uint8_t *bytes, size_t length);

// The same frame into the shared all_out queue, which every connection reads.
void send_subnegotiation_all(client_record *c, uint8_t code, const uint8_t *bytes, size_t length);

// Parses everything reader holds: data bytes go to data (an owner handle), option commands to
// the connection's on_option, complete subnegotiations to its on_suboption.
void filter_from_socket(client_record *c, rcqb *reader, rcqb *data);

// filter_from_socket for the n bytes at b, already in memory.
void filter_from_bytes(client_record *c, const uint8_t *b, size_t n, rcqb *data);
