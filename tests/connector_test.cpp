#include "connector.h"

#include <algorithm>
#include <arpa/inet.h>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <fcntl.h>
#include <functional>
#include <gtest/gtest.h>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "rcqb.h"
#include "support/fd_guard.h"
#include "support/log_capture.h"
#include "support/pty_pair.h"
#include "util.h"

namespace {

// Up to n bytes from fd within five seconds, fewer if the peer closes.
std::string receive(int fd, size_t n)
{
    std::string out;
    auto end = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    for (ssize_t r = 1; r > 0 && out.size() < n && std::chrono::steady_clock::now() < end;) {
        pollfd p = {fd, POLLIN, 0};
        char buf[4096];
        if (poll(&p, 1, 50) == 1) {
            r = read(fd, buf, std::min(sizeof buf, n - out.size()));
            out.append(buf, static_cast<size_t>(std::max<ssize_t>(r, 0)));
        }
    }
    return out;
}

bool closed_by_peer(int fd)
{
    char c;
    return recv(fd, &c, 1, MSG_DONTWAIT) == 0;
}

void send_text(int fd, const std::string &s)
{
    ASSERT_EQ(write(fd, s.data(), s.size()), static_cast<ssize_t>(s.size()));
}

// Runs connector_loop in a thread; the tty is a pty, clients are loopback sockets. The slots
// report to the `events` pipe: c create, r refused create, f free, o open, x close,
// ! client read with the tty closed, h between_polls done, R loop returned.
struct harness {
    connector *conn = static_cast<connector *>(xcalloc(1, sizeof(connector)));
    pty_pair tty;
    int port = 0;
    int events[2];
    std::atomic<bool> stopping{false}, refuse_next{false}, armed{false};
    std::function<void()> action;
    std::thread loop;
    int32_t base_blocks = rcqb_live_blocks;

