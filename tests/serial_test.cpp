// The serial side against a real pty. A pty keeps neither character size nor parity (tcsetattr
// refuses some of them outright), so configuration requests are recorded through the
// serial_tcsetattr seam instead of read back from the pty.
#include "serial.h"

#include <gtest/gtest.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <vector>

#include "connector.h"
#include "log.h"
#include "rcqb.h"
#include "rfc2217-mctrl.h"
#include "support/log_capture.h"
#include "support/pty_pair.h"
#include "util.h"

namespace {

std::vector<termios> tcsetattr_requests;
int tcsetattr_failures = 0; // how many of the next requests fail with EINVAL

int recording_tcsetattr(int, int, const termios *tio)
{
    tcsetattr_requests.push_back(*tio);
    if (tcsetattr_failures > 0) {
        tcsetattr_failures--;
        errno = EINVAL;
        return -1;
    }
    return 0;
}

std::vector<int> modem_writes;

int recording_ioctl(int, unsigned long request, int *word)
{
    if (request == TIOCMSET) {
        modem_writes.push_back(*word);
    } else {
        *word = 0;
    }
    return 0;
}

constexpr tcflag_t FLOW_BITS_I = IXON | IXOFF | IXANY;

class Serial : public ::testing::Test {
  protected:
    void SetUp() override
    {
        tcsetattr_requests.clear();
        tcsetattr_failures = 0;
        modem_writes.clear();
        serial_tcsetattr = recording_tcsetattr;
        rfc2217_mctrl_ioctl = recording_ioctl;
    }

    void TearDown() override
    {
        release();
        serial_tcsetattr = saved_tcsetattr;
        rfc2217_mctrl_ioctl = saved_ioctl;
    }

    // Runs the init on "serial <args...>" with a connector as connector_init leaves it.
    void init(const std::vector<std::string> &args)
    {
        words = {"serial"};
        words.insert(words.end(), args.begin(), args.end());
        argv.clear();
        for (std::string &w : words) {
            argv.push_back(&w[0]);
        }
        argv.push_back(nullptr);
        conn = static_cast<connector *>(xcalloc(1, sizeof(connector)));
        conn->tty_fd = -1;
        serial_init(conn, static_cast<int>(words.size()), argv.data());
    }

    // The init followed by the queues the event loop would create.
    void init_with_queues(const std::vector<std::string> &args)
    {
        init(args);
        conn->to_tty = rcqb_create(QUEUE_BLOCK_SIZE);
        conn->from_tty = rcqb_create(QUEUE_BLOCK_SIZE);
        conn->tty_reader = rcqb_clone(conn->to_tty);
    }

    // What connector_cleanup and start-up would release.
    void release()
    {
        if (conn == nullptr) {
            return;
        }
        for (rcqb *q : {conn->tty_reader, conn->to_tty, conn->from_tty}) {
            if (q != nullptr) {
                rcqb_free(q);
            }
        }
        serial_destroy(conn);
        conn = nullptr;
    }

    serial_settings *settings()
    {
        return static_cast<serial_settings *>(conn->local_priv);
    }

    const termios &last_request()
    {
        EXPECT_FALSE(tcsetattr_requests.empty());
        return tcsetattr_requests.back();
    }

    pty_pair pty;
    connector *conn = nullptr;
    std::vector<std::string> words;
    std::vector<char *> argv;
    int (*saved_tcsetattr)(int, int, const termios *) = serial_tcsetattr;
    int (*saved_ioctl)(int, unsigned long, int *) = rfc2217_mctrl_ioctl;
};

bool termios_equal(const termios &a, const termios &b)
{
    return memcmp(&a, &b, sizeof a) == 0;
}

// Waits until the tty's input queue holds at least n bytes.
bool wait_input(int fd, int n)
{
    for (int i = 0; i < 1000; i++) {
        int queued = 0;
        if (ioctl(fd, FIONREAD, &queued) == 0 && queued >= n) {
            return true;
        }
        poll(nullptr, 0, 5);
    }
    return false;
}

std::string read_master(int fd, size_t n)
{
    std::string got;
    char buf[512];
    while (got.size() < n) {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, 5000) <= 0) {
            break;
        }
        ssize_t r = read(fd, buf, sizeof buf);
        if (r <= 0) {
            break;
        }
        got.append(buf, static_cast<size_t>(r));
    }
    return got;
}

} // namespace

