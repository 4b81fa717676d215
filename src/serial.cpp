// The serial local side: command-line options, then opening, locking and configuring the tty
// with patient retries, and moving bytes between the tty and the connector's queues. Owns the
// serial_settings record. Once the last client has gone, active equals template_ and the only
// pending value is the command-line flow control, so every first opening starts from the
// command line; a reopen after a hang-up keeps what the clients had set.
#include "serial.h"

#include <cctype>
#include <cinttypes>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <iterator>
#include <sys/file.h>
#include <sys/types.h>
#include <unistd.h>

#include "connector.h"
#include "log.h"
#include "opt.h"
#include "rcqb.h"
#include "rfc2217-mctrl.h"
#include "timespec.h"
#include "util.h"

static constexpr char log_module[] = "serial";

int (*serial_tcsetattr)(int fd, int action, const termios *tio) = tcsetattr;
int (*serial_tcgetattr)(int fd, termios *tio) = tcgetattr;

// Flow codes shared with the RFC 2217 side's numbering.
static constexpr uint8_t FLOW_HARDWARE = 4;
static constexpr uint8_t FLOW_SOFTWARE = 8;

// RFC 2217 SET-CONTROL code that raises RTS.
static constexpr int CONTROL_RTS_ON = 11;

struct speed_entry {
    uint32_t rate;
    speed_t code;
};

static constexpr speed_entry speed_table[] = {
    {50, B50},       {75, B75},         {110, B110},       {134, B134},     {150, B150},
    {200, B200},     {300, B300},       {600, B600},       {1200, B1200},   {1800, B1800},
    {2400, B2400},   {4800, B4800},     {9600, B9600},     {19200, B19200}, {38400, B38400},
    {57600, B57600}, {115200, B115200}, {230400, B230400},
};

static constexpr char usage_text[] =
    "serial <tty> [options]         Plain serial port\n"
    "   -B, --baudrate=BAUDRATE         speed at which data travels in serial\n"
    "   -P, --parity=<none, even, odd>  parity bit settings\n"
    "   -S, --two-stopbits              amount of stopbits\n"
    "   -D, --databits=<5,6,7,8>        amount of databits\n"
    "   -F, --flow=<hardware, software, none>\n"
    "                                   which flow control to use, default: none\n"
    "   -I, --accum-interval=INTERVAL   maximum interval between data bursts in ms\n"
    "   -A, --accum-attempts=ATTEMPTS   defaults to 3\n"
    "   -T, --failopen-timeout=INTERVAL interval between a failed open attempt and a new \n"
    "                                   attempt to open port in ms\n"
    "   -R, --failopen-retries=ATTEMPTS defaults to 16\n"
    "   -h, --help                      print this message and exit\n";

static constexpr const char *help_names[] = {"help", nullptr};
static constexpr const char *baudrate_names[] = {"baudrate", nullptr};
static constexpr const char *parity_names[] = {"parity", nullptr};
static constexpr const char *stopbits_names[] = {"two-stopbits", nullptr};
static constexpr const char *databits_names[] = {"databits", nullptr};
static constexpr const char *flow_names[] = {"flow", nullptr};
static constexpr const char *interval_names[] = {"accum-interval", nullptr};
static constexpr const char *attempts_names[] = {"accum-attempts", nullptr};
static constexpr const char *timeout_names[] = {"failopen-timeout", nullptr};
static constexpr const char *retries_names[] = {"failopen-retries", nullptr};

static constexpr opt_spec serial_options[] = {
    {'h', 0, "h", help_names},
    {'B', OPT_HAS_ARG, "B", baudrate_names},
    {'P', OPT_HAS_ARG, "P", parity_names},
    {'S', 0, "S", stopbits_names},
    {'D', OPT_HAS_ARG, "D", databits_names},
    {'F', OPT_HAS_ARG, "F", flow_names},
    {'I', OPT_HAS_ARG, "I", interval_names},
    {'A', OPT_HAS_ARG, "A", attempts_names},
    {'T', OPT_HAS_ARG, "T", timeout_names},
    {'R', OPT_HAS_ARG, "R", retries_names},
    {0, 0, nullptr, nullptr},
};

