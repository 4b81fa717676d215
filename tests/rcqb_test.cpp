#include "rcqb.h"

#include <fcntl.h>
#include <thread>

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

// A write takes only what the descriptor took; a burst read ends on time however steadily a
// device trickles, and at end of file (a hung-up tty) keeps what came and stops at once.
TEST(Rcqb, DescriptorTransfersMoveOnlyWhatTheDescriptorTookOrGave)
{
    fd_pair p;
    fcntl(p.fd[1], F_SETFL, O_NONBLOCK);
    ASSERT_EQ(fcntl(p.fd[1], F_SETPIPE_SZ, 4096), 4096); // less than one write offers
    rcqb *q = rcqb_create(256);
    rcqb *r = rcqb_clone(q);
    std::string data = pattern(300000);
    rcqb_append(q, data.data(), static_cast<uint32_t>(data.size()));
    EXPECT_EQ(rcqb_write_fd(-1, r, 100), -1);
    EXPECT_EQ(errno, EBADF);
    EXPECT_EQ(rcqb_skip(r, 100), 100); // a failed write consumed nothing; go on mid-block
    int32_t n = rcqb_write_fd(p.fd[1], r, rcqb_available(r));
    ASSERT_GT(n, 0);
    EXPECT_EQ(rcqb_available(r), data.size() - 100 - static_cast<size_t>(n));
    std::string got(static_cast<size_t>(n), '\0');
    EXPECT_EQ(read(p.fd[0], got.data(), got.size()), n);
    EXPECT_EQ(got + read_all(r), data.substr(100));
    fcntl(p.fd[0], F_SETFL, O_NONBLOCK); // as the tty is
    std::thread device([&p] {
        for (int i = 0; i < 3000; i++) {
            EXPECT_EQ(write(p.fd[1], "x", 1), 1);
            usleep(200);
        }
    });
    EXPECT_LT(exhaustive_read(p.fd[0], q, 10, 3), 3000); // over after 40 ms, not 0.6 s
    device.join();
    ASSERT_EQ(write(p.fd[1], "0123456789", 10), 10);
    close(p.fd[1]);
    p.fd[1] = -1;
    EXPECT_EQ(exhaustive_read(p.fd[0], q, 1000, 3), -1);
    EXPECT_EQ(read_all(r), std::string(3000, 'x') + "0123456789");
    rcqb_free(r);
    rcqb_free(q);
}

// Random operation scripts against a model run as the byte queue's fuzz target, also over its
// kept inputs in every test build.
TEST(Rcqb, DeepChainIsReleasedIteratively)
{
    // A reader a million blocks behind is released without one call per block on the stack.
    int32_t base = rcqb_live_blocks;
    rcqb *q = rcqb_create(1);
    rcqb *lag = rcqb_clone(q);
    const std::string x(1000000, 'x');
    rcqb_append(q, x.data(), static_cast<uint32_t>(x.size()));
    rcqb_free(q);
    EXPECT_EQ(rcqb_live_blocks - base, 1000000);
    rcqb_free(lag);
    EXPECT_EQ(rcqb_live_blocks, base);
}

} // namespace
