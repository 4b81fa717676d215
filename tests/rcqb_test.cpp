#include "rcqb.h"

#include <chrono>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <random>
#include <string>
#include <sys/socket.h>
#include <syslog.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "support/fd_guard.h"
#include "support/log_capture.h"

namespace {

std::string pattern(size_t n, int seed = 0)
{
    std::string s(n, '\0');
    for (size_t i = 0; i < n; i++) {
        s[i] = static_cast<char>((i * 7 + seed) % 251);
    }
    return s;
}

int32_t append(rcqb *q, const std::string &s)
{
    return rcqb_append(q, s.data(), static_cast<uint32_t>(s.size()));
}

std::string read_all(rcqb *r, uint32_t n = 1 << 20)
{
    std::string out(n, '\0');
    out.resize(static_cast<size_t>(rcqb_read(r, out.data(), n)));
    return out;
}

struct pipe_pair {
    fd_guard rd;
    fd_guard wr;
    pipe_pair()
    {
        int fds[2];
        EXPECT_EQ(pipe(fds), 0);
        rd.fd = fds[0];
        wr.fd = fds[1];
    }
};

TEST(Rcqb, CloneSeesOnlyLaterBytes)
{
    rcqb *q = rcqb_create(256);
    append(q, pattern(100));
    rcqb *late = rcqb_clone(q);
    EXPECT_EQ(rcqb_available(late), 0u);
    EXPECT_TRUE(rcqb_empty(late));
    append(q, "later");
    EXPECT_EQ(read_all(late), "later");
    rcqb_free(late);
    rcqb_free(q);
}

TEST(Rcqb, FillsBlocksExactlyAndPeeksAcrossBorders)
{
    int32_t base = rcqb_live_blocks;
    rcqb *q = rcqb_create(256);
    rcqb *r = rcqb_clone(q);
    std::string data = pattern(600);
    EXPECT_EQ(append(q, data.substr(0, 256)), 256);
    EXPECT_EQ(rcqb_live_blocks - base, 1); // exactly full, no second block yet
    EXPECT_EQ(read_all(r), data.substr(0, 256));
    EXPECT_EQ(append(q, "+"), 1);
    EXPECT_EQ(rcqb_live_blocks - base, 2);
    rcqb_free(r);
    rcqb_free(q);

    q = rcqb_create(256);
    r = rcqb_clone(q);
    EXPECT_EQ(append(q, data), 600); // 256 + 256 + 88
    EXPECT_EQ(append(q, ""), 0);
    EXPECT_EQ(rcqb_live_blocks - base, 3);
    EXPECT_EQ(rcqb_available(r), 600u);
    std::string buf(2000, '\0');
    EXPECT_EQ(rcqb_peek(r, buf.data(), 2000), 600); // more than available: what is there
    EXPECT_EQ(buf.substr(0, 600), data);
    EXPECT_EQ(rcqb_skip(r, 2000), 600); // beyond the end: stops at the end
    EXPECT_TRUE(rcqb_empty(r));
    rcqb_free(r);
    rcqb_free(q);
    EXPECT_EQ(rcqb_live_blocks, base);
}

TEST(Rcqb, RefusesWritesThroughNonOwnerOrLaggingOwner)
{
    enum class op { append, read_fd, exhaustive };
    struct refusal_case {
        op what;
        bool lagging; // owner not at the end; otherwise a clone is used
        const char *message;
    };
    static constexpr refusal_case cases[] = {
        {op::append, false, "rcqb ownership check failed, not appending\n"},
        {op::read_fd, false, "rcqb ownership check failed, not reading\n"},
        {op::exhaustive, false, "rcqb ownership check failed, not reading\n"},
        {op::append, true, "rcqb overwrite protection: there is data ahead, can't append\n"},
        {op::read_fd, true, "rcqb overwrite protection: there is data ahead, can't read\n"},
        {op::exhaustive, true, "rcqb overwrite protection: there is data ahead, can't read\n"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.message);
        pipe_pair p;
        ASSERT_EQ(write(p.wr.fd, "x", 1), 1);
        rcqb *q = rcqb_create(256);
        rcqb *r = rcqb_clone(q);
        append(q, "abc");
        rcqb *h = c.lagging ? q : r;
        if (c.lagging) {
            q->pos = 1; // only reachable through a corrupted handle
        }
        log_capture logs;
        errno = 4711;
        int32_t result = c.what == op::append    ? rcqb_append(h, "d", 1)
                         : c.what == op::read_fd ? rcqb_read_fd(p.rd.fd, h, 16)
                                                 : exhaustive_read(p.rd.fd, h, 1, 0);
        EXPECT_EQ(result, -1);
        EXPECT_EQ(errno, 4711);
        EXPECT_EQ(logs.bodies(), std::vector<std::string>{c.message});
        EXPECT_EQ(logs.lines.at(0).level, LOG_DEBUG);
        q->pos = 3;
        EXPECT_EQ(read_all(r), "abc");
        char byte;
        EXPECT_EQ(read(p.rd.fd, &byte, 1), 1); // the descriptor was not read
        rcqb_free(r);
        rcqb_free(q);
    }
}

TEST(Rcqb, WriteFdWithNothingQueuedDoesNotCallWrite)
{
    rcqb *q = rcqb_create(256);
    rcqb *r = rcqb_clone(q);
    errno = 4711;
    EXPECT_EQ(rcqb_write_fd(-1, r, 100), 0);
    EXPECT_EQ(errno, 4711);
    append(q, "abc");
    EXPECT_EQ(rcqb_write_fd(-1, r, 0), 0);
    EXPECT_EQ(errno, 4711);
    EXPECT_EQ(rcqb_write_fd(-1, r, 100), -1); // a failed write consumes nothing
    EXPECT_EQ(errno, EBADF);
    EXPECT_EQ(rcqb_available(r), 3u);
    rcqb_free(r);
    rcqb_free(q);
}

TEST(Rcqb, WriteFdConsumesOnlyWhatTheDescriptorTook)
{
    int sv[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0, sv), 0);
    fd_guard a(sv[0]), b(sv[1]);
    int small = 4096;
    setsockopt(a.fd, SOL_SOCKET, SO_SNDBUF, &small, sizeof small);
    rcqb *q = rcqb_create(256);
    rcqb *r = rcqb_clone(q);
    std::string data = pattern(300000);
    append(q, data);
    EXPECT_EQ(rcqb_skip(r, 100), 100); // start mid-block
    EXPECT_EQ(rcqb_write_fd(a.fd, r, 300), 300);
    std::string got(300, '\0');
    ASSERT_EQ(read(b.fd, got.data(), 300), 300);
    EXPECT_EQ(got, data.substr(100, 300));

