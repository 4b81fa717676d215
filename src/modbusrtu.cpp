// The `modbusrtu` local side: options, the RTU context opened with patient retries while
// clients exist, and the synchronous exchange that turns each queued request record into an
// answer record and the request record again. Owns modbusrtu_settings and the RTU context; the
// tty descriptor belongs to the context and is in tty_fd exactly while the context exists.
#include "modbusrtu.h"

#include <array>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
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
    uint8_t scratch[QUEUE_BLOCK_SIZE];
    ssize_t n = read(conn->tty_fd, scratch, sizeof scratch);
    LOG(LOG_DEBUG, "discarded %zd unasked bytes from tty\n", n);
}

static void append_record(connector *conn, gateway_record *r, uint8_t *buf)
{
    gateway_record_pack(r, buf);
    rcqb_append(conn->from_tty, buf, GATEWAY_HEADER_SIZE + r->payload_length);
}

// Sends one request and queues its answer record; *status is then the answer's status. False
// when the answer cannot be described: the request is dropped and nothing is queued for it.
static bool exchange(connector *conn, modbusrtu_settings *s, const gateway_record *req,
                     uint8_t *payload, uint8_t *answer, int32_t *status)
{
    modbus_t *ctx = s->context;
    modbus_set_slave(ctx, payload[req->unit_offset]);
    modbus_flush(ctx);
    modbus_send_raw_request(ctx, payload + req->unit_offset,
                            req->payload_length - req->unit_offset);
    LOG(LOG_DEBUG, "wrote %d bytes into tty\n", req->payload_length);
    int r = modbus_receive_confirmation(ctx, answer + GATEWAY_HEADER_SIZE);
    // libmodbus returns 0 when a device with another address answered: a frame without
    // address and function code is a failure, never a length computed from it.
    if (r >= 0 && r < static_cast<int>(CRC_SIZE + 2)) {
        errno = EIO;
        r = -1;
    }
    gateway_record a = {0, req->client_id, 0, 0};
    if (r < 0) {
        // A failure must never read as success, whatever the library left in errno.
        a.status = errno != 0 ? errno : EIO;
        errno = a.status;
        LOG_ERRNO(LOG_ERR, "Failed to receive confirmation\n");
        append_record(conn, &a, answer);
        *status = a.status;
        return true;
    }
    if (r >= 0x10000) {
        LOG_ERRNO(LOG_ERR, "Query buffer overflow (%X with max 0xFFFF), closing connection\n", r);
        return false;
    }
    LOG(LOG_DEBUG, "received %d bytes confirmation from tty\n", r);
    a.payload_length = static_cast<uint16_t>(r - CRC_SIZE);
    if (s->verbose != 0) {
        modbusrtu_dump(answer + GATEWAY_HEADER_SIZE, a.payload_length);
    }
    a.unit_offset = static_cast<uint8_t>(modbus_get_header_length(ctx) - 1);
    append_record(conn, &a, answer);
    *status = 0;
    return true;
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
        uint8_t *payload = buf + GATEWAY_HEADER_SIZE;
        if (s->verbose != 0) {
            modbusrtu_dump(payload, req.payload_length);
        }
        // A record too short to hold its unit identifier has nothing to send.
        if (req.unit_offset < req.payload_length &&
            exchange(conn, s, &req, payload, answer.data(), &req.status)) {
            append_record(conn, &req, buf);
        }
        free(buf);
    }
}