static const speed_entry *find_speed(uint32_t rate)
{
    for (const speed_entry &e : speed_table) {
        if (e.rate == rate) {
            return &e;
        }
    }
    return nullptr;
}

speed_t speed_code(uint32_t rate)
{
    const speed_entry *e = find_speed(rate);
    return e != nullptr ? e->code : B9600;
}

uint32_t speed_rate(speed_t code)
{
    for (const speed_entry &e : speed_table) {
        if (e.code == code) {
            return e.rate;
        }
    }
    return 0;
}

// ---- Command line ----

// Every message reads "invalid <what>: "<value>"".
[[noreturn]] static void reject_value(opt_result *list, const char *what, const char *value)
{
    LOG_ERRNO(LOG_ERR, "invalid %s: \"%s\"\n", what, value);
    free(list);
    puts(usage_text);
    exit(1);
}

static speed_t option_speed(opt_result *list)
{
    const char *v = opt_get(list, 'B', 0);
    if (v == nullptr) {
        return B9600;
    }
    const speed_entry *e = find_speed(static_cast<uint32_t>(atoi(v)));
    if (e == nullptr) {
        reject_value(list, "baudrate", v);
    }
    return e->code;
}

static tcflag_t option_parity(opt_result *list)
{
    const char *v = opt_get(list, 'P', 0);
    if (v == nullptr || strcmp(v, "none") == 0) {
        return 0;
    }
    if (strcmp(v, "odd") == 0) {
        return PARENB | PARODD;
    }
    if (strcmp(v, "even") == 0) {
        return PARENB;
    }
    reject_value(list, "parity value", v);
}

static uint8_t option_flow(opt_result *list)
{
    const char *v = opt_get(list, 'F', 0);
    if (v == nullptr || strcmp(v, "none") == 0) {
        return 0;
    }
    if (strcmp(v, "hardware") == 0) {
        return FLOW_HARDWARE;
    }
    if (strcmp(v, "software") == 0) {
        return FLOW_SOFTWARE;
    }
    reject_value(list, "flowcontrol value", v);
}

static tcflag_t option_size(opt_result *list)
{
    static constexpr tcflag_t sizes[] = {CS5, CS6, CS7, CS8};
    const char *v = opt_get(list, 'D', 0);
    if (v == nullptr) {
        return CS8;
    }
    int bits = atoi(v);
    if (bits < 5 || bits > 8) {
        reject_value(list, "character size", v);
    }
    return sizes[bits - 5];
}

static bool is_negative(const char *text)
{
    while (isspace(static_cast<unsigned char>(*text))) {
        text++;
    }
    return *text == '-';
}

// Milliseconds with an optional fraction, truncated toward zero; values beyond 32 bits are
// clamped rather than left to an undefined conversion.
static bool convert_ms(const char *text, int32_t *out)
{
    char *end = nullptr;
    errno = 0;
    long double v = strtold(text, &end);
    if (errno != 0 || end == text) {
        return false;
    }
    if (v != v) {
        errno = EINVAL;
        return false;
    }
    if (v >= INT32_MAX) {
        *out = INT32_MAX;
    } else if (v <= INT32_MIN) {
        *out = INT32_MIN;
    } else {
        *out = static_cast<int32_t>(v);
    }
    return true;
}

// An unsigned decimal count; one that needs more than 32 bits is out of range on every
// platform, not only where unsigned long is 32 bits wide.
static bool convert_count(const char *text, uint32_t *out)
{
    char *end = nullptr;
    errno = 0;
    unsigned long v = strtoul(text, &end, 10);
    if (errno != 0 || end == text) {
        return false;
    }
    if (v != static_cast<uint32_t>(v)) {
        errno = ERANGE;
        return false;
    }
    *out = static_cast<uint32_t>(v);
    return true;
}

static int32_t option_ms(opt_result *list, int code, const char *what, int32_t fallback,
                         bool negative_ok)
{
    const char *v = opt_get(list, code, 0);
    int32_t ms = fallback;
    if (v != nullptr && ((!negative_ok && is_negative(v)) || !convert_ms(v, &ms))) {
        reject_value(list, what, v);
    }
    return ms;
}

