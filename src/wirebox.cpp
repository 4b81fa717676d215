// Start-up: splits the command line into the general, local and remote sections, hands each
// protocol section to its module's init, applies the general options and logging, and gives
// control to the remote side's `run`. Everything meant for the user at this stage goes to
// standard output; the protocol inits run while the log admits nothing they would say.
#include "wirebox.h"

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <syslog.h>

#include "connector.h"
#include "log.h"
#include "modbusrtu.h"
#include "modbustcp.h"
#include "opt.h"
#include "plaintcp.h"
#include "rfc2217.h"
#include "serial.h"
#include "util.h"

static constexpr char log_module[] = "wirebox";

static constexpr char usage_text[] =
    "wirebox [options] -l <tty_proto> -r <remote_proto>\n"
    "Example: wirebox -d -l serial /dev/ttyS0 -B 115200 -r raw 0.0.0.0 12312\n"
    "\n"
    "General options:\n"
    "    -t, --reconnect-delay=DELAY    client reconnect attempt delay in seconds\n"
    "    -w, --peer-timeout=TIMEOUT     peer activity timeout in seconds, disabled by default\n"
    "    -d, --daemonize                fork to background, implies -s\n"
    "    -s, --syslog                   log into syslog, implies -vv\n"
    "    -v, --verbose                  increase verbosity, can be repeated up to 3 times\n"
    "    -q, --quiet                    suppress all messages\n"
    "    -h, --help                     print this message\n"
    "\n"
    "To get list of local protocols use:\n"
    "   wirebox -l list\n"
    "And to get the list of remote protocols use:\n"
    "   wirebox -r list\n";

static constexpr char local_list_text[] =
    "Available local protocols:\n"
    "   serial      Plain serial port.\n"
    "               Compatible with remote protocols:\n"
    "                   rfc2217, raw\n"
    "\n"
    "   modbusrtu   Modbus rtu.\n"
    "               Compatible with remote protocols:\n"
    "                   modbustcp\n"
    "\n"
    "To learn more about how to use the given protocol use:\n"
    "   wirebox -l <tty_proto> -h\n";

static constexpr char remote_list_text[] =
    "Available remote protocols:\n"
    "   raw         Plain TCP data transfer.\n"
    "               Compatible with local protocols:\n"
    "                   serial\n"
    "\n"
    "   rfc2217     RFC2217 data transfer protocol.\n"
    "               Compatible with local protocols:\n"
    "                   serial\n"
    "\n"
    "   modbustcp   Modbus TCP.\n"
    "               Compatible with local protocols:\n"
    "                   modbusrtu\n"
    "\n"
    "To learn more about how to use the given protocol use:\n"
    "   wirebox -r <remote_proto> -h\n";

using protocol_init = void (*)(connector *conn, int argc, char **argv);

struct protocol {
    const char *keyword;
    protocol_init init; // null while the module is not part of this build
};

static constexpr protocol local_protocols[] = {
    {"serial", serial_init},
    {"modbusrtu", modbusrtu_init},
};

static constexpr protocol remote_protocols[] = {
    {"raw", plaintcp_init},
    {"rfc2217", rfc2217_init},
    {"modbustcp", modbustcp_init},
};

// The only pairs whose two sides understand each other's records and settings.
struct protocol_pair {
    const char *local;
    const char *remote;
};

static constexpr protocol_pair compatible_pairs[] = {
    {"serial", "raw"},
    {"serial", "rfc2217"},
    {"modbusrtu", "modbustcp"},
};

static constexpr const char *reconnect_names[] = {"reconnect-delay", nullptr};
static constexpr const char *timeout_names[] = {"peer-timeout", nullptr};
static constexpr const char *daemonize_names[] = {"daemonize", nullptr};
static constexpr const char *syslog_names[] = {"syslog", nullptr};
static constexpr const char *verbose_names[] = {"verbose", nullptr};
static constexpr const char *quiet_names[] = {"quiet", nullptr};
static constexpr const char *help_names[] = {"help", nullptr};

static constexpr opt_spec general_options[] = {
    {'t', OPT_HAS_ARG, "t", reconnect_names},
    {'w', OPT_HAS_ARG, "w", timeout_names},
    {'d', 0, "d", daemonize_names},
    {'s', 0, "s", syslog_names},
    {'v', OPT_REPEATABLE, "v", verbose_names},
    {'q', 0, "q", quiet_names},
    {'h', 0, "h?", help_names},
    {0, 0, nullptr, nullptr},
};