    bool partial = false;
    got.clear();
    while (!rcqb_empty(r)) {
        uint32_t before = rcqb_available(r);
        int32_t n = rcqb_write_fd(a.fd, r, before);
        ASSERT_GT(n, 0);
        partial |= static_cast<uint32_t>(n) < before;
        EXPECT_EQ(rcqb_available(r), before - static_cast<uint32_t>(n));
        char buf[65536];
        ssize_t m;
        while ((m = read(b.fd, buf, sizeof buf)) > 0) {
            got.append(buf, static_cast<size_t>(m));
        }
    }
    EXPECT_TRUE(partial);
    EXPECT_EQ(got, data.substr(400));
    rcqb_free(r);
    rcqb_free(q);
}

TEST(Rcqb, LaggingReaderKeepsBlocksUntilFreed)
{
    int32_t base = rcqb_live_blocks;
    rcqb *q = rcqb_create(256);
    rcqb *lag = rcqb_clone(q);
    rcqb *keen = rcqb_clone(q);
    std::string piece = pattern(100);
    for (int i = 0; i < 100; i++) {
        append(q, piece);
        read_all(keen);
    }
    EXPECT_EQ(rcqb_live_blocks - base, 40);
    rcqb_free(lag);
    EXPECT_EQ(rcqb_live_blocks - base, 1);
    rcqb_free(keen);
    rcqb_free(q);
    EXPECT_EQ(rcqb_live_blocks, base);
}

