// The `modbustcp` remote side: accepts clients, collects each client's bytes until a whole
// request has come (the loop never waits for a slow client), queues it as a gateway record
// tagged with the client's id, and answers each client from the records the tty side queues.
// Every client reads every record and skips those of other ids, so each answer reaches exactly
// the connection that asked, and never a later one that was given the same socket.
#include "modbustcp.h"

#include <array>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include "log.h"
#include "modbusrtu.h"
#include "opt.h"
#include "rcqb.h"
#include "util.h"

static constexpr char log_module[] = "modbustcp";

static constexpr int LISTEN_BACKLOG = MAX_CLIENTS;
static constexpr uint32_t RECEIVE_AREA = MODBUS_TCP_MAX_ADU_LENGTH;
static constexpr int MBAP_SIZE = 6;   // MBAP header without the unit identifier
static constexpr int MIN_REQUEST = 8; // MBAP header with unit identifier, function code
// The MBAP length counts the unit identifier and the PDU: at least a function code, at most
// the largest PDU.
static constexpr uint32_t MIN_LENGTH = 2;
static constexpr uint32_t MAX_LENGTH = MODBUS_MAX_PDU_LENGTH + 1;
static constexpr int CLIENT_ID_BITS = 16; // of the socket number in a client id

static constexpr char usage_text[] =
    "modbustcp <host> <port> [options]   Modbus tcp data transfer byte by byte\n"
    "   -V, --verbose                       print modbus debug messages\n"
    "   -h, --help                          print this message and exit\n";

static constexpr const char *help_names[] = {"help", nullptr};
static constexpr const char *verbose_names[] = {"verbose", nullptr};
static constexpr const char *client_mode_names[] = {"client-mode", nullptr};

static constexpr opt_spec modbustcp_options[] = {
    {'V', 0, "V", verbose_names},
    {'C', 0, "C", client_mode_names},
    {'h', 0, "h", help_names},
    {0, 0, nullptr, nullptr},
};

// The gateway only serves: client mode starts nothing and ends the process normally.
static void run_nothing(connector *) {}

void modbustcp_init(connector *conn, int argc, char **argv)
{
    conn->client_accept = modbustcp_client_accept;
    conn->client_create = modbustcp_client_create;
    conn->client_free = modbustcp_client_free;
    conn->client_read = modbustcp_client_read;
    conn->client_write = modbustcp_client_write;
    auto *s = static_cast<modbustcp_settings *>(xcalloc(1, sizeof(modbustcp_settings)));
    conn->remote_priv = s;

    opt_result *list = opt_parse_section(&argc, argv, modbustcp_options, usage_text, 2);
    conn->host = argv[1];
    conn->port = argv[2];
    conn->run = opt_count(list, 'C') > 0 ? run_nothing : modbustcp_run_server;
    s->verbose = opt_count(list, 'V');
    free(list);
}

void modbustcp_run_server(connector *conn)
{
    auto *s = static_cast<modbustcp_settings *>(conn->remote_priv);
    connector_init(conn);
    signal(SIGPIPE, SIG_IGN);
    LOG(LOG_INFO, "entering server mode, listening on: %s:%s\n", conn->host, conn->port);
    s->context = modbus_new_tcp_pi(conn->host, conn->port);
    // The library refuses an empty host or an over-long text: nothing can listen then either.
    conn->listen_fd = s->context != nullptr ? modbus_tcp_pi_listen(s->context, LISTEN_BACKLOG) : -1;
    if (conn->listen_fd == -1) {
        LOG_ERRNO(LOG_ERR, "tcp bind failed\n");
    } else {
        if (s->verbose != 0) {
            modbus_set_debug(s->context, 1);
        }
        conn->pollfds[0] = {conn->listen_fd, POLLIN, 0};
        connector_loop(conn);
    }
    connector_cleanup(conn);
    if (s->context != nullptr) {
        modbus_free(s->context);
        s->context = nullptr;
    }
}

int modbustcp_client_accept(connector *conn)
{
    auto *s = static_cast<modbustcp_settings *>(conn->remote_priv);
    LOG(LOG_DEBUG, "set socket listen\n");
    modbus_set_socket(s->context, conn->listen_fd);
    int listener = conn->listen_fd;
    int fd = modbus_tcp_pi_accept(s->context, &listener);
    if (fd < 0) {
        errno = 0;
        return -1;
    }
    if (listener < 0) {
        close(fd);
        errno = 0;
        return -1;
    }
    conn->listen_fd = listener;
    LOG(LOG_INFO, "got new modbustcp connection\n");
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
    LOG(LOG_DEBUG, "set file control\n");
    return fd;
}

