// The `rfc2217` remote side: option parsing, the opening of each connection, and the per
// connection read and write. The TCP plumbing (listen, accept, connect, reconnect) is the `raw`
// side's. Tty data is escaped once into the shared all_out queue and read by every connection;
// each connection's own commands and answers go to its ctrl queue and leave before data.
#include "rfc2217.h"

#include <array>
#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <sys/types.h>
#include <unistd.h>

#include "connector.h"
#include "log.h"
#include "opt.h"
#include "plaintcp.h"
#include "rcqb.h"
#include "rfc2217-filter.h"
#include "rfc2217-mctrl.h"
#include "rfc2217-subopt.h"
#include "rfc2217-telopt.h"
#include "serial.h"
#include "timespec.h"
#include "util.h"

static constexpr char log_module[] = "rfc2217";

static constexpr uint32_t READ_CHUNK = 256;
// Most data bytes one write takes: they pass through a stack copy (write_data).
static constexpr uint32_t WRITE_CHUNK = 4096;
// Pacing of the acknowledgement wait: one loop pass about every 5 ms.
static constexpr int32_t ACK_TICK_NS = 5000000;

static constexpr char usage_text[] =
    "rfc2217 <host> <port> [options]    Plain tcp data transfer byte by byte\n"
    "Server example: rfc2217 0.0.0.0 12312\n"
    "Client example: rfc2217 localhost 12312 -C -B 9600 -P even\n"
    "\n"
    "Options:\n"
    "   -C, --client-mode                   connect to remote server\n"
    "   -h, --help                          print this message and exit\n"
    "   server:                         Server mode settings\n"
    "   client:                         Client mode settings\n"
    "       -A, --ack=<required, ignored>   Set default policy for all settings\n"
    "       -T, --timeout=TIMEOUT           Ack timeout\n"
    "       -B, --baudrate=BAUDRATE         Remote baudrate settings\n"
    "       -P, --parity=<none, even, odd>  Remote parity bit settings\n"
    "       -S, --two-stopbits              Remote settings for stopbits\n"
    "       -D, --databits=<5,6,7,8>        Remote settings for databits\n"
    "       -F, --flowcontrol=<none, software, hardware>\n"
    "                                       Remote settings for flowcontrol\n";

static constexpr const char *help_names[] = {"help", nullptr};
static constexpr const char *client_mode_names[] = {"client-mode", nullptr};
static constexpr const char *ack_names[] = {"ack", nullptr};
static constexpr const char *timeout_names[] = {"timeout", nullptr};
static constexpr const char *baudrate_names[] = {"baudrate", nullptr};
static constexpr const char *parity_names[] = {"parity", nullptr};
static constexpr const char *stopbits_names[] = {"two-stopbits", nullptr};
static constexpr const char *databits_names[] = {"databits", nullptr};
static constexpr const char *flow_names[] = {"flowcontrol", nullptr};

static constexpr opt_spec server_options[] = {
    {'h', 0, "h", help_names},
    {0, 0, nullptr, nullptr},
};

static constexpr opt_spec client_options[] = {
    {'h', 0, "h", help_names},
    {'C', 0, "C", client_mode_names},
    {'A', OPT_HAS_ARG, "A", ack_names},
    {'T', OPT_HAS_ARG, "T", timeout_names},
    {'B', OPT_HAS_ARG, "B", baudrate_names},
    {'P', OPT_HAS_ARG, "P", parity_names},
    {'S', 0, "S", stopbits_names},
    {'D', OPT_HAS_ARG, "D", databits_names},
    {'F', OPT_HAS_ARG, "F", flow_names},
    {0, 0, nullptr, nullptr},
};

// ---- Init ----

// Every message reads "invalid <what>: "<value>"".
[[noreturn]] static void reject_value(opt_result *list, const char *what, const char *value)
{
    LOG_ERRNO(LOG_ERR, "invalid %s: \"%s\"\n", what, value);
    free(list);
    puts(usage_text);
    exit(1);
}

// The index of text in words (null-terminated), or -1.
static int word_index(const char *text, const char *const *words)
{
    for (int i = 0; words[i] != nullptr; i++) {
        if (strcmp(text, words[i]) == 0) {
            return i;
        }
    }
    return -1;
}

// The words the client options take, in the order of the codes they stand for.
static constexpr const char *ack_words[] = {"ignored", "required", nullptr};
static constexpr const char *parity_words[] = {"none", "odd", "even", nullptr};
static constexpr const char *flow_words[] = {"none", "software", "hardware", nullptr};

