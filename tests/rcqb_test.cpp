#include "rcqb.h"

#include <fcntl.h>
#include <random>

#include "support/common.h"

namespace
{

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

using pipe_pair = fd_pair;

// A write takes only what the descriptor took; a burst read that meets end of file (a hung-up
// tty) keeps what came and stops at once.
TEST(Rcqb, DescriptorTransfersMoveOnlyWhatTheDescriptorTookOrGave)
{
    pipe_pair p;
    fcntl(p.fd[1], F_SETFL, O_NONBLOCK);
    ASSERT_EQ(fcntl(p.fd[1], F_SETPIPE_SZ, 4096), 4096); // less than one write offers
    rcqb *q = rcqb_create(256);
    rcqb *r = rcqb_clone(q);
    std::string data = pattern(300000);
    append(q, data);
    EXPECT_EQ(rcqb_write_fd(-1, r, 100), -1);
    EXPECT_EQ(errno, EBADF);
    EXPECT_EQ(rcqb_skip(r, 100), 100); // a failed write consumed nothing; go on mid-block
    int32_t n = rcqb_write_fd(p.fd[1], r, rcqb_available(r));
    ASSERT_GT(n, 0);
    EXPECT_EQ(rcqb_available(r), data.size() - 100 - static_cast<size_t>(n));
    std::string got(static_cast<size_t>(n), '\0');
    EXPECT_EQ(read(p.fd[0], got.data(), got.size()), n);
    EXPECT_EQ(got + read_all(r), data.substr(100));
    ASSERT_EQ(write(p.fd[1], "0123456789", 10), 10);
    close(p.fd[1]);
    p.fd[1] = -1;
    EXPECT_EQ(exhaustive_read(p.fd[0], q, 1000, 3), -1);
    EXPECT_EQ(read_all(r), "0123456789");
    rcqb_free(r);
    rcqb_free(q);
}

// Random operations on independent readers, each checked against a std::string of its own.
void run_model(uint32_t seed, uint32_t block_size, int steps)
{
    struct model_reader {
        rcqb *h;
        std::string pending;
    };
    std::mt19937 rng(seed);
    auto pick = [&](uint32_t n) { return static_cast<uint32_t>(rng() % n); };
    int32_t base = rcqb_live_blocks;
    pipe_pair p;
    rcqb *q = rcqb_create(block_size);
    std::vector<model_reader> readers{{rcqb_clone(q), ""}};
    std::string buf(8 * block_size + 4096, '\0');
    for (int step = 0; step < steps; step++) {
        SCOPED_TRACE(testing::Message() << "step " << step);
        uint32_t op = pick(10);
        model_reader *m = readers.empty() ? nullptr : &readers[pick(readers.size())];
        uint32_t n = pick(4) == 0 ? pick(4) : pick(3 * block_size + 2);
        uint32_t want = m ? std::min<uint32_t>(n, static_cast<uint32_t>(m->pending.size())) : 0;
        if (op < 3 || m == nullptr) {
            std::string bytes = pattern(n, step);
            ASSERT_EQ(append(q, bytes), static_cast<int32_t>(n));
            for (auto &r : readers) {
                r.pending += bytes;
            }
        } else if (op <= 6) {
            int32_t got = op == 3   ? rcqb_peek(m->h, buf.data(), n)
                          : op == 4 ? rcqb_read(m->h, buf.data(), n)
                          : op == 5 ? rcqb_skip(m->h, n)
                                    : rcqb_write_fd(p.fd[1], m->h, n);
            ASSERT_EQ(got, static_cast<int32_t>(want));
            if (op == 6) {
                ASSERT_EQ(read(p.fd[0], buf.data(), want), static_cast<ssize_t>(want));
            }
            if (op != 5) {
                ASSERT_EQ(buf.substr(0, want), m->pending.substr(0, want));
            }
            if (op != 3) {
                m->pending.erase(0, want);
            }
        } else if (op == 7 && readers.size() < 8) {
            bool from_owner = pick(2) == 0; // a clone of the owner sees only later bytes
            readers.push_back({rcqb_clone(from_owner ? q : m->h), from_owner ? "" : m->pending});
        } else if (op == 8) {
            rcqb_free(m->h);
            readers.erase(readers.begin() + (m - readers.data()));
        }
        for (const auto &r : readers) {
            ASSERT_EQ(rcqb_available(r.h), r.pending.size());
            ASSERT_EQ(rcqb_position(q) - rcqb_position(r.h), r.pending.size());
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
    // A reader a million blocks behind is released without one call per block on the stack.
    int32_t base = rcqb_live_blocks;
    rcqb *q = rcqb_create(1);
    rcqb *lag = rcqb_clone(q);
    append(q, std::string(1000000, 'x'));
    rcqb_free(q);
    EXPECT_EQ(rcqb_live_blocks - base, 1000000);
    rcqb_free(lag);
    EXPECT_EQ(rcqb_live_blocks, base);
}

} // namespace
