// The event loop: one poll over the listener, the tty and the clients, served in a fixed order
// each pass; it sleeps until a descriptor is ready or, with -w, a client's time-out is due.
// Clients are removed only at the end of a pass over them (compaction), so indices stay valid
// while a pass runs and returned events move with their entries.
#include "connector.h"

#include <algorithm>
#include <cassert>
#include <cinttypes>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <netdb.h>
#include <sys/ioctl.h>
#include <unistd.h>
#ifdef __GLIBC__
#include <malloc.h>
#endif

#include "log.h"
#include "rcqb.h"
#include "timespec.h"
#include "util.h"

static constexpr char log_module[] = "connector";

// What poll reports on a tty whose device has gone, whether asked for or not.
static constexpr short HANGUP_EVENTS = POLLHUP | POLLERR | POLLNVAL;
// Reads of a hung-up tty before it is closed: more than the tty's own buffers hold.
static constexpr int HANGUP_READS_MAX = 256;

static timespec monotonic_now()
{
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return now;
}

// ---- Signals ----

static constexpr int CAUGHT_SIGNALS[] = {SIGUSR1, SIGTERM, SIGINT};
static volatile sig_atomic_t stop_signal;   // the signal that asked for a stop; 0 = none
static volatile sig_atomic_t report_wanted; // SIGUSR1 since the last report
static sigset_t caught;                     // the three, blocked but while waiting
static sigset_t wait_mask;                  // while the loop waits: every caught signal comes
static sigset_t stop_mask;                  // while client mode connects: only the stop ones
// ppoll delivers a signal only when it interrupts the wait; a loop kept busy by its peers may
// not wait for a long time, so every so many passes that did not wait fetch it themselves.
static constexpr uint32_t SIGNAL_CHECK_PASSES = 64;
static uint32_t busy_passes;

// Only flags: everything they ask for is done by the loop.
static void on_signal(int sig)
{
    if (sig == SIGUSR1) {
        report_wanted = 1;
    } else {
        stop_signal = sig;
    }
}

void connector_catch_signals(connector *conn)
{
    conn->started = monotonic_now();
    struct sigaction sa = {};
    sa.sa_handler = on_signal;
    sigemptyset(&sa.sa_mask);
    sigemptyset(&caught);
    for (int sig : CAUGHT_SIGNALS) {
        sigaction(sig, &sa, nullptr);
        sigaddset(&caught, sig);
    }
    sigprocmask(SIG_BLOCK, &caught, &wait_mask);
    for (int sig : CAUGHT_SIGNALS) {
        sigdelset(&wait_mask, sig);
    }
    stop_mask = wait_mask;
    sigaddset(&stop_mask, SIGUSR1);
}

static void take_pending_signals()
{
    static constexpr timespec now{};
    int saved = errno; // the error clause of later messages must not change
    int sig;
    while ((sig = sigtimedwait(&caught, nullptr, &now)) > 0) {
        on_signal(sig);
    }
    errno = saved;
}

bool connector_stopping()
{
    return stop_signal != 0;
}

// The service manager learns that wirebox is ready once it listens, or once client mode makes
// its first attempt.
static void tell_ready(connector *conn)
{
    if (!conn->ready_told) {
        conn->ready_told = true;
        (void)notify_service("READY=1");
    }
}

int connector_connect(connector *conn)
{
    tell_ready(conn);
    sigset_t saved;
    sigprocmask(SIG_SETMASK, &stop_mask, &saved);
    int fd = tcp_connect(conn->host, conn->port);
    sigprocmask(SIG_SETMASK, &saved, nullptr);
    return fd;
}

void connector_pause(int32_t seconds)
{
    timespec t;
    timespec_set(&t, seconds, 0);
    (void)ppoll(nullptr, 0, &t, &stop_mask);
}

void connector_init(connector *conn)
{
    conn->tty_fd = -1;
    conn->listen_fd = -1;
    if (conn->to_tty == nullptr) {
        conn->to_tty = rcqb_create(QUEUE_BLOCK_SIZE);
    }
    if (conn->from_tty == nullptr) {
        conn->from_tty = rcqb_create(QUEUE_BLOCK_SIZE);
    }
    if (conn->tty_reader == nullptr) {
        conn->tty_reader = rcqb_clone(conn->to_tty);
    }
    if (conn->clients == nullptr) {
        conn->clients =
            // NOLINTNEXTLINE(bugprone-sizeof-expression): a table of pointers, so sizeof a pointer
            static_cast<client_record **>(xcalloc(MAX_CLIENTS, sizeof(client_record *)));
    }
    conn->nfds = 2;
    for (pollfd &p : conn->pollfds) {
        p = {-1, 0, 0};
    }
}

