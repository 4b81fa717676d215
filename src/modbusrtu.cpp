// The `modbusrtu` local side: options, the RTU context opened with patient retries while
// clients exist, and the synchronous exchange that turns each queued request record into an
// answer record and the request record again. An answer is taken only from the unit and for the
// function asked: libmodbus frames those whose length the function code tells, the line's
// silence and the CRC frame the rest. Owns modbusrtu_settings and the RTU context; the tty
// descriptor belongs to the context and is in tty_fd exactly while the context exists.
#include "modbusrtu.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include "connector.h"
#include "log.h"
#include "opt.h"
#include "rcqb.h"
#include "timespec.h"
#include "util.h"

static constexpr char log_module[] = "modbusrtu";

// The largest frame libmodbus hands back.
static constexpr uint32_t RECEIVE_AREA = 260;
static constexpr uint32_t CRC_SIZE = 2;
// How long devices are given to act on a broadcast before the line carries the next request.
static constexpr int64_t TURNAROUND_MS = 100;

static constexpr int32_t baud_rates[] = {50,   75,    110,   134,   150,    200,
                                         300,  600,   1200,  1800,  2400,   4800,
                                         9600, 19200, 38400, 57600, 115200, 230400};

static constexpr char usage_text[] =
    "modbusrtu <tty> [options]          Plain modbusrtu port\n"
    "   -B, --baudrate=BAUDRATE             speed at which data travels in modbusrtu\n"
    "   -P, --parity=<none, even, odd>      parity bit settings\n"
    "   -S, --two-stopbits                  amount of stopbits\n"
    "   -D, --databits=<5,6,7,8>            amount of databits\n"
    "   -T, --failopen-timeout=INTERVAL     interval between a failed open attempt and a new \n"
    "                                       attempt to open port in ms\n"
    "   -R, --failopen-retries=ATTEMPTS     defaults to 16\n"
    "   -V, --verbose                       print modbus debug messages\n"
    "   -h, --help                          print this message and exit\n";

static constexpr const char *help_names[] = {"help", nullptr};
static constexpr const char *baudrate_names[] = {"baudrate", nullptr};
static constexpr const char *parity_names[] = {"parity", nullptr};
static constexpr const char *stopbits_names[] = {"two-stopbits", nullptr};
static constexpr const char *databits_names[] = {"databits", nullptr};
static constexpr const char *timeout_names[] = {"failopen-timeout", nullptr};
static constexpr const char *retries_names[] = {"failopen-retries", nullptr};
static constexpr const char *verbose_names[] = {"verbose", nullptr};

static constexpr opt_spec modbusrtu_options[] = {
    {'B', OPT_HAS_ARG, "B", baudrate_names},
    {'P', OPT_HAS_ARG, "P", parity_names},
    {'S', 0, "S", stopbits_names},
    {'D', OPT_HAS_ARG, "D", databits_names},
    {'T', OPT_HAS_ARG, "T", timeout_names},
    {'R', OPT_HAS_ARG, "R", retries_names},
    {'V', 0, "V", verbose_names},
    {'h', 0, "h", help_names},
    {0, 0, nullptr, nullptr},
};

// ---- Gateway records ----

void gateway_record_pack(const gateway_record *r, uint8_t *out)
{
    memcpy(out, &r->status, 4);
    memcpy(out + 4, &r->client_id, 4);
    out[8] = r->unit_offset;
    out[9] = static_cast<uint8_t>(r->payload_length & 0xff);
    out[10] = static_cast<uint8_t>(r->payload_length >> 8);
}

void gateway_record_unpack(const uint8_t *in, gateway_record *r)
{
    memcpy(&r->status, in, 4);
    memcpy(&r->client_id, in + 4, 4);
    r->unit_offset = in[8];
    r->payload_length = static_cast<uint16_t>(in[9] | (in[10] << 8));
}

int gateway_record_read(rcqb *q, gateway_record *r, uint8_t **buf)
{
    uint8_t header[GATEWAY_HEADER_SIZE];
    int32_t n = rcqb_read(q, header, GATEWAY_HEADER_SIZE);
    if (n == 0) {
        return 0;
    }
    if (n < static_cast<int32_t>(GATEWAY_HEADER_SIZE)) {
        return -1;
    }
    gateway_record_unpack(header, r);
    auto *b = static_cast<uint8_t *>(xmalloc(GATEWAY_HEADER_SIZE + r->payload_length));
    n = rcqb_read(q, b + GATEWAY_HEADER_SIZE, r->payload_length);
    if (n < r->payload_length) {
        free(b);
        return -2;
    }
    *buf = b;
    return 1;
}