client_record *modbustcp_client_create(connector *conn, int fd)
{
    auto *s = static_cast<modbustcp_settings *>(conn->remote_priv);
    if (fd >> CLIENT_ID_BITS != 0) {
        LOG(LOG_WARNING, "socket %d does not fit a client id, refusing the connection\n", fd);
        return nullptr;
    }
    auto *c = static_cast<modbustcp_client *>(xcalloc(1, sizeof(modbustcp_client)));
    LOG(LOG_DEBUG, "copy over some known variables\n");
    c->head.fd = fd;
    c->head.conn = conn;
    // From the current end of from_tty: a new client never sees answers queued before it came.
    c->head.reader = rcqb_clone(conn->from_tty);
    c->head.out_pending = false;
    c->client_id = static_cast<int32_t *>(xmalloc(sizeof(int32_t)));
    // The generation tells apart connections given the same socket: the records of a client
    // that has gone live on only until the line has served its queued requests, far less than
    // the 65536 connections after which a generation comes back.
    s->generation++;
    *c->client_id = static_cast<int32_t>(uint32_t{s->generation} << CLIENT_ID_BITS |
                                         static_cast<uint32_t>(fd));
    return &c->head;
}

void modbustcp_client_free(client_record *c)
{
    auto *mc = reinterpret_cast<modbustcp_client *>(c);
    rcqb_free(c->reader);
    free(mc->client_id);
    free(mc);
}

// Queues the request at frame (its MBAP header and PDU) as one gateway record. The header goes
// into the GATEWAY_HEADER_SIZE bytes before it: room left for it, or requests already queued.
static void queue_request(client_record *c, uint8_t *frame, uint32_t size)
{
    int32_t id = *reinterpret_cast<modbustcp_client *>(c)->client_id;
    gateway_record h = {0, id, MBAP_SIZE, static_cast<uint16_t>(size)};
    gateway_record_pack(&h, frame - GATEWAY_HEADER_SIZE);
    rcqb_append(c->conn->to_tty, frame - GATEWAY_HEADER_SIZE, GATEWAY_HEADER_SIZE + size);
}

int modbustcp_client_read(client_record *c)
{
    auto *mc = reinterpret_cast<modbustcp_client *>(c);
    LOG(LOG_DEBUG, "process remote data\n");
    uint8_t *in = mc->in.data() + GATEWAY_HEADER_SIZE;
    // One read of what the socket holds, never a wait: a client that sends slowly holds up
    // only its own requests.
    ssize_t n = read(c->fd, in + mc->have, RECEIVE_AREA - mc->have);
    if (n < 0 && (errno == EAGAIN || errno == EINTR)) {
        return 1;
    }
    if (n <= 0) {
        LOG(LOG_DEBUG, "error on read data from client\n");
        return 0;
    }
    LOG(LOG_DEBUG, "read %zd bytes from socket\n", n);
    c->received += static_cast<uint64_t>(n);
    uint32_t have = mc->have + static_cast<uint32_t>(n);
    uint32_t at = 0;
    // Every request whose length field says it is whole goes out, whatever its function code.
    while (have - at >= MBAP_SIZE) {
        uint32_t length = static_cast<uint32_t>(in[at + 4] << 8 | in[at + 5]);
        if (length < MIN_LENGTH || length > MAX_LENGTH) {
            // Nothing tells where the next request would begin.
            LOG(LOG_WARNING, "request length %u out of range, closing connection\n", length);
            return 0;
        }
        if (have - at < MBAP_SIZE + length) {
            break;
        }
        queue_request(c, in + at, MBAP_SIZE + length);
        at += MBAP_SIZE + length;
    }
    memmove(in, in + at, have - at);
    mc->have = static_cast<uint16_t>(have - at);
    return 1;
}

// Waits up to ms for fd to take more bytes.
static bool wait_writable(int fd, int ms)
{
    pollfd p = {fd, POLLOUT, 0};
    int n;
    while ((n = poll(&p, 1, ms)) < 0 && errno == EINTR) {
    }
    return n > 0 && (p.revents & POLLOUT);
}

int modbustcp_send_raw_reply(modbus_t *ctx, const uint8_t *raw, int raw_length, const uint8_t *req)
{
    std::array<uint8_t, MBAP_SIZE + RECEIVE_AREA> frame;
    if (raw_length < 0 || raw_length > static_cast<int>(RECEIVE_AREA)) {
        errno = EMSGSIZE;
        return -1;
    }
    // Transaction and protocol identifiers as the client sent them; the length counts the
    // unit identifier and the PDU.
    memcpy(frame.data(), req, 4);
    frame[4] = static_cast<uint8_t>(raw_length >> 8);
    frame[5] = static_cast<uint8_t>(raw_length & 0xff);
    memcpy(frame.data() + MBAP_SIZE, raw, static_cast<size_t>(raw_length));
    uint32_t sec = 0;
    uint32_t usec = 0;
    modbus_get_response_timeout(ctx, &sec, &usec);
    int wait_ms = static_cast<int>(sec * 1000 + usec / 1000);
    int fd = modbus_get_socket(ctx);
    int total = MBAP_SIZE + raw_length;
    int sent = 0;
    while (sent < total) {
        ssize_t n = write(fd, frame.data() + sent, static_cast<size_t>(total - sent));
        if (n >= 0) {
            sent += static_cast<int>(n);
        } else if (errno != EINTR && !(errno == EAGAIN && wait_writable(fd, wait_ms))) {
            int err = errno;
            shutdown(fd, SHUT_RDWR);
            errno = err;
            return -1;
        }
    }
    return sent;
}

