// The serial side against a real pty. A pty keeps neither character size nor parity (tcsetattr
// refuses some of them outright), so configurations are recorded through serial_tcsetattr.
#include "serial.h"

#include <poll.h>
#include <sys/ioctl.h>

#include <iterator>
#include <sstream>
#include <tuple>

#include "connector.h"
#include "rfc2217-mctrl.h"
#include "support/common.h"
#include "util.h"

namespace
{

std::vector<termios> requests; // every configuration handed to tcsetattr
int refusals = 0;              // how many of the next requests fail with EINVAL
std::vector<int> modem_writes; // every TIOCMSET word

constexpr tcflag_t BASE = CREAD | CLOCAL;

class Serial : public ::testing::Test
{
  protected:
    void SetUp() override
    {
        requests.assign(1, termios{}); // never empty: a missing request reads as all zeros
        refusals = 0;
        modem_writes.clear();
        serial_tcsetattr = [](int, int, const termios *tio) {
            requests.push_back(*tio);
            errno = refusals-- > 0 ? EINVAL : 0;
            return errno == 0 ? 0 : -1;
        };
        serial_tcgetattr = [](int, termios *tio) { return *tio = requests.back(), 0; };
        rfc2217_mctrl_ioctl = [](int, unsigned long request, int *word) {
            if (request == TIOCMSET) {
                modem_writes.push_back(*word);
            }
            return 0; // a read leaves the caller's zero: every line off
        };
    }

    void TearDown() override
    {
        release();
        serial_tcsetattr = tcsetattr;
        serial_tcgetattr = tcgetattr;
        rfc2217_mctrl_ioctl = saved_ioctl;
    }

    // Replaces the connector with one from "serial <path> <args>" and the event loop's queues.
    void init(const std::string &path, const std::string &args)
    {
        release();
        std::istringstream in("serial " + path + " " + args);
        words.assign(std::istream_iterator<std::string>(in), {});
        argv = argv_of(words);
        conn = static_cast<connector *>(xcalloc(1, sizeof(connector)));
        serial_init(conn, static_cast<int>(words.size()), argv.data());
        connector_init(conn);
        cfg = static_cast<serial_settings *>(conn->local_priv);
    }

    void release()
    {
        if (conn != nullptr) {
            connector_cleanup(conn);
            serial_destroy(conn);
            conn = nullptr;
        }
    }

    fd_pair pty{true};
    connector *conn = nullptr;
    serial_settings *cfg = nullptr;
    std::vector<std::string> words;
    std::vector<char *> argv;
    int (*saved_ioctl)(int, unsigned long, int *) = rfc2217_mctrl_ioctl;
};

} // namespace

TEST_F(Serial, OpenAppliesPendingSettingsOverCommandLineTemplate)
{
    const struct {
        const char *args;
        uint32_t baud;
        uint8_t datasize, parity, stopsize;
        tcflag_t cflag; // speed bits excluded
        speed_t speed;
    } rows[] = {
        {"-S -P odd -D 7", 0, 0, 0, 0, BASE | PARENB | PARODD | CSTOPB | CS7, B9600},
        {"-P even -D 5", 0, 0, 0, 0, BASE | PARENB | CS5, B9600},
        {"-P none -D 6 -F none", 0, 0, 0, 0, BASE | CS6, B9600},
        {"--baudrate=50 --two-stopbits --parity=odd --databits=7", 0, 0, 0, 0,
         BASE | CSTOPB | PARENB | PARODD | CS7, B50},
        // Pending values: only the non-zero ones replace what the command line gave.
        {"-D 5 -P odd", 57600, 7, 4, 2, BASE | CS7 | CSTOPB, B57600},
        {"-B 115200 -D 5 -P even -S", 14400, 9, 2, 1, BASE | CS8 | PARENB | PARODD, B9600},
        {"-P odd -D 6", 0, 0, 3, 0, BASE | CS6 | PARENB, B9600},
        {"-P even -S", 0, 0, 5, 0, BASE | CS8 | CSTOPB, B9600},
    };
    for (const auto &r : rows) {
        SCOPED_TRACE("row " + std::to_string(&r - rows));
        init(pty.path, r.args);
        std::tie(cfg->baud, cfg->datasize, cfg->parity, cfg->stopsize) =
            std::tie(r.baud, r.datasize, r.parity, r.stopsize);
        EXPECT_EQ(serial_tty_open(conn), 0);
        const termios &t = requests.back();
        EXPECT_EQ(t.c_cflag & ~CBAUD, r.cflag);
        EXPECT_EQ(cfgetispeed(&t), r.speed);
        EXPECT_EQ(cfgetospeed(&t), r.speed);
        EXPECT_EQ(t.c_iflag | t.c_oflag | t.c_lflag, 0u);
    }
}

