// Suboption handlers. The four one-value settings share one request procedure driven by a
// table; SET-CONTROL, the queries, suspend/resume, masks and purges follow the RFC's codes.
#include "rfc2217-subopt.h"

#include <array>
#include <cstdlib>
#include <sys/ioctl.h>
#include <sys/types.h>
#include <termios.h>

#include "connector.h"
#include "log.h"
#include "rcqb.h"
#include "rfc2217-filter.h"
#include "rfc2217-mctrl.h"
#include "rfc2217.h"
#include "serial.h"

static constexpr char log_module[] = "rfc2217-subopt";

// Flow codes of serial_settings::flow, in the order of SET-CONTROL values 1, 2, 3.
static constexpr uint8_t FLOW_NONE = 16;
static constexpr uint8_t FLOW_SOFTWARE = 8;
static constexpr uint8_t FLOW_HARDWARE = 4;

static serial_settings *serial_of(const client_record *c)
{
    return static_cast<serial_settings *>(c->conn->local_priv);
}

// Applies what the request left pending: 0, or -1 when the tty refused it (nothing changed).
static int open_tty_slot(client_record *c)
{
    return c->conn->tty_open(c->conn);
}

static void answer(client_record *c, uint8_t code, uint8_t value)
{
    send_subnegotiation(c, static_cast<uint8_t>(CPO_SERVER + code), &value, 1);
}

// ---- The four setting requests ----

struct setting {
    uint8_t command;
    const char *name; // as the log lines name it
    size_t width;     // data bytes: 4 for the baud rate, 1 for the others
};

static constexpr setting settings[] = {
    {CPO_SET_BAUDRATE, "baudrate", 4},
    {CPO_SET_DATASIZE, "datasize", 1},
    {CPO_SET_PARITY, "parity", 1},
    {CPO_SET_STOPSIZE, "stopsize", 1},
};

static uint32_t stored(const serial_settings *s, uint8_t command)
{
    switch (command) {
    case CPO_SET_BAUDRATE:
        return s->baud;
    case CPO_SET_DATASIZE:
        return s->datasize;
    case CPO_SET_PARITY:
        return s->parity;
    default:
        return s->stopsize;
    }
}

static void store(serial_settings *s, uint8_t command, uint32_t value)
{
    switch (command) {
    case CPO_SET_BAUDRATE:
        s->baud = value;
        break;
    case CPO_SET_DATASIZE:
        s->datasize = static_cast<uint8_t>(value);
        break;
    case CPO_SET_PARITY:
        s->parity = static_cast<uint8_t>(value);
        break;
    default:
        s->stopsize = static_cast<uint8_t>(value);
        break;
    }
}

static uint8_t policy(const rfc2217_config *cfg, uint8_t command)
{
    switch (command) {
    case CPO_SET_BAUDRATE:
        return static_cast<uint8_t>(cfg->baudrate);
    case CPO_SET_DATASIZE:
        return cfg->datasize;
    case CPO_SET_PARITY:
        return cfg->parity;
    default:
        return cfg->stopsize;
    }
}

// What the line really has, in RFC 2217 coding: what the serial side read back from the driver.
static uint32_t in_force(const serial_settings *s, uint8_t command)
{
    serial_line line = serial_line_in_force(s);
    switch (command) {
    case CPO_SET_BAUDRATE:
        return line.baud;
    case CPO_SET_DATASIZE:
        return line.datasize;
    case CPO_SET_PARITY:
        return line.parity;
    default:
        return line.stopsize;
    }
}

static uint32_t big_endian(const uint8_t *d, size_t width)
{
    uint32_t v = 0;
    for (size_t i = 0; i < width; i++) {
        v = (v << 8) | d[i];
    }
    return v;
}

