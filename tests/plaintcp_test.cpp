#include "plaintcp.h"

#include <arpa/inet.h>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <netinet/in.h>
#include <string>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "connector.h"
#include "rcqb.h"
#include "support/fd_guard.h"
#include "support/log_capture.h"

namespace
{

struct banner_case {
    const char *text;
    bool valid;
    std::string bytes;
};

TEST(Plaintcp, DecodeBannerTable)
{
    const banner_case cases[] = {
        {"Hello\\r\\n", true, "Hello\r\n"},
        {"a\\\\b", true, "a\\b"},
        {"\\x41\\x4a", true, "\x41\x4a"},
        {"\\x00", true, std::string(1, '\0')},
        {"\\tx\\xfF\\xA0", true, "\tx\xff\xa0"},
        {"", true, ""},
        {"\\x4", false, ""},
        {"\\x", false, ""},
        {"abc\\", false, ""},
        {"\\a", false, ""},
        {"\\X41", false, ""},
        {"\\xg1", false, ""},
        {"\\x1g", false, ""},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.text);
        uint32_t len = 12345;
        uint8_t *buf = decode_banner(c.text, &len);
        ASSERT_EQ(buf != nullptr, c.valid);
        if (buf != nullptr) {
            EXPECT_EQ(std::string(reinterpret_cast<char *>(buf), len), c.bytes);
            free(buf);
        }
    }
}

struct socket_pair {
    fd_guard ours;
    fd_guard peer;
    socket_pair()
    {
        int sv[2];
        if (socketpair(AF_UNIX, SOCK_STREAM, 0, sv) != 0) {
            abort();
        }
        ours.fd = sv[0];
        peer.fd = sv[1];
    }
};

std::string read_some(int fd, size_t max = 4096)
{
    std::string buf(max, '\0');
    ssize_t n = read(fd, buf.data(), max);
    buf.resize(n > 0 ? static_cast<size_t>(n) : 0);
    return buf;
}

TEST(Plaintcp, WriteAllDeliversEverythingOrReportsClosedPeer)
{
    signal(SIGPIPE, SIG_IGN);
    socket_pair sp;
    const uint8_t bytes[] = {1, 0, 3};
    EXPECT_EQ(write_all(sp.ours.fd, bytes, sizeof bytes), 0);
    EXPECT_EQ(read_some(sp.peer.fd), std::string("\x01\x00\x03", 3));
    close(sp.peer.release());
    EXPECT_EQ(write_all(sp.ours.fd, bytes, sizeof bytes), 1);
    EXPECT_EQ(write_all(sp.ours.fd, bytes, 0), 0);
}

// A connector with just the queues and banner the client slots use.
struct PlaintcpClient : testing::Test {
    connector *conn = static_cast<connector *>(calloc(1, sizeof(connector)));
    raw_banner banner{};
    rcqb *tty_view = nullptr; // what the tty would read from to_tty

    void SetUp() override
    {
        signal(SIGPIPE, SIG_IGN);
        conn->to_tty = rcqb_create(QUEUE_BLOCK_SIZE);
        conn->from_tty = rcqb_create(QUEUE_BLOCK_SIZE);
        conn->remote_priv = &banner;
        tty_view = rcqb_clone(conn->to_tty);
    }
    void TearDown() override
    {
        rcqb_free(tty_view);
        rcqb_free(conn->to_tty);
        rcqb_free(conn->from_tty);
        free(conn);
    }
    void tty_sends(const std::string &s)
    {
        rcqb_append(conn->from_tty, s.data(), static_cast<uint32_t>(s.size()));
    }
    std::string tty_received()
    {
        std::string out(rcqb_available(tty_view), '\0');
        rcqb_read(tty_view, out.data(), static_cast<uint32_t>(out.size()));
        return out;
    }
};

TEST_F(PlaintcpClient, NewClientGetsBannerThenOnlyLaterTtyBytes)
{
    static uint8_t hello[] = {'H', 'i', 0, '\r', '\n'};
    banner = {hello, sizeof hello};
    socket_pair sp;
    tty_sends("before");
    client_record *c = plaintcp_client_create(conn, sp.ours.fd);
    EXPECT_EQ(c->fd, sp.ours.fd);
    EXPECT_EQ(c->conn, conn);
    tty_sends("after");
    EXPECT_EQ(plaintcp_client_write(c), 1);
    EXPECT_TRUE(rcqb_empty(c->reader));
    EXPECT_EQ(read_some(sp.peer.fd), std::string("Hi\0\r\nafter", 10));
    plaintcp_client_free(c);
}