void modbusrtu_dump(const uint8_t *bytes, uint32_t n)
{
    for (uint32_t i = 0; i < n; i++) {
        printf("<%02X>", bytes[i]);
    }
    printf("\n");
    // A daemon's stdout is often a pipe: flush so the dump survives the signal that ends us.
    fflush(stdout);
}

// ---- Command line ----

[[noreturn]] static void reject(opt_result *list)
{
    free(list);
    puts(usage_text);
    exit(1);
}

static int32_t option_baud(opt_result *list)
{
    const char *v = opt_get(list, 'B', 0);
    if (v == nullptr) {
        return 9600;
    }
    int32_t rate = atoi(v);
    for (int32_t r : baud_rates) {
        if (r == rate) {
            return rate;
        }
    }
    LOG_ERRNO(LOG_ERR, "invalid baudrate: \"%s\"\n", v);
    reject(list);
}

static char option_parity(opt_result *list)
{
    const char *v = opt_get(list, 'P', 0);
    if (v == nullptr || strcmp(v, "none") == 0) {
        return 'N';
    }
    if (strcmp(v, "odd") == 0) {
        return 'O';
    }
    if (strcmp(v, "even") == 0) {
        return 'E';
    }
    LOG_ERRNO(LOG_ERR, "invalid parity value: \"%s\"\n", v);
    reject(list);
}

static uint8_t option_data_bits(opt_result *list)
{
    const char *v = opt_get(list, 'D', 0);
    if (v == nullptr) {
        return 8;
    }
    int bits = atoi(v);
    if (bits < 5 || bits > 8) {
        LOG_ERRNO(LOG_ERR, "invalid character size: \"%s\"\n", v);
        reject(list);
    }
    return static_cast<uint8_t>(bits);
}

// Milliseconds with an optional fraction, truncated toward zero and clamped to 32 bits.
static int32_t option_timeout(opt_result *list)
{
    const char *v = opt_get(list, 'T', 0);
    if (v == nullptr) {
        return 100;
    }
    char *end = nullptr;
    errno = 0;
    long double ms = strtold(v, &end);
    if (errno != 0 || end == v || ms != ms) {
        LOG_ERRNO(LOG_ERR, "invalid failopen timeout: \"%s\"\n", v);
        reject(list);
    }
    if (ms >= INT32_MAX) {
        return INT32_MAX;
    }
    return ms <= INT32_MIN ? INT32_MIN : static_cast<int32_t>(ms);
}

static uint32_t option_retries(opt_result *list)
{
    const char *v = opt_get(list, 'R', 0);
    if (v == nullptr) {
        return 16;
    }
    char *end = nullptr;
    errno = 0;
    unsigned long n = strtoul(v, &end, 10);
    // As a 32-bit strtoul would: a magnitude beyond 32 bits is out of range, a negated one
    // wraps within 32 bits.
    const char *digits = v + strspn(v, " \t\n\v\f\r");
    unsigned long magnitude = *digits == '-' ? 0UL - n : n;
    if (errno == 0 && magnitude > UINT32_MAX) {
        errno = ERANGE;
    }
    if (errno != 0 || end == v) {
        LOG_ERRNO(LOG_ERR, "invalid failopen retries: \"%s\"\n", v);
        reject(list);
    }
    return static_cast<uint32_t>(n);
}

void modbusrtu_init(connector *conn, int argc, char **argv)
{
    conn->tty_open = modbusrtu_tty_open;
    conn->tty_close = modbusrtu_tty_close;
    conn->tty_read = modbusrtu_tty_read;
    conn->tty_write = modbusrtu_tty_write;
    conn->destroy = modbusrtu_destroy;
    conn->report_local = modbusrtu_report;
    conn->tty_pending = false;
    auto *s = static_cast<modbusrtu_settings *>(xcalloc(1, sizeof(modbusrtu_settings)));
    conn->local_priv = s;

    opt_result *list = opt_parse_section(&argc, argv, modbusrtu_options, usage_text, 1);
    // Checked in this order, so the first bad value is the one reported.
    s->baud = option_baud(list);
    s->parity = option_parity(list);
    s->stop_bits = opt_count(list, 'S') > 0 ? 2 : 1;
    s->data_bits = option_data_bits(list);
    s->failopen_timeout = option_timeout(list);
    s->failopen_retries = option_retries(list);
    s->device = argv[1];
    s->verbose = opt_count(list, 'V');
    free(list);
}

