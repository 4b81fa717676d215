#include "util.h"

#include <cstring>
#include <netinet/in.h>

#include "support/common.h"

// A port that was free a moment ago (sin_port and sin6_port share their place).
static std::string free_port(const char *host)
{
    int probe = tcp_listen(host, "0", 1);
    sockaddr_in6 sa{};
    socklen_t len = sizeof sa;
    getsockname(probe, reinterpret_cast<sockaddr *>(&sa), &len);
    close(probe);
    return std::to_string(ntohs(sa.sin6_port));
}

// Both loopbacks end to end, then every failure a caller meets, each at debug level. A
// listener's failure is checked on the command line, where the address is in use.
TEST(Util, ListensConnectsAndReportsFailuresAtDebugLevel)
{
    std::string port;
    for (const char *host : {"127.0.0.1", "::1"}) {
        SCOPED_TRACE(host);
        port = free_port(host);
        log_capture cap;
        int listener = tcp_listen(host, port.c_str(), 4);
        ASSERT_GE(listener, 0);
        int client = tcp_connect(host, port.c_str());
        ASSERT_GE(client, 0);
        const std::string where = std::string(host) + ":" + port + "\n";
        EXPECT_EQ(cap.bodies,
                  (std::vector<std::string>{"listening at " + where, "connected to " + where}));
        EXPECT_EQ(cap.levels.back(), LOG_INFO);

        sockaddr_storage peer{};
        socklen_t len = sizeof peer;
        int accepted = accept(listener, reinterpret_cast<sockaddr *>(&peer), &len);
        ASSERT_GE(accepted, 0);
        char text[ADDR_TEXT_LEN];
        auto *sa = reinterpret_cast<sockaddr *>(&peer);
        EXPECT_STREQ(sockaddr_to_text(sa, text, sizeof text), host);
        EXPECT_EQ(sockaddr_to_text(sa, text, 3), nullptr); // too short for the text
        for (int fd : {listener, client, accepted}) {
            close(fd);
        }
    }
    log_capture cap;
    EXPECT_EQ(tcp_connect("::1", port.c_str()), -1); // nobody listens there any more
    EXPECT_EQ(tcp_listen("no-such-host.invalid", "1", 4), -1);
    EXPECT_EQ(tcp_connect("no-such-host.invalid", "1"), -1);
    ASSERT_EQ(cap.levels, std::vector<int>(3, LOG_DEBUG));
    EXPECT_EQ(cap.bodies[0],
              "errno: " + std::string(strerror(ECONNREFUSED)) + ", connection failed\n");
    for (size_t i : {1, 2}) { // the resolver's words depend on the machine
        EXPECT_EQ(cap.bodies[i].rfind("errno: ", 0), 0u) << cap.bodies[i];
        EXPECT_NE(cap.bodies[i].find(", getaddrinfo: "), std::string::npos) << cap.bodies[i];
    }
}
