// The connector joins one local side (the tty) with one remote side (TCP clients): the poll
// list with its parallel arrays, the two byte queues, the client table and the eleven protocol
// slots. Poll entry 0 is the listener, 1 the tty, 2..nfds-1 the clients; for a client entry k,
// pollfds[k], last_activity[k] and clients[k-2] always move together.
#pragma once

#include <array>
#include <cstdint>
#include <ctime>
#include <poll.h>
#include <type_traits>

struct rcqb;
struct connector;

constexpr int MAX_POLL = 64;
constexpr int MAX_CLIENTS = MAX_POLL - 2;
constexpr uint32_t QUEUE_BLOCK_SIZE = 256;

// The two bounds on the queues, so that no client can make a small router's daemon run out of
// memory: unbounded, a client that never reads keeps every tty byte alive (41 MB an hour at
// 115200 baud), and clients sending faster than the line drains grow to_tty without end.
// Together the queues hold at most about TTY_BACKLOG_LIMIT + CLIENT_LAG_LIMIT, and nothing is
// ever dropped from the middle of a stream.
// - While the tty has this much of to_tty still to take, client sockets are not read: TCP flow
//   control holds the senders back, and nothing is lost.
constexpr uint32_t TTY_BACKLOG_LIMIT = 64 * 1024;
// - A client this far behind the newest tty byte, its own queued output included, is
//   disconnected. 4 MiB is six minutes of a 115200-baud line, so only a client that has stopped
//   reading reaches it. While the local side holds the tty's output (flow control suspended by
//   the remote side) clients stay read, so that the request ending the hold can arrive; then
//   the same limit bounds what waits for the tty.
constexpr uint32_t CLIENT_LAG_LIMIT = 4 * 1024 * 1024;

// The head every remote module's per-client record begins with.
struct client_record {
    int fd;
    connector *conn;
    rcqb *reader;     // clone of from_tty made when the client was created
    bool out_pending; // the module has output of its own for this client
    void *ext;        // the module's own per-client data
    // Bytes the module holds for this client outside reader (answers, data already encoded);
    // they count toward its lag like unread tty bytes.
    uint32_t queued;
    // The peer has closed while bytes of its own still waited for the tty: the entry stays,
    // unread, until the tty's reader has passed input_end (the position of to_tty after them).
    bool draining;
    uint32_t input_end;
    // For the statistics: when the connection started (CLOCK_MONOTONIC), and the bytes the
    // module wrote to it and read from it.
    timespec since;
    uint64_t sent;
    uint64_t received;
};

struct connector {
    int32_t peer_timeout;    // seconds of client silence before a drop; 0 = never
    int32_t reconnect_delay; // seconds between failed outgoing connection attempts
    std::array<pollfd, MAX_POLL> pollfds;
    int32_t nfds;            // 2 + number of clients
    std::array<timespec, MAX_POLL> last_activity; // CLOCK_MONOTONIC, kept while peer_timeout != 0
    const char *host;        // borrowed from the command line
    const char *port;
    int32_t tty_fd;          // -1 while the tty is closed; written only by the local side
    int32_t listen_fd;       // -1 without a listener; written by the remote side
    rcqb *to_tty;            // network to tty, owner handle
    rcqb *from_tty;          // tty to network, owner handle
    client_record **clients; // MAX_CLIENTS entries; clients[k-2] belongs to poll entry k
    rcqb *tty_reader;        // the tty's reader of to_tty
    bool tty_pending;        // the local side has output of its own for the tty
    // Set by a local side that can hold its output (flow control suspended by the remote
    // side): while *tty_held is non-zero the loop does not ask for writability of the tty,
    // which would otherwise wake it at once on every pass. Null: never held.
    const uint8_t *tty_held;
    void *local_priv;
    void *remote_priv;
    const char *local_name;  // the protocol keywords, borrowed from the command line
    const char *remote_name;

    // Counted for the statistics; plain increments, no system call.
    timespec started;         // CLOCK_MONOTONIC, set by connector_catch_signals
    uint32_t accepted;        // connections accepted or made
    uint32_t refused;         // accepted, then refused by the remote side
    uint32_t closed;          // ended by the peer, or by a read the remote side gave up on
    uint32_t dropped_lagging; // 4 MiB behind, or 4 MiB waiting for a held tty
    uint32_t dropped_timeout; // -w
    uint32_t dropped_error;   // a write failed
    uint32_t tty_hangups;
    int32_t status_clients;   // what the service manager was told last
    bool status_tty_open;
    bool ready_told;          // READY=1 has been sent

    // The protocol slots, filled by the local (tty_*, destroy) and remote (the rest) inits.
    void (*run)(connector *conn);
    int (*client_accept)(connector *conn);
    int (*tty_open)(connector *conn);
    void (*tty_close)(connector *conn);
    client_record *(*client_create)(connector *conn, int fd);
    void (*client_free)(client_record *c);
    void (*destroy)(connector *conn);
    int (*client_read)(client_record *c);
    void (*tty_read)(connector *conn);
    int (*client_write)(client_record *c);
    void (*tty_write)(connector *conn);

    // Optional: each side logs its own statistics lines (null: none).
    void (*report_local)(const connector *conn);
    void (*report_remote)(const connector *conn);
};
// Allocated zero-filled by xcalloc, so it must stay a plain record.
static_assert(std::is_trivial_v<connector>);
static_assert(std::is_trivial_v<client_record>);

// Prepares a run: queues and client table (each only if still null), tty_fd and listen_fd -1,
// nfds 2, every poll entry cleared with descriptor -1.
void connector_init(connector *conn);

// The event loop. Returns when there is neither a listener nor a client, or after a stop
// signal: then the listener is closed, the tty gets up to a second to take what is queued for
// it, and one INFO line says how many bytes it did not take.
void connector_loop(connector *conn);

// Releases what connector_init created, closes every descriptor in the poll list and frees
// every client record.
void connector_cleanup(connector *conn);

// Client mode: registers an outgoing connection's socket as the next client entry.
void connector_add_client(connector *conn, int fd);

// Start-up, once, just before `run`: SIGUSR1 (statistics), SIGTERM and SIGINT (a clean stop)
// are caught and blocked everywhere but in the loop's wait, so none arrives unnoticed between
// a check and the wait, and no slot is interrupted halfway.
void connector_catch_signals(connector *conn);

// True once a stop has been asked for: client mode's run ends instead of reconnecting.
bool connector_stopping();

// Client mode: tcp_connect to host:port, and the pause after a failure, with the stop signals
// deliverable, so that a stop is not held up by a server that does not answer. The socket, or
// -1 (failed or interrupted).
int connector_connect(connector *conn);
void connector_pause(int32_t seconds);