[[noreturn]] static void print_and_exit(const char *text, int status)
{
    puts(text);
    exit(status);
}

static bool is_local_switch(const char *word)
{
    return strcmp(word, "-l") == 0 || strcmp(word, "--local-proto") == 0;
}

static bool is_remote_switch(const char *word)
{
    return strcmp(word, "-r") == 0 || strcmp(word, "--remote-proto") == 0;
}

// A help request among the general options is answered before anything else is looked at.
static void help_prescan(int argc, char **argv)
{
    for (int i = 1; i < argc; i++) {
        if (is_local_switch(argv[i]) || is_remote_switch(argv[i])) {
            return;
        }
        if (strcmp(argv[i], "-h") == 0 || strcmp(argv[i], "--help") == 0) {
            print_and_exit(usage_text, 0);
        }
    }
}

// Index of each section switch (0 = not given); a second switch of a kind is an error.
static void find_switches(int argc, char **argv, int *local, int *remote)
{
    *local = 0;
    *remote = 0;
    for (int i = 1; i < argc; i++) {
        if (is_local_switch(argv[i])) {
            if (*local != 0) {
                puts("multiple local protocol settings are not allowed\n");
                print_and_exit(usage_text, 1);
            }
            *local = i;
        } else if (is_remote_switch(argv[i])) {
            if (*remote != 0) {
                puts("multiple remote protocol settings are not allowed\n");
                print_and_exit(usage_text, 1);
            }
            *remote = i;
        }
    }
}

// Entries after the switch at index at up to the other switch or the end (keyword included).
static int section_count(int at, int other, int argc)
{
    if (at == 0) {
        return 0;
    }
    int end = other > at ? other : argc;
    return end - at - 1;
}

// Runs the init of the keyword argv[0]: "list" prints the side's list and exits 0, an unknown
// keyword prints the message and the list and exits 1. A known module not built in leaves its
// slots empty, which the slot check reports.
static void run_init(const protocol *table, size_t n, const char *unknown_fmt,
                     const char *list_text, connector *conn, int argc, char **argv)
{
    if (strcmp(argv[0], "list") == 0) {
        print_and_exit(list_text, 0);
    }
    for (size_t i = 0; i < n; i++) {
        if (strcmp(argv[0], table[i].keyword) != 0) {
            continue;
        }
        if (table[i].init != nullptr) {
            table[i].init(conn, argc, argv);
        }
        return;
    }
    printf(unknown_fmt, argv[0]);
    print_and_exit(list_text, 1);
}

static bool all_slots_filled(const connector *conn)
{
    return conn->run != nullptr && conn->client_accept != nullptr &&
           conn->tty_open != nullptr && conn->tty_close != nullptr &&
           conn->client_create != nullptr && conn->client_free != nullptr &&
           conn->destroy != nullptr && conn->client_read != nullptr &&
           conn->tty_read != nullptr && conn->client_write != nullptr &&
           conn->tty_write != nullptr;
}

static void check_pair(const char *local, const char *remote)
{
    for (const protocol_pair &pair : compatible_pairs) {
        if (strcmp(pair.local, local) == 0 && strcmp(pair.remote, remote) == 0) {
            return;
        }
    }
    printf("Protocols \"%s\" and \"%s\" cannot be used together\n", local, remote);
    print_and_exit(usage_text, 1);
}