TEST_F(Serial, InitBuildsRawTemplateFromOptions)
{
    struct row {
        std::vector<std::string> args;
        tcflag_t cflag; // speed bits excluded
        speed_t speed;
        uint8_t flow;
        int32_t interval;
        uint32_t attempts;
        int32_t timeout;
        uint32_t retries;
    };
    const tcflag_t base = CREAD | CLOCAL;
    const row rows[] = {
        {{"/dev/ttyS0"}, base | CS8, B9600, 0, 0, 3, 100, 16},
        {{"/dev/ttyS0", "-S", "-P", "odd", "-D", "7"},
         base | PARENB | PARODD | CSTOPB | CS7,
         B9600,
         0,
         0,
         3,
         100,
         16},
        {{"-P", "even", "-D", "5", "/dev/ttyS0"}, base | PARENB | CS5, B9600, 0, 0, 3, 100, 16},
        {{"/dev/ttyS0", "-P", "none", "-D", "6", "-F", "none"},
         base | CS6,
         B9600,
         0,
         0,
         3,
         100,
         16},
        {{"/dev/ttyS0", "-B", "115200x", "-F", "hardware"}, base | CS8, B115200, 4, 0, 3, 100, 16},
        {{"/dev/ttyS0", "--baudrate=50", "--flow=software", "--two-stopbits"},
         base | CSTOPB | CS8,
         B50,
         8,
         0,
         3,
         100,
         16},
        {{"/dev/ttyS0", "-I", "2.9", "-A", "0", "-T", "2.5", "-R", "0"},
         base | CS8,
         B9600,
         0,
         2,
         0,
         2,
         0},
        {{"/dev/ttyS0", "-I", "0.5", "-A", "7x", "--failopen-timeout=-3", "-R", " 4"},
         base | CS8,
         B9600,
         0,
         0,
         7,
         -3,
         4},
        {{"/dev/ttyS0", "--accum-interval=1e12"}, base | CS8, B9600, 0, 2147483647, 3, 100, 16},
    };
    for (const row &r : rows) {
        std::string trace;
        for (const auto &a : r.args) {
            trace += a + " ";
        }
        SCOPED_TRACE(trace);
        init(r.args);
        serial_settings *s = settings();
        EXPECT_STREQ(s->path, "/dev/ttyS0");
        EXPECT_EQ(s->active.c_cflag & ~CBAUD, r.cflag);
        EXPECT_EQ(cfgetispeed(&s->active), r.speed);
        EXPECT_EQ(cfgetospeed(&s->active), r.speed);
        EXPECT_EQ(s->active.c_iflag | s->active.c_oflag | s->active.c_lflag, 0u);
        for (cc_t c : s->active.c_cc) {
            EXPECT_EQ(c, 0);
        }
        EXPECT_TRUE(termios_equal(s->active, s->template_));
        EXPECT_EQ(s->flow, r.flow);
        EXPECT_EQ(s->baud | s->datasize | s->parity | s->stopsize | s->suspended, 0u);
        EXPECT_EQ(s->accum_interval, r.interval);
        EXPECT_EQ(s->accum_attempts, r.attempts);
        EXPECT_EQ(s->failopen_timeout, r.timeout);
        EXPECT_EQ(s->failopen_retries, r.retries);
        EXPECT_TRUE(conn->tty_open && conn->tty_close && conn->tty_read && conn->tty_write &&
                    conn->destroy);
        release();
    }
}

TEST_F(Serial, BadCommandLinePrintsUsageAndExits1)
{
    // The full table of bad values runs against the binary; these are the edges of each check.
    const std::vector<std::string> cases[] = {
        {"/dev/ttyS0", "-B", "14400"},
        {"/dev/ttyS0", "-D", "4"},
        {"/dev/ttyS0", "-I-5"},
        {"/dev/ttyS0", "--failopen-retries= -1"},
        {"/dev/ttyS0", "-R", "99999999999999999999"},
        {"/dev/ttyS0", "-A", "4294967296"},
        {"/dev/ttyS0", "/dev/ttyS1"},
    };
    for (const auto &args : cases) {
        std::string trace;
        for (const auto &a : args) {
            trace += a + " ";
        }
        SCOPED_TRACE(trace);
        // The usage text goes to stdout; send it where the death test can see it.
        EXPECT_EXIT((dup2(2, 1), init(args)), ::testing::ExitedWithCode(1),
                    "^serial <tty> \\[options\\] +Plain serial port\n.*print this message and "
                    "exit\n\n$");
    }
}