// ---- Opening and closing ----

// One attempt: true with the context and tty_fd set. A context that failed is released at
// once, so a long retry series holds no more than one.
static bool open_once(connector *conn, modbusrtu_settings *s)
{
    errno = 0;
    s->context = modbus_new_rtu(s->device, s->baud, s->parity, s->data_bits, s->stop_bits);
    if (s->context == nullptr) {
        LOG_ERRNO(LOG_ERR, "failed to create rtu context\n");
        return false;
    }
    if (modbus_connect(s->context) < 0) {
        LOG_ERRNO(LOG_ERR, "failed to connect to the tty\n");
    } else if ((conn->tty_fd = modbus_get_socket(s->context)) < 0) {
        LOG_ERRNO(LOG_ERR, "failed to get the file descriptor of the rtu context\n");
    } else {
        if (s->verbose != 0) {
            modbus_set_debug(s->context, 1);
        }
        return true;
    }
    // A failed connection leaves no descriptor open: only the context is left to release.
    int err = errno;
    modbus_free(s->context);
    s->context = nullptr;
    conn->tty_fd = -1;
    errno = err;
    return false;
}

int modbusrtu_tty_open(connector *conn)
{
    auto *s = static_cast<modbusrtu_settings *>(conn->local_priv);
    if (conn->tty_fd >= 0) {
        return 0;
    }
    LOG(LOG_INFO, "open tty at %s\n", s->device);
    int err = 0;
    for (uint32_t n = s->failopen_retries; n != 0;) {
        if (open_once(conn, s)) {
            s->opens++;
            return 0;
        }
        err = errno;
        n--;
        LOG(LOG_INFO, "open tty %s failed, waiting %ld ms (%d retries left)\n", s->device,
            static_cast<long>(s->failopen_timeout), static_cast<int>(n));
        timespec t;
        timespec_set(&t, s->failopen_timeout / 1000, (s->failopen_timeout % 1000) * 1000000);
        nanosleep(&t, nullptr);
    }
    errno = err;
    LOG_ERRNO(LOG_ERR, "failed to open TTY, no retries left, exiting\n");
    exit(1);
}

void modbusrtu_tty_close(connector *conn)
{
    auto *s = static_cast<modbusrtu_settings *>(conn->local_priv);
    LOG(LOG_INFO, "close tty at\n");
    if (conn->tty_fd != -1) {
        close(conn->tty_fd);
        modbus_free(s->context);
        s->context = nullptr;
    }
    conn->tty_fd = -1;
}

void modbusrtu_destroy(connector *conn)
{
    conn->tty_close(conn);
    free(conn->local_priv);
    free(conn);
}

// ---- Exchanges ----

void modbusrtu_tty_read(connector *conn)
{
    // Nothing is asked between exchanges: what arrives now is unasked. Reading it keeps a
    // chatty device from making every poll return at once.
    auto *s = static_cast<modbusrtu_settings *>(conn->local_priv);
    uint8_t scratch[QUEUE_BLOCK_SIZE];
    ssize_t n = read(conn->tty_fd, scratch, sizeof scratch);
    LOG(LOG_DEBUG, "discarded %zd unasked bytes from tty\n", n);
    s->bytes_read += static_cast<uint64_t>(n > 0 ? n : 0);
}

static void append_record(connector *conn, gateway_record *r, uint8_t *buf)
{
    gateway_record_pack(r, buf);
    rcqb_append(conn->from_tty, buf, GATEWAY_HEADER_SIZE + r->payload_length);
}

// 1 when fd has bytes (or has ended) within ms, 0 after ms of silence, -1 with errno.
static int wait_readable(int fd, int ms)
{
    pollfd p = {fd, POLLIN, 0};
    int n;
    while ((n = poll(&p, 1, ms)) < 0 && errno == EINTR) {
    }
    return n;
}

// Reads and throws away what the line carries until it has been quiet for quiet_ms, the
// deadline has passed, or the line fails or ends.
static void discard_until_quiet(int fd, int quiet_ms, int64_t deadline)
{
    std::array<uint8_t, 64> scratch;
    for (int ms; (ms = timespec_ms_until(deadline)) > 0 && wait_readable(fd, std::min(ms, quiet_ms)) > 0;) {
        if (read(fd, scratch.data(), scratch.size()) <= 0) {
            return;
        }
    }
}