// A negative count would wrap to a huge one, so it is refused like any other bad value.
static uint32_t option_count(opt_result *list, int code, const char *what, uint32_t fallback)
{
    const char *v = opt_get(list, code, 0);
    uint32_t n = fallback;
    if (v != nullptr && (is_negative(v) || !convert_count(v, &n))) {
        reject_value(list, what, v);
    }
    return n;
}

// Validates in the documented order, so the first bad value is the one reported.
static void parse_options(opt_result *list, serial_settings *s)
{
    speed_t speed = option_speed(list);
    tcflag_t parity = option_parity(list);
    s->cmdline_flow = option_flow(list);
    tcflag_t stop = opt_count(list, 'S') > 0 ? CSTOPB : 0;
    tcflag_t size = option_size(list);
    s->accum_interval = option_ms(list, 'I', "interval", 0, false);
    s->accum_attempts = option_count(list, 'A', "accum max attempts", 3);
    s->failopen_timeout = option_ms(list, 'T', "failopen timeout", 100, true);
    s->failopen_retries = option_count(list, 'R', "failopen retries", 16);

    // Raw mode: no input, output or local processing and no control characters.
    s->active.c_cflag = CREAD | CLOCAL | parity | stop | size;
    cfsetispeed(&s->active, speed);
    cfsetospeed(&s->active, speed);
    s->template_ = s->active;
    s->flow = s->cmdline_flow;
}

void serial_init(connector *conn, int argc, char **argv)
{
    conn->tty_open = serial_tty_open;
    conn->tty_close = serial_tty_close;
    conn->tty_read = serial_tty_read;
    conn->tty_write = serial_tty_write;
    conn->destroy = serial_destroy;
    conn->report_local = serial_report;
    conn->tty_pending = false;
    auto *s = static_cast<serial_settings *>(xcalloc(1, sizeof(serial_settings)));
    conn->local_priv = s;
    conn->tty_held = &s->suspended;

    opt_result *list = opt_parse_section(&argc, argv, serial_options, usage_text, 1);
    parse_options(list, s);
    s->path = argv[1];
    free(list);
}

// ---- Opening ----

static void retry_pause(int32_t ms)
{
    timespec t;
    timespec_set(&t, ms / 1000, (ms % 1000) * 1000000);
    nanosleep(&t, &t);
}

// Open attempts succeed only with errno untouched; a failure's errno is kept for the final
// message because logging and pausing may overwrite it.
static int open_with_retries(serial_settings *s)
{
    uint32_t left = s->failopen_retries;
    int err = 0;
    for (;;) {
        if (left == 0) {
            errno = err;
            LOG_ERRNO(LOG_ERR, "Failed to open tty %s, no retries left, exiting\n", s->path);
            exit(1);
        }
        errno = 0;
        int fd = open(s->path, O_RDWR | O_NOCTTY | O_NONBLOCK | O_SYNC);
        err = errno;
        if (fd >= 0 && err == 0) {
            return fd;
        }
        if (fd >= 0) {
            close(fd);
        }
        left--;
        LOG(LOG_INFO, "open tty %s failed, waiting %ld ms (%d retries left)\n", s->path,
            static_cast<long>(s->failopen_timeout), static_cast<int>(left));
        retry_pause(s->failopen_timeout);
    }
}

// A lock held by another process makes flock wait; only failing calls use up retries.
static void lock_with_retries(serial_settings *s, int fd)
{
    uint32_t left = s->failopen_retries;
    int err = 0;
    for (;;) {
        if (left == 0) {
            errno = err;
            LOG_ERRNO(LOG_ERR, "Flock failed, no retries left, exiting\n");
            exit(1);
        }
        errno = 0;
        if (flock(fd, LOCK_EX) == 0 && errno == 0) {
            return;
        }
        err = errno;
        left--;
        LOG(LOG_INFO, "flock failed, waiting %ld ms (%d retries left)\n",
            static_cast<long>(s->failopen_timeout), static_cast<int>(left));
        retry_pause(s->failopen_timeout);
    }
}