TEST_F(PlaintcpClient, ClientWriteWithNothingQueuedKeepsClientAndClearsPending)
{
    socket_pair sp;
    client_record *c = plaintcp_client_create(conn, sp.ours.fd);
    c->out_pending = true;
    log_capture log;
    EXPECT_EQ(plaintcp_client_write(c), 1);
    EXPECT_FALSE(c->out_pending);
    EXPECT_TRUE(log.contains("write 0 bytes in socket\n"));
    plaintcp_client_free(c);
}

TEST_F(PlaintcpClient, ClientWriteToClosedPeerDropsClient)
{
    socket_pair sp;
    client_record *c = plaintcp_client_create(conn, sp.ours.fd);
    close(sp.peer.release());
    tty_sends("lost");
    EXPECT_EQ(plaintcp_client_write(c), 0);
    plaintcp_client_free(c);
}

TEST_F(PlaintcpClient, ClientReadAppendsAtMostOneChunkAndMergesClients)
{
    socket_pair a;
    socket_pair b;
    fcntl(a.ours.fd, F_SETFL, O_NONBLOCK);
    client_record *ca = plaintcp_client_create(conn, a.ours.fd);
    client_record *cb = plaintcp_client_create(conn, b.ours.fd);
    std::string big(300, 'a');
    ASSERT_EQ(write(a.peer.fd, big.data(), big.size()), 300);
    ASSERT_EQ(write(b.peer.fd, "bb", 2), 2);
    log_capture log;
    EXPECT_EQ(plaintcp_client_read(ca), 1);
    EXPECT_EQ(plaintcp_client_read(cb), 1);
    EXPECT_EQ(plaintcp_client_read(ca), 1);
    EXPECT_EQ(tty_received(), std::string(256, 'a') + "bb" + std::string(44, 'a'));
    EXPECT_TRUE(log.contains("read 256 bytes from socket\n"));
    plaintcp_client_free(ca);
    plaintcp_client_free(cb);
}

TEST_F(PlaintcpClient, ClientReadKeepsOnWouldBlockDropsOnEndOrError)
{
    socket_pair sp;
    fcntl(sp.ours.fd, F_SETFL, O_NONBLOCK);
    client_record *c = plaintcp_client_create(conn, sp.ours.fd);
    {
        log_capture log;
        EXPECT_EQ(plaintcp_client_read(c), 1);
        EXPECT_TRUE(log.contains("read -1 bytes from socket\n"));
    }
    close(sp.peer.release());
    EXPECT_EQ(plaintcp_client_read(c), 0);
    plaintcp_client_free(c);

    int p[2];
    ASSERT_EQ(pipe(p), 0);
    fd_guard rd(p[0]);
    fd_guard wr(p[1]);
    c = plaintcp_client_create(conn, wr.fd); // reading a write end fails with EBADF
    EXPECT_EQ(plaintcp_client_read(c), 0);
    plaintcp_client_free(c);
    EXPECT_EQ(tty_received(), "");
}

TEST_F(PlaintcpClient, AcceptLogsPeerAndMakesSocketNonBlocking)
{
    fd_guard listener(socket(AF_INET, SOCK_STREAM, 0));
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    ASSERT_EQ(bind(listener.fd, reinterpret_cast<sockaddr *>(&addr), len), 0);
    ASSERT_EQ(listen(listener.fd, 4), 0);
    fcntl(listener.fd, F_SETFL, O_NONBLOCK);
    getsockname(listener.fd, reinterpret_cast<sockaddr *>(&addr), &len);
    conn->listen_fd = listener.fd;

    EXPECT_EQ(plaintcp_client_accept(conn), -1);
    EXPECT_EQ(errno, 0);

    fd_guard out(socket(AF_INET, SOCK_STREAM, 0));
    ASSERT_EQ(connect(out.fd, reinterpret_cast<sockaddr *>(&addr), len), 0);
    sockaddr_in local{};
    getsockname(out.fd, reinterpret_cast<sockaddr *>(&local), &len);
    log_capture log;
    fd_guard in(plaintcp_client_accept(conn));
    ASSERT_GE(in.fd, 0);
    EXPECT_TRUE(fcntl(in.fd, F_GETFL) & O_NONBLOCK);
    EXPECT_TRUE(log.contains(
        "got connection from 127.0.0.1:" + std::to_string(ntohs(local.sin_port)) + "\n"));
}

} // namespace
