#include "util.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <cerrno>
#include <climits>
#include <cstring>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <regex>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <syslog.h>
#include <unistd.h>

#include "support/fd_guard.h"
#include "support/log_capture.h"

namespace {

// A port that was free a moment ago on the given loopback address.
std::string free_port(const char *host)
{
    addrinfo hints{};
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_NUMERICHOST;
    addrinfo *ai = nullptr;
    EXPECT_EQ(getaddrinfo(host, "0", &hints, &ai), 0);
    fd_guard fd(socket(ai->ai_family, SOCK_STREAM, 0));
    EXPECT_EQ(bind(fd.fd, ai->ai_addr, ai->ai_addrlen), 0);
    freeaddrinfo(ai);
    sockaddr_storage ss{};
    socklen_t len = sizeof ss;
    getsockname(fd.fd, reinterpret_cast<sockaddr *>(&ss), &len);
    auto *sin = reinterpret_cast<sockaddr_in *>(&ss);
    auto *sin6 = reinterpret_cast<sockaddr_in6 *>(&ss);
    return std::to_string(ntohs(ss.ss_family == AF_INET ? sin->sin_port : sin6->sin6_port));
}

std::string last_body(const log_capture &cap)
{
    auto bodies = cap.bodies();
    return bodies.empty() ? "" : bodies.back();
}

TEST(Util, ListensAndConnectsOnIpv4AndIpv6Loopback)
{
    for (const char *host : {"127.0.0.1", "::1"}) {
        SCOPED_TRACE(host);
        log_capture cap;
        std::string port = free_port(host);
        fd_guard listener(tcp_listen(host, port.c_str(), 4));
        ASSERT_GE(listener.fd, 0);
        EXPECT_EQ(last_body(cap), "listening at " + std::string(host) + ":" + port + "\n");

        fd_guard client(tcp_connect(host, port.c_str()));
        ASSERT_GE(client.fd, 0);
        EXPECT_EQ(last_body(cap), "connected to " + std::string(host) + ":" + port + "\n");
        EXPECT_EQ(cap.lines.back().level, LOG_INFO);

        sockaddr_storage peer{};
        socklen_t len = sizeof peer;
        fd_guard accepted(accept(listener.fd, reinterpret_cast<sockaddr *>(&peer), &len));
        ASSERT_GE(accepted.fd, 0);
        char text[ADDR_TEXT_LEN];
        EXPECT_STREQ(sockaddr_to_text(reinterpret_cast<sockaddr *>(&peer), text, sizeof text),
                     host);
    }
}

TEST(Util, AddressTextFailsWhenTheBufferIsTooShort)
{
    sockaddr_in6 sin6{};
    sin6.sin6_family = AF_INET6;
    inet_pton(AF_INET6, "fe80::1:2:3:4", &sin6.sin6_addr);
    char text[8];
    EXPECT_EQ(sockaddr_to_text(reinterpret_cast<sockaddr *>(&sin6), text, sizeof text), nullptr);
}

TEST(Util, ListenFailsOnAPortAlreadyTaken)
{
    log_capture cap;
    std::string port = free_port("127.0.0.1");
    fd_guard first(tcp_listen("127.0.0.1", port.c_str(), 4));
    ASSERT_GE(first.fd, 0);
    EXPECT_EQ(tcp_listen("127.0.0.1", port.c_str(), 4), -1);
    EXPECT_EQ(last_body(cap),
              "errno: " + std::string(strerror(EADDRINUSE)) + ", socket setup fail\n");
    EXPECT_EQ(cap.lines.back().level, LOG_DEBUG);
}

TEST(Util, ConnectReportsARefusal)
{
    log_capture cap;
    std::string port = free_port("127.0.0.1");
    EXPECT_EQ(tcp_connect("127.0.0.1", port.c_str()), -1);
    EXPECT_EQ(last_body(cap),
              "errno: " + std::string(strerror(ECONNREFUSED)) + ", connection failed\n");
}

TEST(Util, UnknownHostGivesTheResolverText)
{
    for (int listen : {0, 1}) {
        SCOPED_TRACE(listen);
        log_capture cap;
        int fd = listen ? tcp_listen("no-such-host.invalid", "1", 4)
                        : tcp_connect("no-such-host.invalid", "1");
        EXPECT_EQ(fd, -1);
        ASSERT_EQ(cap.lines.size(), 1u);
        EXPECT_EQ(cap.lines[0].level, LOG_DEBUG);
        EXPECT_TRUE(std::regex_match(cap.bodies()[0], std::regex("errno: [^,]+, getaddrinfo: .+\n")))
            << cap.bodies()[0];
    }
}

// What a daemonized grandchild reports about itself, written as one line to a pipe.
std::string daemon_report()
{
    char cwd[PATH_MAX] = "";
    mode_t old = umask(022);
    struct stat null_st {};
    stat("/dev/null", &null_st);
    std::string fds;
    for (int fd = 0; fd < 3; fd++) {
        struct stat st {};
        bool is_null = fstat(fd, &st) == 0 && st.st_rdev == null_st.st_rdev;
        fds += is_null ? "N" : "-";
    }
    return std::string(getcwd(cwd, sizeof cwd) ? cwd : "?") + " umask=" + std::to_string(old) +
           " leader=" + std::to_string(getsid(0) == getpid()) + " fds=" + fds + "\n";
}

TEST(Util, DaemonizeDetachesOntoDevNull)
{
    int p[2];
    ASSERT_EQ(pipe(p), 0);
    fd_guard rd(p[0]);
    fflush(nullptr);
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        close(p[0]);
        umask(077);
        if (daemonize() != 1) {
            _exit(3);
        }
        std::string report = daemon_report();
        ssize_t n = write(p[1], report.data(), report.size());
        _exit(n == static_cast<ssize_t>(report.size()) ? 0 : 4);
    }
    close(p[1]);
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);

    // The grandchild holds the pipe's write end until it has written its report.
    std::string got;
    char buf[256];
    pollfd pfd{rd.fd, POLLIN, 0};
    while (poll(&pfd, 1, 10000) == 1) {
        ssize_t n = read(rd.fd, buf, sizeof buf);
        if (n <= 0) {
            break;
        }
        got.append(buf, n);
    }
    EXPECT_EQ(got, "/ umask=0 leader=1 fds=NNN\n");
}

} // namespace