// Microseconds the line takes to carry n characters: start bit, data bits, parity, stop bits.
static int64_t line_us(const modbusrtu_settings *s, int64_t n)
{
    int64_t bits = 1 + s->data_bits + (s->parity != 'N' ? 1 : 0) + s->stop_bits;
    return n * bits * 1000000 / s->baud;
}

// The silence between two frames, in whole milliseconds: 3.5 characters, or 1.75 ms above
// 19200 baud, where the character time no longer sets it.
static int gap_ms(const modbusrtu_settings *s)
{
    int64_t us = s->baud > 19200 ? 1750 : line_us(s, 7) / 2;
    return static_cast<int>((us + 999) / 1000);
}

// One byte into the running CRC of an RTU frame (which starts at 0xFFFF).
static uint16_t crc_step(uint16_t crc, uint8_t byte)
{
    crc ^= byte;
    for (int i = 0; i < 8; i++) {
        crc = static_cast<uint16_t>((crc & 1) != 0 ? (crc >> 1) ^ 0xA001 : crc >> 1);
    }
    return crc;
}

// Reads a frame whose length its function code does not tell: it ends at a silence of the
// inter-frame gap after which its CRC (low byte first) holds. A silence of the byte time-out
// ends it whatever its CRC, so that an adapter that delivers a frame in pieces does not cut
// it; the line's end is silence for good. Nothing waits beyond `end`, nor for the first byte
// beyond `deadline`. The length, or -1 with errno: ETIMEDOUT (nothing came), ECONNRESET (the
// line ended), EMBBADCRC, EMBBADDATA (longer than any RTU frame) or the read's error.
static int read_to_silence(int fd, uint8_t *frame, int64_t deadline, int64_t end, int gap,
                           int byte_ms)
{
    int n = 0;
    int checked = 0;
    uint16_t crc = 0xffff;
    for (;;) {
        for (; checked + 2 < n; checked++) {
            crc = crc_step(crc, frame[checked]);
        }
        bool whole = n >= 4 && crc == (frame[n - 2] | frame[n - 1] << 8);
        int ready = wait_readable(fd, n == 0 ? timespec_ms_until(deadline)
                                             : std::min(whole ? gap : byte_ms, timespec_ms_until(end)));
        if (ready > 0 && n == static_cast<int>(MODBUS_RTU_MAX_ADU_LENGTH)) {
            errno = EMBBADDATA;
            return -1;
        }
        ssize_t got = ready > 0 ? read(fd, frame + n, MODBUS_RTU_MAX_ADU_LENGTH - n) : 0;
        if (ready < 0 || got < 0) {
            return -1;
        }
        if (got > 0) {
            n += static_cast<int>(got);
        } else if (whole) {
            return n;
        } else {
            errno = n > 0 ? EMBBADCRC : ready > 0 ? ECONNRESET : ETIMEDOUT;
            return -1;
        }
    }
}

// Functions whose answers libmodbus frames from the function code; the answers to all others
// are framed by the line's silence.
static bool library_frames(uint8_t function)
{
    return (function >= 1 && function <= 7) || (function >= 15 && function <= 17) ||
           function == 22 || function == 23;
}

// One frame from the line, begun by the deadline: its length with the CRC (0 for a frame
// libmodbus dropped as another device's), or -1 with errno.
static int receive_frame(modbusrtu_settings *s, int fd, uint8_t function, int64_t deadline,
                         uint8_t *frame)
{
    // A frame already on its way when the deadline comes is still read.
    int64_t left = std::max<int64_t>(deadline - timespec_now_us(), 1);
    uint32_t sec = 0;
    uint32_t usec = 0;
    if (library_frames(function)) {
        modbus_set_response_timeout(s->context, static_cast<uint32_t>(left / 1000000),
                                    static_cast<uint32_t>(left % 1000000));
        return modbus_receive_confirmation(s->context, frame);
    }
    modbus_get_byte_timeout(s->context, &sec, &usec);
    int byte_ms = static_cast<int>(sec * 1000 + usec / 1000);
    // However slowly a device sends, a frame takes no longer than the line needs for the
    // longest one plus the byte time-out.
    int64_t end = deadline + line_us(s, MODBUS_RTU_MAX_ADU_LENGTH) + int64_t{byte_ms} * 1000;
    return read_to_silence(fd, frame, deadline, end, gap_ms(s), byte_ms);
}