TEST_F(Serial, NumericOptionsTruncateAndClamp)
{
    const char *rows[][2] = {
        // options, then interval attempts timeout retries
        {"", "0 3 100 16"},
        {"-I 2.9 -A 0 -T 2.5 -R 0", "2 0 2 0"},
        {"-A 7x --failopen-timeout=-3 --accum-interval=1e12", "2147483647 7 -3 16"},
    };
    for (const auto &r : rows) {
        init("/dev/ttyS0", r[0]);
        EXPECT_EQ(std::to_string(cfg->accum_interval) + " " + std::to_string(cfg->accum_attempts) +
                      " " + std::to_string(cfg->failopen_timeout) + " " +
                      std::to_string(cfg->failopen_retries),
                  r[1])
            << r[0];
    }
}

// The flow control bits of each pending value are checked on a real pty by the process tests.
TEST_F(Serial, PendingValuesSurviveAHangUpAndGoWithTheLastClient)
{
    init(pty.path, "-B 19200 -F software");
    serial_tty_open(conn);
    std::tie(cfg->baud, cfg->datasize, cfg->parity, cfg->stopsize, cfg->flow) =
        std::make_tuple(115200, 7, 3, 2, 4);
    refusals = 1; // a refused request restores what is in force, once, and changes nothing
    EXPECT_EQ(serial_tty_open(conn), -1);
    EXPECT_EQ(requests.back().c_iflag, static_cast<tcflag_t>(IXON | IXOFF));
    conn->nfds = 3; // a client remains: a close is a hang-up, and the reopen keeps its settings
    for (const char *step : {"applied", "reopened"}) {
        SCOPED_TRACE(step);
        EXPECT_EQ(serial_tty_open(conn), 0);
        EXPECT_EQ(requests.back().c_cflag & ~CBAUD, BASE | CS7 | PARENB | CRTSCTS | CSTOPB);
        EXPECT_EQ(requests.back().c_iflag, 0u);
        serial_tty_close(conn);
    }
    EXPECT_EQ(modem_writes, std::vector<int>(3, TIOCM_RTS));
    conn->nfds = 2;
    serial_tty_open(conn);
    serial_tty_close(conn);
    EXPECT_EQ(conn->tty_fd, -1);
    serial_tty_open(conn);
    EXPECT_EQ(requests.back().c_cflag & ~CBAUD, BASE | CS8);
    EXPECT_EQ(requests.back().c_iflag, static_cast<tcflag_t>(IXON | IXOFF));
    EXPECT_EQ(cfgetospeed(&requests.back()), static_cast<speed_t>(B19200));
}

TEST_F(Serial, RefusedConfigurationEndsTheProcessWhenRetriesRunOut)
{
    init(pty.path, "-T 1 -R 2");
    refusals = 100;
    EXPECT_EXIT((set_log_level(7), serial_tty_open(conn)), ::testing::ExitedWithCode(1),
                "waiting 1 ms \\(1 retries left\\)\n.*waiting 1 ms \\(0 retries left\\)\n.*"
                "errno: Invalid argument, tcsetattr failed, no retries left, exiting\n$");
}

TEST_F(Serial, ReadTakesOneBlockOrTheWholeBurst)
{
    const std::string burst(300, 'x');
    for (const char *interval : {"20", "0"}) { // the whole burst first: nothing is left over
        SCOPED_TRACE(std::string("-I ") + interval);
        init(pty.path, std::string("-A 0 -I ") + interval);
        serial_tty_open(conn);
        rcqb *seen = rcqb_clone(conn->from_tty);
        ASSERT_EQ(write(pty.fd[0], burst.data(), burst.size()), 300);
        int queued = 0;
        for (int i = 0; i < 1000 && queued < 300; i++) { // until the line discipline has it all
            poll(nullptr, 0, 5);
            ioctl(pty.fd[1], FIONREAD, &queued);
        }
        ASSERT_EQ(queued, 300);
        log_capture cap;
        serial_tty_read(conn);
        const std::string expected = interval[0] == '0' ? "256" : "300";
        EXPECT_EQ(std::to_string(rcqb_available(seen)), expected);
        EXPECT_EQ(cap.bodies.back(), "read " + expected + " bytes from tty\n");
        rcqb_free(seen);
    }
}
