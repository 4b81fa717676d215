// The serial local side: opens, locks and configures the tty with patient retries, moves bytes
// between the tty and the connector's queues, and applies line settings the remote side leaves
// pending. Once the last client has gone, active equals template and only the command-line
// flow control is pending, so every first opening starts from the command line.
#pragma once

#include <cstdint>
#include <termios.h>

struct connector;

struct serial_settings {
    const char *path;          // borrowed from the command line
    termios template_;         // the command-line configuration ("template" is a C++ keyword)
    termios active;            // what the driver kept; reset from template_ when the last client has gone
    uint32_t baud;             // pending rate, e.g. 115200; 0 = none
    uint8_t datasize;          // pending 5..8; 0 = none
    uint8_t parity;            // pending 1 none, 2 odd, 3 even, 4 mark, 5 space; 0 = none
    uint8_t stopsize;          // pending: 2 = two stop bits, other non-zero = one; 0 = none
    uint8_t flow;              // pending 4 hardware, 8 software, 16 none; 0 = no change
    uint8_t suspended;         // non-zero while the remote side holds output to the tty
    int32_t accum_interval;    // quiet time in ms that ends a burst (-I); 0 = no gathering
    uint32_t accum_attempts;
    int32_t failopen_timeout;  // ms between failed open, lock or configuration attempts
    uint32_t failopen_retries; // attempts for each of open, lock and configuration
    uint8_t cmdline_flow;      // the -F flow code, pending again after every close
    // Counted for the statistics.
    uint64_t bytes_read;
    uint64_t bytes_written;
    uint32_t opens;
};

// The line settings in force, in RFC 2217 coding.
struct serial_line {
    uint32_t baud;    // 0 for a speed outside the table
    uint8_t datasize; // 5 to 8
    uint8_t parity;   // 1 none, 2 odd, 3 even
    uint8_t stopsize; // 1 or 2
    uint8_t flow;     // 1 none, 2 XON/XOFF, 3 hardware
};

// What the driver kept of the last configuration (s->active), decoded.
serial_line serial_line_in_force(const serial_settings *s);

// Logs the tty's statistics line (the report_local hook).
void serial_report(const connector *conn);

// tcsetattr and tcgetattr as the serial side calls them. Tests point them elsewhere: a pty
// refuses some settings and changes others.
extern int (*serial_tcsetattr)(int fd, int action, const termios *tio);
extern int (*serial_tcgetattr)(int fd, termios *tio);

// The `serial` init: parses the section (argv[0] is "serial"), builds the settings record and
// fills the five local slots. Exits 0 after -h, 1 after a bad argument (with the usage text).
void serial_init(connector *conn, int argc, char **argv);

// The local slots. serial_tty_open opens the tty with the command line's settings and the
// pending ones, retrying each step and exiting 1 when a retry loop runs out; on an open tty it
// applies the pending settings once: 0, or -1 when the driver refused them (nothing changed).
int serial_tty_open(connector *conn);
void serial_tty_close(connector *conn);
void serial_tty_read(connector *conn);
void serial_tty_write(connector *conn);
void serial_destroy(connector *conn);   // closes the tty, frees the record and the connector

// Opens and locks s->path: an open descriptor, or the process exits 1 when retries run out.
int open_tty(serial_settings *s);

// The termios speed constant of a rate; B9600 for a rate not in the table.
speed_t speed_code(uint32_t rate);

// The rate of a termios speed constant from the same table; 0 for a constant not in it.
uint32_t speed_rate(speed_t code);
