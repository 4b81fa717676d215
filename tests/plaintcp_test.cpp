#include "plaintcp.h"

#include <cstdlib>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <string>
#include <unistd.h>

#include <gtest/gtest.h>

#include "connector.h"
#include "rcqb.h"
#include "support/fd_guard.h"
#include "support/log_capture.h"
#include "util.h"

namespace
{

// Refused banners and the other escapes are met on the command line and by a client.
TEST(Plaintcp, DecodesHexEscapesOfEitherCaseAndAnEmptyText)
{
    for (std::string text : {"\\xfF\\xA0", ""}) {
        uint32_t len = 12345;
        uint8_t *buf = decode_banner(text.c_str(), &len);
        ASSERT_NE(buf, nullptr);
        EXPECT_EQ(std::string(reinterpret_cast<char *>(buf), len), text.empty() ? "" : "\xff\xa0");
        free(buf);
    }
}

// The client slots on a loopback connection, with an empty banner.
TEST(Plaintcp, ClientSlotsNeverBlockAndKeepTheClientUntilItsEnd)
{
    raw_banner banner{};
    connector conn{};
    conn.remote_priv = &banner;
    connector_init(&conn);

    fd_guard listener(tcp_listen("127.0.0.1", "0", 4));
    ASSERT_EQ(fcntl(listener.fd, F_SETFL, O_NONBLOCK), 0);
    conn.listen_fd = listener.fd;
    EXPECT_EQ(plaintcp_client_accept(&conn), -1);
    EXPECT_EQ(errno, 0);
    sockaddr_in addr{};
    socklen_t len = sizeof addr;
    getsockname(listener.fd, reinterpret_cast<sockaddr *>(&addr), &len);
    fd_guard peer(tcp_connect("127.0.0.1", std::to_string(ntohs(addr.sin_port)).c_str()));
    getsockname(peer.fd, reinterpret_cast<sockaddr *>(&addr), &len);
    log_capture log;
    fd_guard ours(plaintcp_client_accept(&conn));
    ASSERT_GE(ours.fd, 0);
    EXPECT_TRUE(fcntl(ours.fd, F_GETFL) & O_NONBLOCK);
    EXPECT_EQ(log.bodies().at(0),
              "got connection from 127.0.0.1:" + std::to_string(ntohs(addr.sin_port)) + "\n");

    // Nothing queued: the client stays and no longer asks for a write wake-up.
    client_record *c = plaintcp_client_create(&conn, ours.fd);
    c->out_pending = true;
    EXPECT_EQ(plaintcp_client_write(c), 1);
    EXPECT_FALSE(c->out_pending);

    // One chunk per read; a read that would block keeps the client, end of file or an error not.
    ASSERT_EQ(write(peer.fd, std::string(300, 'a').data(), 300), 300);
    pollfd pfd{ours.fd, POLLIN, 0};
    ASSERT_EQ(poll(&pfd, 1, 10000), 1);
    for (int32_t want : {256, 44, 0}) {
        EXPECT_EQ(plaintcp_client_read(c), 1);
        EXPECT_EQ(rcqb_skip(conn.tty_reader, 300), want);
    }
    close(peer.release());
    pfd.events = POLLRDHUP;
    ASSERT_EQ(poll(&pfd, 1, 10000), 1);
    EXPECT_EQ(plaintcp_client_read(c), 0);
    c->fd = -1;
    EXPECT_EQ(plaintcp_client_read(c), 0);
    plaintcp_client_free(c);
    connector_cleanup(&conn);
}

} // namespace