    explicit harness(int32_t peer_timeout = 0, bool with_listener = true);
    ~harness()
    {
        stop();
        connector_cleanup(conn);
        EXPECT_EQ(rcqb_live_blocks, base_blocks);
        free(conn);
        close(events[0]);
        close(events[1]);
    }
    void start()
    {
        loop = std::thread([this] {
            connector_loop(conn);
            EXPECT_EQ(write(events[1], "R", 1), 1);
        });
    }
    std::string next(size_t n)
    {
        return receive(events[0], n);
    }
    int connect_client()
    {
        int fd = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in addr{AF_INET, htons(static_cast<uint16_t>(port)), {htonl(INADDR_LOOPBACK)}, {}};
        EXPECT_EQ(connect(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr), 0);
        return fd;
    }
    // Runs f in the loop thread from tty_read, so that whatever f causes meets the same poll.
    bool between_polls(std::function<void()> f)
    {
        action = std::move(f);
        armed = true;
        return write(tty.master, "!", 1) == 1 && next(1) == "h";
    }
    // Ends the loop once the test's clients have gone; returns the events not read before.
    std::string stop()
    {
        std::string seen;
        if (!loop.joinable()) {
            return seen;
        }
        stopping = true;
        if (port != 0) {
            close(connect_client()); // client_accept then closes the listener
        }
        while (seen.find('R') == std::string::npos) {
            std::string more = next(1);
            if (more.empty()) {
                fprintf(stderr, "event loop did not return\n");
                abort();
            }
            seen += more;
        }
        loop.join();
        return seen;
    }
};

harness &of(connector *conn)
{
    return *static_cast<harness *>(conn->remote_priv);
}

void note(connector *conn, char event)
{
    EXPECT_EQ(write(of(conn).events[1], &event, 1), 1);
}

harness::harness(int32_t peer_timeout, bool with_listener)
{
    EXPECT_EQ(pipe(events), 0);
    conn->peer_timeout = peer_timeout;
    conn->remote_priv = this;
    conn->client_accept = [](connector *conn) {
        if (!of(conn).stopping) {
            return accept4(conn->listen_fd, nullptr, nullptr, SOCK_NONBLOCK);
        }
        close(conn->listen_fd);
        conn->listen_fd = conn->pollfds[0].fd = -1;
        return -1;
    };
    conn->client_create = [](connector *conn, int fd) -> client_record * {
        if (of(conn).refuse_next.exchange(false)) {
            note(conn, 'r');
            return nullptr;
        }
        note(conn, 'c');
        auto *c = static_cast<client_record *>(xcalloc(1, sizeof(client_record)));
        *c = {fd, conn, rcqb_clone(conn->from_tty), false, nullptr};
        return c;
    };
    conn->client_free = [](client_record *c) {
        note(c->conn, 'f');
        rcqb_free(c->reader);
        free(c);
    };
    conn->client_read = [](client_record *c) {
        if (c->conn->tty_fd == -1) {
            note(c->conn, '!');
        }
        int32_t r = rcqb_read_fd(c->fd, c->conn->to_tty, 256);
        return r > 0 || (r == -1 && errno == EAGAIN) ? 1 : 0;
    };
    conn->client_write = [](client_record *c) {
        return rcqb_write_fd(c->fd, c->reader, 65536) >= 0 || errno == EAGAIN ? 1 : 0;
    };
    conn->tty_open = [](connector *conn) {
        conn->tty_fd = open(of(conn).tty.path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
        note(conn, 'o');
        return 0;
    };
    conn->tty_close = [](connector *conn) {
        close(conn->tty_fd);
        conn->tty_fd = -1;
        note(conn, 'x');
    };
    conn->tty_read = [](connector *conn) {
        rcqb_read_fd(conn->tty_fd, conn->from_tty, 256);
        if (of(conn).armed.exchange(false)) {
            of(conn).action();
            note(conn, 'h');
        }
    };
    conn->tty_write = [](connector *conn) { rcqb_write_fd(conn->tty_fd, conn->tty_reader, 4096); };
    connector_init(conn);
    if (with_listener) {
        int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
        sockaddr_in addr{AF_INET, 0, {htonl(INADDR_LOOPBACK)}, {}};
        socklen_t len = sizeof addr;
        EXPECT_EQ(bind(fd, reinterpret_cast<sockaddr *>(&addr), len), 0);
        EXPECT_EQ(listen(fd, 128), 0);
        getsockname(fd, reinterpret_cast<sockaddr *>(&addr), &len);
        port = ntohs(addr.sin_port);
        conn->listen_fd = fd;
        conn->pollfds[0] = {fd, POLLIN, 0};
    }
}

TEST(ConnectorLoop, ClientsLeavingInOnePassAreRemovedOthersKeepOrderAndData)
{
    for (const auto &leaving :
         std::vector<std::vector<size_t>>{{2}, {0, 1}, {1, 3}, {3, 4}, {0, 4}}) {
        SCOPED_TRACE(testing::Message() << "leaving " << leaving[0] << "," << leaving.back());
        harness h;
        h.start();
        std::vector<fd_guard> socks(5);
        for (auto &s : socks) {
            s.fd = h.connect_client();
        }
        ASSERT_EQ(h.next(6), "cocccc");
        ASSERT_TRUE(h.between_polls([&] {
            for (size_t i : leaving) {
                close(socks[i].release());
            }
        }));
        ASSERT_EQ(h.next(leaving.size()), std::string(leaving.size(), 'f'));
        std::string ids;
        ASSERT_TRUE(h.between_polls([&] {
            for (size_t i = 0; i < 5; i++) {
                if (socks[i].fd >= 0) {
                    ids += static_cast<char>('a' + i);
                    send_text(socks[i].fd, ids.substr(ids.size() - 1));
                }
            }
            EXPECT_EQ(h.conn->nfds, static_cast<int32_t>(2 + ids.size()));
            for (int k = 2; k < h.conn->nfds; k++) {
                EXPECT_EQ(h.conn->clients[k - 2]->fd, h.conn->pollfds[k].fd);
            }
        }));
        // Ready in the same pass, the clients are read in poll-list order.
        EXPECT_EQ(receive(h.tty.master, ids.size()), ids);
        for (auto &s : socks) {
            if (s.fd >= 0) {
                EXPECT_EQ(receive(s.fd, 2), "!!");
            }
        }
    }
}

TEST(ConnectorLoop, UpToSixtyTwoClientsTtyOpenOnlyWhileAnyIsConnected)
{
    log_capture logs;
    harness h;
    h.start();
    h.refuse_next = true;
    fd_guard refused(h.connect_client());
    receive(refused.fd, SIZE_MAX);
    EXPECT_TRUE(closed_by_peer(refused.fd));
    std::vector<fd_guard> socks(MAX_CLIENTS + 1); // the last completes in the listen queue
    for (auto &s : socks) {
        s.fd = h.connect_client();
        if (&s == &socks[0]) {
            send_text(s.fd, "p"); // readable at the first poll that watches it
        }
    }
    EXPECT_EQ(h.next(MAX_CLIENTS + 2), "rco" + std::string(MAX_CLIENTS - 1, 'c'));
    // Bytes from client 1 reach the tty only after a pass that saw the listener readable.
    send_text(socks[1].fd, "q");
    EXPECT_EQ(receive(h.tty.master, 2), "pq");
    close(socks[0].release());
    EXPECT_EQ(h.next(2), "fc");
    send_text(socks.back().fd, "r");
    EXPECT_EQ(receive(h.tty.master, 1), "r");
    send_text(h.tty.master, "s");
    EXPECT_EQ(receive(socks.back().fd, 1), "s");
    socks.clear();
    EXPECT_EQ(h.next(MAX_CLIENTS + 1), std::string(MAX_CLIENTS, 'f') + "x");
    fd_guard again(h.connect_client());
    EXPECT_EQ(h.next(2), "co");
    close(again.release());
    h.stop();
    EXPECT_TRUE(logs.contains("client force disconnect\n"));
}

TEST(ConnectorLoop, SilentClientIsDroppedAfterPeerTimeout)
{
    log_capture logs;
    harness h(1);
    h.start();
    fd_guard silent(h.connect_client());
    receive(silent.fd, SIZE_MAX); // nothing else wakes the loop
    EXPECT_TRUE(closed_by_peer(silent.fd));
    close(silent.release());
    h.stop();
    EXPECT_TRUE(logs.contains("peer timeout client\n"));
}

TEST(ConnectorLoop, ClientModeReturnsWhenConnectionEndsLeavingTtyOpen)
{
    harness h(0, false);
    int sv[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0, sv), 0);
    fd_guard peer(sv[1]);
    connector_add_client(h.conn, sv[0]);
    h.start();
    send_text(peer.fd, "m");
    EXPECT_EQ(receive(h.tty.master, 1), "m");
    send_text(h.tty.master, "n");
    EXPECT_EQ(receive(peer.fd, 1), "n");
    close(peer.release());
    EXPECT_EQ(h.stop(), "cofR");
    EXPECT_NE(h.conn->tty_fd, -1);
}

TEST(ConnectorCleanup, ClosesEveryDescriptorAndFreesRecordsAndQueues)
{
    harness h;
    h.conn->tty_fd = h.conn->pollfds[1].fd = open(h.tty.path.c_str(), O_RDWR | O_NOCTTY);
    std::vector<int> fds = {h.conn->listen_fd, h.conn->tty_fd};
    std::vector<fd_guard> peers(3);
    for (auto &p : peers) {
        int sv[2];
        ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, sv), 0);
        p.fd = sv[1];
        connector_add_client(h.conn, sv[0]);
        fds.push_back(sv[0]);
    }
    std::string bulk(10000, 'b'); // kept alive by the clients' unread readers
    rcqb_append(h.conn->from_tty, bulk.data(), 10000);
    rcqb_append(h.conn->to_tty, bulk.data(), 1000);
    connector_cleanup(h.conn);
    note(h.conn, '.');
    EXPECT_EQ(h.next(7), "cccfff.");
    EXPECT_EQ(h.conn->tty_fd, -1);
    EXPECT_EQ(h.conn->clients, nullptr);
    EXPECT_EQ(rcqb_live_blocks, h.base_blocks);
    for (int fd : fds) {
        EXPECT_EQ(fcntl(fd, F_GETFD), -1) << "descriptor " << fd << " still open";
    }
    connector_init(h.conn); // the harness cleans up once more
}

} // namespace