// Waits for the answer of `unit` to `function`: its length with the CRC, or -1 with errno.
// Within the response time-out, any other frame (a late answer to an earlier request, another
// device, noise) is thrown away and the wait goes on; the rest of a frame that cannot be read
// goes with it, up to the line's next silence.
static int await_answer(modbusrtu_settings *s, int fd, uint8_t unit, uint8_t function,
                        uint8_t *frame)
{
    uint32_t sec = 0;
    uint32_t usec = 0;
    modbus_get_response_timeout(s->context, &sec, &usec);
    int64_t deadline = timespec_now_us() + int64_t{sec} * 1000000 + usec;
    int r;
    for (;;) {
        r = receive_frame(s, fd, function, deadline, frame);
        if (r >= 4 && frame[0] == unit && (frame[1] == function || frame[1] == (function | 0x80))) {
            break;
        }
        if (r < 0 && errno != EMBBADCRC && errno != EMBBADDATA) {
            break;
        }
        if (r >= 0) {
            // Even a frame libmodbus drops has had its address and function code read.
            LOG(LOG_DEBUG, "discarded a frame from unit %d for function %d\n", frame[0], frame[1]);
        } else {
            LOG(LOG_DEBUG, "discarded a frame that cannot be read: %s\n", modbus_strerror(errno));
            discard_until_quiet(fd, gap_ms(s), deadline);
        }
        if (timespec_now_us() >= deadline) {
            errno = ETIMEDOUT;
            r = -1;
            break;
        }
    }
    modbus_set_response_timeout(s->context, sec, usec);
    return r;
}

// Sends one request and queues what it gives: the answer record, then the request record
// again with the answer's status. This is where every exchange's outcome is decided: the
// answer (status 0), a failure (its errno; the client gets exception 4), or for a broadcast,
// which no device answers, nothing at all.
// Counts one outcome for the unit and in all.
static void tally(modbusrtu_settings *s, uint8_t unit, uint32_t modbus_counts::*outcome)
{
    s->total.*outcome += 1;
    s->units[unit].*outcome += 1;
}

static void exchange(connector *conn, modbusrtu_settings *s, gateway_record *req, uint8_t *buf,
                     uint8_t *answer)
{
    modbus_t *ctx = s->context;
    const uint8_t *adu = buf + GATEWAY_HEADER_SIZE + req->unit_offset; // unit, then the PDU
    modbus_set_slave(ctx, adu[0]);
    modbus_flush(ctx);
    int r = modbus_send_raw_request(ctx, adu, req->payload_length - req->unit_offset);
    LOG(LOG_DEBUG, "wrote %d bytes into tty\n", req->payload_length);
    tally(s, adu[0], &modbus_counts::requests);
    s->bytes_written += static_cast<uint64_t>(r > 0 ? r : 0);
    if (adu[0] == MODBUS_BROADCAST_ADDRESS) {
        s->broadcasts++;
        // Each device needs the turnaround delay to act on it before the next request goes
        // out, counted from when the line has carried it.
        LOG(LOG_DEBUG, "broadcast: no answer awaited\n");
        tcdrain(conn->tty_fd);
        discard_until_quiet(conn->tty_fd, INT32_MAX, timespec_now_us() + TURNAROUND_MS * 1000);
        return;
    }
    if (r >= 0) {
        r = await_answer(s, conn->tty_fd, adu[0], adu[1], answer + GATEWAY_HEADER_SIZE);
    }
    gateway_record a = {0, req->client_id, 0, 0};
    if (r < 0) {
        // A failure must never read as success, whatever the library left in errno.
        a.status = errno != 0 ? errno : EIO;
        errno = a.status;
        LOG_ERRNO(LOG_ERR, "Failed to receive confirmation\n");
        tally(s, adu[0],
              a.status == ETIMEDOUT ? &modbus_counts::timeouts : &modbus_counts::failures);
    } else {
        LOG(LOG_DEBUG, "received %d bytes confirmation from tty\n", r);
        s->bytes_read += static_cast<uint64_t>(r);
        const uint8_t *pdu = answer + GATEWAY_HEADER_SIZE + 1;
        if ((pdu[0] & 0x80) != 0) {
            tally(s, adu[0], &modbus_counts::exceptions);
            s->exception_codes[pdu[1] < std::size(s->exception_codes) ? pdu[1] : 0]++;
        } else {
            tally(s, adu[0], &modbus_counts::answers);
        }
        a.payload_length = static_cast<uint16_t>(r - CRC_SIZE);
        if (s->verbose != 0) {
            modbusrtu_dump(answer + GATEWAY_HEADER_SIZE, a.payload_length);
        }
        a.unit_offset = static_cast<uint8_t>(modbus_get_header_length(ctx) - 1);
    }
    append_record(conn, &a, answer);
    req->status = a.status;
    append_record(conn, req, buf);
}

