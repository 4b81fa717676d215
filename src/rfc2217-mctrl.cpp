// Modem lines of the tty for the RFC 2217 side and the serial side: TIOCMGET/TIOCMSET through
// one replaceable ioctl, and the modem-state byte with change bits against the caller's last
// byte. Nothing here watches the lines: a change shows up at the next query.
#include "rfc2217-mctrl.h"

#include <sys/ioctl.h>

#include "log.h"

static constexpr char log_module[] = "rfc2217-mctrl";

static int real_ioctl(int fd, unsigned long request, int *word)
{
    return ioctl(fd, request, word);
}

int (*rfc2217_mctrl_ioctl)(int fd, unsigned long request, int *word) = real_ioctl;

// SET-CONTROL codes this side acts on.
enum class control_code : int { dtr_on = 8, dtr_off = 9, rts_on = 11, rts_off = 12 };

// One line of the modem-state byte: its line bit, its state bit, its change bit and its name.
struct modem_line {
    int tiocm;
    uint8_t state;
    uint8_t changed;
    const char *name;
};

// In the order the changes are reported.
static constexpr modem_line modem_lines[] = {
    {TIOCM_CAR, 0x80, 0x08, "CD"},
    {TIOCM_RNG, 0x40, 0x04, "RI"},
    {TIOCM_DSR, 0x20, 0x02, "DSR"},
    {TIOCM_CTS, 0x10, 0x01, "CTS"},
};

int get_modem_signals(int fd)
{
    LOG(LOG_DEBUG, "get modem signals\n");
    int word = 0;
    if (rfc2217_mctrl_ioctl(fd, TIOCMGET, &word) != 0) {
        LOG_ERRNO(LOG_ERR, "ioctl(modemfd,TIOCMGET,...) error\n");
        return 0;
    }
    return word;
}

static int apply_control(int word, int code)
{
    switch (static_cast<control_code>(code)) {
    case control_code::dtr_on:
        return word | TIOCM_DTR;
    case control_code::dtr_off:
        return word & ~TIOCM_DTR;
    case control_code::rts_on:
        return word | TIOCM_RTS;
    case control_code::rts_off:
        return word & ~TIOCM_RTS;
    }
    return word;
}

int set_modem_signals(int fd, int code)
{
    LOG(LOG_DEBUG, "set modem signals\n");
    int word = 0;
    int rc = rfc2217_mctrl_ioctl(fd, TIOCMGET, &word);
    if (rc != 0) {
        LOG_ERRNO(LOG_ERR, "ioctl(modemfd,TIOCMGET,...) error\n");
        return rc;
    }
    word = apply_control(word, code);
    rc = rfc2217_mctrl_ioctl(fd, TIOCMSET, &word);
    if (rc != 0) {
        LOG_ERRNO(LOG_ERR, "ioctl(modemfd,TIOCMSET,...) error\n");
    }
    return rc;
}

uint8_t update_modemstate(uint8_t *last, int fd)
{
    uint8_t old = *last;
    int word = get_modem_signals(fd);
    uint8_t state = 0;
    for (const modem_line &l : modem_lines) {
        if (word & l.tiocm) {
            state |= l.state;
        }
    }
    uint8_t result = state;
    for (const modem_line &l : modem_lines) {
        if ((state ^ old) & l.state) {
            result |= l.changed;
            LOG(LOG_INFO, "%s modemstate changed to %s\n", l.name,
                (state & l.state) ? "ON" : "OFF");
        }
    }
    *last = result;
    return result;
}
