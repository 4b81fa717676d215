// libFuzzer target: the Telnet receive parser of the rfc2217 side with the handlers of either
// mode, over the real serial side with tcsetattr and the modem lines faked. Each input is parsed
// twice, on fresh connections: fed in small pieces, as reads split commands and subnegotiations,
// then whole; the tty data and the answers must come out the same. Input: byte 0 bit 0 client
// mode, bits 1 to 5 the server's request policy; byte 1 the modem lines; byte 2 the largest piece.
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <sys/ioctl.h>

#include "log.h"
#include "rcqb.h"
#include "rfc2217-filter.h"
#include "rfc2217-mctrl.h"
#include "rfc2217-subopt.h"
#include "rfc2217-telopt.h"
#include "rfc2217.h"
#include "serial.h"

static int modem_lines = 0; // from the input; a set changes nothing

static void format_only(int, const char *fmt, ...)
{
    char buf[512];
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(buf, sizeof buf, fmt, ap);
    va_end(ap);
}

#define CHECK(ok) ((ok) ? (void)0 : abort())

// What the connection queued, each part after its length: tty data, own answers, shared answers.
static std::string run(const uint8_t *data, size_t size, size_t piece)
{
    modem_lines = data[1] << 1;
    const bool client = data[0] & 1;
    const auto policy = static_cast<uint8_t>(client ? 1 : (data[0] >> 1) & 31);

    serial_settings serial{};
    serial.failopen_retries = 1;
    rfc2217_config cfg{};
    cfg.baudrate = client ? 9600 : policy;
    cfg.datasize = client ? 8 : policy;
    cfg.parity = cfg.stopsize = cfg.flowcontrol = policy;
    cfg.on_suboption = client ? process_suboption_ack : process_suboption;
    cfg.on_option = client ? negotiate_option_client : negotiate_option;
    memset(cfg.ack, client ? ACK_ANY | ACK_MATCH : 0, sizeof cfg.ack);
    connector conn{};
    conn.local_priv = &serial;
    conn.remote_priv = &cfg;
    conn.tty_open = serial_tty_open;
    connector_init(&conn);
    conn.tty_fd = 5; // never used: every call on it is faked
    client_record *c = (client ? rfc2217_client_create : rfc2217_server_create)(&conn, -1);
    rcqb *in = rcqb_create(QUEUE_BLOCK_SIZE);
    rcqb *in_reader = rcqb_clone(in);
    for (size_t off = 3; off < size; off += piece) {
        rcqb_append(in, data + off, static_cast<uint32_t>(size - off < piece ? size - off : piece));
        filter_from_socket(c, in_reader, conn.to_tty);
    }
    std::string out;
    for (rcqb *r : {conn.tty_reader, peer_of(c)->ctrl_reader, peer_of(c)->all_reader}) {
        std::string part(rcqb_available(r), '\0');
        rcqb_read(r, part.data(), static_cast<uint32_t>(part.size()));
        out += std::to_string(part.size()) + ":" + part;
    }
    rfc2217_client_free(c);
    for (rcqb *q : {in, in_reader, cfg.all_out, cfg.tty_data}) {
        rcqb_free(q);
    }
    connector_cleanup(&conn);
    return out;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 3) {
        return 0;
    }
    log_mask = -1;
    log_handler = format_only;
    rfc2217_mctrl_ioctl = [](int, unsigned long request, int *word) {
        if (request == TIOCMGET) {
            *word = modem_lines;
        }
        return 0;
    };
    serial_tcsetattr = [](int, int, const termios *) { return 0; };
    serial_tcgetattr = [](int, termios *) { return -1; }; // what was asked is what is kept
    CHECK(run(data, size, data[2] == 0 ? 1 : data[2]) == run(data, size, size));
    return 0;
}
