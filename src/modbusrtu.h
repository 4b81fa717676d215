// The `modbusrtu` local side: a Modbus RTU master on the tty, through libmodbus. It takes the
// gateway records the Modbus TCP side queues on to_tty one by one, sends each request on the
// line, waits for the device's answer and queues two records on from_tty: the answer (or the
// failure status), then the request again; a broadcast gets neither. Exchanges never overlap on
// the line.
#pragma once

#include <cstdint>
#include <modbus/modbus.h>

struct connector;
struct rcqb;

// What became of the requests, for the statistics: in all, and per unit address.
struct modbus_counts {
    uint32_t requests;
    uint32_t answers;    // normal answers
    uint32_t exceptions; // exception answers from the device
    uint32_t timeouts;   // no answer in time (the client got exception 4)
    uint32_t failures;   // any other failed exchange (exception 4 too)
};

struct modbusrtu_settings {
    modbus_t *context;  // the RTU context while the tty is open
    const char *device; // borrowed from the command line
    int32_t baud;
    uint8_t data_bits;
    char parity; // 'N', 'E' or 'O'
    uint8_t stop_bits;
    int32_t failopen_timeout; // ms between open attempts
    uint32_t failopen_retries;
    int32_t verbose; // non-zero: library debugging and byte dumps on stdout
    // Counted for the statistics; the per-unit counts are zero for units never asked.
    uint64_t bytes_read;
    uint64_t bytes_written;
    uint32_t opens;
    uint32_t broadcasts;
    uint32_t exception_codes[12]; // device exceptions by code 1 to 11; [0] any other code
    modbus_counts total;
    modbus_counts units[256];
};

// The unit both Modbus sides exchange through the queues: an 11-byte header, then the payload.
// status and client_id travel in host byte order, payload_length low byte first.
constexpr uint32_t GATEWAY_HEADER_SIZE = 11;

struct gateway_record {
    int32_t status;      // answers: 0, or the errno of the failed exchange
    int32_t client_id;   // id of the Modbus TCP connection that asked
    uint8_t unit_offset; // index of the unit identifier in the payload (6 TCP, 0 RTU)
    uint16_t payload_length;
};

// Encodes r into the first GATEWAY_HEADER_SIZE bytes of out.
void gateway_record_pack(const gateway_record *r, uint8_t *out);
// Decodes the header at in.
void gateway_record_unpack(const uint8_t *in, gateway_record *r);

// Reads one record from q: its payload into a malloc'd buffer of payload_length + 11 bytes,
// starting at offset 11, which the caller frees. -1 for a short header (nothing allocated),
// -2 for a short payload (nothing allocated), 0 when q is empty, 1 for a record.
int gateway_record_read(rcqb *q, gateway_record *r, uint8_t **buf);

// Prints each byte as "<%02X>", then a newline, on standard output.
void modbusrtu_dump(const uint8_t *bytes, uint32_t n);

// The `modbusrtu` init: parses the section (argv[0] is "modbusrtu") and fills the five local
// slots. Exits 0 after -h, 1 after a bad argument (with the usage text).
void modbusrtu_init(connector *conn, int argc, char **argv);

// The local slots.
int modbusrtu_tty_open(connector *conn); // 0; exits 1 when the retries run out
void modbusrtu_tty_close(connector *conn);
void modbusrtu_tty_read(connector *conn);  // discards what the device sends unasked
void modbusrtu_tty_write(connector *conn); // serves every queued request; blocks per exchange
void modbusrtu_destroy(connector *conn);   // closes the tty, frees the record and the connector

// Logs the tty's and the gateway's statistics lines, one per unit seen (the report_local hook).
void modbusrtu_report(const connector *conn);
