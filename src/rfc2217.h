// The `rfc2217` remote side: the serial line carried as a Telnet stream with the Com Port
// Control option (RFC 854, RFC 2217). Server mode serves one client at a time and applies its
// COM-PORT-OPTION requests to the tty; client mode pushes the command-line settings to a remote
// access server and, if asked, holds tty data until they are acknowledged.
//
// This header also holds the side's two records, rfc2217_config (process-wide, on the
// connector's remote_priv) and rfc2217_peer (per connection, on client_record::ext), which the
// filter, option and suboption modules work on.
#pragma once

#include <cstdint>
#include <ctime>
#include <type_traits>

#include "connector.h"

struct rcqb;

// Telnet (RFC 854, RFC 855) and COM-PORT-OPTION (RFC 2217) codes.
constexpr uint8_t TELNET_IAC = 255;
constexpr uint8_t TELNET_DONT = 254;
constexpr uint8_t TELNET_DO = 253;
constexpr uint8_t TELNET_WONT = 252;
constexpr uint8_t TELNET_WILL = 251;
constexpr uint8_t TELNET_SB = 250;
constexpr uint8_t TELNET_SE = 240;
constexpr uint8_t TELOPT_BINARY = 0;
constexpr uint8_t TELOPT_ECHO = 1;
constexpr uint8_t TELOPT_SGA = 3;
constexpr uint8_t TELOPT_COM_PORT = 44;

// COM-PORT-OPTION commands from client to server; the server answers with the code + 100.
enum cpo_command : uint8_t {
    CPO_SIGNATURE = 0,
    CPO_SET_BAUDRATE = 1,
    CPO_SET_DATASIZE = 2,
    CPO_SET_PARITY = 3,
    CPO_SET_STOPSIZE = 4,
    CPO_SET_CONTROL = 5,
    CPO_NOTIFY_LINESTATE = 6,
    CPO_NOTIFY_MODEMSTATE = 7,
    CPO_FLOWCONTROL_SUSPEND = 8,
    CPO_FLOWCONTROL_RESUME = 9,
    CPO_SET_LINESTATE_MASK = 10,
    CPO_SET_MODEMSTATE_MASK = 11,
    CPO_PURGE_DATA = 12,
};
constexpr uint8_t CPO_SERVER = 100;

// Request policy bits, one policy per setting (server mode: 15 for all five).
constexpr uint8_t POLICY_APPLY_UNSET = 1;
constexpr uint8_t POLICY_HONEST_UNSET = 2;
constexpr uint8_t POLICY_APPLY_CHANGED = 4;
constexpr uint8_t POLICY_HONEST_SET = 8;
constexpr uint8_t POLICY_NOTIFY_ALL = 16;

// Acknowledgement flag bits (client mode); a setting is settled when its flag is 0.
constexpr uint8_t ACK_ANY = 1;   // no answer for this setting yet
constexpr uint8_t ACK_MATCH = 2; // no answer with the requested value yet

// Index of each setting in the ack arrays.
enum ack_index { ACK_BAUDRATE, ACK_DATASIZE, ACK_PARITY, ACK_STOPSIZE, ACK_FLOWCONTROL };
constexpr int ACK_SETTINGS = 5;

// Per-option state bits of rfc2217_peer::options.
constexpr uint8_t OPTION_LOCAL = 0x10;  // this side agreed to perform the option
constexpr uint8_t OPTION_REMOTE = 0x20; // this side agreed that the peer performs it

using suboption_handler = void (*)(client_record *c);
using option_handler = int (*)(client_record *c, uint8_t command, uint8_t option);

struct rfc2217_config {
    rcqb *all_out;  // escaped tty data for every connection; made by the first client_create
    rcqb *tty_data; // reader on the connector's from_tty that feeds all_out
    suboption_handler on_suboption;
    option_handler on_option;
    // Client mode: the values to request (0 = do not request). Server mode: request policies.
    uint32_t baudrate;
    uint8_t datasize;
    uint8_t parity;            // RFC 2217 coding: 1 none, 2 odd, 3 even
    uint8_t stopsize;          // 1 or 2
    uint8_t flowcontrol;       // SET-CONTROL value: 1 none, 2 XON/XOFF, 3 hardware
    uint8_t ack[ACK_SETTINGS]; // client mode: 0 not required, ACK_ANY | ACK_MATCH required
    timespec ack_timeout;
    // Counted for the statistics: COM-PORT-OPTION requests by command (server mode), and
    // acknowledgement waits that ran out (client mode).
    uint32_t requests[CPO_PURGE_DATA + 1];
    uint32_t ack_timeouts;
};

struct rfc2217_peer {
    rcqb *all_reader; // reader on all_out, cloned at connection start
    rcqb *ctrl;       // this connection's commands and subnegotiations, sent before data
    rcqb *ctrl_reader;
    rcqb *sb_buf; // body of the subnegotiation being received
    rcqb *sb_reader;
    suboption_handler on_suboption;
    option_handler on_option;
    uint8_t parse_state; // receive parser state (rfc2217-filter.h)
    uint8_t parse_cmd;   // WILL, WONT, DO or DONT awaiting its option byte
    uint8_t in_sb;       // between IAC SB and IAC SE: SB_COLLECT, or SB_DISCARD past SB_MAX
    // The last data write ended between the two bytes of a doubled 0xFF (odd_iac: the data
    // written so far ends in an odd run of 0xFF), so nothing else may be written before the
    // second one.
    bool odd_iac;
    uint8_t ack_pending[ACK_SETTINGS];
    uint8_t modem_mask; // server mode: mask of NOTIFY-MODEMSTATE answers
    uint8_t modem_last; // modem-state byte computed last
    timespec ack_deadline;
    timespec ack_tick;
    uint8_t options[256];
    int32_t binary_in;  // the peer sends BINARY
    int32_t binary_out; // this side sends BINARY
};
// Allocated zero-filled by xcalloc, so both must stay plain records.
static_assert(std::is_trivial_v<rfc2217_config>);
static_assert(std::is_trivial_v<rfc2217_peer>);

// The `rfc2217` init: parses the section (argv[0] is "rfc2217"), builds rfc2217_config and
// fills the six remote slots. Exits 0 after -h, 1 after a bad argument (with the usage text).
void rfc2217_init(connector *conn, int argc, char **argv);

// The connection slots (run and client_accept are those of the `raw` side).
client_record *rfc2217_server_create(connector *conn, int fd);
client_record *rfc2217_client_create(connector *conn, int fd);
void rfc2217_client_free(client_record *c);
int rfc2217_client_read(client_record *c);
int rfc2217_client_write(client_record *c);

// Logs the side's statistics line (the report_remote hook).
void rfc2217_report(const connector *conn);

// The rfc2217_peer and rfc2217_config of a connection.
inline rfc2217_peer *peer_of(const client_record *c)
{
    return static_cast<rfc2217_peer *>(c->ext);
}
inline rfc2217_config *config_of(const client_record *c)
{
    return static_cast<rfc2217_config *>(c->conn->remote_priv);
}