static void configure_with_retries(serial_settings *s, int fd)
{
    uint32_t left = s->failopen_retries;
    int err = 0;
    for (;;) {
        if (left == 0) {
            errno = err;
            LOG_ERRNO(LOG_ERR, "tcsetattr failed, no retries left, exiting\n");
            exit(1);
        }
        errno = 0;
        if (serial_tcsetattr(fd, TCSANOW, &s->active) == 0 && errno == 0) {
            return;
        }
        err = errno;
        left--;
        LOG(LOG_INFO, "tcsetattr failed, waiting %ld ms (%d retries left)\n",
            static_cast<long>(s->failopen_timeout), static_cast<int>(left));
        retry_pause(s->failopen_timeout);
    }
}

int open_tty(serial_settings *s)
{
    LOG(LOG_INFO, "open tty %s\n", s->path);
    int fd = open_with_retries(s);
    lock_with_retries(s, fd);
    return fd;
}

static tcflag_t size_bits(uint8_t datasize)
{
    switch (datasize) {
    case 5:
        return CS5;
    case 6:
        return CS6;
    case 7:
        return CS7;
    default:
        return CS8;
    }
}

// Parity in RFC 2217 numbering: 2 odd, 3 even; mark, space and none all mean no parity.
static tcflag_t parity_bits(uint8_t parity)
{
    if (parity == 2) {
        return PARENB | PARODD;
    }
    return parity == 3 ? PARENB : 0;
}

static void apply_flow(const serial_settings *s, int fd, termios *t)
{
    t->c_iflag &= ~(IXON | IXANY | IXOFF);
    t->c_cflag &= ~CRTSCTS;
    if (s->flow == FLOW_SOFTWARE) {
        t->c_iflag |= IXON | IXOFF;
    } else if (s->flow == FLOW_HARDWARE) {
        t->c_cflag |= CRTSCTS;
        // With hardware flow control RTS says we are ready to receive.
        set_modem_signals(fd, CONTROL_RTS_ON);
    }
}

// Only non-zero pending values touch t; the rest keeps what is already there.
static void apply_pending(const serial_settings *s, int fd, termios *t)
{
    if (s->baud != 0) {
        cfsetispeed(t, speed_code(s->baud));
        cfsetospeed(t, speed_code(s->baud));
    }
    if (s->datasize != 0) {
        t->c_cflag = (t->c_cflag & ~CSIZE) | size_bits(s->datasize);
    }
    if (s->parity != 0) {
        t->c_cflag = (t->c_cflag & ~(PARENB | PARODD)) | parity_bits(s->parity);
    }
    if (s->stopsize != 0) {
        t->c_cflag = (t->c_cflag & ~CSTOPB) | (s->stopsize == 2 ? CSTOPB : 0);
    }
    if (s->flow != 0) {
        apply_flow(s, fd, t);
    }
}

// What the driver kept of the last configuration becomes active: a pty, for one, takes a
// request for parity and drops it without a word, and answers must not claim otherwise.
static void read_back(serial_settings *s, int fd)
{
    termios kept{};
    if (serial_tcgetattr(fd, &kept) == 0) {
        s->active = kept;
    }
}

// A request for the open tty is tried once: a value the line cannot take is the requester's
// mistake, not a reason to give up the line. The settings in force are put back, since the
// driver may have taken part of it.
static int apply_request(serial_settings *s, int fd)
{
    termios wanted = s->active;
    apply_pending(s, fd, &wanted);
    if (serial_tcsetattr(fd, TCSANOW, &wanted) == 0) {
        read_back(s, fd);
        return 0;
    }
    LOG_ERRNO(LOG_DEBUG, "tcsetattr failed\n");
    (void)serial_tcsetattr(fd, TCSANOW, &s->active);
    return -1;
}

int serial_tty_open(connector *conn)
{
    auto *s = static_cast<serial_settings *>(conn->local_priv);
    s->suspended = 0;
    if (conn->tty_fd >= 0) {
        return apply_request(s, conn->tty_fd);
    }
    conn->tty_fd = open_tty(s);
    s->opens++;
    apply_pending(s, conn->tty_fd, &s->active);
    configure_with_retries(s, conn->tty_fd);
    read_back(s, conn->tty_fd);
    return 0;
}

