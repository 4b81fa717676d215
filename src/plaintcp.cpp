// The `raw` remote side: every tty byte goes to every client through its own reader of
// from_tty, and every client byte is appended to the shared to_tty, so client bytes merge in
// arrival order. The banner is written before a client's reader can deliver anything, so it is
// always the first thing a peer receives.
#include "plaintcp.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/types.h>
#include <unistd.h>

#include "connector.h"
#include "log.h"
#include "opt.h"
#include "rcqb.h"
#include "util.h"

static constexpr char log_module[] = "plaintcp";

static constexpr int32_t LISTEN_BACKLOG = 32;
static constexpr uint32_t READ_CHUNK = 256;

static constexpr char usage_text[] =
    "plaintcp <host> <port> [options]   Plain tcp data transfer byte by byte\n"
    "   -C, --client-mode                   connect to remote server\n"
    "   -N, --banner                        connection banner\n"
    "   -h, --help                          print this message and exit\n";

static constexpr const char *help_names[] = {"help", nullptr};
static constexpr const char *client_mode_names[] = {"client-mode", nullptr};
static constexpr const char *banner_names[] = {"banner", nullptr};

static constexpr opt_spec raw_options[] = {
    {'h', 0, "h", help_names},
    {'C', 0, "C", client_mode_names},
    {'N', OPT_HAS_ARG, "N", banner_names},
    {0, 0, nullptr, nullptr},
};

void plaintcp_init(connector *conn, int argc, char **argv)
{
    conn->client_create = plaintcp_client_create;
    conn->client_free = plaintcp_client_free;
    conn->client_read = plaintcp_client_read;
    conn->client_write = plaintcp_client_write;
    conn->client_accept = plaintcp_client_accept;
    auto *priv = static_cast<raw_banner *>(xcalloc(1, sizeof(raw_banner)));
    conn->remote_priv = priv;

    opt_result *opts = opt_parse_section(&argc, argv, raw_options, usage_text, 2);
    conn->host = argv[1];
    conn->port = argv[2];
    conn->run = opt_count(opts, 'C') > 0 ? plaintcp_run_client : plaintcp_run_server;

    const char *text = opt_get(opts, 'N', 0);
    if (text != nullptr) {
        priv->banner = decode_banner(text, &priv->banner_length);
        if (priv->banner == nullptr) {
            LOG_ERRNO(LOG_ERR, "invalid banner\n");
            free(opts);
            puts(usage_text);
            exit(1);
        }
    }
    free(opts);
}

// Value of one hex digit, or -1 (also for the terminator, so a short \x never reads past it).
static int hex_value(char ch)
{
    if (ch >= '0' && ch <= '9') {
        return ch - '0';
    }
    if (ch >= 'a' && ch <= 'f') {
        return ch - 'a' + 10;
    }
    if (ch >= 'A' && ch <= 'F') {
        return ch - 'A' + 10;
    }
    return -1;
}

// Decodes the escape after a backslash at *p (p points past the backslash) into *out and moves
// p past it: false for an escape outside the table.
static bool decode_escape(const char **p, uint8_t *out)
{
    switch (**p) {
    case 'r':
        *out = 0x0d;
        break;
    case 'n':
        *out = 0x0a;
        break;
    case 't':
        *out = 0x09;
        break;
    case '\\':
        *out = 0x5c;
        break;
    case 'x': {
        int hi = hex_value((*p)[1]);
        int lo = hi < 0 ? -1 : hex_value((*p)[2]);
        if (lo < 0) {
            return false;
        }
        *out = static_cast<uint8_t>(hi * 16 + lo);
        *p += 2;
        break;
    }
    default:
        return false;
    }
    *p += 1;
    return true;
}

uint8_t *decode_banner(const char *text, uint32_t *len)
{
    // One spare byte so that an empty text still yields a valid, non-null banner.
    auto *buf = static_cast<uint8_t *>(malloc(strlen(text) + 1));
    if (buf == nullptr) {
        return nullptr;
    }
    uint32_t n = 0;
    const char *p = text;
    while (*p != '\0') {
        if (*p != '\\') {
            buf[n++] = static_cast<uint8_t>(*p++);
            continue;
        }
        ++p;
        if (!decode_escape(&p, &buf[n++])) {
            free(buf);
            return nullptr;
        }
    }
    *len = n;
    return buf;
}

int write_all(int fd, const uint8_t *buf, uint32_t len)
{
    while (len > 0) {
        ssize_t n = write(fd, buf, len);
        if (n < 0) {
            return 1;
        }
        buf += n;
        len -= static_cast<uint32_t>(n);
    }
    return 0;
}