// The protocol code of an option word: its place in words, counted from 1. An unknown word
// ends the process with the usage text.
static uint8_t word_code(opt_result *list, const char *v, const char *const *words,
                         const char *what)
{
    int i = word_index(v, words);
    if (i < 0) {
        reject_value(list, what, v);
    }
    return static_cast<uint8_t>(i + 1);
}

static void parse_client_options(opt_result *list, rfc2217_config *cfg)
{
    cfg->baudrate = 9600;
    cfg->datasize = 8;
    cfg->parity = 1;
    cfg->stopsize = 1;
    cfg->flowcontrol = 1;
    timespec_set(&cfg->ack_timeout, 5, 0);

    const char *v = opt_get(list, 'T', 0);
    if (v != nullptr) {
        timespec_set(&cfg->ack_timeout, atoi(v), 0);
    }
    uint8_t policy = 0;
    if ((v = opt_get(list, 'A', 0)) != nullptr) {
        policy = word_code(list, v, ack_words, "ack value") == 2 ? ACK_ANY | ACK_MATCH : 0;
    }
    if ((v = opt_get(list, 'B', 0)) != nullptr) {
        cfg->ack[ACK_BAUDRATE] = policy;
        cfg->baudrate = static_cast<uint32_t>(atoi(v));
    }
    if ((v = opt_get(list, 'P', 0)) != nullptr) {
        cfg->ack[ACK_PARITY] = policy;
        cfg->parity = word_code(list, v, parity_words, "parity value");
    }
    if (opt_count(list, 'S') > 0) {
        cfg->ack[ACK_STOPSIZE] = policy;
        cfg->stopsize = 2;
    }
    if ((v = opt_get(list, 'D', 0)) != nullptr) {
        cfg->ack[ACK_DATASIZE] = policy;
        cfg->datasize = static_cast<uint8_t>(atoi(v));
        if (cfg->datasize < 5 || cfg->datasize > 8) {
            reject_value(list, "unsigned character size", v);
        }
    }
    if ((v = opt_get(list, 'F', 0)) != nullptr) {
        cfg->ack[ACK_FLOWCONTROL] = policy;
        cfg->flowcontrol = word_code(list, v, flow_words, "flow control value");
    }
}

void rfc2217_init(connector *conn, int argc, char **argv)
{
    conn->client_free = rfc2217_client_free;
    conn->client_read = rfc2217_client_read;
    conn->client_write = rfc2217_client_write;
    conn->client_accept = plaintcp_client_accept;
    conn->report_remote = rfc2217_report;
    auto *cfg = static_cast<rfc2217_config *>(xcalloc(1, sizeof(rfc2217_config)));
    conn->remote_priv = cfg;

    bool client = false;
    for (int i = 1; i < argc; i++) {
        client = client || strcmp(argv[i], "-C") == 0 || strcmp(argv[i], "--client-mode") == 0;
    }
    opt_result *list =
        opt_parse_section(&argc, argv, client ? client_options : server_options, usage_text, 2);
    conn->host = argv[1];
    conn->port = argv[2];
    if (!client) {
        // Apply on first request and on change, answer with the value in force.
        static constexpr uint8_t SERVER_POLICY =
            POLICY_APPLY_UNSET | POLICY_HONEST_UNSET | POLICY_APPLY_CHANGED | POLICY_HONEST_SET;
        cfg->baudrate = SERVER_POLICY;
        cfg->datasize = cfg->parity = cfg->stopsize = cfg->flowcontrol = SERVER_POLICY;
        cfg->on_suboption = process_suboption;
        cfg->on_option = negotiate_option;
        conn->run = plaintcp_run_server;
        conn->client_create = rfc2217_server_create;
        free(list);
        return;
    }
    cfg->on_suboption = process_suboption_ack;
    cfg->on_option = negotiate_option_client;
    conn->run = plaintcp_run_client;
    parse_client_options(list, cfg);
    conn->client_create = rfc2217_client_create;
    free(list);
}

// ---- Connections ----

