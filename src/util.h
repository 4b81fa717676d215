// Shared helpers: allocation that never returns null, daemonizing, and TCP sockets
// by host and port text. The helpers keep no state and leave visible messages to callers.
#pragma once

#include <cstddef>
#include <cstdint>
#include <netdb.h>
#include <sys/socket.h>

// Room for the longest numeric IPv6 text and its terminator.
constexpr int ADDR_TEXT_LEN = 46;

// Logs "out of memory" (ERROR, errno clause) and exits 1: how a failed xcalloc or xmalloc ends.
[[noreturn]] void util_out_of_memory();

// Zero-filled memory; never null (exhaustion ends the process). Release with free().
void *xcalloc(uint32_t count, uint32_t size);

// Uninitialised memory; never null. Release with free().
void *xmalloc(size_t size);

// Forks into the background: the parent exits 0, the child becomes a session leader in "/"
// with umask 0 and descriptors 0 to 2 on /dev/null. 1 on success, 0 on failure.
int daemonize();

// Numeric text of an address into buf (ADDR_TEXT_LEN bytes suffice); buf, or null on failure.
char *addrinfo_to_text(const addrinfo *ai, char *buf, socklen_t len);
char *sockaddr_to_text(const sockaddr *sa, char *buf, socklen_t len);

// Connected (blocking) TCP socket to host:service, trying resolver results in order; -1 on failure.
int tcp_connect(const char *host, const char *service);

// Listening TCP socket with SO_REUSEADDR on the first address that binds; -1 on failure.
int tcp_listen(const char *host, const char *service, int32_t backlog);

// Keepalive timing of every connection. A peer whose cable was pulled or whose NAT entry expired
// never closes; probed after a minute of silence, every 10 s, it is given up after six unanswered
// probes, so its slot is free again in about two minutes. A quiet peer that is still there
// answers the probes and stays: unlike -w, silence alone drops nobody.
constexpr int KEEPALIVE_IDLE_S = 60;
constexpr int KEEPALIVE_INTERVAL_S = 10;
constexpr int KEEPALIVE_PROBES = 6;

// Turns on TCP keepalive with the timing above (the system's own timing where the per-socket
// settings do not exist); the kernel sends the probes. 0, or -1 when a setting was refused.
int tcp_keepalive(int fd);

// Tells the service manager state (e.g. "READY=1") in one datagram to the socket named by
// NOTIFY_SOCKET (a path, or an abstract name written with a leading '@'). 0 when the variable
// is not set (nothing is done), 1 when sent, -1 on failure.
int notify_service(const char *state);
