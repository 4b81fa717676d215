// Option negotiation: agreement is bookkeeping only, the data path is 8-bit with IAC doubled
// whatever was agreed, which the "not applied" warning records.
#include "rfc2217-telopt.h"

#include "log.h"
#include "rfc2217-filter.h"
#include "rfc2217.h"

static constexpr char log_module[] = "rfc2217-telopt";

// Answers a request by the option's state bits; returns 1 when an answer was queued.
static int apply_table(client_record *c, uint8_t command, uint8_t option)
{
    uint8_t &s = peer_of(c)->options[option];
    switch (command) {
    case TELNET_WILL:
        if (s & OPTION_REMOTE) {
            return 0;
        }
        s |= OPTION_REMOTE;
        return send_command(c, TELNET_DO, option);
    case TELNET_WONT:
        if (!(s & OPTION_REMOTE)) {
            return 0;
        }
        s &= static_cast<uint8_t>(~OPTION_REMOTE);
        return send_command(c, TELNET_DONT, option);
    case TELNET_DO:
        if (s & OPTION_LOCAL) {
            return 0;
        }
        s |= OPTION_LOCAL;
        return send_command(c, TELNET_WILL, option);
    case TELNET_DONT:
        if (!(s & OPTION_LOCAL)) {
            return 0;
        }
        s &= static_cast<uint8_t>(~OPTION_LOCAL);
        return send_command(c, TELNET_WONT, option);
    }
    return 0;
}

int respond_binary_option(client_record *c, uint8_t command)
{
    rfc2217_peer *p = peer_of(c);
    int answered = apply_table(c, command, TELOPT_BINARY);
    if (answered) {
        bool in = command == TELNET_WILL || command == TELNET_WONT;
        int32_t &flag = in ? p->binary_in : p->binary_out;
        int32_t value = command == TELNET_WILL || command == TELNET_DO ? 1 : 0;
        if (flag != value) {
            flag = value;
            LOG(LOG_INFO, "telnet connection is now in %s mode (server %s client)\n",
                value ? "BINARY" : "ASCII", in ? "<<==" : "==>>");
        }
    }
    LOG_ERRNO(LOG_WARNING,
              "Telnet option not applied, generating response based on cached values.\n");
    return answered;
}

int respond_known_option(client_record *c, uint8_t command, uint8_t option)
{
    if (option == TELOPT_BINARY) {
        return respond_binary_option(c, command);
    }
    LOG(LOG_DEBUG, "respond known telnet option: %d (%s%s%s%s)\n", option,
        command == TELNET_WILL ? "WILL" : "", command == TELNET_WONT ? "WONT" : "",
        command == TELNET_DO ? "DO" : "", command == TELNET_DONT ? "DONT" : "");
    LOG_ERRNO(LOG_WARNING,
              "Telnet option not applied, generating response based on cached values.\n");
    return apply_table(c, command, option);
}

int negotiate_option(client_record *c, uint8_t command, uint8_t option)
{
    LOG(LOG_DEBUG, "negotiate option\n");
    switch (option) {
    case TELOPT_BINARY:
        LOG(LOG_DEBUG, "respond binary option\n");
        return respond_binary_option(c, command);
    case TELOPT_ECHO:
    case TELOPT_SGA:
    case TELOPT_COM_PORT:
        LOG(LOG_DEBUG, "respond known telnet option: %s%s%s\n",
            option == TELOPT_COM_PORT ? "com port option" : "", option == TELOPT_ECHO ? "echo" : "",
            option == TELOPT_SGA ? "SGA" : "");
        return respond_known_option(c, command, option);
    default:
        LOG_ERRNO(LOG_WARNING, "Unknown option was received, responding negatively\n");
        return send_command(
            c, command == TELNET_DO || command == TELNET_DONT ? TELNET_WONT : TELNET_DONT, option);
    }
}

int negotiate_option_client(client_record *, uint8_t, uint8_t)
{
    LOG(LOG_DEBUG, "negotiate option\n");
    return 0;
}