void populate_connector(connector *conn, int *argc_in_out, char **argv)
{
    int argc = *argc_in_out;
    int l = 0;
    int r = 0;
    find_switches(argc, argv, &l, &r);
    int local_count = section_count(l, r, argc);
    int remote_count = section_count(r, l, argc);
    if (l != 0 || r != 0) {
        *argc_in_out = (l != 0 && (r == 0 || l < r)) ? l : r;
    }
    if (l != 0 && local_count == 0) {
        print_and_exit(local_list_text, 0);
    }
    if (r != 0 && remote_count == 0) {
        print_and_exit(remote_list_text, 0);
    }
    // The inits may reorder their own sections, but never a section's first word.
    char **local = argv + l + 1;
    char **remote = argv + r + 1;
    if (l != 0) {
        run_init(local_protocols, std::size(local_protocols), "Unknown local protocol: \"%s\"\n",
                 local_list_text, conn, local_count, local);
    }
    if (r == 0) {
        print_and_exit(usage_text, 1);
    }
    run_init(remote_protocols, std::size(remote_protocols), "Unknown remote protocol: \"%s\"\n",
             remote_list_text, conn, remote_count, remote);
    if (l == 0) {
        print_and_exit(usage_text, 1);
    }
    if (!all_slots_filled(conn)) {
        printf("Unknown error on populate connector.");
        exit(1);
    }
    check_pair(local[0], remote[0]);
    conn->local_name = local[0];
    conn->remote_name = remote[0];
}

// The remote side's record lives until the process ends: `destroy` releases the local side and
// the connector only. Holding the record here keeps it owned once the connector is gone.
static void *volatile remote_record;

static void destroy_connector(connector *conn)
{
    remote_record = conn->remote_priv;
    conn->destroy(conn);
}

// A whole number of seconds from 0 to the largest signed 32-bit value; text after the
// number is ignored. -1 when invalid, with errno telling why where the conversion knows.
static int32_t parse_seconds(const char *text)
{
    char *end = nullptr;
    errno = 0;
    long v = strtol(text, &end, 10);
    if (errno != 0 || end == text || v < 0) {
        return -1;
    }
    if (v > INT32_MAX) {
        // Where long is 64 bits strtol accepts what a 32-bit long would refuse.
        errno = ERANGE;
        return -1;
    }
    return static_cast<int32_t>(v);
}

[[noreturn]] static void reject_value(connector *conn, opt_result *opts)
{
    free(opts);
    destroy_connector(conn);
    exit(1);
}

// -t and -w; an invalid value ends the process after releasing the protocol sides.
static void apply_delays(connector *conn, opt_result *opts)
{
    const char *t = opt_get(opts, 't', 0);
    if (t != nullptr && (conn->reconnect_delay = parse_seconds(t)) < 0) {
        LOG_ERRNO(LOG_ERR, "invalid reconnect delay: \"%s\"\n", t);
        reject_value(conn, opts);
    }
    const char *w = opt_get(opts, 'w', 0);
    if (w != nullptr && (conn->peer_timeout = parse_seconds(w)) < 0) {
        LOG_ERRNO(LOG_ERR, "invalid peer timeout: \"%s\"\n", w);
        reject_value(conn, opts);
    }
}

// The handler and level chosen by -s, -d, -v and -q.
static void apply_logging(const opt_result *opts)
{
    int verbose = opt_count(opts, 'v');
    if (opt_count(opts, 's') || opt_count(opts, 'd')) {
        log_handler = syslog;
        set_log_level(verbose > 0 ? LOG_DEBUG : LOG_INFO);
    } else if (verbose > 0) {
        static constexpr int verbose_levels[] = {LOG_WARNING, LOG_INFO, LOG_DEBUG};
        set_log_level(verbose_levels[verbose < 3 ? verbose - 1 : 2]);
    }
    if (opt_count(opts, 'q')) {
        set_log_level(LOG_EMERG);
    }
}

int main(int argc, char **argv)
{
    help_prescan(argc, argv);
    connector *conn = static_cast<connector *>(xcalloc(1, sizeof(connector)));
    conn->tty_fd = -1; // no tty yet: a value rejected before the loop starts must not close stdin
    int general_argc = argc;
    populate_connector(conn, &general_argc, argv);
    conn->reconnect_delay = 5;
    conn->peer_timeout = 0;
    set_log_level(LOG_ERR);
    opt_result *opts = opt_parse(&general_argc, argv, general_options);
    if (opt_count(opts, 'h')) {
        free(opts);
        print_and_exit(usage_text, 0);
    }
    apply_delays(conn, opts);
    apply_logging(opts);
    bool background = opt_count(opts, 'd') > 0;
    free(opts);
    if (background) {
        daemonize();
    }
    openlog("wirebox", 0, LOG_DAEMON);
    connector_catch_signals(conn);
    conn->run(conn);
    closelog();
    destroy_connector(conn);
    exit(0);
}