void connector_add_client(connector *conn, int fd)
{
    (void)tcp_keepalive(fd); // a connection without it is still served
    conn->clients[conn->nfds - 2] = conn->client_create(conn, fd);
    conn->clients[conn->nfds - 2]->since = monotonic_now();
    conn->accepted++;
    conn->pollfds[conn->nfds].fd = fd;
    if (conn->peer_timeout != 0) {
        conn->last_activity[conn->nfds] = monotonic_now();
    }
    conn->nfds++;
}

static bool wants_output(const client_record *c)
{
    return c->out_pending || !rcqb_empty(c->reader);
}

static bool tty_is_held(const connector *conn)
{
    return conn->tty_held != nullptr && *conn->tty_held != 0;
}

static bool tty_wants_output(const connector *conn)
{
    return !tty_is_held(conn) && (conn->tty_pending || !rcqb_empty(conn->tty_reader));
}

// Bytes of to_tty the tty has not taken yet.
static uint32_t tty_backlog(const connector *conn)
{
    return rcqb_position(conn->to_tty) - rcqb_position(conn->tty_reader);
}

static void connector_set_events(connector *conn)
{
    pollfd &tty = conn->pollfds[1];
    if (tty.fd != -1) {
        tty.events = POLLIN | (tty_wants_output(conn) ? POLLOUT : 0);
    }
    // A held tty takes nothing until a client's request releases it, so the clients stay read
    // whatever waits; clients_in bounds that.
    short in = tty_is_held(conn) || tty_backlog(conn) < TTY_BACKLOG_LIMIT ? POLLIN : 0;
    for (int k = 2; k < conn->nfds; k++) {
        const client_record *c = conn->clients[k - 2];
        conn->pollfds[k].events =
            static_cast<short>((c->draining ? 0 : in) | (wants_output(c) ? POLLOUT : 0));
    }
    // A full house does not watch the listener: the waiting connection would make poll return
    // at once on every pass until a client leaves.
    conn->pollfds[0].events = conn->nfds < MAX_POLL ? POLLIN : 0;
}

// A peer's numeric address and port ("?" where unknown), for the warnings that name a client.
struct peer_address {
    char host[ADDR_TEXT_LEN];
    char port[8];
};

static peer_address peer_address_of(int fd)
{
    peer_address a = {"?", "?"};
    sockaddr_storage addr{};
    socklen_t len = sizeof addr;
    if (getpeername(fd, reinterpret_cast<sockaddr *>(&addr), &len) == 0) {
        (void)getnameinfo(reinterpret_cast<sockaddr *>(&addr), len, a.host, sizeof a.host, a.port,
                          sizeof a.port, NI_NUMERICHOST | NI_NUMERICSERV);
    }
    return a;
}

// Closes client entry k and frees its record; the entry is compacted away later.
static void drop_client(connector *conn, int k)
{
    close(conn->pollfds[k].fd);
    conn->pollfds[k].fd = -1;
    conn->client_free(conn->clients[k - 2]);
    conn->clients[k - 2] = nullptr;
#ifdef __GLIBC__
    // A reader far behind kept a long run of blocks that its free has just released. glibc gives
    // heap memory back only from the top, and the live blocks of the stream lie above that run:
    // without a trim it would stay resident after the client has gone, however it went.
    malloc_trim(0);
#endif
}

static void connector_compact(connector *conn)
{
    int k = 2;
    while (k < conn->nfds) {
        if (conn->pollfds[k].fd != -1) {
            k++;
            continue;
        }
        for (int j = k + 1; j < conn->nfds; j++) {
            conn->pollfds[j - 1] = conn->pollfds[j];
            conn->last_activity[j - 1] = conn->last_activity[j];
            conn->clients[j - 3] = conn->clients[j - 2];
        }
        conn->nfds--;
        conn->pollfds[conn->nfds] = {-1, 0, 0};
        conn->clients[conn->nfds - 2] = nullptr;
    }
}