// ---- Closing, reading, writing ----

void serial_tty_close(connector *conn)
{
    auto *s = static_cast<serial_settings *>(conn->local_priv);
    if (conn->tty_fd == -1) {
        return;
    }
    LOG(LOG_INFO, "close tty\n");
    close(conn->tty_fd);
    conn->tty_fd = -1;
    // Closed while clients remain, the tty has hung up and is about to be reopened: the
    // settings its clients made stay pending and active, so the reopened line has them too.
    if (conn->nfds > 2) {
        return;
    }
    s->baud = 0;
    s->datasize = 0;
    s->parity = 0;
    s->stopsize = 0;
    // The command-line flow control belongs to every opening, not only the first.
    s->flow = s->cmdline_flow;
    s->active = s->template_;
}

void serial_tty_read(connector *conn)
{
    auto *s = static_cast<serial_settings *>(conn->local_priv);
    int32_t n;
    if (s->accum_interval != 0) {
        n = exhaustive_read(conn->tty_fd, conn->from_tty, s->accum_interval, s->accum_attempts);
    } else {
        n = rcqb_read_fd(conn->tty_fd, conn->from_tty, QUEUE_BLOCK_SIZE);
    }
    s->bytes_read += static_cast<uint64_t>(n > 0 ? n : 0);
    LOG(LOG_DEBUG, "read %zd bytes from tty\n", static_cast<ssize_t>(n));
}

void serial_tty_write(connector *conn)
{
    auto *s = static_cast<serial_settings *>(conn->local_priv);
    if (conn->tty_fd < 0 || s->suspended != 0) {
        return;
    }
    int32_t n = rcqb_write_fd(conn->tty_fd, conn->tty_reader, rcqb_available(conn->tty_reader));
    if (n >= 1) {
        s->bytes_written += static_cast<uint64_t>(n);
        conn->tty_pending = false;
        LOG(LOG_DEBUG, "wrote %zd bytes into tty\n", static_cast<ssize_t>(n));
    }
}

serial_line serial_line_in_force(const serial_settings *s)
{
    // The size codes CS5 to CS8 are 0 to 3 times CS6.
    static_assert(CS5 == 0 && CS7 == 2 * CS6 && CS8 == 3 * CS6);
    static constexpr uint8_t sizes[] = {5, 6, 7, 8};
    const termios &t = s->active;
    serial_line line{};
    line.baud = speed_rate(cfgetospeed(&t));
    line.datasize = sizes[(t.c_cflag & CSIZE) / CS6];
    line.parity = !(t.c_cflag & PARENB) ? 1 : (t.c_cflag & PARODD) ? 2 : 3;
    line.stopsize = (t.c_cflag & CSTOPB) ? 2 : 1;
    line.flow = (t.c_iflag & IXON) && (t.c_iflag & IXOFF) ? 2 : (t.c_cflag & CRTSCTS) ? 3 : 1;
    return line;
}

void serial_report(const connector *conn)
{
    static constexpr const char *parities[] = {"none", "odd", "even"};
    static constexpr const char *flows[] = {"none", "software", "hardware"};
    const auto *s = static_cast<const serial_settings *>(conn->local_priv);
    serial_line line = serial_line_in_force(s);
    LOG(LOG_INFO,
        "stats tty path=%s open=%s speed=%" PRIu32 " databits=%d parity=%s stopbits=%d flow=%s "
        "read=%" PRIu64 " written=%" PRIu64 " opens=%" PRIu32 " hangups=%" PRIu32 "\n",
        s->path, conn->tty_fd != -1 ? "yes" : "no", line.baud, line.datasize,
        parities[line.parity - 1], line.stopsize, flows[line.flow - 1], s->bytes_read,
        s->bytes_written, s->opens, conn->tty_hangups);
}

void serial_destroy(connector *conn)
{
    conn->tty_close(conn);
    free(conn->local_priv);
    free(conn);
}
