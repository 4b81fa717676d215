// The receive parser of the rfc2217 side on bare records, whole and split at every byte boundary.
// Option answers and requests are exercised end to end by the process tests.
#include <cstring>

#include "rfc2217-filter.h"
#include "rfc2217.h"
#include "support/common.h"

namespace
{

std::string hex(const std::string &bytes)
{
    std::string out;
    for (unsigned char b : bytes) {
        out += {' ', "0123456789abcdef"[b >> 4], "0123456789abcdef"[b & 15]};
    }
    return out;
}

std::string calls; // what the handlers were handed, in order

// One connection as client mode makes it, with handlers that record their calls.
struct connection {
    connector conn{};
    rfc2217_config cfg{};
    client_record *c;
    connection()
    {
        conn.remote_priv = &cfg;
        connector_init(&conn); // the tty data lands in to_tty
        cfg.on_option = [](client_record *, uint8_t cmd, uint8_t opt) {
            calls += "O" + hex({char(cmd), char(opt)}) + ";";
            return 0;
        };
        cfg.on_suboption = [](client_record *k) {
            calls += "S" + hex(read_all(peer_of(k)->sb_reader)) + ";";
        };
        c = rfc2217_client_create(&conn, -1);
        calls.clear();
    }
    ~connection()
    {
        rfc2217_client_free(c);
        rcqb_free(cfg.all_out);
        rcqb_free(cfg.tty_data);
        connector_cleanup(&conn);
    }
    // Parses the pieces in order; returns the tty data and the handler calls.
    std::string parse(const std::vector<std::string> &pieces)
    {
        for (const std::string &s : pieces) {
            filter_from_bytes(c, reinterpret_cast<const uint8_t *>(s.data()), s.size(),
                              conn.to_tty);
        }
        return "D" + hex(read_all(conn.tty_reader)) + ";" + calls;
    }
};

} // namespace

TEST(Rfc2217Filter, ParserGivesTheSameResultHoweverTheStreamIsSplit)
{
    const char *const cases[][2] = {
        {"41 ff ff 42", "D 41 ff 42;"},
        {"ff fa 2c 01 00 00 25 80 ff f0", "D;S 2c 01 00 00 25 80;"},
        {"ff fa 2c 01 00 00 ff ff 80 ff f0 43", "D 43;S 2c 01 00 00 ff 80;"},
        {"ff fb 00 ff fd ff ff f1 ff f4 44", "D 44;O fb 00;O fd ff;"},
        // A command inside a subnegotiation; SE without SB; a second SB starts afresh.
        {"61 ff fa 2c 05 ff fb 01 02 ff f0 62 ff f0 ff fa 2c ff fa 2c 07 ff f0 63",
         "D 61 62 63;O fb 01;S 2c 05 02;S;S 2c 07;"},
    };
    for (const auto &k : cases) {
        SCOPED_TRACE(k[0]);
        std::string in;
        std::vector<std::string> bytes;
        for (size_t i = 0; i + 1 < strlen(k[0]); i += 3) {
            in += static_cast<char>(std::stoi(std::string(k[0] + i, 2), nullptr, 16));
            bytes.emplace_back(1, in.back());
        }
        for (size_t cut = 0; cut < in.size(); cut++) {
            EXPECT_EQ(connection().parse({in.substr(0, cut), in.substr(cut)}), k[1]) << cut;
        }
        EXPECT_EQ(connection().parse(bytes), k[1]);
    }
}

// No server answer goes to every connection, so this is the only path through it.
TEST(Rfc2217Filter, NotifyAllFramesAndEscapesIntoTheSharedQueue)
{
    connection k;
    rcqb *all = rcqb_clone(k.cfg.all_out);
    const uint8_t ff = 0xff;
    send_subnegotiation_all(k.c, 107, &ff, 1);
    EXPECT_EQ(hex(read_all(all)), " ff fa 2c 6b ff ff ff f0");
    rcqb_free(all);
}