// The moment client entry k will have been silent for the whole peer time-out.
static timespec client_deadline(const connector *conn, int k)
{
    timespec t = conn->last_activity[k];
    timespec d;
    timespec_set(&d, conn->peer_timeout, 0);
    timespec_add(&t, d);
    return t;
}

// Milliseconds until the earliest client deadline, rounded up so that poll does not wake just
// before it; -1 (no time-out, no wake-up) without -w or without clients.
static int poll_timeout(const connector *conn)
{
    if (conn->peer_timeout == 0 || conn->nfds <= 2) {
        return -1;
    }
    timespec now = monotonic_now();
    int64_t ms = INT32_MAX;
    for (int k = 2; k < conn->nfds; k++) {
        timespec left = client_deadline(conn, k);
        timespec_sub(&left, now);
        ms = std::min(ms, int64_t{left.tv_sec} * 1000 + (left.tv_nsec + 999999) / 1000000);
    }
    return static_cast<int>(ms);
}

static void connector_peer_timeouts(connector *conn)
{
    if (conn->peer_timeout == 0) {
        return;
    }
    timespec now = monotonic_now();
    bool removed = false;
    for (int k = 2; k < conn->nfds; k++) {
        if (timespec_cmp(now, client_deadline(conn, k)) < 0) {
            continue;
        }
        // Bytes waiting unread mean the client is not silent: its input is not watched while
        // the tty is behind, or it arrived with this very wake-up. Not so once the peer has
        // closed behind them: then only the tty taking its bytes refreshes its time, and a tty
        // that took none for the whole time-out must not hold the entry for ever.
        int fd = conn->pollfds[k].fd;
        pollfd p = {fd, POLLIN | POLLRDHUP, 0};
        bool waiting = poll(&p, 1, 0) == 1 && (p.revents & POLLIN);
        if (conn->clients[k - 2]->draining || (p.revents & (POLLRDHUP | POLLHUP | POLLERR))) {
            int unread = 0;
            (void)ioctl(fd, FIONREAD, &unread);
            peer_address a = peer_address_of(fd);
            LOG(LOG_WARNING,
                "client %s:%s has closed and the tty took none of its bytes for %" PRId32
                " s, disconnecting (%d unread bytes discarded)\n",
                a.host, a.port, conn->peer_timeout, unread);
        } else if (waiting) {
            conn->last_activity[k] = now;
            continue;
        } else {
            LOG(LOG_INFO, "peer timeout client\n");
        }
        conn->dropped_timeout++;
        drop_client(conn, k);
        removed = true;
    }
    if (removed) {
        connector_compact(conn);
    }
}

static bool connector_accept(connector *conn)
{
    if (conn->pollfds[0].fd < 0) {
        LOG(LOG_DEBUG, "Listener socket not set, skipping client connection\n");
        return false;
    }
    // Anything but a plain POLLIN (nothing ready, or an error or hang-up) accepts nothing.
    if (conn->pollfds[0].revents != POLLIN) {
        return false;
    }
    LOG(LOG_DEBUG, "Listener socket is readable\n");
    // With every client entry taken the connection waits in the listen queue.
    if (conn->nfds == MAX_POLL) {
        return false;
    }
    LOG(LOG_DEBUG, "try connecting a new client\n");
    int fd = conn->client_accept(conn);
    if (fd < 0) {
        LOG(LOG_DEBUG, "no more new clients available\n");
        return false;
    }
    LOG(LOG_DEBUG, "connector new client\n");
    (void)tcp_keepalive(fd); // every remote side's connections: a vanished peer fails a read
    conn->pollfds[conn->nfds] = {fd, 0, 0};
    if (conn->peer_timeout != 0) {
        conn->last_activity[conn->nfds] = monotonic_now();
    }
    LOG(LOG_DEBUG, "create remote data structure\n");
    client_record *c = conn->client_create(conn, fd);
    conn->clients[conn->nfds - 2] = c;
    if (c == nullptr) {
        LOG(LOG_DEBUG, "client force disconnect\n");
        close(fd);
        conn->pollfds[conn->nfds].fd = -1;
        conn->refused++;
        return false;
    }
    c->since = monotonic_now();
    conn->accepted++;
    LOG(LOG_DEBUG, "try to connect another new client\n");
    conn->nfds++;
    return true;
}