static void setting_request(client_record *c, const setting &st, const uint8_t *data)
{
    serial_settings *s = serial_of(c);
    uint32_t req = big_endian(data, st.width);
    uint32_t old = stored(s, st.command);
    uint8_t p = policy(config_of(c), st.command);
    uint8_t code = static_cast<uint8_t>(CPO_SERVER + st.command);
    LOG(LOG_INFO, "Client request: set %s to %zd\n", st.name, static_cast<ssize_t>(req));
    // The value 0 asks for the value in force (RFC 2217) and changes nothing.
    bool query = req == 0;
    if (!query &&
        ((old == 0 && (p & POLICY_APPLY_UNSET)) || (old != req && (p & POLICY_APPLY_CHANGED)))) {
        store(s, st.command, req);
        LOG(LOG_INFO, "set %s to %zd\n", st.name, static_cast<ssize_t>(req));
        if (open_tty_slot(c) < 0) {
            store(s, st.command, old);
            LOG(LOG_WARNING, "tty refused %s %zd, keeping %zd\n", st.name,
                static_cast<ssize_t>(req), static_cast<ssize_t>(in_force(s, st.command)));
        }
    }
    uint32_t cur = stored(s, st.command);
    if (cur != old && (p & POLICY_NOTIFY_ALL)) {
        LOG(LOG_INFO, "notify all: set %s to %zd\n", st.name, static_cast<ssize_t>(req));
        send_subnegotiation_all(c, code, data, st.width);
        return;
    }
    if (query || (old != 0 && (p & POLICY_HONEST_SET)) || (old == 0 && (p & POLICY_HONEST_UNSET))) {
        uint32_t line = in_force(s, st.command);
        LOG(LOG_INFO, "notify honestly: %s %zd\n", st.name, static_cast<ssize_t>(line));
        uint8_t out[4] = {static_cast<uint8_t>(line >> 24), static_cast<uint8_t>(line >> 16),
                          static_cast<uint8_t>(line >> 8), static_cast<uint8_t>(line)};
        send_subnegotiation(c, code, out + 4 - st.width, st.width);
        return;
    }
    LOG_ERRNO(LOG_WARNING, "mirroring client's %s settings back even if not applied\n", st.name);
    send_subnegotiation(c, code, data, st.width);
}

// ---- SET-CONTROL ----

// SET-CONTROL value (1 none, 2 XON/XOFF, 3 hardware) of the flow control in force.
static uint8_t flow_in_force(const serial_settings *s)
{
    return serial_line_in_force(s).flow;
}

static void flow_request(client_record *c, uint8_t v)
{
    static constexpr const char *kinds[] = {"no", "software", "hardware"};
    // A constant table sits with the others; narrowing its scope would save nothing.
    // cppcheck-suppress variableScope
    static constexpr const char *applied[] = {"none", "software flow control",
                                              "hardware flow control"};
    static constexpr uint8_t codes[] = {FLOW_NONE, FLOW_SOFTWARE, FLOW_HARDWARE};
    serial_settings *s = serial_of(c);
    uint8_t p = config_of(c)->flowcontrol;
    LOG(LOG_INFO, "Client request: use %s flowcontrol\n", kinds[v - 1]);
    uint8_t code = codes[v - 1];
    uint8_t old = s->flow;
    if ((old == 0 && (p & POLICY_APPLY_UNSET)) || (old != code && (p & POLICY_APPLY_CHANGED))) {
        s->flow = code;
        LOG(LOG_INFO, "set flowcontrol to %s\n", applied[v - 1]);
        if (open_tty_slot(c) < 0) {
            s->flow = old;
            LOG(LOG_WARNING, "tty refused %s, keeping %s\n", applied[v - 1],
                applied[flow_in_force(s) - 1]);
        }
    }
    if (s->flow != old && (p & POLICY_NOTIFY_ALL)) {
        LOG(LOG_INFO, "notify all: set flowcontrol to %zd\n", static_cast<ssize_t>(v));
        send_subnegotiation_all(c, CPO_SERVER + CPO_SET_CONTROL, &v, 1);
        return;
    }
    if ((old != 0 && (p & POLICY_HONEST_SET)) || (old == 0 && (p & POLICY_HONEST_UNSET))) {
        LOG(LOG_INFO, "notify honestly: flowcontrol %zd\n", static_cast<ssize_t>(s->flow));
        answer(c, CPO_SET_CONTROL, flow_in_force(s));
        return;
    }
    LOG_ERRNO(LOG_WARNING, "mirroring client's flowcontrol settings back even if not applied\n");
    answer(c, CPO_SET_CONTROL, v);
}

