#include "util.h"

#include <cstring>
#include <netinet/in.h>
#include <netinet/tcp.h>

#include "support/common.h"

// Both loopbacks end to end with keepalive's timing, then every failure a caller meets, each at
// debug level. A listener's failure is checked on the command line, where the address is in use.
TEST(Util, ListensConnectsAndReportsFailuresAtDebugLevel)
{
    std::string port;
    for (const char *host : {"127.0.0.1", "::1"}) {
        SCOPED_TRACE(host);
        log_capture cap;
        int listener = tcp_listen(host, "0", 4);
        sockaddr_storage sa{};
        socklen_t len = sizeof sa;
        ASSERT_EQ(getsockname(listener, reinterpret_cast<sockaddr *>(&sa), &len), 0);
        port = std::to_string(ntohs(reinterpret_cast<sockaddr_in6 &>(sa).sin6_port)); // shared
        int client = tcp_connect(host, port.c_str());
        ASSERT_GE(client, 0);
        const std::string at = std::string(host) + ":";
        EXPECT_EQ(cap.bodies, (std::vector<std::string>{"listening at " + at + "0\n",
                                                        "connected to " + at + port + "\n"}));
        EXPECT_EQ(cap.levels.back(), LOG_INFO);
        ASSERT_EQ(tcp_keepalive(client), 0); // its idle time shows in the process tests' ss
        for (auto [name, want] : {std::pair{TCP_KEEPINTVL, 10}, {TCP_KEEPCNT, 6}}) {
            int got = 0;
            socklen_t len = sizeof got;
            EXPECT_EQ(getsockopt(client, IPPROTO_TCP, name, &got, &len) == 0 ? got : -1, want);
        }
        char text[ADDR_TEXT_LEN];
        EXPECT_STREQ(sockaddr_to_text(reinterpret_cast<sockaddr *>(&sa), text, sizeof text), host);
        EXPECT_EQ(sockaddr_to_text(reinterpret_cast<sockaddr *>(&sa), text, 3), nullptr);
        close(listener);
        close(client);
    }
    log_capture cap;
    EXPECT_EQ(tcp_connect("::1", port.c_str()), -1); // nobody listens there any more
    EXPECT_EQ(tcp_listen("no-such-host.invalid", "1", 4), -1);
    EXPECT_EQ(tcp_connect("no-such-host.invalid", "1"), -1);
    EXPECT_EQ(tcp_keepalive(-1), -1);
    ASSERT_EQ(cap.levels, std::vector<int>(4, LOG_DEBUG));
    EXPECT_EQ(cap.bodies[0],
              "errno: " + std::string(strerror(ECONNREFUSED)) + ", connection failed\n");
    for (size_t i : {1, 2}) { // the resolver's words depend on the machine
        EXPECT_EQ(cap.bodies[i].rfind("errno: ", 0), 0u) << cap.bodies[i];
        EXPECT_NE(cap.bodies[i].find(", getaddrinfo: "), std::string::npos) << cap.bodies[i];
    }
}