// Reads client entry k: false when the client is to be dropped. A peer that closes while bytes
// still wait for the tty keeps its entry, unread, until they have gone (a file pushed before
// the close arrives whole, and in order before anything a later client sends).
static bool client_in(connector *conn, int k)
{
    client_record *c = conn->clients[k - 2];
    if (c->draining) {
        conn->closed++; // an error or hang-up: the peer has gone for good
        return false;
    }
    if (conn->client_read(c) == 0) {
        if (tty_backlog(conn) == 0) {
            conn->closed++;
            return false;
        }
        c->draining = true;
        c->input_end = rcqb_position(conn->to_tty);
        return true;
    }
    if (tty_is_held(conn) && tty_backlog(conn) >= CLIENT_LAG_LIMIT) {
        peer_address a = peer_address_of(c->fd);
        LOG(LOG_WARNING, "client %s:%s: %" PRIu32 " bytes wait for the held tty, disconnecting\n",
            a.host, a.port, tty_backlog(conn));
        conn->dropped_lagging++;
        return false;
    }
    if (conn->peer_timeout != 0) {
        LOG(LOG_DEBUG, "set clock_gettime\n");
        conn->last_activity[k] = monotonic_now();
    }
    return true;
}

static void connector_clients_in(connector *conn)
{
    bool removed = false;
    for (int k = 2; k < conn->nfds; k++) {
        // Errors and hang-ups are reported even while input is not watched; the read finds the
        // reset or closed peer, which would otherwise wake every poll until it is removed.
        if (!(conn->pollfds[k].revents & (POLLIN | POLLERR | POLLHUP))) {
            continue;
        }
        LOG(LOG_DEBUG, "client event poll in\n");
        if (!client_in(conn, k)) {
            LOG(LOG_INFO, "connection closed client\n");
            drop_client(conn, k);
            removed = true;
        }
    }
    if (removed) {
        connector_compact(conn);
    }
}

static void connector_clients_out(connector *conn)
{
    bool removed = false;
    for (int k = 2; k < conn->nfds; k++) {
        client_record *c = conn->clients[k - 2];
        if (!(conn->pollfds[k].revents & POLLOUT) || !wants_output(c)) {
            continue;
        }
        LOG(LOG_DEBUG, "client event poll out\n");
        if (conn->client_write(c) == 0) {
            LOG(LOG_INFO, "Connection close client\n");
            conn->dropped_error++;
            drop_client(conn, k);
            removed = true;
        }
    }
    if (removed) {
        connector_compact(conn);
    }
}

static void connector_tty_in(connector *conn)
{
    short revents = conn->pollfds[1].revents;
    if (revents & POLLIN) {
        conn->tty_read(conn);
    }
    if (!(revents & HANGUP_EVENTS)) {
        return;
    }
    // The device has gone (the other end closed, an adapter unplugged) and poll would report
    // it on every pass. Keep what it sent before it went, then close: while clients remain the
    // next pass reopens the tty with its retries, and when they run out the process ends.
    for (int i = 0; i < HANGUP_READS_MAX; i++) {
        uint32_t before = rcqb_position(conn->from_tty);
        conn->tty_read(conn);
        if (rcqb_position(conn->from_tty) == before) {
            break;
        }
    }
    LOG(LOG_WARNING, "tty hung up, closing it\n");
    conn->tty_hangups++;
    conn->tty_close(conn);
    conn->pollfds[1].revents = 0; // nothing is written to it in this pass
}

static void connector_tty_out(connector *conn)
{
    if (!(conn->pollfds[1].revents & POLLOUT) || !tty_wants_output(conn)) {
        return;
    }
    uint32_t before = rcqb_position(conn->tty_reader);
    conn->tty_write(conn);
    if (conn->peer_timeout == 0 || rcqb_position(conn->tty_reader) == before) {
        return;
    }
    // A draining client's bytes are moving: that is its activity now.
    timespec now = monotonic_now();
    for (int k = 2; k < conn->nfds; k++) {
        if (conn->clients[k - 2]->draining) {
            conn->last_activity[k] = now;
        }
    }
}

