#include "modbustcp.h"

#include <algorithm>
#include <fcntl.h>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

#include <gtest/gtest.h>

// Reads until end of file or n bytes.
static std::string read_up_to(int fd, size_t n)
{
    std::string got(n, '\0');
    got.resize(static_cast<size_t>(std::max<ssize_t>(0, recv(fd, &got[0], n, MSG_WAITALL))));
    return got;
}

TEST(Modbustcp, RawReplyOnAFullSocketWaitsOrShutsItDownButNeverCutsAFrame)
{
    const uint8_t req[] = {0x12, 0x34, 0x00, 0x07, 0x00, 0x06, 0x11, 0x03, 0x00, 0x00, 0x00, 0x01};
    const std::string raw(255, 'r'), frame = std::string("\x12\x34\x00\x07\x00\xff", 6) + raw;
    modbus_t *ctx = modbus_new_tcp("127.0.0.1", 502);
    for (bool reader : {true, false}) {
        SCOPED_TRACE(reader ? "a reader drains the socket" : "nobody reads");
        int sv[2];
        ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0, sv), 0);
        const int ours = sv[0], peer = sv[1];
        fcntl(peer, F_SETFL, 0);
        size_t filled = 0;
        for (ssize_t n; (n = write(ours, raw.data(), raw.size())) > 0;) {
            filled += static_cast<size_t>(n);
        }
        modbus_set_socket(ctx, ours);
        modbus_set_response_timeout(ctx, reader ? 10 : 0, 20000);
        std::string got;
        std::thread drain([&] { got = reader ? read_up_to(peer, filled + 261) : ""; });
        auto bytes = reinterpret_cast<const uint8_t *>(raw.data());
        EXPECT_EQ(modbustcp_send_raw_reply(ctx, bytes, 255, req), reader ? 261 : -1);
        drain.join();
        // Shut down, the socket ends right after what it held before.
        got = reader ? got : read_up_to(peer, filled + 261);
        EXPECT_EQ(got.substr(filled), reader ? frame : "");
        close(ours);
        close(peer);
    }
    modbus_free(ctx);
}