// The queue's framing is lost for this reader (got: -1 short header, -2 short payload): skips
// everything it holds and returns 0 to drop the client. The other readers are untouched.
static int framing_lost(client_record *c, int got)
{
    if (got == -2) {
        LOG_ERRNO(LOG_ERR, "Could not get package from buffer (wrong package size)\n");
    } else {
        LOG_ERRNO(LOG_ERR, "Could not get data from buffer (wrong header size)\n");
    }
    rcqb_skip(c->reader, rcqb_available(c->reader));
    return 0;
}

// Sends the answer, or for a failed exchange exception 4, to the request in req_buf. A device's
// own exception is an answer like any other and reaches the client as the device sent it.
// The bytes written, or -1.
static int reply(modbustcp_settings *s, const gateway_record *ans, const uint8_t *ans_buf,
                 const gateway_record *req, const uint8_t *req_buf)
{
    const uint8_t *frame = req_buf + GATEWAY_HEADER_SIZE;
    // Records from this server always hold a whole request; anything shorter has no function
    // code or identifiers to answer with.
    if (req->payload_length < MIN_REQUEST || ans->unit_offset > ans->payload_length) {
        return -1;
    }
    const uint8_t failure[] = {frame[MBAP_SIZE], static_cast<uint8_t>(frame[MBAP_SIZE + 1] | 0x80),
                               MODBUS_EXCEPTION_SLAVE_OR_SERVER_FAILURE};
    const uint8_t *raw = ans_buf + GATEWAY_HEADER_SIZE + ans->unit_offset;
    int raw_length = ans->payload_length - ans->unit_offset;
    if (ans->status != 0) {
        errno = ans->status;
        LOG_ERRNO(LOG_ERR, "Modbus report error\n");
        raw = failure;
        raw_length = sizeof failure;
    }
    int n = modbustcp_send_raw_reply(s->context, raw, raw_length, frame);
    LOG(LOG_DEBUG, "wrote %d bytes into socket\n", static_cast<uint16_t>(n));
    return n;
}

int modbustcp_client_write(client_record *c)
{
    auto *s = static_cast<modbustcp_settings *>(c->conn->remote_priv);
    int32_t id = *reinterpret_cast<modbustcp_client *>(c)->client_id;
    LOG(LOG_DEBUG, "flush remote\n");
    LOG(LOG_DEBUG, "set socket remote\n");
    modbus_set_socket(s->context, c->fd);
    for (;;) {
        if (rcqb_empty(c->reader)) {
            c->out_pending = false;
            return 1;
        }
        LOG(LOG_DEBUG, "get response\n");
        gateway_record ans{};
        uint8_t *ans_buf = nullptr;
        int got = gateway_record_read(c->reader, &ans, &ans_buf);
        if (got == 0) {
            c->out_pending = false;
            return 1;
        }
        if (got < 0) {
            return framing_lost(c, got);
        }
        LOG(LOG_DEBUG, "client process package\n");
        if (s->verbose != 0) {
            modbusrtu_dump(ans_buf + GATEWAY_HEADER_SIZE, ans.payload_length);
        }
        if (ans.client_id != id) {
            // The request record behind it carries the same id and is skipped the same way.
            LOG(LOG_DEBUG, "client skip over package addressed to other client\n");
            free(ans_buf);
            continue;
        }
        LOG(LOG_DEBUG, "recover original message\n");
        gateway_record req{};
        uint8_t *req_buf = nullptr;
        got = gateway_record_read(c->reader, &req, &req_buf);
        if (got != 1) {
            free(ans_buf);
            return framing_lost(c, got == 0 ? -1 : got);
        }
        if (s->verbose != 0) {
            modbusrtu_dump(req_buf + GATEWAY_HEADER_SIZE, req.payload_length);
        }
        int n = reply(s, &ans, ans_buf, &req, req_buf);
        c->sent += static_cast<uint64_t>(n > 0 ? n : 0);
        free(ans_buf);
        free(req_buf);
    }
}
