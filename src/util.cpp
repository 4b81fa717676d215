// Allocation wrappers, daemonizing and the TCP socket helpers shared by the remote sides.
#include "util.h"

#include <arpa/inet.h>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include "log.h"

static constexpr char log_module[] = "util";

void util_out_of_memory()
{
    LOG_ERRNO(LOG_ERR, "out of memory\n");
    exit(1);
}

void *xcalloc(uint32_t count, uint32_t size)
{
    void *p = calloc(count, size);
    if (p == nullptr) {
        util_out_of_memory();
    }
    return p;
}

void *xmalloc(size_t size)
{
    void *p = malloc(size);
    if (p == nullptr) {
        util_out_of_memory();
    }
    return p;
}

int daemonize()
{
    // Output still buffered would otherwise be written twice, by parent and child.
    fflush(nullptr);
    pid_t pid = fork();
    if (pid < 0) {
        return 0;
    }
    if (pid != 0) {
        exit(0);
    }
    close(0);
    close(1);
    close(2);
    // Descriptors 0 to 2 stay occupied by /dev/null, so that a tty or socket opened later
    // never receives stray standard output or error text.
    if (open("/dev/null", O_RDWR) != 0) {
        return 0;
    }
    if (dup2(0, 1) != 1 || dup2(0, 2) != 2) {
        return 0;
    }
    setsid();
    if (chdir("/") < 0) {
        return 0;
    }
    umask(0);
    return 1;
}

// The address field is chosen by the address's own family; anything not IPv4 is IPv6.
static const void *address_field(const sockaddr *sa)
{
    if (sa->sa_family == AF_INET) {
        return &reinterpret_cast<const sockaddr_in *>(sa)->sin_addr;
    }
    return &reinterpret_cast<const sockaddr_in6 *>(sa)->sin6_addr;
}

static unsigned short port_of(const sockaddr *sa)
{
    if (sa->sa_family == AF_INET) {
        return ntohs(reinterpret_cast<const sockaddr_in *>(sa)->sin_port);
    }
    return ntohs(reinterpret_cast<const sockaddr_in6 *>(sa)->sin6_port);
}

char *addrinfo_to_text(const addrinfo *ai, char *buf, socklen_t len)
{
    return const_cast<char *>(inet_ntop(ai->ai_family, address_field(ai->ai_addr), buf, len));
}

char *sockaddr_to_text(const sockaddr *sa, char *buf, socklen_t len)
{
    return const_cast<char *>(inet_ntop(sa->sa_family, address_field(sa), buf, len));
}

// The errno text for the messages that spell the clause out themselves.
static const char *errno_text()
{
    return errno != 0 ? strerror(errno) : "None";
}

using addrinfo_list = std::unique_ptr<addrinfo, decltype(&freeaddrinfo)>;

// Resolves host:service as a TCP address list; an empty list after logging the failure.
static addrinfo_list resolve(const char *host, const char *service, int flags)
{
    addrinfo hints{};
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = flags;
    addrinfo *res = nullptr;
    int rc = getaddrinfo(host, service, &hints, &res);
    if (rc != 0) {
        LOG(LOG_DEBUG, "errno: %s, getaddrinfo: %s\n", errno_text(), gai_strerror(rc));
        res = nullptr;
    }
    return addrinfo_list(res, freeaddrinfo);
}

// close() that leaves errno as the failed call before it set it.
static void close_keep_errno(int fd)
{
    int saved = errno;
    close(fd);
    errno = saved;
}

int tcp_connect(const char *host, const char *service)
{
    addrinfo_list list = resolve(host, service, 0);
    if (list == nullptr) {
        return -1;
    }
    for (const addrinfo *ai = list.get(); ai != nullptr; ai = ai->ai_next) {
        int fd = socket(ai->ai_family, ai->ai_socktype, ai->ai_protocol);
        if (fd < 0) {
            continue;
        }
        if (connect(fd, ai->ai_addr, ai->ai_addrlen) < 0) {
            close_keep_errno(fd);
            continue;
        }
        char text[ADDR_TEXT_LEN];
        LOG(LOG_INFO, "connected to %s:%hu\n", addrinfo_to_text(ai, text, sizeof text),
            port_of(ai->ai_addr));
        return fd;
    }
    LOG(LOG_DEBUG, "errno: %s, connection failed\n", errno_text());
    return -1;
}

// Binds and listens on one resolved address: the socket, -1 to try the next address, or
// -2 when SO_REUSEADDR cannot be set, which gives up on every address.
static int listen_on(const addrinfo *ai, int32_t backlog)
{
    int fd = socket(ai->ai_family, ai->ai_socktype, ai->ai_protocol);
    if (fd < 0) {
        return -1;
    }
    int one = 1;
    if (setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one) < 0) {
        LOG_ERRNO(LOG_ERR, "setsockopt SO_REUSEADDR\n");
        close(fd);
        return -2;
    }
    if (bind(fd, ai->ai_addr, ai->ai_addrlen) < 0 || listen(fd, backlog) < 0) {
        close_keep_errno(fd);
        return -1;
    }
    return fd;
}

int tcp_listen(const char *host, const char *service, int32_t backlog)
{
    addrinfo_list list = resolve(host, service, AI_PASSIVE);
    if (list == nullptr) {
        return -1;
    }
    for (const addrinfo *ai = list.get(); ai != nullptr; ai = ai->ai_next) {
        int fd = listen_on(ai, backlog);
        if (fd == -2) {
            return -1;
        }
        if (fd < 0) {
            continue;
        }
        char text[ADDR_TEXT_LEN];
        LOG(LOG_INFO, "listening at %s:%hu\n", addrinfo_to_text(ai, text, sizeof text),
            port_of(ai->ai_addr));
        return fd;
    }
    LOG(LOG_DEBUG, "errno: %s, socket setup fail\n", errno_text());
    return -1;
}

int tcp_keepalive(int fd)
{
    int on = 1;
    if (setsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof on) < 0) {
        LOG_ERRNO(LOG_DEBUG, "setsockopt SO_KEEPALIVE\n");
        return -1;
    }
#if defined(TCP_KEEPIDLE) && defined(TCP_KEEPINTVL) && defined(TCP_KEEPCNT)
    static constexpr int settings[][2] = {{TCP_KEEPIDLE, KEEPALIVE_IDLE_S},
                                          {TCP_KEEPINTVL, KEEPALIVE_INTERVAL_S},
                                          {TCP_KEEPCNT, KEEPALIVE_PROBES}};
    for (const auto &s : settings) {
        if (setsockopt(fd, IPPROTO_TCP, s[0], &s[1], sizeof s[1]) < 0) {
            LOG_ERRNO(LOG_DEBUG, "setsockopt keepalive timing\n");
            return -1;
        }
    }
#endif
    return 0;
}

int notify_service(const char *state)
{
    const char *name = getenv("NOTIFY_SOCKET");
    if (name == nullptr || (name[0] != '/' && name[0] != '@')) {
        return 0;
    }
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    size_t n = strlen(name);
    if (n >= sizeof addr.sun_path) {
        return -1;
    }
    memcpy(addr.sun_path, name, n);
    if (name[0] == '@') {
        addr.sun_path[0] = '\0';
    }
    int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        return -1;
    }
    auto len = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + n);
    ssize_t sent = sendto(fd, state, strlen(state), MSG_NOSIGNAL,
                          reinterpret_cast<const sockaddr *>(&addr), len);
    LOG(LOG_DEBUG, "told the service manager \"%s\"\n", state);
    close(fd);
    return sent < 0 ? -1 : 1;
}
