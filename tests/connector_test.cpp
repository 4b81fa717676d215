#include "connector.h"

#include <algorithm>
#include <arpa/inet.h>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <mutex>
#include <netinet/in.h>
#include <string>
#include <sys/socket.h>
#include <syslog.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "rcqb.h"
#include "support/fd_guard.h"
#include "support/log_capture.h"
#include "support/pty_pair.h"
#include "util.h"

namespace {

using std::chrono::steady_clock;
constexpr auto DEADLINE = std::chrono::seconds(5);

// Drives connector_loop in a thread with small slots of its own: the tty is a pty, clients are
// loopback sockets. Setting `stopping` and connecting once more makes client_accept close the
// listener, so the loop returns once the test's clients have gone.
struct loop_harness {
    connector *conn = static_cast<connector *>(xcalloc(1, sizeof(connector)));
    pty_pair tty;
    int port = 0;
    std::vector<int> socks; // the test's ends of the client connections
    std::thread loop;
    std::atomic<bool> stopping{false}, refuse_next{false}, returned{false};
    std::atomic<bool> read_while_tty_closed{false};
    bool holding = false; // tty_read parks until released; the test may inspect conn meanwhile
    std::mutex mu;
    std::condition_variable cv;
    std::vector<std::string> events;
    std::vector<client_record *> records; // in creation order
    int32_t base_blocks = rcqb_live_blocks;