// A client that far behind is disconnected: skipping bytes would hand it a stream with a hole,
// and keeping them would let one stalled reader hold every tty byte. Its blocks are freed with
// its reader; the other clients go on at their own pace. A draining client whose bytes the tty
// has all taken is done. Runs at the end of every pass, after whatever may have added output.
static void connector_settle_clients(connector *conn)
{
    uint32_t newest = rcqb_position(conn->from_tty);
    uint32_t taken = rcqb_position(conn->tty_reader);
    bool removed = false;
    for (int k = 2; k < conn->nfds; k++) {
        const client_record *c = conn->clients[k - 2];
        uint32_t lag = newest - rcqb_position(c->reader) + c->queued;
        if (c->draining && static_cast<int32_t>(taken - c->input_end) >= 0) {
            LOG(LOG_INFO, "connection closed client\n");
            conn->closed++;
        } else if (lag >= CLIENT_LAG_LIMIT) {
            peer_address a = peer_address_of(conn->pollfds[k].fd);
            LOG(LOG_WARNING, "client %s:%s is %" PRIu32 " bytes behind, disconnecting\n", a.host,
                a.port, lag);
            conn->dropped_lagging++;
        } else {
            continue;
        }
        drop_client(conn, k);
        removed = true;
    }
    if (removed) {
        connector_compact(conn);
    }
}

static void connector_poll_once(connector *conn)
{
    LOG(LOG_DEBUG, "Waiting on poll() number open sockets %i\n", conn->nfds);
    // Without clients only the listener is watched: the tty is closed then anyway.
    nfds_t count = conn->nfds > 2 ? static_cast<nfds_t>(conn->nfds) : 1;
    int ms = poll_timeout(conn);
    timespec limit{};
    if (ms >= 0) {
        timespec_set(&limit, ms / 1000, (ms % 1000) * 1000000);
    }
    // The caught signals come only here; one that interrupts the wait ends the pass.
    int ready = ppoll(conn->pollfds.data(), count, ms < 0 ? nullptr : &limit, &wait_mask);
    if (ready > 0 && ++busy_passes % SIGNAL_CHECK_PASSES == 0) {
        take_pending_signals();
    }
    if (ready < 0) {
        return;
    }
    connector_peer_timeouts(conn);
    if (ready == 0) {
        return;
    }
    // A new client ends the pass; poll reports the other ready entries again at once.
    if (connector_accept(conn)) {
        return;
    }
    connector_clients_in(conn);
    connector_clients_out(conn);
    connector_tty_in(conn);
    connector_tty_out(conn);
    connector_settle_clients(conn);
}

// One INFO line per subject, as key=value words: the process, the local side, each client,
// the remote side.
static void connector_report(const connector *conn)
{
    if (!(log_mask & (1 << LOG_INFO))) {
        return; // nothing would be shown: spare the address look-ups
    }
    timespec now = monotonic_now();
    LOG(LOG_INFO,
        "stats process uptime=%lld local=%s remote=%s mode=%s clients=%d accepted=%" PRIu32
        " refused=%" PRIu32 " closed=%" PRIu32 " dropped_lagging=%" PRIu32
        " dropped_timeout=%" PRIu32 " dropped_error=%" PRIu32 "\n",
        static_cast<long long>(now.tv_sec - conn->started.tv_sec), conn->local_name,
        conn->remote_name, conn->listen_fd >= 0 ? "server" : "client", conn->nfds - 2,
        conn->accepted, conn->refused, conn->closed, conn->dropped_lagging, conn->dropped_timeout,
        conn->dropped_error);
    if (conn->report_local != nullptr) {
        conn->report_local(conn);
    }
    uint32_t newest = rcqb_position(conn->from_tty);
    for (int k = 2; k < conn->nfds; k++) {
        const client_record *c = conn->clients[k - 2];
        peer_address a = peer_address_of(conn->pollfds[k].fd);
        LOG(LOG_INFO,
            "stats client address=%s:%s connected=%lld sent=%" PRIu64 " received=%" PRIu64
            " queued=%" PRIu32 "\n",
            a.host, a.port, static_cast<long long>(now.tv_sec - c->since.tv_sec), c->sent,
            c->received, newest - rcqb_position(c->reader) + c->queued);
    }
    if (conn->report_remote != nullptr) {
        conn->report_remote(conn);
    }
}

