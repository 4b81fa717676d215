// libFuzzer target: the Telnet receive parser of the rfc2217 side with the option and suboption
// handlers of both modes behind it, on one fresh connection per input. The serial side is a
// settings record without a tty and the modem lines come from the input, so every request path
// runs without a device.
//
// Input: byte 0 picks the mode (bit 0: client) and the request policy (bits 1 to 5, server
// mode); byte 1 the modem lines; byte 2 the largest piece the rest is fed in, so that commands
// and subnegotiations are split across calls as reads split them.
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <sys/ioctl.h>
#include <termios.h>

#include "connector.h"
#include "log.h"
#include "rcqb.h"
#include "rfc2217-filter.h"
#include "rfc2217-mctrl.h"
#include "rfc2217-subopt.h"
#include "rfc2217-telopt.h"
#include "rfc2217.h"
#include "serial.h"

namespace
{

int modem_lines = 0;

// Formats every message, so that a bad format argument shows under the sanitizers.
void format_only(int, const char *fmt, ...)
{
    char buf[512];
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(buf, sizeof buf, fmt, ap);
    va_end(ap);
}

int fake_ioctl(int, unsigned long request, int *word)
{
    if (request == TIOCMGET) {
        *word = modem_lines;
    } else {
        modem_lines = *word;
    }
    return 0;
}

// What serial_tty_open does to the record, without a tty: pending values reach `active`.
int fake_tty_open(connector *conn)
{
    auto *s = static_cast<serial_settings *>(conn->local_priv);
    if (s->baud != 0) {
        cfsetospeed(&s->active, speed_code(s->baud));
    }
    if (s->datasize >= 5 && s->datasize <= 8) {
        static constexpr tcflag_t sizes[] = {CS5, CS6, CS7, CS8};
        s->active.c_cflag = (s->active.c_cflag & ~CSIZE) | sizes[s->datasize - 5];
    }
    if (s->flow == 8) {
        s->active.c_iflag |= IXON | IXOFF;
    } else if (s->flow != 0) {
        s->active.c_iflag &= ~(IXON | IXOFF);
    }
    s->suspended = 0;
    return 0;
}

struct world {
    connector conn{};
    serial_settings serial{};
    rfc2217_config cfg{};
    rcqb *to_tty_reader;

    world()
    {
        log_handler = format_only;
        log_mask = -1;
        rfc2217_mctrl_ioctl = fake_ioctl;
        conn.tty_fd = 5;
        conn.nfds = 2;
        conn.local_priv = &serial;
        conn.remote_priv = &cfg;
        conn.tty_open = fake_tty_open;
        conn.to_tty = rcqb_create(QUEUE_BLOCK_SIZE);
        conn.from_tty = rcqb_create(QUEUE_BLOCK_SIZE);
        to_tty_reader = rcqb_clone(conn.to_tty);
        cfg.baudrate = 9600;
        cfg.datasize = 8;
        cfg.parity = 1;
        cfg.stopsize = 1;
        cfg.flowcontrol = 1;
    }
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static world w;
    if (size < 3) {
        return 0;
    }
    bool client = data[0] & 1;
    modem_lines = data[1] << 1;
    size_t piece = data[2] == 0 ? 1 : data[2];
    data += 3;
    size -= 3;

    w.serial = serial_settings{};
    cfmakeraw(&w.serial.active);
    cfsetospeed(&w.serial.active, B9600);
    client_record *c;
    if (client) {
        w.cfg.on_suboption = process_suboption_ack;
        w.cfg.on_option = negotiate_option_client;
        memset(w.cfg.ack, ACK_ANY | ACK_MATCH, sizeof w.cfg.ack);
        c = rfc2217_client_create(&w.conn, -1);
    } else {
        uint8_t policy = static_cast<uint8_t>((data[-3] >> 1) & 31);
        w.cfg.baudrate = policy;
        w.cfg.datasize = w.cfg.parity = w.cfg.stopsize = w.cfg.flowcontrol = policy;
        w.cfg.on_suboption = process_suboption;
        w.cfg.on_option = negotiate_option;
        c = rfc2217_server_create(&w.conn, -1);
    }
    rcqb *in = rcqb_create(QUEUE_BLOCK_SIZE);
    rcqb *in_reader = rcqb_clone(in);
    for (size_t off = 0; off < size; off += piece) {
        size_t n = size - off < piece ? size - off : piece;
        rcqb_append(in, data + off, static_cast<uint32_t>(n));
        filter_from_socket(c, in_reader, w.conn.to_tty);
    }
    rcqb_free(in);
    rcqb_free(in_reader);
    rcqb_skip(w.to_tty_reader, rcqb_available(w.to_tty_reader));
    rfc2217_client_free(c);
    if (!client) {
        // Restore the client-mode values the next client input compares answers with.
        w.cfg.baudrate = 9600;
        w.cfg.datasize = 8;
        w.cfg.parity = w.cfg.stopsize = w.cfg.flowcontrol = 1;
    }
    return 0;
}