// DTR (7 query, 8 on, 9 off) and RTS (10 query, 11 on, 12 off).
static void modem_line_request(client_record *c, uint8_t v)
{
    bool dtr = v <= 9;
    const char *line = dtr ? "DTR" : "RTS";
    uint8_t query = dtr ? 7 : 10;
    if (v == query) {
        LOG(LOG_INFO, "Client request: get %s state\n", line);
        open_tty_slot(c);
        bool on = get_modem_signals(c->conn->tty_fd) & (dtr ? TIOCM_DTR : TIOCM_RTS);
        // "DRT" is the wording of the log line as specified.
        LOG(LOG_INFO, "Respond to %s request: %s\n", dtr ? "DRT" : "RTS", on ? "ON" : "OFF");
        answer(c, CPO_SET_CONTROL, static_cast<uint8_t>(query + (on ? 1 : 2)));
        return;
    }
    bool on = v == query + 1;
    LOG(LOG_INFO, "Client request: set %s to %s\n", line, on ? "ON" : "OFF");
    open_tty_slot(c);
    // Hardware flow control owns RTS.
    if (dtr || serial_of(c)->flow != FLOW_HARDWARE) {
        set_modem_signals(c->conn->tty_fd, v);
        LOG(LOG_INFO, "Set %s: %s\n", line, on ? "ON" : "OFF");
    }
    answer(c, CPO_SET_CONTROL, v);
}

static void set_control(client_record *c, uint8_t v)
{
    switch (v) {
    case 0:
        LOG(LOG_INFO, "Client request: get flowcontrol\n");
        answer(c, CPO_SET_CONTROL, flow_in_force(serial_of(c)));
        break;
    case 1:
    case 2:
    case 3:
        flow_request(c, v);
        break;
    case 4:
        LOG(LOG_DEBUG, "Client request: get break state\n");
        LOG_ERRNO(LOG_WARNING, "Break state request ignored (not implemented)\n");
        break;
    case 5:
    case 6:
        LOG(LOG_DEBUG, "Client request: set break state\n");
        LOG_ERRNO(LOG_WARNING, "Break state setting ignored (not implemented)\n");
        answer(c, CPO_SET_CONTROL, v);
        break;
    case 7:
    case 8:
    case 9:
    case 10:
    case 11:
    case 12:
        modem_line_request(c, v);
        break;
    default:
        break; // inbound flow control (13 to 19) and unknown values: no answer
    }
}

// ---- Queries, suspend and resume, masks, purge ----

static void purge(client_record *c, uint8_t v)
{
    static constexpr const char *what[] = {"receive buffer", "transmit buffer", "both buffers"};
    if (v < 1 || v > 3) {
        return;
    }
    LOG(LOG_INFO, "Client request: purge %s\n", what[v - 1]);
    LOG_ERRNO(LOG_WARNING, "Client request purge %s ignored\n", what[v - 1]);
    answer(c, CPO_PURGE_DATA, v);
}

static void dispatch(client_record *c, uint8_t command, const uint8_t *data, size_t n)
{
    rfc2217_peer *p = peer_of(c);
    if (command <= CPO_PURGE_DATA) {
        config_of(c)->requests[command]++;
    }
    switch (command) {
    case CPO_SET_BAUDRATE:
    case CPO_SET_DATASIZE:
    case CPO_SET_PARITY:
    case CPO_SET_STOPSIZE: {
        const setting &st = settings[command - CPO_SET_BAUDRATE];
        if (n >= st.width) {
            setting_request(c, st, data);
        }
        break;
    }
    case CPO_SET_CONTROL:
        if (n >= 1) {
            set_control(c, data[0]);
        }
        break;
    case CPO_NOTIFY_LINESTATE:
        LOG(LOG_INFO, "Client request: get linestate\n");
        LOG_ERRNO(LOG_WARNING, "Linestate not implemented, value defaulted to 0\n");
        answer(c, CPO_NOTIFY_LINESTATE, 0);
        break;
    case CPO_NOTIFY_MODEMSTATE: {
        LOG(LOG_INFO, "Client request: get modemstate\n");
        open_tty_slot(c);
        uint8_t ms = update_modemstate(&p->modem_last, c->conn->tty_fd);
        LOG(LOG_INFO, "Notify modemstate\n");
        answer(c, CPO_NOTIFY_MODEMSTATE, static_cast<uint8_t>(ms & p->modem_mask));
        break;
    }
    case CPO_FLOWCONTROL_SUSPEND:
        LOG(LOG_INFO, "Client request: suspend\n");
        serial_of(c)->suspended = 1;
        LOG(LOG_INFO, "Suspend tty\n");
        break;
    case CPO_FLOWCONTROL_RESUME:
        LOG(LOG_INFO, "Client request: resume\n");
        serial_of(c)->suspended = 0;
        LOG(LOG_INFO, "Unsuspend tty\n");
        break;
    case CPO_SET_LINESTATE_MASK:
        LOG(LOG_INFO, "Client request: set linestate mask\n");
        LOG_ERRNO(LOG_WARNING, "Linestate not implemented, mask ignored\n");
        break;
    case CPO_SET_MODEMSTATE_MASK:
        LOG(LOG_INFO, "Client request: set modemstate mask\n");
        if (n >= 1) {
            LOG(LOG_INFO, "Set modemstate mask\n");
            p->modem_mask = data[0];
        }
        break;
    case CPO_PURGE_DATA:
        if (n >= 1) {
            purge(c, data[0]);
        }
        break;
    default:
        break; // SIGNATURE and codes 13 to 255
    }
}