TEST_F(Serial, OpenAppliesPendingSettingsOverTemplate)
{
    struct row {
        const char *what;
        std::vector<std::string> args;
        uint32_t baud;
        uint8_t datasize, parity, stopsize;
        tcflag_t cflag; // speed bits excluded
        speed_t speed;
    };
    const tcflag_t base = CREAD | CLOCAL;
    const row rows[] = {
        {"nothing pending", {"-B", "115200"}, 0, 0, 0, 0, base | CS8, B115200},
        {"rate not in table", {"-B", "115200"}, 14400, 0, 0, 0, base | CS8, B9600},
        {"rate", {}, 57600, 0, 0, 0, base | CS8, B57600},
        {"size 7", {"-D", "5"}, 0, 7, 0, 0, base | CS7, B9600},
        {"size 9 means 8", {"-D", "5"}, 0, 9, 0, 0, base | CS8, B9600},
        {"odd", {}, 0, 0, 2, 0, base | CS8 | PARENB | PARODD, B9600},
        {"even", {"-P", "odd"}, 0, 0, 3, 0, base | CS8 | PARENB, B9600},
        {"mark", {"-P", "odd"}, 0, 0, 4, 0, base | CS8, B9600},
        {"space", {"-P", "even"}, 0, 0, 5, 0, base | CS8, B9600},
        {"two stop bits", {}, 0, 0, 0, 2, base | CS8 | CSTOPB, B9600},
        {"one stop bit", {"-S"}, 0, 0, 0, 1, base | CS8, B9600},
    };
    for (const row &r : rows) {
        SCOPED_TRACE(r.what);
        std::vector<std::string> args = {pty.path};
        args.insert(args.end(), r.args.begin(), r.args.end());
        init(args);
        serial_settings *s = settings();
        s->baud = r.baud;
        s->datasize = r.datasize;
        s->parity = r.parity;
        s->stopsize = r.stopsize;
        tcsetattr_requests.clear();
        EXPECT_EQ(serial_tty_open(conn), 0);
        EXPECT_GE(conn->tty_fd, 0);
        const termios &t = last_request();
        EXPECT_EQ(t.c_cflag & ~CBAUD, r.cflag);
        EXPECT_EQ(cfgetospeed(&t), r.speed);
        EXPECT_EQ(cfgetispeed(&t), r.speed);
        release();
    }
}

TEST_F(Serial, PendingFlowControlSwitchesBitsAndRaisesRtsForHardware)
{
    init({pty.path});
    serial_settings *s = settings();
    s->flow = 8;
    serial_tty_open(conn);
    EXPECT_EQ(last_request().c_iflag & FLOW_BITS_I, static_cast<tcflag_t>(IXON | IXOFF));
    EXPECT_EQ(last_request().c_cflag & CRTSCTS, 0u);
    EXPECT_TRUE(modem_writes.empty());

    int fd = conn->tty_fd;
    s->flow = 4;
    serial_tty_open(conn);
    EXPECT_EQ(conn->tty_fd, fd); // already open: only reconfigured
    EXPECT_EQ(last_request().c_iflag & FLOW_BITS_I, 0u);
    EXPECT_EQ(last_request().c_cflag & CRTSCTS, static_cast<tcflag_t>(CRTSCTS));
    ASSERT_EQ(modem_writes.size(), 1u);
    EXPECT_EQ(modem_writes[0], TIOCM_RTS);

    s->flow = 16;
    serial_tty_open(conn);
    EXPECT_EQ(last_request().c_iflag & FLOW_BITS_I, 0u);
    EXPECT_EQ(last_request().c_cflag & CRTSCTS, 0u);
}