// Framing in to_tty is lost: nothing queued there can be trusted any more.
static void reset_queue(connector *conn, bool short_header)
{
    if (short_header) {
        LOG_ERRNO(LOG_ERR, "Could not get data from buffer (wrong header size)\n");
    } else {
        LOG_ERRNO(LOG_ERR, "Could not get package from buffer (wrong package size)\n");
    }
    LOG(LOG_INFO, "resetting buffer\n");
    rcqb_skip(conn->tty_reader, rcqb_available(conn->tty_reader));
}

void modbusrtu_tty_write(connector *conn)
{
    auto *s = static_cast<modbusrtu_settings *>(conn->local_priv);
    LOG(LOG_DEBUG, "flush rtu\n");
    if (conn->tty_fd < 0) {
        return;
    }
    std::array<uint8_t, GATEWAY_HEADER_SIZE + RECEIVE_AREA> answer;
    for (;;) {
        gateway_record req{};
        uint8_t *buf = nullptr;
        int got = gateway_record_read(conn->tty_reader, &req, &buf);
        if (got == 0) {
            conn->tty_pending = false;
            return;
        }
        if (got < 0) {
            reset_queue(conn, got == -1);
            return;
        }
        if (s->verbose != 0) {
            modbusrtu_dump(buf + GATEWAY_HEADER_SIZE, req.payload_length);
        }
        // A record too short to hold a unit identifier and a function code has nothing to send.
        if (req.unit_offset + 2 <= req.payload_length) {
            exchange(conn, s, &req, buf, answer.data());
        }
        free(buf);
    }
}

// The words of one set of counts, for the statistics lines.
static int counts_text(char *out, size_t size, const modbus_counts &c)
{
    return snprintf(out, size,
                    "requests=%" PRIu32 " answers=%" PRIu32 " exceptions=%" PRIu32
                    " timeouts=%" PRIu32 " failures=%" PRIu32,
                    c.requests, c.answers, c.exceptions, c.timeouts, c.failures);
}

static const char *parity_word(char parity)
{
    return parity == 'E' ? "even" : parity == 'O' ? "odd" : "none";
}

void modbusrtu_report(const connector *conn)
{
    const auto *s = static_cast<const modbusrtu_settings *>(conn->local_priv);
    LOG(LOG_INFO,
        "stats tty path=%s open=%s speed=%" PRId32 " databits=%d parity=%s stopbits=%d flow=none "
        "read=%" PRIu64 " written=%" PRIu64 " opens=%" PRIu32 " hangups=%" PRIu32 "\n",
        s->device, conn->tty_fd != -1 ? "yes" : "no", s->baud, s->data_bits,
        parity_word(s->parity), s->stop_bits, s->bytes_read, s->bytes_written, s->opens,
        conn->tty_hangups);
    // Room for every word at its longest: five counts, then twelve exception codes.
    char text[512];
    auto n = static_cast<size_t>(counts_text(text, sizeof text, s->total));
    for (size_t code = 1; code <= std::size(s->exception_codes); code++) {
        size_t i = code % std::size(s->exception_codes); // the other codes, [0], come last
        if (s->exception_codes[i] != 0 && n < sizeof text) {
            n += static_cast<size_t>(
                i != 0 ? snprintf(text + n, sizeof text - n, " exception_%zu=%" PRIu32, i,
                                  s->exception_codes[i])
                       : snprintf(text + n, sizeof text - n, " exception_other=%" PRIu32,
                                  s->exception_codes[0]));
        }
    }
    LOG(LOG_INFO, "stats modbus broadcasts=%" PRIu32 " %s\n", s->broadcasts, text);
    for (size_t unit = 0; unit < std::size(s->units); unit++) {
        if (s->units[unit].requests != 0) {
            counts_text(text, sizeof text, s->units[unit]);
            LOG(LOG_INFO, "stats unit id=%zu %s\n", unit, text);
        }
    }
}