// The shared queues (first connection only), the client record and its rfc2217_peer.
static client_record *new_connection(connector *conn, int fd)
{
    auto *cfg = static_cast<rfc2217_config *>(conn->remote_priv);
    if (cfg->all_out == nullptr) {
        cfg->all_out = rcqb_create(QUEUE_BLOCK_SIZE);
    }
    if (cfg->tty_data == nullptr) {
        cfg->tty_data = rcqb_clone(conn->from_tty);
    }
    auto *c = static_cast<client_record *>(xcalloc(1, sizeof(client_record)));
    c->fd = fd;
    c->conn = conn;
    // Only the event loop's sign that tty data waits: the data travels through all_out.
    c->reader = rcqb_clone(conn->from_tty);
    c->out_pending = true;
    auto *p = static_cast<rfc2217_peer *>(xcalloc(1, sizeof(rfc2217_peer)));
    p->all_reader = rcqb_clone(cfg->all_out);
    p->ctrl = rcqb_create(QUEUE_BLOCK_SIZE);
    p->ctrl_reader = rcqb_clone(p->ctrl);
    p->sb_buf = rcqb_create(QUEUE_BLOCK_SIZE);
    p->sb_reader = rcqb_clone(p->sb_buf);
    p->on_suboption = cfg->on_suboption;
    p->on_option = cfg->on_option;
    p->modem_mask = 255;
    c->ext = p;
    return c;
}

client_record *rfc2217_server_create(connector *conn, int fd)
{
    if (conn->nfds > 2) {
        LOG(LOG_INFO, "no vacant places for clients left. disconnecting\n");
        return nullptr;
    }
    client_record *c = new_connection(conn, fd);
    rfc2217_peer *p = peer_of(c);
    conn->tty_open(conn);
    // The full byte, change bits included: every line that is on counts as changed.
    uint8_t ms = update_modemstate(&p->modem_last, conn->tty_fd);
    send_subnegotiation(c, CPO_SERVER + CPO_NOTIFY_MODEMSTATE, &ms, 1);
    send_command(c, TELNET_DO, TELOPT_COM_PORT);
    send_command(c, TELNET_WILL, TELOPT_BINARY);
    send_command(c, TELNET_DO, TELOPT_BINARY);
    send_command(c, TELNET_WILL, TELOPT_ECHO);
    send_command(c, TELNET_WILL, TELOPT_SGA);
    send_command(c, TELNET_DO, TELOPT_SGA);
    return c;
}

static void send_value(client_record *c, uint8_t command, uint8_t value)
{
    send_subnegotiation(c, command, &value, 1);
}

client_record *rfc2217_client_create(connector *conn, int fd)
{
    const auto *cfg = static_cast<const rfc2217_config *>(conn->remote_priv);
    client_record *c = new_connection(conn, fd);
    rfc2217_peer *p = peer_of(c);
    p->modem_mask = 0;
    memcpy(p->ack_pending, cfg->ack, sizeof p->ack_pending);
    send_command(c, TELNET_DO, TELOPT_COM_PORT);
    send_command(c, TELNET_WILL, TELOPT_BINARY);
    send_command(c, TELNET_DO, TELOPT_BINARY);
    send_command(c, TELNET_DO, TELOPT_ECHO);
    send_command(c, TELNET_WILL, TELOPT_SGA);
    send_command(c, TELNET_DO, TELOPT_SGA);
    if (cfg->baudrate != 0) {
        const uint8_t rate[4] = {
            static_cast<uint8_t>(cfg->baudrate >> 24), static_cast<uint8_t>(cfg->baudrate >> 16),
            static_cast<uint8_t>(cfg->baudrate >> 8), static_cast<uint8_t>(cfg->baudrate)};
        send_subnegotiation(c, CPO_SET_BAUDRATE, rate, sizeof rate);
    }
    const struct {
        uint8_t command;
        uint8_t value;
    } settings[] = {
        {CPO_SET_PARITY, cfg->parity},
        {CPO_SET_DATASIZE, cfg->datasize},
        {CPO_SET_STOPSIZE, cfg->stopsize},
        {CPO_SET_CONTROL, cfg->flowcontrol},
    };
    for (const auto &s : settings) {
        if (s.value != 0) {
            send_value(c, s.command, s.value);
        }
    }
    send_value(c, CPO_SET_CONTROL, 8); // DTR on
    if (cfg->flowcontrol != 3) {
        send_value(c, CPO_SET_CONTROL, 11); // RTS on, unless hardware flow control owns it
    }
    send_value(c, CPO_PURGE_DATA, 1);
    send_value(c, CPO_PURGE_DATA, 2);
    // The monotonic clock: stepping the wall clock must not stretch or cut the wait.
    clock_gettime(CLOCK_MONOTONIC, &p->ack_tick);
    p->ack_deadline = cfg->ack_timeout;
    timespec_add(&p->ack_deadline, p->ack_tick);
    return c;
}