TEST_F(Serial, OpenClearsSuspendAndRetriesRefusedConfiguration)
{
    init({pty.path, "-T", "1", "-R", "3"});
    settings()->suspended = 1;
    tcsetattr_failures = 2;
    log_capture cap;
    EXPECT_EQ(serial_tty_open(conn), 0);
    EXPECT_EQ(settings()->suspended, 0);
    EXPECT_EQ(tcsetattr_requests.size(), 3u);
    EXPECT_TRUE(cap.contains("tcsetattr failed, waiting 1 ms (2 retries left)\n"));
    EXPECT_TRUE(cap.contains("tcsetattr failed, waiting 1 ms (1 retries left)\n"));
}

TEST_F(Serial, CloseRestoresCommandLineConfiguration)
{
    init({pty.path, "-B", "19200", "-F", "hardware"});
    serial_settings *s = settings();
    s->baud = 115200;
    s->datasize = 7;
    s->parity = 3;
    s->stopsize = 2;
    s->flow = 8;
    serial_tty_open(conn);
    EXPECT_FALSE(termios_equal(s->active, s->template_));
    {
        log_capture cap;
        serial_tty_close(conn);
        EXPECT_EQ(cap.bodies(), std::vector<std::string>{"close tty\n"});
    }
    EXPECT_EQ(conn->tty_fd, -1);
    EXPECT_TRUE(termios_equal(s->active, s->template_));
    EXPECT_EQ(s->baud | s->datasize | s->parity | s->stopsize, 0u);
    // The command-line flow control is pending again, so the next opening gets it too.
    EXPECT_EQ(s->flow, 4);
    serial_tty_open(conn);
    EXPECT_EQ(last_request().c_cflag & CRTSCTS, static_cast<tcflag_t>(CRTSCTS));
    EXPECT_EQ(cfgetospeed(&last_request()), static_cast<speed_t>(B19200));

    serial_tty_close(conn);
    log_capture cap;
    serial_tty_close(conn);
    EXPECT_TRUE(cap.lines.empty());
    EXPECT_EQ(conn->tty_fd, -1);
}

TEST_F(Serial, RefusedConfigurationEndsTheProcess)
{
    init({pty.path, "-T", "1", "-R", "2"});
    tcsetattr_failures = 100;
    EXPECT_EXIT((set_log_level(7), serial_tty_open(conn)), ::testing::ExitedWithCode(1),
                "\\(0 retries left\\)\n.*errno: Invalid argument, tcsetattr failed, no retries "
                "left, exiting\n$");
}

TEST_F(Serial, WriteHoldsBytesWhileSuspended)
{
    init_with_queues({pty.path});
    serial_tty_open(conn);
    rcqb_append(conn->to_tty, "hello", 5);
    conn->tty_pending = true;
    settings()->suspended = 1;
    serial_tty_write(conn);
    EXPECT_EQ(rcqb_available(conn->tty_reader), 5u);
    EXPECT_TRUE(conn->tty_pending);

    settings()->suspended = 0;
    log_capture cap;
    serial_tty_write(conn);
    EXPECT_EQ(rcqb_available(conn->tty_reader), 0u);
    EXPECT_FALSE(conn->tty_pending);
    EXPECT_TRUE(cap.contains("wrote 5 bytes into tty\n"));
    EXPECT_EQ(read_master(pty.master, 5), "hello");
}

TEST_F(Serial, ReadTakesOneBlockOrTheWholeBurst)
{
    const std::string burst(300, 'x');
    for (const char *interval : {"0", "20"}) {
        SCOPED_TRACE(std::string("-I ") + interval);
        pty_pair p;
        init_with_queues({p.path, "-I", interval, "-A", "0"});
        serial_tty_open(conn);
        rcqb *seen = rcqb_clone(conn->from_tty);
        ASSERT_EQ(write(p.master, burst.data(), burst.size()), 300);
        ASSERT_TRUE(wait_input(p.slave, 300));
        log_capture cap;
        serial_tty_read(conn);
        uint32_t expected = interval[0] == '0' ? 256 : 300;
        EXPECT_EQ(rcqb_available(seen), expected);
        EXPECT_TRUE(cap.contains("read " + std::to_string(expected) + " bytes from tty\n"));
        rcqb_free(seen);
        release();
    }
}
