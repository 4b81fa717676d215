#include "modbustcp.h"

#include <cerrno>
#include <fcntl.h>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

#include <gtest/gtest.h>

#include "support/fd_guard.h"

namespace
{

// Fills the socket until it takes no more; the count written.
size_t fill(int fd)
{
    fcntl(fd, F_SETFL, O_NONBLOCK);
    static const char chunk[1000] = {};
    size_t total = 0;
    for (ssize_t n; (n = write(fd, chunk, sizeof chunk)) > 0;) {
        total += static_cast<size_t>(n);
    }
    return total;
}

// Reads until end of file or n bytes.
std::string read_up_to(int fd, size_t n)
{
    std::string got(n, '\0');
    size_t have = 0;
    for (ssize_t r; have < n && (r = read(fd, &got[have], n - have)) > 0;) {
        have += static_cast<size_t>(r);
    }
    return got.substr(0, have);
}

TEST(Modbustcp, RawReplyOnAFullSocketWaitsOrShutsItDownButNeverCutsAFrame)
{
    const uint8_t req[] = {0x12, 0x34, 0x00, 0x07, 0x00, 0x06, 0x11, 0x03, 0x00, 0x00, 0x00, 0x01};
    std::string raw(255, 'r');
    const std::string frame = std::string("\x12\x34\x00\x07\x00\xff", 6) + raw;
    auto bytes = reinterpret_cast<const uint8_t *>(raw.data());
    modbus_t *ctx = modbus_new_tcp("127.0.0.1", 502);
    for (bool reader : {true, false}) {
        SCOPED_TRACE(reader ? "a reader drains the socket" : "nobody reads");
        int sv[2];
        ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, sv), 0);
        fd_guard ours(sv[0]), peer(sv[1]);
        size_t filled = fill(ours.fd);
        modbus_set_socket(ctx, ours.fd);
        modbus_set_response_timeout(ctx, reader ? 10 : 0, 20000);
        std::string got;
        std::thread drain;
        if (reader) {
            drain = std::thread([&] { got = read_up_to(peer.fd, filled + frame.size()); });
        }
        EXPECT_EQ(modbustcp_send_raw_reply(ctx, bytes, 255, req), reader ? 261 : -1);
        if (reader) {
            drain.join();
        } else {
            got = read_up_to(peer.fd, filled + frame.size()); // ends early: the socket is shut
        }
        EXPECT_EQ(got.substr(filled), reader ? frame : "");
    }
    modbus_free(ctx);
}

} // namespace