// A suspension belongs to the connection that asked for it: once that has ended nobody could
// resume, and what it sent before it went must still reach the tty.
static void end_suspension(const client_record *c)
{
    static_cast<serial_settings *>(c->conn->local_priv)->suspended = 0;
}

void rfc2217_client_free(client_record *c)
{
    end_suspension(c);
    // Tty data not yet taken for this connection goes with it: a later connection receives only
    // what the tty sends after it came, and a laggard's backlog is freed with it.
    rcqb *rest = config_of(c)->tty_data;
    rcqb_skip(rest, rcqb_available(rest));
    rfc2217_peer *p = peer_of(c);
    rcqb_free(c->reader);
    rcqb_free(p->all_reader);
    rcqb_free(p->ctrl);
    rcqb_free(p->ctrl_reader);
    rcqb_free(p->sb_buf);
    rcqb_free(p->sb_reader);
    free(p);
    free(c);
}

static bool acks_pending(const rfc2217_peer *p)
{
    for (uint8_t flag : p->ack_pending) {
        if (flag != 0) {
            return true;
        }
    }
    return false;
}

// What the connection holds for its peer beyond the record's reader, for the event loop's lag
// limit: escaped tty data and its own answers.
static void count_queued(client_record *c)
{
    const rfc2217_peer *p = peer_of(c);
    c->queued = rcqb_position(config_of(c)->all_out) - rcqb_position(p->all_reader) +
                rcqb_position(p->ctrl) - rcqb_position(p->ctrl_reader);
}

// Answers leave as soon as the read that asked for them is parsed, without waiting for the
// loop's next pass; control output still goes before data, and never between the two bytes of
// a doubled 0xFF. A failed write is left to the next client_write, which drops the connection.
static void flush_control(client_record *c)
{
    rfc2217_peer *p = peer_of(c);
    if (rcqb_empty(p->ctrl_reader) || p->odd_iac) {
        return;
    }
    int32_t n = rcqb_write_fd(c->fd, p->ctrl_reader, UINT32_MAX);
    if (n < 0) {
        return;
    }
    c->sent += static_cast<uint64_t>(n);
    LOG(LOG_DEBUG, "write %zd bytes in socket\n", static_cast<ssize_t>(n));
    if (rcqb_empty(p->ctrl_reader) && !acks_pending(p)) {
        c->out_pending = !rcqb_empty(p->all_reader);
    }
}

int rfc2217_client_read(client_record *c)
{
    uint8_t buf[READ_CHUNK];
    ssize_t n = read(c->fd, buf, sizeof buf);
    if (n >= 1 || (n == -1 && errno == EAGAIN)) {
        LOG(LOG_DEBUG, "read %zd bytes from socket\n", n);
        c->received += static_cast<uint64_t>(n > 0 ? n : 0);
        filter_from_bytes(c, buf, n > 0 ? static_cast<size_t>(n) : 0, c->conn->to_tty);
        flush_control(c);
        count_queued(c);
        return 1;
    }
    end_suspension(c);
    return 0;
}

// One pacing tick of the acknowledgement wait: 1 keeps waiting, 0 drops the connection.
static int ack_wait_tick(client_record *c)
{
    rfc2217_peer *p = peer_of(c);
    if (timespec_cmp(p->ack_deadline, p->ack_tick) >= 0) {
        timespec now{};
        timespec pause = p->ack_tick;
        timespec d;
        timespec_set(&d, 0, ACK_TICK_NS);
        timespec_add(&pause, d);
        clock_gettime(CLOCK_MONOTONIC, &now);
        timespec_sub(&pause, now);
        nanosleep(&pause, nullptr);
        clock_gettime(CLOCK_MONOTONIC, &p->ack_tick);
        return 1;
    }
    const uint8_t *a = p->ack_pending;
    LOG_ERRNO(LOG_ERR, "ack timeout ran out with some options not acknowledged: %s%s%s%s%s\n",
              a[ACK_BAUDRATE] ? "baudrate, " : "", a[ACK_DATASIZE] ? "datasize, " : "",
              a[ACK_PARITY] ? "parity, " : "", a[ACK_STOPSIZE] ? "stopsize, " : "",
              a[ACK_FLOWCONTROL] ? "flowcontrol" : "");
    LOG(LOG_INFO, "forcibly disconnecting from server\n");
    config_of(c)->ack_timeouts++;
    return 0;
}