TEST(Rcqb, FreeingReaderMillionBlocksBehindDoesNotRecurse)
{
    int32_t base = rcqb_live_blocks;
    rcqb *q = rcqb_create(1);
    rcqb *lag = rcqb_clone(q);
    std::string data(1000000, 'x');
    append(q, data);
    rcqb_free(q);
    EXPECT_EQ(rcqb_live_blocks - base, 1000000);
    rcqb_free(lag);
    EXPECT_EQ(rcqb_live_blocks, base);
}

TEST(Rcqb, ReadFdAppendsWhatOneReadGaveAndZeroAtEndOfFile)
{
    pipe_pair p;
    rcqb *q = rcqb_create(256);
    rcqb *r = rcqb_clone(q);
    std::string data = pattern(1000);
    ASSERT_EQ(write(p.wr.fd, data.data(), data.size()), 1000);
    EXPECT_EQ(rcqb_read_fd(p.rd.fd, q, 4000), 1000);
    close(p.wr.release());
    EXPECT_EQ(rcqb_read_fd(p.rd.fd, q, 256), 0);
    EXPECT_EQ(read_all(r), data);
    rcqb_free(r);
    rcqb_free(q);
}

TEST(Rcqb, ExhaustiveReadGathersBurstArrivingInPieces)
{
    pipe_pair p;
    rcqb *q = rcqb_create(256);
    rcqb *r = rcqb_clone(q);
    std::string data = pattern(3000);
    std::thread writer([&] {
        for (size_t at = 0; at < data.size(); at += 600) {
            EXPECT_EQ(write(p.wr.fd, data.data() + at, 600), 600);
            std::this_thread::sleep_for(std::chrono::milliseconds(5)); // well below the time-out
        }
    });
    int32_t total = exhaustive_read(p.rd.fd, q, 200, 3);
    writer.join();
    EXPECT_EQ(total, 3000);
    EXPECT_EQ(read_all(r), data);
    rcqb_free(r);
    rcqb_free(q);
}

TEST(Rcqb, ExhaustiveReadOnSilentDescriptorCountsAttemptsDown)
{
    struct silent_case {
        uint32_t attempts;
        std::vector<std::string> messages;
    };
    const silent_case cases[] = {
        {0, {"exhaustive_read: 0 attempts left\n"}},
        {3,
         {"exhaustive_read: 3 attempts left\n", "exhaustive_read: 2 attempts left\n",
          "exhaustive_read: 1 attempts left\n", "exhaustive_read: 0 attempts left\n"}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.attempts);
        pipe_pair p;
        rcqb *q = rcqb_create(256);
        log_capture logs;
        EXPECT_EQ(exhaustive_read(p.rd.fd, q, 5, c.attempts), 0);
        EXPECT_EQ(logs.bodies(), c.messages);
        rcqb_free(q);
    }
}

TEST(Rcqb, ExhaustiveReadFailsAtEndOfFileAndOnReadErrorKeepingBytes)
{
    pipe_pair p;
    rcqb *q = rcqb_create(256);
    rcqb *r = rcqb_clone(q);
    ASSERT_EQ(write(p.wr.fd, "0123456789", 10), 10);
    close(p.wr.release());
    EXPECT_EQ(exhaustive_read(p.rd.fd, q, 1000, 3), -1);
    EXPECT_EQ(read_all(r), "0123456789");

    fd_guard dir(open("/", O_RDONLY | O_DIRECTORY));
    log_capture logs;
    EXPECT_EQ(exhaustive_read(dir.fd, q, 1000, 3), -1);
    ASSERT_EQ(logs.lines.size(), 1u);
    EXPECT_EQ(logs.lines[0].level, LOG_ERR);
    EXPECT_EQ(logs.bodies()[0], std::string("errno: ") + strerror(EISDIR) + ", read fail\n");
    rcqb_free(r);
    rcqb_free(q);
}