void plaintcp_run_server(connector *conn)
{
    connector_init(conn);
    signal(SIGPIPE, SIG_IGN);
    LOG(LOG_INFO, "entering server mode, listening on: %s:%s\n", conn->host, conn->port);
    conn->listen_fd = tcp_listen(conn->host, conn->port, LISTEN_BACKLOG);
    if (conn->listen_fd == -1) {
        LOG_ERRNO(LOG_ERR, "tcp bind failed\n");
        connector_cleanup(conn);
        return;
    }
    if (fcntl(conn->listen_fd, F_SETFL, O_NONBLOCK) < 0) {
        LOG_ERRNO(LOG_ERR, "fcntl fail\n");
        // Not yet in the poll list, so the cleanup would not close it.
        close(conn->listen_fd);
        conn->listen_fd = -1;
        connector_cleanup(conn);
        return;
    }
    conn->pollfds[0].fd = conn->listen_fd;
    conn->pollfds[0].events = POLLIN;
    conn->pollfds[0].revents = 0;
    connector_loop(conn);
    connector_cleanup(conn);
}

void plaintcp_run_client(connector *conn)
{
    connector_init(conn);
    signal(SIGPIPE, SIG_IGN);
    LOG(LOG_INFO, "entering client mode, endpoint is: %s:%s\n", conn->host, conn->port);
    for (;;) {
        LOG(LOG_DEBUG, "connecting to %s:%s\n", conn->host, conn->port);
        int fd = connector_stopping() ? -1 : connector_connect(conn);
        if (fd >= 0) {
            LOG(LOG_INFO, "connected to %s:%s\n", conn->host, conn->port);
            // As an accepted socket is: a server that stops reading must not hold the loop in
            // a write.
            (void)fcntl(fd, F_SETFL, O_NONBLOCK);
            connector_add_client(conn, fd);
        } else if (!connector_stopping()) {
            LOG(LOG_DEBUG, "tcp_connect failed\n");
            connector_pause(conn->reconnect_delay);
            continue;
        }
        // Returns once the connection is gone: reconnect at once, the tty stays open. After a
        // stop it returns at once, having said so.
        connector_loop(conn);
        if (connector_stopping()) {
            break;
        }
    }
    connector_cleanup(conn);
}

// The peer's port in host order, read from the field that matches the address family.
static uint16_t peer_port(const sockaddr_storage *addr)
{
    if (addr->ss_family == AF_INET) {
        return ntohs(reinterpret_cast<const sockaddr_in *>(addr)->sin_port);
    }
    return ntohs(reinterpret_cast<const sockaddr_in6 *>(addr)->sin6_port);
}

int plaintcp_client_accept(connector *conn)
{
    static_assert(sizeof(sockaddr_storage) == 128);
    sockaddr_storage addr{};
    socklen_t addr_len = sizeof addr;
    int fd = accept(conn->listen_fd, reinterpret_cast<sockaddr *>(&addr), &addr_len);
    if (fd < 0) {
        errno = 0;
        return -1;
    }
    char text[ADDR_TEXT_LEN] = "";
    sockaddr_to_text(reinterpret_cast<const sockaddr *>(&addr), text, sizeof text);
    LOG(LOG_INFO, "got connection from %s:%hu\n", text, peer_port(&addr));
    (void)fcntl(fd, F_SETFL, O_NONBLOCK);
    return fd;
}

client_record *plaintcp_client_create(connector *conn, int fd)
{
    auto *c = static_cast<client_record *>(xcalloc(1, sizeof(client_record)));
    c->fd = fd;
    c->conn = conn;
    // Cloned at the current end of from_tty: the client sees only bytes the tty sends later.
    c->reader = rcqb_clone(conn->from_tty);
    c->out_pending = false;
    c->ext = nullptr;
    const auto *priv = static_cast<const raw_banner *>(conn->remote_priv);
    if (priv->banner != nullptr) {
        // A failed banner write loses the rest of the banner, not the client.
        if (write_all(fd, priv->banner, priv->banner_length) == 0) {
            c->sent = priv->banner_length;
        }
    }
    return c;
}

void plaintcp_client_free(client_record *c)
{
    rcqb_free(c->reader);
    free(c);
}

int plaintcp_client_read(client_record *c)
{
    int32_t n = rcqb_read_fd(c->fd, c->conn->to_tty, READ_CHUNK);
    if (n == 0) {
        return 0;
    }
    if (n < 0 && errno != EAGAIN) {
        return 0;
    }
    c->received += static_cast<uint64_t>(n > 0 ? n : 0);
    LOG(LOG_DEBUG, "read %zd bytes from socket\n", static_cast<ssize_t>(n));
    return 1;
}

int plaintcp_client_write(client_record *c)
{
    // One write of everything unread; what the socket does not take stays queued.
    int32_t n = rcqb_write_fd(c->fd, c->reader, rcqb_available(c->reader));
    if (n < 0) {
        return 0;
    }
    c->out_pending = false;
    c->sent += static_cast<uint64_t>(n);
    LOG(LOG_DEBUG, "write %zd bytes in socket\n", static_cast<ssize_t>(n));
    return 1;
}
