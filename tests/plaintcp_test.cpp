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

TEST(Plaintcp, DecodeBannerTable)
{
    const struct {
        const char *text;
        bool valid;
        std::string bytes;
    } cases[] = {
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

// Both ends non-blocking, so a read with nothing queued returns at once.
struct socket_pair {
    fd_guard ours, peer;
    socket_pair()
    {
        int sv[2];
        EXPECT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0, sv), 0);
        ours.fd = sv[0];
        peer.fd = sv[1];
    }
};

// A connector with just the queues and the (empty) banner the client slots use.
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
};

TEST_F(PlaintcpClient, WritesReportAClosedPeer)
{
    socket_pair sp;
    const uint8_t bytes[] = {1, 0, 3};
    EXPECT_EQ(write_all(sp.ours.fd, bytes, sizeof bytes), 0);
    char got[8];
    EXPECT_EQ(read(sp.peer.fd, got, sizeof got), 3);

    // Nothing queued: the client stays and no longer asks for a write wake-up.
    client_record *c = plaintcp_client_create(conn, sp.ours.fd);
    c->out_pending = true;
    EXPECT_EQ(plaintcp_client_write(c), 1);
    EXPECT_FALSE(c->out_pending);

    close(sp.peer.release());
    EXPECT_EQ(write_all(sp.ours.fd, bytes, sizeof bytes), 1);
    rcqb_append(conn->from_tty, "lost", 4);
    EXPECT_EQ(plaintcp_client_write(c), 0);
    plaintcp_client_free(c);
}

TEST_F(PlaintcpClient, ReadTakesOneChunkAtATimeAndKeepsTheClientOnlyOnWouldBlock)
{
    socket_pair a, b;
    client_record *ca = plaintcp_client_create(conn, a.ours.fd);
    client_record *cb = plaintcp_client_create(conn, b.ours.fd);
    ASSERT_EQ(write(a.peer.fd, std::string(300, 'a').data(), 300), 300);
    ASSERT_EQ(write(b.peer.fd, "bb", 2), 2);
    EXPECT_EQ(plaintcp_client_read(ca), 1);
    EXPECT_EQ(plaintcp_client_read(cb), 1);
    EXPECT_EQ(plaintcp_client_read(ca), 1);
    EXPECT_EQ(plaintcp_client_read(ca), 1); // would block
    std::string got(rcqb_available(tty_view), '\0');
    rcqb_read(tty_view, got.data(), static_cast<uint32_t>(got.size()));
    EXPECT_EQ(got, std::string(256, 'a') + "bb" + std::string(44, 'a'));

    close(a.peer.release());
    EXPECT_EQ(plaintcp_client_read(ca), 0);
    plaintcp_client_free(ca);
    plaintcp_client_free(cb);

    int p[2];
    ASSERT_EQ(pipe(p), 0);
    fd_guard rd(p[0]), wr(p[1]);
    client_record *c = plaintcp_client_create(conn, wr.fd); // reading a write end fails
    EXPECT_EQ(plaintcp_client_read(c), 0);
    plaintcp_client_free(c);
}

TEST_F(PlaintcpClient, AcceptLogsPeerAndMakesSocketNonBlocking)
{
    fd_guard listener(socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0));
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    ASSERT_EQ(bind(listener.fd, reinterpret_cast<sockaddr *>(&addr), len), 0);
    ASSERT_EQ(listen(listener.fd, 4), 0);
    getsockname(listener.fd, reinterpret_cast<sockaddr *>(&addr), &len);
    conn->listen_fd = listener.fd;

    EXPECT_EQ(plaintcp_client_accept(conn), -1);
    EXPECT_EQ(errno, 0);

    fd_guard out(socket(AF_INET, SOCK_STREAM, 0));
    ASSERT_EQ(connect(out.fd, reinterpret_cast<sockaddr *>(&addr), len), 0);
    getsockname(out.fd, reinterpret_cast<sockaddr *>(&addr), &len);
    log_capture log;
    fd_guard in(plaintcp_client_accept(conn));
    ASSERT_GE(in.fd, 0);
    EXPECT_TRUE(fcntl(in.fd, F_GETFL) & O_NONBLOCK);
    EXPECT_EQ(log.bodies(), std::vector<std::string>{"got connection from 127.0.0.1:" +
                                                     std::to_string(ntohs(addr.sin_port)) + "\n"});
}

} // namespace