// One write of up to n bytes of escaped data, through a stack copy so that the bytes the socket
// took are at hand: they tell whether the write ended inside a doubled 0xFF. The count, or -1.
static int32_t write_data(client_record *c, uint32_t n)
{
    rfc2217_peer *p = peer_of(c);
    std::array<uint8_t, WRITE_CHUNK> buf;
    int32_t k = rcqb_peek(p->all_reader, buf.data(), n < WRITE_CHUNK ? n : WRITE_CHUNK);
    ssize_t w = k > 0 ? write(c->fd, buf.data(), static_cast<size_t>(k)) : 0;
    if (w <= 0) {
        return static_cast<int32_t>(w);
    }
    rcqb_skip(p->all_reader, static_cast<uint32_t>(w));
    c->sent += static_cast<uint64_t>(w);
    auto end = static_cast<size_t>(w);
    size_t i = end;
    while (i > 0 && buf[i - 1] == TELNET_IAC) {
        i--;
    }
    // Every 0xFF of the data is doubled, so an odd run of them at the end splits a pair; a run
    // that fills the whole write continues the one before it.
    bool odd = ((end - i) & 1) != 0;
    p->odd_iac = i == 0 ? p->odd_iac != odd : odd;
    return static_cast<int32_t>(w);
}

// Writes in the order the peer must see: the rest of a split 0xFF pair, then the connection's
// own commands and answers, then (unless acknowledgements are awaited) data. 1 keeps the
// connection, 0 drops it.
static int write_in_order(client_record *c)
{
    rfc2217_peer *p = peer_of(c);
    if (p->odd_iac && write_data(c, 1) < 0 && errno != EAGAIN) {
        return 0;
    }
    if (p->odd_iac) {
        c->out_pending = true;
        return 1;
    }
    // Up to what one write takes (UINT32_MAX): counting a long queue would walk all of it.
    int32_t ctrl_count = rcqb_write_fd(c->fd, p->ctrl_reader, UINT32_MAX);
    if (ctrl_count < 0) {
        return 0;
    }
    c->sent += static_cast<uint64_t>(ctrl_count);
    if (!rcqb_empty(p->ctrl_reader)) {
        c->out_pending = true;
        LOG(LOG_DEBUG, "write %zd bytes in socket\n", static_cast<ssize_t>(ctrl_count));
        return 1;
    }
    if (acks_pending(p)) {
        return ack_wait_tick(c);
    }
    int32_t data_count = write_data(c, WRITE_CHUNK);
    if (data_count < 0) {
        return 0;
    }
    c->out_pending = !rcqb_empty(p->all_reader);
    LOG(LOG_DEBUG, "write %zd bytes in socket\n", static_cast<ssize_t>(ctrl_count + data_count));
    return 1;
}

int rfc2217_client_write(client_record *c)
{
    rfc2217_peer *p = peer_of(c);
    rfc2217_config *cfg = config_of(c);
    // Tty data joins all_out only once the socket has taken what was there. A slow reader's
    // backlog thus stays in from_tty, where the record's reader shows the event loop how far
    // behind the connection is, rather than growing all_out out of the loop's sight.
    if (rcqb_empty(p->all_reader)) {
        rcqb_skip(c->reader, rcqb_available(c->reader));
        filter_queue_to_socket(cfg->tty_data, cfg->all_out);
    }
    int keep = write_in_order(c);
    count_queued(c);
    return keep;
}

void rfc2217_report(const connector *conn)
{
    static constexpr const char *kinds[] = {
        "signature",           "set_baudrate",       "set_datasize",       "set_parity",
        "set_stopsize",        "set_control",        "notify_linestate",   "notify_modemstate",
        "flowcontrol_suspend", "flowcontrol_resume", "set_linestate_mask", "set_modemstate_mask",
        "purge_data"};
    static_assert(std::size(kinds) == std::size(rfc2217_config{}.requests));
    const auto *cfg = static_cast<const rfc2217_config *>(conn->remote_priv);
    const auto *s = static_cast<const serial_settings *>(conn->local_priv);
    // Only the kinds asked for: the line stays short, and every word says something.
    char counts[std::size(kinds) * 32] = "";
    size_t used = 0;
    for (size_t i = 0; i < std::size(kinds); i++) {
        if (cfg->requests[i] != 0) {
            used += static_cast<size_t>(snprintf(counts + used, sizeof counts - used,
                                                 " %s=%" PRIu32, kinds[i], cfg->requests[i]));
        }
    }
    LOG(LOG_INFO, "stats rfc2217 suspended=%s ack_timeouts=%" PRIu32 "%s\n",
        s->suspended != 0 ? "yes" : "no", cfg->ack_timeouts, counts);
}
