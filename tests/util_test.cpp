#include "util.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <cstring>
#include <functional>
#include <netinet/in.h>
#include <poll.h>
#include <regex>
#include <string>
#include <sys/wait.h>
#include <syslog.h>
#include <unistd.h>

#include "support/fd_guard.h"
#include "support/log_capture.h"

namespace {

// The local port of a socket; sin_port and sin6_port share their place.
std::string port_of(int fd)
{
    sockaddr_in6 sa{};
    socklen_t len = sizeof sa;
    getsockname(fd, reinterpret_cast<sockaddr *>(&sa), &len);
    return std::to_string(ntohs(sa.sin6_port));
}

// A port that was free a moment ago on the given address.
std::string free_port(const char *host)
{
    fd_guard probe(tcp_listen(host, "0", 1));
    return port_of(probe.fd);
}

TEST(Util, ListensAndConnectsOnIpv4AndIpv6Loopback)
{
    for (const char *host : {"127.0.0.1", "::1"}) {
        SCOPED_TRACE(host);
        std::string port = free_port(host);
        log_capture cap;
        fd_guard listener(tcp_listen(host, port.c_str(), 4));
        ASSERT_GE(listener.fd, 0);
        fd_guard client(tcp_connect(host, port.c_str()));
        ASSERT_GE(client.fd, 0);
        const std::string where = std::string(host) + ":" + port + "\n";
        EXPECT_EQ(cap.bodies(),
                  (std::vector<std::string>{"listening at " + where, "connected to " + where}));
        EXPECT_EQ(cap.lines.back().level, LOG_INFO);

        sockaddr_storage peer{};
        socklen_t len = sizeof peer;
        fd_guard accepted(accept(listener.fd, reinterpret_cast<sockaddr *>(&peer), &len));
        ASSERT_GE(accepted.fd, 0);
        char text[ADDR_TEXT_LEN];
        auto *sa = reinterpret_cast<sockaddr *>(&peer);
        EXPECT_STREQ(sockaddr_to_text(sa, text, sizeof text), host);
        EXPECT_EQ(sockaddr_to_text(sa, text, 3), nullptr); // too short for the text
    }
}

TEST(Util, FailuresAreReportedAtDebugLevel)
{
    fd_guard taken(tcp_listen("127.0.0.1", "0", 4));
    const std::string taken_port = port_of(taken.fd);
    const std::string closed_port = free_port("127.0.0.1");
    const std::string in_use = strerror(EADDRINUSE), refused = strerror(ECONNREFUSED);
    const struct {
        std::function<int()> call;
        std::string body; // a regular expression
    } cases[] = {
        {[&] { return tcp_listen("127.0.0.1", taken_port.c_str(), 4); },
         "errno: " + in_use + ", socket setup fail\n"},
        {[&] { return tcp_connect("127.0.0.1", closed_port.c_str()); },
         "errno: " + refused + ", connection failed\n"},
        {[] { return tcp_listen("no-such-host.invalid", "1", 4); },
         "errno: [^,]+, getaddrinfo: .+\n"},
        {[] { return tcp_connect("no-such-host.invalid", "1"); },
         "errno: [^,]+, getaddrinfo: .+\n"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.body);
        log_capture cap;
        EXPECT_EQ(c.call(), -1);
        ASSERT_EQ(cap.lines.size(), 1u);
        EXPECT_EQ(cap.lines[0].level, LOG_DEBUG);
        EXPECT_TRUE(std::regex_match(cap.bodies()[0], std::regex(c.body))) << cap.bodies()[0];
    }
}

TEST(Util, DaemonizeDetachesOntoDevNull)
{
    int p[2];
    ASSERT_EQ(pipe(p), 0);
    fd_guard rd(p[0]);
    fflush(nullptr);
    pid_t child = fork();
    if (child == 0) {
        // The grandchild reports its directory, umask, session and where descriptors 0 to 2 go.
        umask(077);
        std::string report = daemonize() == 1 ? "" : "failed ";
        char text[PATH_MAX] = "";
        report += std::string(getcwd(text, sizeof text) ? text : "?") +
                  " umask=" + std::to_string(umask(022)) +
                  " leader=" + std::to_string(getsid(0) == getpid());
        for (std::string fd : {"0", "1", "2"}) {
            ssize_t n = readlink(("/proc/self/fd/" + fd).c_str(), text, sizeof text);
            report += " " + std::string(text, n > 0 ? n : 0);
        }
        _exit(write(p[1], report.data(), report.size()) > 0 ? 0 : 1);
    }
    close(p[1]);
    int status = -1;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_EQ(status, 0);
    // One short write to a pipe arrives whole; end of file means the grandchild wrote nothing.
    pollfd pfd{rd.fd, POLLIN, 0};
    ASSERT_EQ(poll(&pfd, 1, 10000), 1);
    std::string got(PATH_MAX, '\0');
    got.resize(std::max<ssize_t>(read(rd.fd, got.data(), got.size()), 0));
    EXPECT_EQ(got, "/ umask=0 leader=1 /dev/null /dev/null /dev/null");
}

} // namespace
