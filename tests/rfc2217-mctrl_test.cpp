// Modem lines through a fake ioctl (a pty has none), plus one call through the real ioctl.
#include "rfc2217-mctrl.h"

#include <gtest/gtest.h>
#include <sys/ioctl.h>
#include <syslog.h>

#include <string>
#include <vector>

#include "support/log_capture.h"
#include "support/pty_pair.h"

namespace {

struct ioctl_call {
    unsigned long request;
    int word;
};

// The simulated line word, whether reads fail, and every call made.
int fake_lines = 0;
bool fake_get_fails = false;
bool fake_set_fails = false;
std::vector<ioctl_call> fake_calls;

int fake_ioctl(int, unsigned long request, int *word)
{
    if (request == TIOCMGET) {
        fake_calls.push_back({request, 0});
        if (fake_get_fails) {
            errno = EIO;
            return -1;
        }
        *word = fake_lines;
        return 0;
    }
    fake_calls.push_back({request, *word});
    if (fake_set_fails) {
        errno = EIO;
        return -1;
    }
    fake_lines = *word;
    return 0;
}

class ModemControl : public ::testing::Test {
  protected:
    void SetUp() override
    {
        fake_lines = 0;
        fake_get_fails = false;
        fake_set_fails = false;
        fake_calls.clear();
        rfc2217_mctrl_ioctl = fake_ioctl;
    }
    void TearDown() override
    {
        rfc2217_mctrl_ioctl = saved;
    }
    int (*saved)(int, unsigned long, int *) = rfc2217_mctrl_ioctl;
};

struct modem_step {
    int lines;
    bool get_fails;
    uint8_t expected;
    std::vector<std::string> logged; // INFO lines, in order
};

void run_steps(const std::vector<modem_step> &steps)
{
    uint8_t last = 0;
    for (size_t i = 0; i < steps.size(); i++) {
        SCOPED_TRACE("step " + std::to_string(i));
        fake_lines = steps[i].lines;
        fake_get_fails = steps[i].get_fails;
        log_capture cap;
        EXPECT_EQ(update_modemstate(&last, 3), steps[i].expected);
        EXPECT_EQ(last, steps[i].expected);
        std::vector<std::string> info;
        for (const auto &l : cap.lines) {
            if (l.level == LOG_INFO) {
                info.push_back(l.text.substr(l.text.find("]: ") + 3));
            }
        }
        EXPECT_EQ(info, steps[i].logged);
    }
}

} // namespace

TEST_F(ModemControl, FirstComputationFlagsEveryLineThatIsOn)
{
    run_steps({
        {TIOCM_CAR | TIOCM_DSR | TIOCM_CTS | TIOCM_DTR,
         false,
         0xBB,
         {"CD modemstate changed to ON\n", "DSR modemstate changed to ON\n",
          "CTS modemstate changed to ON\n"}},
        {TIOCM_CAR | TIOCM_DSR | TIOCM_CTS, false, 0xB0, {}},
        // A failed read looks like every line off: each one is reported as gone.
        {0,
         true,
         0x0B,
         {"CD modemstate changed to OFF\n", "DSR modemstate changed to OFF\n",
          "CTS modemstate changed to OFF\n"}},
    });
}

TEST_F(ModemControl, RingIndicatorChangeIsReportedOnBothEdges)
{
    run_steps({
        {TIOCM_RNG, false, 0x44, {"RI modemstate changed to ON\n"}},
        {0, false, 0x04, {"RI modemstate changed to OFF\n"}},
        {0, false, 0x00, {}},
    });
}

TEST_F(ModemControl, SetControlChangesOnlyItsLine)
{
    struct row {
        int before;
        int code;
        int after;
    };
    const row rows[] = {
        {TIOCM_RTS, 8, TIOCM_RTS | TIOCM_DTR},
        {TIOCM_DTR | TIOCM_RTS, 9, TIOCM_RTS},
        {TIOCM_DTR | TIOCM_CTS, 11, TIOCM_DTR | TIOCM_CTS | TIOCM_RTS},
        {TIOCM_DTR | TIOCM_RTS, 12, TIOCM_DTR},
        {TIOCM_DTR | TIOCM_RTS, 10, TIOCM_DTR | TIOCM_RTS},
    };
    for (const row &r : rows) {
        SCOPED_TRACE("code " + std::to_string(r.code));
        fake_lines = r.before;
        fake_calls.clear();
        EXPECT_EQ(set_modem_signals(3, r.code), 0);
        ASSERT_EQ(fake_calls.size(), 2u);
        EXPECT_EQ(fake_calls[1].request, static_cast<unsigned long>(TIOCMSET));
        EXPECT_EQ(fake_calls[1].word, r.after);
    }
}

TEST_F(ModemControl, FailedReadGivesNoLinesAndWritesNothing)
{
    fake_lines = TIOCM_DTR | TIOCM_CTS;
    fake_get_fails = true;
    log_capture cap;
    EXPECT_EQ(get_modem_signals(3), 0);
    EXPECT_NE(set_modem_signals(3, 8), 0);
    for (const ioctl_call &c : fake_calls) {
        EXPECT_EQ(c.request, static_cast<unsigned long>(TIOCMGET));
    }
    EXPECT_TRUE(cap.contains("errno: Input/output error, ioctl(modemfd,TIOCMGET,...) error\n"));
}

TEST_F(ModemControl, FailedWriteIsReportedByResult)
{
    fake_set_fails = true;
    log_capture cap;
    EXPECT_EQ(set_modem_signals(3, 11), -1);
    EXPECT_TRUE(cap.contains("errno: Input/output error, ioctl(modemfd,TIOCMSET,...) error\n"));
}

TEST(ModemControlOnPty, RealIoctlReadsNoLinesFromPty)
{
    pty_pair p;
    log_capture cap;
    EXPECT_EQ(get_modem_signals(p.slave), 0);
    ASSERT_EQ(cap.lines.size(), 2u);
    EXPECT_EQ(cap.lines[1].level, LOG_ERR);
    EXPECT_NE(cap.lines[1].text.find("ioctl(modemfd,TIOCMGET,...) error"), std::string::npos);
}