    explicit loop_harness(int32_t peer_timeout = 0, bool with_listener = true);
    ~loop_harness();
    void note(const char *what)
    {
        std::lock_guard<std::mutex> lock(mu);
        events.push_back(what);
        cv.notify_all();
    }
    size_t count(const std::string &what)
    {
        return static_cast<size_t>(std::count(events.begin(), events.end(), what));
    }
    template <typename Pred> bool wait(Pred pred)
    {
        std::unique_lock<std::mutex> lock(mu);
        return cv.wait_until(lock, steady_clock::now() + DEADLINE, pred);
    }
    void start()
    {
        loop = std::thread([this] {
            connector_loop(conn);
            returned = true;
            note("returned");
        });
    }
    int connect_client(bool wait_created = true);
    void close_client(size_t i)
    {
        close(socks[i]);
        socks[i] = -1;
    }
    bool hold();
    void release()
    {
        std::lock_guard<std::mutex> lock(mu);
        holding = false;
        cv.notify_all();
    }
    void stop();
};

loop_harness &of(connector *conn)
{
    return *static_cast<loop_harness *>(conn->remote_priv);
}

int test_client_accept(connector *conn)
{
    if (of(conn).stopping) {
        close(conn->listen_fd);
        conn->listen_fd = -1;
        conn->pollfds[0].fd = -1;
        return -1;
    }
    return accept4(conn->listen_fd, nullptr, nullptr, SOCK_NONBLOCK);
}

client_record *test_client_create(connector *conn, int fd)
{
    loop_harness &h = of(conn);
    if (h.refuse_next.exchange(false)) {
        h.note("refuse");
        return nullptr;
    }
    auto *c = static_cast<client_record *>(xcalloc(1, sizeof(client_record)));
    *c = {fd, conn, rcqb_clone(conn->from_tty), false, nullptr};
    std::lock_guard<std::mutex> lock(h.mu);
    h.records.push_back(c);
    h.events.push_back("create");
    h.cv.notify_all();
    return c;
}

void test_client_free(client_record *c)
{
    of(c->conn).note("free");
    rcqb_free(c->reader);
    free(c);
}

int test_client_read(client_record *c)
{
    if (c->conn->tty_fd == -1) {
        of(c->conn).read_while_tty_closed = true;
    }
    int32_t r = rcqb_read_fd(c->fd, c->conn->to_tty, 256);
    return r > 0 || (r == -1 && errno == EAGAIN) ? 1 : 0;
}

int test_client_write(client_record *c)
{
    int32_t r = rcqb_write_fd(c->fd, c->reader, 65536);
    return r >= 0 || errno == EAGAIN ? 1 : 0;
}

int test_tty_open(connector *conn)
{
    conn->tty_fd = open(of(conn).tty.path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    of(conn).note("open");
    return 0;
}

void test_tty_close(connector *conn)
{
    close(conn->tty_fd);
    conn->tty_fd = -1;
    of(conn).note("close");
}

void test_tty_read(connector *conn)
{
    rcqb_read_fd(conn->tty_fd, conn->from_tty, 256);
    loop_harness &h = of(conn);
    std::unique_lock<std::mutex> lock(h.mu);
    if (h.holding) {
        h.events.push_back("held");
        h.cv.notify_all();
        h.cv.wait(lock, [&] { return !h.holding; });
    }
}

void test_tty_write(connector *conn)
{
    rcqb_write_fd(conn->tty_fd, conn->tty_reader, 4096);
}

loop_harness::loop_harness(int32_t peer_timeout, bool with_listener)
{
    conn->peer_timeout = peer_timeout;
    conn->remote_priv = this;
    conn->client_accept = test_client_accept;
    conn->client_create = test_client_create;
    conn->client_free = test_client_free;
    conn->client_read = test_client_read;
    conn->client_write = test_client_write;
    conn->tty_open = test_tty_open;
    conn->tty_close = test_tty_close;
    conn->tty_read = test_tty_read;
    conn->tty_write = test_tty_write;
    connector_init(conn);
    if (!with_listener) {
        return;
    }
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    EXPECT_EQ(bind(fd, reinterpret_cast<sockaddr *>(&addr), len), 0);
    EXPECT_EQ(listen(fd, 128), 0);
    getsockname(fd, reinterpret_cast<sockaddr *>(&addr), &len);
    port = ntohs(addr.sin_port);
    conn->listen_fd = fd;
    conn->pollfds[0] = {fd, POLLIN, 0};
}

int loop_harness::connect_client(bool wait_created)
{
    size_t before = 0;
    {
        std::lock_guard<std::mutex> lock(mu);
        before = count("create") + count("refuse");
    }
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(static_cast<uint16_t>(port));
    EXPECT_EQ(connect(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr), 0);
    socks.push_back(fd);
    if (wait_created) {
        EXPECT_TRUE(wait([&] { return count("create") + count("refuse") > before; }));
    }
    return fd;
}

bool loop_harness::hold()
{
    {
        std::lock_guard<std::mutex> lock(mu);
        holding = true;
    }
    if (write(tty.master, "!", 1) != 1 || !wait([&] { return count("held") > 0; })) {
        return false;
    }
    std::lock_guard<std::mutex> lock(mu);
    events.erase(std::remove(events.begin(), events.end(), "held"), events.end());
    return true;
}

void loop_harness::stop()
{
    release();
    for (size_t i = 0; i < socks.size(); i++) {
        if (socks[i] >= 0) {
            close_client(i);
        }
    }
    if (loop.joinable()) {
        stopping = true;
        if (port != 0 && !returned) {
            connect_client(false);
            close_client(socks.size() - 1);
        }
        if (!wait([&] { return returned.load(); })) {
            fprintf(stderr, "event loop did not return\n");
            abort();
        }
        loop.join();
    }
}

loop_harness::~loop_harness()
{
    stop();
    connector_cleanup(conn);
    EXPECT_EQ(rcqb_live_blocks, base_blocks);
    free(conn);
}

// Reads exactly n bytes from fd within the deadline; fewer if the peer closes or time runs out.
std::string recv_exactly(int fd, size_t n)
{
    std::string out;
    auto end = steady_clock::now() + DEADLINE;
    while (out.size() < n && steady_clock::now() < end) {
        pollfd p = {fd, POLLIN, 0};
        char buf[4096];
        if (poll(&p, 1, 100) == 1) {
            ssize_t r = read(fd, buf, std::min(sizeof buf, n - out.size()));
            if (r <= 0) {
                break;
            }
            out.append(buf, static_cast<size_t>(r));
        }
    }
    return out;
}

// True when the peer closes fd within the deadline; bytes received before are discarded.
// `poke`, if given, runs between waits (to wake a loop that waits for input).
template <typename Poke> bool closed_by_peer(int fd, Poke poke)
{
    auto end = steady_clock::now() + DEADLINE;
    while (steady_clock::now() < end) {
        pollfd p = {fd, POLLIN, 0};
        char buf[256];
        if (poll(&p, 1, 50) == 1 && read(fd, buf, sizeof buf) == 0) {
            return true;
        }
        poke();
    }
    return false;
}

void send_text(int fd, const std::string &s)
{
    ASSERT_EQ(write(fd, s.data(), s.size()), static_cast<ssize_t>(s.size()));
}

TEST(ConnectorLoop, ClientsLeavingInOnePassAreRemovedOthersKeepOrderAndData)
{
    const std::vector<std::vector<size_t>> cases = {{2}, {0, 1}, {1, 3}, {3, 4}, {0, 4}};
    for (const auto &leaving : cases) {
        SCOPED_TRACE(testing::Message() << "leaving " << leaving[0] << "," << leaving.back());
        loop_harness h;
        h.start();
        for (int i = 0; i < 5; i++) {
            h.connect_client();
        }
        ASSERT_TRUE(h.hold()); // both closes are seen by the same poll
        for (size_t i : leaving) {
            h.close_client(i);
        }
        h.release();
        ASSERT_TRUE(h.wait([&] { return h.count("free") == leaving.size(); }));

        ASSERT_TRUE(h.hold());
        std::string ids;
        std::vector<client_record *> staying;
        for (size_t i = 0; i < 5; i++) {
            if (h.socks[i] >= 0) {
                ids += static_cast<char>('a' + i);
                staying.push_back(h.records[i]);
                send_text(h.socks[i], ids.substr(ids.size() - 1));
            }
        }
        {
            std::lock_guard<std::mutex> lock(h.mu); // the loop is parked in tty_read
            ASSERT_EQ(h.conn->nfds, 2 + static_cast<int32_t>(staying.size()));
            for (size_t k = 0; k < staying.size(); k++) {
                EXPECT_EQ(h.conn->clients[k], staying[k]);
                EXPECT_EQ(h.conn->pollfds[k + 2].fd, staying[k]->fd);
            }
        }
        h.release();
        // Ready in the same pass, the clients are read in poll-list order.
        EXPECT_EQ(recv_exactly(h.tty.master, ids.size()), ids);
        for (size_t i = 0; i < 5; i++) {
            if (h.socks[i] >= 0) {
                EXPECT_EQ(recv_exactly(h.socks[i], 2), "!!");
            }
        }
    }
}

TEST(ConnectorLoop, TtyOpenBeforeFirstClientIsServedAndClosedAfterLastLeaves)
{
    loop_harness h;
    h.start();
    int a = h.connect_client(false);
    send_text(a, "x"); // readable at the first poll that watches it
    EXPECT_EQ(recv_exactly(h.tty.master, 1), "x");
    send_text(h.connect_client(), "y");
    EXPECT_EQ(recv_exactly(h.tty.master, 1), "y");
    h.close_client(0);
    ASSERT_TRUE(h.wait([&] { return h.count("free") == 1; }));
    h.close_client(1);
    ASSERT_TRUE(h.wait([&] { return h.count("close") == 1; }));
    send_text(h.connect_client(), "z");
    EXPECT_EQ(recv_exactly(h.tty.master, 1), "z");
    h.stop();
    EXPECT_FALSE(h.read_while_tty_closed);
    const std::vector<std::string> want = {"create", "open",   "create", "free",  "free",
                                           "close",  "create", "open",   "free"};
    EXPECT_EQ(std::vector<std::string>(h.events.begin(), h.events.begin() + 9), want);
}

TEST(ConnectorLoop, SixtyThirdClientWaitsUntilOneLeaves)
{
    loop_harness h;
    h.start();
    for (int i = 0; i < MAX_CLIENTS; i++) {
        h.connect_client();
    }
    int last = h.connect_client(false); // completes in the listen queue
    // Bytes from client 0 reach the tty only after a pass that saw the listener readable.
    send_text(h.socks[0], "p");
    EXPECT_EQ(recv_exactly(h.tty.master, 1), "p");
    {
        std::lock_guard<std::mutex> lock(h.mu);
        EXPECT_EQ(h.count("create"), static_cast<size_t>(MAX_CLIENTS));
    }
    h.close_client(0);
    ASSERT_TRUE(h.wait([&] { return h.count("create") == MAX_CLIENTS + 1; }));
    send_text(last, "q");
    EXPECT_EQ(recv_exactly(h.tty.master, 1), "q");
    send_text(h.tty.master, "r");
    EXPECT_EQ(recv_exactly(last, 1), "r");
}

TEST(ConnectorLoop, SilentClientIsDroppedAfterPeerTimeout)
{
    log_capture logs;
    {
        loop_harness h(1);
        h.start();
        int silent = h.connect_client();
        // poll has no time-out of its own: bytes from the tty wake the loop to look at the clock.
        EXPECT_TRUE(closed_by_peer(silent, [&] { send_text(h.tty.master, "t"); }));
        EXPECT_TRUE(h.wait([&] { return h.count("free") == 1; }));
    }
    EXPECT_TRUE(logs.contains("peer timeout client\n"));
}

TEST(ConnectorLoop, RefusedClientRecordClosesItsSocket)
{
    log_capture logs;
    {
        loop_harness h;
        h.start();
        h.refuse_next = true;
        EXPECT_TRUE(closed_by_peer(h.connect_client(), [] {}));
        int next = h.connect_client();
        send_text(next, "n");
        EXPECT_EQ(recv_exactly(h.tty.master, 1), "n");
        h.stop();
        EXPECT_EQ(h.events[0], "refuse");
        EXPECT_EQ(h.events[1], "create");
        EXPECT_EQ(h.count("free"), 1u);
    }
    EXPECT_TRUE(logs.contains("client force disconnect\n"));
}

TEST(ConnectorLoop, ClientModeReturnsWhenConnectionEndsLeavingTtyOpen)
{
    loop_harness server; // only its listener is used, as the remote host
    loop_harness h(0, false);
    int ours = server.connect_client(false);
    fd_guard peer(accept(server.conn->listen_fd, nullptr, nullptr));
    fcntl(ours, F_SETFL, O_NONBLOCK);
    server.socks.pop_back(); // handed over to the connector
    connector_add_client(h.conn, ours);
    h.start();
    send_text(peer.fd, "m");
    EXPECT_EQ(recv_exactly(h.tty.master, 1), "m");
    send_text(h.tty.master, "n");
    EXPECT_EQ(recv_exactly(peer.fd, 1), "n");
    close(peer.release());
    ASSERT_TRUE(h.wait([&] { return h.returned.load(); }));
    h.stop();
    EXPECT_EQ(h.events, (std::vector<std::string>{"create", "open", "free", "returned"}));
    EXPECT_NE(h.conn->tty_fd, -1);
}

TEST(ConnectorCleanup, ClosesEveryDescriptorAndFreesRecordsAndQueues)
{
    loop_harness h;
    std::vector<int> fds = {h.conn->listen_fd};
    h.conn->tty_fd = open(h.tty.path.c_str(), O_RDWR | O_NOCTTY);
    h.conn->pollfds[1].fd = h.conn->tty_fd;
    fds.push_back(h.conn->tty_fd);
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
    EXPECT_EQ(h.count("free"), 3u);
    EXPECT_EQ(h.count("close"), 0u);
    EXPECT_EQ(h.conn->tty_fd, -1);
    EXPECT_EQ(h.conn->clients, nullptr);
    EXPECT_EQ(rcqb_live_blocks, h.base_blocks);
    for (int fd : fds) {
        EXPECT_EQ(fcntl(fd, F_GETFD), -1) << "descriptor " << fd << " still open";
    }
    connector_init(h.conn); // the harness cleans up once more
}

} // namespace
