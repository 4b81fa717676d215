// Telnet framing and the receive parser. Data is copied in spans between 0xFF bytes rather than
// byte by byte; the result is the same as the byte-at-a-time tables describe.
#include "rfc2217-filter.h"

#include <cstdlib>
#include <cstring>
#include <sys/types.h>

#include "log.h"
#include "rcqb.h"
#include "rfc2217.h"
#include "util.h"

static constexpr char log_module[] = "rfc2217-filter";

// Scratch size for moving queued bytes: one read of the stack buffer per pass.
static constexpr uint32_t SCRATCH = 4096;

static void append(rcqb *q, const void *bytes, size_t n)
{
    (void)rcqb_append(q, bytes, static_cast<uint32_t>(n));
}

// The escaping of filter_to_socket without its log line.
static void escape_into(const uint8_t *b, size_t n, rcqb *q)
{
    static constexpr uint8_t iac = TELNET_IAC;
    while (n > 0) {
        const auto *ff = static_cast<const uint8_t *>(memchr(b, iac, n));
        // Up to and including the 0xFF, then the 0xFF once more.
        size_t span = ff != nullptr ? static_cast<size_t>(ff - b) + 1 : n;
        append(q, b, span);
        if (ff != nullptr) {
            append(q, &iac, 1);
        }
        b += span;
        n -= span;
    }
}

void filter_to_socket(const uint8_t *bytes, size_t length, rcqb *queue)
{
    LOG(LOG_DEBUG, "filter %zd bytes to socket\n", static_cast<ssize_t>(length));
    escape_into(bytes, length, queue);
}

void filter_queue_to_socket(rcqb *reader, rcqb *queue)
{
    uint32_t n = rcqb_available(reader);
    LOG(LOG_DEBUG, "filter %zd bytes to socket\n", static_cast<ssize_t>(n));
    uint8_t buf[SCRATCH];
    int32_t k;
    while (n > 0 && (k = rcqb_read(reader, buf, n < SCRATCH ? n : SCRATCH)) > 0) {
        escape_into(buf, static_cast<size_t>(k), queue);
        n -= static_cast<uint32_t>(k);
    }
}

int send_command(client_record *c, uint8_t command, uint8_t option)
{
    const uint8_t frame[3] = {TELNET_IAC, command, option};
    append(peer_of(c)->ctrl, frame, sizeof frame);
    c->out_pending = true;
    return 1;
}

static void frame_into(rcqb *q, uint8_t code, const uint8_t *bytes, size_t length)
{
    LOG(LOG_DEBUG, "send subnegotiation\n");
    const uint8_t head[4] = {TELNET_IAC, TELNET_SB, TELOPT_COM_PORT, code};
    static constexpr uint8_t tail[2] = {TELNET_IAC, TELNET_SE};
    append(q, head, sizeof head);
    filter_to_socket(bytes, length, q);
    append(q, tail, sizeof tail);
}

void send_subnegotiation(client_record *c, uint8_t code, const uint8_t *bytes, size_t length)
{
    frame_into(peer_of(c)->ctrl, code, bytes, length);
    c->out_pending = true;
}

void send_subnegotiation_all(client_record *c, uint8_t code, const uint8_t *bytes, size_t length)
{
    frame_into(config_of(c)->all_out, code, bytes, length);
    c->out_pending = true;
}

void filter_from_socket(client_record *c, rcqb *reader, rcqb *data)
{
    uint32_t n = rcqb_available(reader);
    auto *buf = static_cast<uint8_t *>(xmalloc(n > 0 ? n : 1));
    int32_t k = rcqb_read(reader, buf, n);
    filter_from_bytes(c, buf, static_cast<size_t>(k > 0 ? k : 0), data);
    free(buf);
}

// Received data: to the tty's queue, or to the subnegotiation body being received, which is
// dropped once it grows too long.
static void take_data(rfc2217_peer *p, const uint8_t *b, size_t n, rcqb *data)
{
    if (p->in_sb == SB_NONE) {
        append(data, b, n);
        return;
    }
    if (p->in_sb == SB_DISCARD) {
        return;
    }
    uint32_t length = rcqb_position(p->sb_buf) - rcqb_position(p->sb_reader);
    if (length + n <= SB_MAX) {
        append(p->sb_buf, b, n);
        return;
    }
    LOG(LOG_WARNING, "subnegotiation longer than %u bytes, discarding it\n", SB_MAX);
    rcqb_skip(p->sb_reader, length);
    p->in_sb = SB_DISCARD;
}

void filter_from_bytes(client_record *c, const uint8_t *b, size_t n, rcqb *data)
{
    LOG(LOG_DEBUG, "filter %zd bytes from socket\n", static_cast<ssize_t>(n));
    rfc2217_peer *p = peer_of(c);
    static constexpr uint8_t iac = TELNET_IAC;
    size_t i = 0;
    while (i < n) {
        if (p->parse_state == PS_DATA) {
            // Everything up to the next IAC is data, for the tty or the subnegotiation body.
            const auto *ff = static_cast<const uint8_t *>(memchr(b + i, iac, n - i));
            size_t end = ff != nullptr ? static_cast<size_t>(ff - b) : n;
            if (end > i) {
                take_data(p, b + i, end - i, data);
            }
            i = end;
            if (ff != nullptr) {
                p->parse_state = PS_IAC;
                i++;
            }
            continue;
        }
        uint8_t x = b[i++];
        if (p->parse_state == PS_OPTION) {
            p->parse_state = PS_DATA;
            (void)p->on_option(c, p->parse_cmd, x);
            continue;
        }
        p->parse_state = PS_DATA;
        if (x == TELNET_IAC) {
            take_data(p, &iac, 1, data);
        } else if (x == TELNET_SB) {
            rcqb_skip(p->sb_reader, rcqb_available(p->sb_reader));
            p->in_sb = SB_COLLECT;
        } else if (x == TELNET_SE) {
            if (p->in_sb != SB_DISCARD) {
                p->on_suboption(c);
            }
            p->in_sb = SB_NONE;
        } else if (x >= TELNET_WILL) {
            p->parse_cmd = x;
            p->parse_state = PS_OPTION;
        }
        // Any other command (NOP, DM, BRK, IP, AO, AYT, EC, EL, GA, ...) is dropped.
    }
}