// Long random operation sequences against one std::string per reader.
struct model_reader {
    rcqb *h;
    std::string pending;
};

void run_model(uint32_t seed, uint32_t block_size, int steps)
{
    std::mt19937 rng(seed);
    auto pick = [&](uint32_t n) { return static_cast<uint32_t>(rng() % n); };
    int32_t base = rcqb_live_blocks;
    pipe_pair p;
    rcqb *q = rcqb_create(block_size);
    std::vector<model_reader> readers;
    readers.push_back({rcqb_clone(q), ""});
    std::string buf(8 * block_size + 4096, '\0');
    for (int step = 0; step < steps; step++) {
        SCOPED_TRACE(testing::Message() << "step " << step);
        uint32_t op = pick(10);
        model_reader *m = readers.empty() ? nullptr : &readers[pick(readers.size())];
        uint32_t n = pick(4) == 0 ? pick(4) : pick(3 * block_size + 2);
        if (op < 3 || m == nullptr) {
            std::string bytes = pattern(n, step);
            ASSERT_EQ(append(q, bytes), static_cast<int32_t>(n));
            for (auto &r : readers) {
                r.pending += bytes;
            }
        } else if (op == 3 || op == 4) {
            int32_t got = op == 3 ? rcqb_peek(m->h, buf.data(), n) : rcqb_read(m->h, buf.data(), n);
            uint32_t want = std::min<uint32_t>(n, static_cast<uint32_t>(m->pending.size()));
            ASSERT_EQ(got, static_cast<int32_t>(want));
            ASSERT_EQ(buf.substr(0, want), m->pending.substr(0, want));
            if (op == 4) {
                m->pending.erase(0, want);
            }
        } else if (op == 5) {
            uint32_t want = std::min<uint32_t>(n, static_cast<uint32_t>(m->pending.size()));
            ASSERT_EQ(rcqb_skip(m->h, n), static_cast<int32_t>(want));
            m->pending.erase(0, want);
        } else if (op == 6) {
            int32_t got = rcqb_write_fd(p.wr.fd, m->h, n);
            uint32_t want = std::min<uint32_t>(n, static_cast<uint32_t>(m->pending.size()));
            ASSERT_EQ(got, static_cast<int32_t>(want));
            ASSERT_EQ(read(p.rd.fd, buf.data(), want), static_cast<ssize_t>(want));
            ASSERT_EQ(buf.substr(0, want), m->pending.substr(0, want));
            m->pending.erase(0, want);
        } else if (op == 7 && readers.size() < 8) {
            bool from_owner = pick(2) == 0;
            readers.push_back({rcqb_clone(from_owner ? q : m->h), from_owner ? "" : m->pending});
        } else if (op == 8) {
            rcqb_free(m->h);
            readers.erase(readers.begin() + (m - readers.data()));
        }
        for (const auto &r : readers) {
            ASSERT_EQ(rcqb_available(r.h), r.pending.size());
            ASSERT_EQ(rcqb_empty(r.h), r.pending.empty());
        }
    }
    rcqb_free(q);
    for (auto &r : readers) {
        ASSERT_EQ(read_all(r.h), r.pending);
        rcqb_free(r.h);
    }
    EXPECT_EQ(rcqb_live_blocks, base);
}

TEST(Rcqb, RandomOperationsMatchModel)
{
    for (uint32_t block_size : {1u, 7u, 256u}) {
        for (uint32_t seed : {1u, 2u, 3u}) {
            SCOPED_TRACE(testing::Message() << "seed " << seed << " block size " << block_size);
            run_model(seed, block_size, 20000);
            if (HasFatalFailure()) {
                return;
            }
        }
    }
}

} // namespace
