// Modem lines through a fake ioctl: a pty has none.
#include "rfc2217-mctrl.h"

#include <gtest/gtest.h>
#include <sys/ioctl.h>
#include <syslog.h>

#include <string>
#include <vector>

#include "support/log_capture.h"

namespace
{

int fake_lines = 0; // the simulated line word; -1 makes TIOCMGET fail
std::vector<unsigned long> fake_requests;

int fake_ioctl(int, unsigned long request, int *word)
{
    fake_requests.push_back(request);
    if (request != TIOCMGET) {
        fake_lines = *word;
    } else if (fake_lines == -1) {
        errno = EIO;
        return -1;
    } else {
        *word = fake_lines;
    }
    return 0;
}

class ModemControl : public ::testing::Test
{
  protected:
    void SetUp() override
    {
        fake_requests.clear();
        rfc2217_mctrl_ioctl = fake_ioctl;
    }
    void TearDown() override
    {
        rfc2217_mctrl_ioctl = saved;
    }
    int (*saved)(int, unsigned long, int *) = rfc2217_mctrl_ioctl;
};

} // namespace

TEST_F(ModemControl, StateByteFlagsAndReportsEveryChangedLine)
{
    struct step {
        int lines;
        uint8_t expected;
        std::string logged; // the INFO lines
    };
    const step steps[] = {
        {TIOCM_CAR | TIOCM_DSR | TIOCM_CTS | TIOCM_DTR, 0xBB,
         "CD modemstate changed to ON\nDSR modemstate changed to ON\n"
         "CTS modemstate changed to ON\n"},
        {TIOCM_CAR | TIOCM_DSR | TIOCM_CTS, 0xB0, ""},
        // A failed read looks like every line off.
        {-1, 0x0B,
         "CD modemstate changed to OFF\nDSR modemstate changed to OFF\n"
         "CTS modemstate changed to OFF\n"},
        {TIOCM_RNG, 0x44, "RI modemstate changed to ON\n"},
        {0, 0x04, "RI modemstate changed to OFF\n"},
        {0, 0x00, ""},
    };
    uint8_t last = 0;
    for (const step &s : steps) {
        SCOPED_TRACE("lines " + std::to_string(s.lines));
        fake_lines = s.lines;
        log_capture cap;
        EXPECT_EQ(update_modemstate(&last, 3), s.expected);
        EXPECT_EQ(last, s.expected);
        std::string info;
        for (const log_line &l : cap.lines) {
            if (l.level == LOG_INFO) {
                info += l.text.substr(l.text.find("]: ") + 3);
            }
        }
        EXPECT_EQ(info, s.logged);
    }
}

TEST_F(ModemControl, SetControlChangesOnlyItsLine)
{
    const int rows[][3] = {
        // lines before, code, lines after
        {TIOCM_RTS, 8, TIOCM_RTS | TIOCM_DTR},
        {TIOCM_DTR | TIOCM_RTS, 9, TIOCM_RTS},
        {TIOCM_DTR | TIOCM_CTS, 11, TIOCM_DTR | TIOCM_CTS | TIOCM_RTS},
        {TIOCM_DTR | TIOCM_RTS, 12, TIOCM_DTR},
        {TIOCM_DTR | TIOCM_RTS, 10, TIOCM_DTR | TIOCM_RTS},
    };
    for (const auto &r : rows) {
        SCOPED_TRACE("code " + std::to_string(r[1]));
        fake_lines = r[0];
        fake_requests.clear();
        EXPECT_EQ(set_modem_signals(3, r[1]), 0);
        EXPECT_EQ(fake_requests, (std::vector<unsigned long>{TIOCMGET, TIOCMSET}));
        EXPECT_EQ(fake_lines, r[2]);
    }
}

TEST_F(ModemControl, FailedReadGivesNoLinesAndWritesNothing)
{
    fake_lines = -1;
    log_capture cap;
    EXPECT_EQ(get_modem_signals(3), 0);
    EXPECT_NE(set_modem_signals(3, 8), 0);
    EXPECT_EQ(fake_requests, (std::vector<unsigned long>{TIOCMGET, TIOCMGET}));
    EXPECT_TRUE(cap.contains("errno: Input/output error, ioctl(modemfd,TIOCMGET,...) error\n"));
}
