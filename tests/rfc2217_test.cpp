// The Telnet layer of the rfc2217 side on bare records: the receive parser (whole and split at
// every byte boundary), the framing, and the option negotiation of both modes. The request
// handling is exercised end to end by the process tests.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "connector.h"
#include "rcqb.h"
#include "rfc2217-filter.h"
#include "rfc2217-telopt.h"
#include "rfc2217.h"

namespace
{

std::string hex(const std::string &bytes)
{
    std::string out;
    char buf[4];
    for (unsigned char b : bytes) {
        snprintf(buf, sizeof buf, out.empty() ? "%02x" : " %02x", b);
        out += buf;
    }
    return out;
}

std::string unhex(const std::string &text)
{
    std::string out;
    for (size_t i = 0; i + 1 < text.size(); i += 3) {
        out += static_cast<char>(std::stoi(text.substr(i, 2), nullptr, 16));
    }
    return out;
}

std::string drain(rcqb *r)
{
    std::string out(rcqb_available(r), '\0');
    rcqb_read(r, &out[0], static_cast<uint32_t>(out.size()));
    return out;
}

// One connection's records; the handlers append what they were handed to `calls`.
struct conn_fixture {
    connector conn{};
    rfc2217_config cfg{};
    client_record c{};
    rfc2217_peer p{};
    rcqb *data = rcqb_create(QUEUE_BLOCK_SIZE);
    rcqb *data_reader = rcqb_clone(data);
    rcqb *all_reader;
    std::string calls;
    static inline conn_fixture *current = nullptr;

    conn_fixture()
    {
        current = this;
        conn.remote_priv = &cfg;
        cfg.all_out = rcqb_create(QUEUE_BLOCK_SIZE);
        all_reader = rcqb_clone(cfg.all_out);
        c.conn = &conn;
        c.ext = &p;
        p.ctrl = rcqb_create(QUEUE_BLOCK_SIZE);
        p.ctrl_reader = rcqb_clone(p.ctrl);
        p.sb_buf = rcqb_create(QUEUE_BLOCK_SIZE);
        p.sb_reader = rcqb_clone(p.sb_buf);
        p.on_option = [](client_record *, uint8_t cmd, uint8_t opt) {
            current->calls += "O " + hex(std::string{char(cmd), char(opt)}) + ";";
            return 0;
        };
        p.on_suboption = [](client_record *) {
            current->calls += "S " + hex(drain(current->p.sb_reader)) + ";";
        };
    }
    ~conn_fixture()
    {
        for (rcqb *h : {data, data_reader, all_reader, cfg.all_out, p.ctrl, p.ctrl_reader, p.sb_buf,
                        p.sb_reader}) {
            rcqb_free(h);
        }
    }
    // Parses the pieces in order; returns data for the tty and the handler calls.
    std::string feed(const std::vector<std::string> &pieces)
    {
        for (const std::string &s : pieces) {
            filter_from_bytes(&c, reinterpret_cast<const uint8_t *>(s.data()), s.size(), data);
        }
        return "D " + hex(drain(data_reader)) + ";" + calls;
    }
};

TEST(Rfc2217Filter, ParserGivesTheSameResultHoweverTheStreamIsSplit)
{
    const struct {
        const char *in;
        const char *out;
    } cases[] = {
        {"41 ff ff 42", "D 41 ff 42;"},
        {"ff fa 2c 01 00 00 25 80 ff f0", "D ;S 2c 01 00 00 25 80;"},
        {"ff fa 2c 01 00 00 ff ff 80 ff f0 43", "D 43;S 2c 01 00 00 ff 80;"},
        {"ff fb 00 ff fd ff ff f1 ff f4 44", "D 44;O fb 00;O fd ff;"},
        // A command inside a subnegotiation; SE without SB; a second SB starts afresh.
        {"61 ff fa 2c 05 ff fb 01 02 ff f0 62 ff f0 ff fa 2c ff fa 2c 07 ff f0 63",
         "D 61 62 63;O fb 01;S 2c 05 02;S ;S 2c 07;"},
    };
    for (const auto &k : cases) {
        SCOPED_TRACE(k.in);
        const std::string in = unhex(k.in);
        EXPECT_EQ(conn_fixture().feed({in}), k.out);
        for (size_t cut = 1; cut < in.size(); cut++) {
            EXPECT_EQ(conn_fixture().feed({in.substr(0, cut), in.substr(cut)}), k.out) << cut;
        }
        std::vector<std::string> bytes;
        for (char b : in) {
            bytes.emplace_back(1, b);
        }
        EXPECT_EQ(conn_fixture().feed(bytes), k.out);
    }
}

TEST(Rfc2217Filter, FramesEscapeEveryIac)
{
    conn_fixture f;
    const std::string tty = unhex("00 ff 10");
    filter_to_socket(reinterpret_cast<const uint8_t *>(tty.data()), tty.size(), f.cfg.all_out);
    EXPECT_EQ(hex(drain(f.all_reader)), "00 ff ff 10");
    const uint8_t rate[] = {0x00, 0x00, 0x25, 0x80};
    const uint8_t ff = 0xff;
    send_subnegotiation(&f.c, 101, rate, sizeof rate);
    send_subnegotiation(&f.c, 101, &ff, 1);
    send_command(&f.c, TELNET_DO, TELOPT_COM_PORT);
    EXPECT_EQ(hex(drain(f.p.ctrl_reader)),
              "ff fa 2c 65 00 00 25 80 ff f0 ff fa 2c 65 ff ff ff f0 ff fd 2c");
    send_subnegotiation_all(&f.c, 107, &ff, 1);
    EXPECT_EQ(hex(drain(f.all_reader)), "ff fa 2c 6b ff ff ff f0");
}

TEST(Rfc2217Telopt, KnownOptionsAnsweredOnceUnknownOnesEveryTime)
{
    const struct {
        uint8_t cmd, opt;
        const char *answer;
        int32_t binary_in, binary_out;
    } steps[] = {
        {TELNET_WILL, 0, "ff fd 00", 1, 0},  {TELNET_WILL, 0, "", 1, 0},
        {TELNET_DO, 0, "ff fb 00", 1, 1},    {TELNET_DONT, 0, "ff fc 00", 1, 0},
        {TELNET_WONT, 0, "ff fe 00", 0, 0},  {TELNET_WONT, 0, "", 0, 0},
        {TELNET_DO, 1, "ff fb 01", 0, 0},    {TELNET_DO, 1, "", 0, 0},
        {TELNET_DONT, 1, "ff fc 01", 0, 0},  {TELNET_WILL, 44, "ff fd 2c", 0, 0},
        {TELNET_DO, 3, "ff fb 03", 0, 0},    {TELNET_WILL, 24, "ff fe 18", 0, 0},
        {TELNET_WILL, 24, "ff fe 18", 0, 0}, {TELNET_DO, 5, "ff fc 05", 0, 0},
        {TELNET_WONT, 31, "ff fe 1f", 0, 0}, {TELNET_DONT, 34, "ff fc 22", 0, 0},
        {TELNET_DO, 255, "ff fc ff", 0, 0},
    };
    conn_fixture f;
    for (const auto &s : steps) {
        SCOPED_TRACE(hex(std::string{char(s.cmd), char(s.opt)}));
        negotiate_option(&f.c, s.cmd, s.opt);
        negotiate_option_client(&f.c, s.cmd, s.opt);
        EXPECT_EQ(hex(drain(f.p.ctrl_reader)), s.answer);
        EXPECT_EQ(f.p.binary_in, s.binary_in);
        EXPECT_EQ(f.p.binary_out, s.binary_out);
    }
}

} // namespace