// The collected body (at most SB_MAX bytes, the filter sees to that), taken out of sb_reader.
using sb_body = std::array<uint8_t, SB_MAX>;

static size_t take_body(client_record *c, sb_body &body)
{
    int32_t k = rcqb_read(peer_of(c)->sb_reader, body.data(), SB_MAX);
    LOG(LOG_DEBUG, "process %zd bytes suboption\n", static_cast<ssize_t>(k));
    return static_cast<size_t>(k);
}

void process_suboption(client_record *c)
{
    sb_body body;
    size_t n = take_body(c, body);
    if (n >= 2 && body[0] == TELOPT_COM_PORT) {
        dispatch(c, body[1], body.data() + 2, n - 2);
    }
}

// ---- Client mode: acknowledgements ----

struct ack_check {
    const char *name;    // as "Server ack: set %s to %zd" names it
    const char *matches; // the complete and failed lines
    const char *mismatch;
    size_t width;
};

static constexpr ack_check ack_checks[ACK_SETTINGS] = {
    {"baudrate", "Baudrate ack complete: speed matches\n",
     "Baudrate ack failed: speed does not match\n", 4},
    {"datasize", "Datasize ack complete: size matches\n",
     "Datasize ack failed: size does not match\n", 1},
    {"parity", "Parity ack complete: value matches\n", "Parity ack failed: value does not match\n",
     1},
    {"stopsize", "Stopsize ack complete: size matches\n",
     "Stopsize ack failed: size does not match\n", 1},
    {"flowcontrol", "Flowcontrol ack complete: value matches\n",
     "Flowcontrol ack failed: value does not match\n", 1},
};

static uint32_t requested(const rfc2217_config *cfg, int index)
{
    switch (index) {
    case ACK_BAUDRATE:
        return cfg->baudrate;
    case ACK_DATASIZE:
        return cfg->datasize;
    case ACK_PARITY:
        return cfg->parity;
    case ACK_STOPSIZE:
        return cfg->stopsize;
    default:
        return cfg->flowcontrol;
    }
}

static void check_ack(client_record *c, int index, const uint8_t *data, size_t n)
{
    const ack_check &a = ack_checks[index];
    if (n < a.width) {
        return;
    }
    uint32_t val = big_endian(data, a.width);
    // Answers to DTR, RTS and break requests share code 105 and are not flow control.
    if (index == ACK_FLOWCONTROL && (val < 1 || val > 3)) {
        return;
    }
    uint8_t &flag = peer_of(c)->ack_pending[index];
    flag &= static_cast<uint8_t>(~ACK_ANY);
    LOG(LOG_INFO, "Server ack: set %s to %zd\n", a.name, static_cast<ssize_t>(val));
    if (val == requested(config_of(c), index)) {
        LOG(LOG_INFO, "%s", a.matches);
        flag &= static_cast<uint8_t>(~ACK_MATCH);
    } else {
        LOG_ERRNO(LOG_WARNING, "%s", a.mismatch);
    }
}

void process_suboption_ack(client_record *c)
{
    sb_body body;
    size_t n = take_body(c, body);
    if (n >= 2 && body[0] == TELOPT_COM_PORT && body[1] >= CPO_SERVER + CPO_SET_BAUDRATE &&
        body[1] <= CPO_SERVER + CPO_SET_CONTROL) {
        check_ack(c, body[1] - CPO_SERVER - CPO_SET_BAUDRATE, body.data() + 2, n - 2);
    }
}
