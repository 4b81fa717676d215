// Modem lines through a fake ioctl: a pty has none.
#include "rfc2217-mctrl.h"

#include <sys/ioctl.h>

#include <algorithm>
#include <utility>

#include "support/common.h"

static int fake_lines = 0; // the simulated line word; -1 makes TIOCMGET fail, -2 TIOCMSET
static std::vector<unsigned long> fake_requests;

TEST(ModemControl, StateByteFlagsEveryChangedLineAndSetControlChangesOnlyItsLine)
{
    const struct {
        int lines;
        uint8_t expected;
        std::string logged; // the INFO lines without " modemstate changed to"
    } steps[] = {
        {TIOCM_CAR | TIOCM_DSR | TIOCM_CTS | TIOCM_DTR, 0xBB, "CD ON\nDSR ON\nCTS ON\n"},
        {TIOCM_CAR | TIOCM_DSR | TIOCM_CTS, 0xB0, ""},
        {-1, 0x0B, "CD OFF\nDSR OFF\nCTS OFF\n"}, // a failed read looks like every line off
        {TIOCM_RNG, 0x44, "RI ON\n"},
        {0, 0x04, "RI OFF\n"},
    };
    const auto saved =
        std::exchange(rfc2217_mctrl_ioctl, [](int, unsigned long request, int *word) {
            fake_requests.push_back(request);
            if (fake_lines == (request == TIOCMGET ? -1 : -2)) {
                errno = EIO;
                return -1;
            }
            if (request == TIOCMGET) {
                *word = fake_lines;
            } else {
                fake_lines = *word;
            }
            return 0;
        });
    const std::string changed = " modemstate changed to";
    uint8_t last = 0;
    for (const auto &s : steps) {
        SCOPED_TRACE("lines " + std::to_string(s.lines));
        fake_lines = s.lines;
        log_capture cap;
        EXPECT_EQ(update_modemstate(&last, 3), s.expected);
        EXPECT_EQ(last, s.expected);
        std::string info;
        for (size_t i = 0; i < cap.bodies.size(); i++) {
            std::string b = cap.bodies[i];
            info += cap.levels[i] == LOG_INFO ? b.erase(b.find(changed), changed.size()) : "";
        }
        EXPECT_EQ(info, s.logged);
        EXPECT_EQ(std::count(cap.bodies.begin(), cap.bodies.end(),
                             "errno: Input/output error, ioctl(modemfd,TIOCMGET,...) error\n"),
                  s.lines == -1 ? 1 : 0);
    }
    const int rows[][3] = {
        // lines before, code, lines after
        {TIOCM_RTS, 8, TIOCM_RTS | TIOCM_DTR},
        {TIOCM_DTR | TIOCM_RTS, 9, TIOCM_RTS},
        {TIOCM_DTR | TIOCM_CTS, 11, TIOCM_DTR | TIOCM_CTS | TIOCM_RTS},
        {TIOCM_DTR | TIOCM_RTS, 12, TIOCM_DTR},
        {TIOCM_DTR | TIOCM_RTS, 10, TIOCM_DTR | TIOCM_RTS},
        {-1, 8, -1},
        {-2, 8, -2},
    };
    for (const auto &r : rows) {
        SCOPED_TRACE("code " + std::to_string(r[1]));
        fake_lines = r[0];
        fake_requests.clear();
        std::vector<unsigned long> want{TIOCMGET, TIOCMSET};
        want.resize(r[0] == -1 ? 1 : 2);
        EXPECT_EQ(set_modem_signals(3, r[1]) != 0, r[0] < 0);
        EXPECT_EQ(fake_requests, want);
        EXPECT_EQ(fake_lines, r[2]);
    }
    rfc2217_mctrl_ioctl = saved;
}