// Tells the service manager how many clients there are and whether the tty is open, when
// either has changed.
static void connector_tell_status(connector *conn)
{
    int32_t clients = conn->nfds - 2;
    bool open = conn->tty_fd != -1;
    if (clients == conn->status_clients && open == conn->status_tty_open) {
        return;
    }
    conn->status_clients = clients;
    conn->status_tty_open = open;
    char text[64];
    (void)snprintf(text, sizeof text, "STATUS=%d client%s, tty %s", static_cast<int>(clients),
                   clients == 1 ? "" : "s", open ? "open" : "closed");
    (void)notify_service(text);
}

// A clean stop: no new connection and no more input; what is queued for the tty gets up to a
// second to leave (a held or stalled tty may not take it all). The caller closes the rest.
static void connector_stop(connector *conn)
{
    // A second signal ends the process at once, whatever the stop is doing.
    signal(SIGTERM, SIG_DFL);
    signal(SIGINT, SIG_DFL);
    sigset_t stops;
    sigemptyset(&stops);
    sigaddset(&stops, SIGTERM);
    sigaddset(&stops, SIGINT);
    sigprocmask(SIG_UNBLOCK, &stops, nullptr);
    (void)notify_service("STOPPING=1");
    if (conn->listen_fd >= 0) {
        close(conn->listen_fd);
        conn->listen_fd = -1;
        conn->pollfds[0].fd = -1;
    }
    timespec deadline = monotonic_now();
    timespec second;
    timespec_set(&second, 1, 0);
    timespec_add(&deadline, second);
    while (conn->tty_fd != -1 && tty_wants_output(conn)) {
        timespec left = deadline;
        timespec_sub(&left, monotonic_now());
        if (left.tv_sec == 0 && left.tv_nsec == 0) {
            break;
        }
        pollfd p = {conn->tty_fd, POLLOUT, 0};
        if (ppoll(&p, 1, &left, &wait_mask) == 1 && (p.revents & HANGUP_EVENTS)) {
            break;
        }
        if (p.revents & POLLOUT) {
            conn->tty_write(conn);
        }
    }
    LOG(LOG_INFO, "stopping on signal %d: %" PRIu32 " bytes for the tty were not sent\n",
        static_cast<int>(stop_signal), tty_backlog(conn));
}

void connector_loop(connector *conn)
{
    for (;;) {
        if (stop_signal != 0) {
            connector_stop(conn);
            return;
        }
        if (report_wanted != 0) {
            report_wanted = 0;
            connector_report(conn);
        }
        if (conn->pollfds[0].fd < 0 && conn->nfds <= 2) {
            return;
        }
        if (conn->pollfds[0].fd >= 0) {
            tell_ready(conn);
        }

        conn->pollfds[1].events = 0;
        conn->pollfds[1].revents = 0;
        if (conn->nfds > 2 && conn->tty_fd == -1) {
            conn->tty_open(conn);
        }
        if (conn->nfds == 2 && conn->tty_fd != -1) {
            conn->tty_close(conn);
        }
        if (conn->tty_fd != conn->pollfds[1].fd) {
            LOG(LOG_DEBUG, "tty file descriptor changed, updating poll fd list\n");
            conn->pollfds[1].fd = conn->tty_fd;
        }
        if (conn->listen_fd != conn->pollfds[0].fd) {
            LOG(LOG_DEBUG, "tcp listen file descriptor changed, updating poll fd list\n");
            conn->pollfds[0].fd = conn->listen_fd;
        }
        connector_tell_status(conn);
        connector_set_events(conn);
        connector_poll_once(conn);
    }
}

void connector_cleanup(connector *conn)
{
    rcqb_free(conn->to_tty);
    rcqb_free(conn->from_tty);
    rcqb_free(conn->tty_reader);
    conn->to_tty = nullptr;
    conn->from_tty = nullptr;
    conn->tty_reader = nullptr;
    for (int k = 0; k < MAX_POLL; k++) {
        if (conn->pollfds[k].fd == -1) {
            continue;
        }
        close(conn->pollfds[k].fd);
        conn->pollfds[k].fd = -1;
        if (k == 0) {
            conn->listen_fd = -1;
        } else if (k == 1) {
            conn->tty_fd = -1; // so that the later tty_close finds the tty closed
        } else {
            conn->client_free(conn->clients[k - 2]);
            conn->clients[k - 2] = nullptr;
        }
    }
    free(conn->clients);
    conn->clients = nullptr;
}
