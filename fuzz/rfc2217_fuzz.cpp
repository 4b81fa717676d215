// libFuzzer target: the Telnet receive parser of the rfc2217 side with the handlers of either
// mode, one fresh connection per input, over the real serial side with tcsetattr and the modem
// lines faked; the sanitizers and the formatting of every log message are the checks. Input:
// byte 0 bit 0 client mode, bits 1 to 5 the server's request policy; byte 1 the modem lines;
// byte 2 the largest piece the rest is fed in, as reads split commands and subnegotiations.
#include <cstdarg>
#include <cstdio>
#include <cstring>
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
    modem_lines = data[1] << 1;
    const bool client = data[0] & 1;
    const auto policy = static_cast<uint8_t>(client ? 1 : (data[0] >> 1) & 31);
    const size_t piece = data[2] == 0 ? 1 : data[2];

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
    rfc2217_client_free(c);
    for (rcqb *q : {in, in_reader, cfg.all_out, cfg.tty_data}) {
        rcqb_free(q);
    }
    connector_cleanup(&conn);
    return 0;
}
