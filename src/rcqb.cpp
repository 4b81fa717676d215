// rcqb: one writer, many independent readers over a chain of reference-counted blocks.
// Invariants: the owner stands at the end of the stream (last block, pos == fill); every
// block but the last is full; a block's refs count the handles and peek cursors in it plus
// its predecessor's link, and the block is freed when they reach 0.
#include "rcqb.h"

#include <algorithm>
#include <array>
#include <cassert>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <poll.h>
#include <sys/uio.h>
#include <unistd.h>

#include "log.h"
#include "timespec.h"
#include "util.h"

static constexpr char log_module[] = "rcqb";

// Most queued bytes one rcqb_write_fd hands to the kernel: 64 blocks of the system's size.
static constexpr size_t WRITE_IOV_MAX = 64;
// Largest single read of exhaustive_read, whatever the block size.
static constexpr uint32_t BURST_READ = 256;
// Most bytes one exhaustive_read gathers: sixteen reads, enough to spare the loop most of its
// passes on a fast line, few enough that the clients are served between bursts.
static constexpr int32_t BURST_MAX = 4096;
// Longest burst in ms that the deadline arithmetic takes, a hundred years; (attempts + 1) x
// timeout_ms can reach 2^63 ms, far beyond what fits in microseconds.
static constexpr int64_t BURST_SPAN_MAX_MS = int64_t{36525} * 86400000;

int32_t rcqb_live_blocks = 0;

// The block record and its storage come from one allocation: one malloc per 256 queued bytes
// instead of two, and a lagging reader's chain fragments the heap half as much.
static rcqb_block *block_new(rcqb *owner, uint32_t size)
{
    auto *b = static_cast<rcqb_block *>(xmalloc(sizeof(rcqb_block) + size));
    b->data = reinterpret_cast<uint8_t *>(b + 1);
    b->fill = 0;
    b->refs = 1;
    b->owner = owner;
    b->next = nullptr;
    b->start = 0;
    b->offset = 0;
    rcqb_live_blocks++;
    return b;
}

// Drops one reference. A block that reaches 0 drops its own link reference on next, which
// may free the next block too: done as a loop so that a reader lagging a million blocks
// behind does not recurse a million frames deep.
static void block_release(rcqb_block *b)
{
    while (b != nullptr) {
        assert(b->refs > 0);
        if (--b->refs > 0) {
            return;
        }
        rcqb_block *next = b->next;
        free(b); // data lives in the same allocation
        rcqb_live_blocks--;
        b = next;
    }
}

// Moves a cursor standing in *b to its successor; false when there is none.
static bool step(rcqb_block **b, uint32_t *pos)
{
    rcqb_block *next = (*b)->next;
    if (next == nullptr) {
        return false;
    }
    next->refs++;
    *pos = (*b)->start;
    block_release(*b);
    *b = next;
    return true;
}

rcqb *rcqb_create(uint32_t block_size)
{
    auto *h = static_cast<rcqb *>(xcalloc(1, sizeof(rcqb)));
    h->block = block_new(h, block_size);
    h->pos = 0;
    h->block_size = block_size;
    return h;
}

rcqb *rcqb_clone(const rcqb *h)
{
    auto *c = static_cast<rcqb *>(xcalloc(1, sizeof(rcqb)));
    *c = *h;
    c->block->refs++;
    return c;
}

void rcqb_free(rcqb *h)
{
    if (h == nullptr) {
        return;
    }
    block_release(h->block);
    free(h);
}

// Only the owner may write, and only at the end of the stream. `doing` and `act` name the
// refused operation in the two messages ("appending"/"append" or "reading"/"read").
static bool may_append(const rcqb *h, const char *doing, const char *act)
{
    if (h->block->owner != h) {
        LOG(LOG_DEBUG, "rcqb ownership check failed, not %s\n", doing);
        return false;
    }
    if (h->block->next != nullptr || h->pos != h->block->fill) {
        LOG(LOG_DEBUG, "rcqb overwrite protection: there is data ahead, can't %s\n", act);
        return false;
    }
    return true;
}

int32_t rcqb_append(rcqb *h, const void *src, uint32_t n)
{
    if (!may_append(h, "appending", "append")) {
        return -1;
    }
    const auto *bytes = static_cast<const uint8_t *>(src);
    uint32_t done = 0;
    while (done < n) {
        rcqb_block *b = h->block;
        uint32_t room = h->block_size - h->pos;
        uint32_t want = n - done;
        if (room >= want) {
            memcpy(b->data + h->pos, bytes + done, want);
            h->pos += want;
            b->fill = h->pos;
            return static_cast<int32_t>(n);
        }
        memcpy(b->data + h->pos, bytes + done, room);
        b->fill = h->block_size;
        done += room;
        rcqb_block *next = block_new(h, h->block_size);
        next->offset = b->offset + h->block_size;
        b->next = next;
        next->refs++; // the link from b; the 1 it was born with is h's
        h->block = next;
        h->pos = 0;
        block_release(b);
    }
    return 0;
}

int32_t rcqb_peek(const rcqb *h, void *dst, uint32_t n)
{
    auto *out = static_cast<uint8_t *>(dst);
    rcqb_block *b = h->block;
    uint32_t pos = h->pos;
    uint32_t copied = 0;
    b->refs++; // keeps every block the cursor walks alive while it is read
    while (copied < n) {
        uint32_t avail = b->fill - pos;
        uint32_t want = n - copied;
        if (avail >= want) {
            memcpy(out + copied, b->data + pos, want);
            copied = n;
            break;
        }
        memcpy(out + copied, b->data + pos, avail);
        copied += avail;
        if (!step(&b, &pos)) {
            break;
        }
    }
    block_release(b);
    return static_cast<int32_t>(copied);
}

int32_t rcqb_skip(rcqb *h, uint32_t n)
{
    uint32_t remaining = n;
    while (remaining > 0) {
        uint32_t avail = h->block->fill - h->pos;
        if (avail >= remaining) {
            h->pos += remaining;
            return static_cast<int32_t>(n);
        }
        remaining -= avail;
        if (!step(&h->block, &h->pos)) {
            h->pos = h->block->fill;
            return static_cast<int32_t>(n - remaining);
        }
    }
    return static_cast<int32_t>(n);
}

int32_t rcqb_read(rcqb *h, void *dst, uint32_t n)
{
    int32_t copied = rcqb_peek(h, dst, n);
    return rcqb_skip(h, static_cast<uint32_t>(copied));
}

uint32_t rcqb_available(const rcqb *h)
{
    uint32_t total = h->block->fill - h->pos;
    for (const rcqb_block *b = h->block->next; b != nullptr; b = b->next) {
        total += b->fill;
    }
    return total;
}

// One write call over the queued blocks themselves: the kernel gathers them, so a lagging
// reader with megabytes queued costs neither a large temporary buffer nor a copy.
int32_t rcqb_write_fd(int fd, rcqb *h, uint32_t n)
{
    std::array<iovec, WRITE_IOV_MAX> iov;
    size_t count = 0;
    uint32_t queued = 0;
    uint32_t pos = h->pos;
    for (rcqb_block *b = h->block; b != nullptr && count < iov.size() && queued < n;
         b = b->next) {
        uint32_t len = b->fill - pos;
        if (len > n - queued) {
            len = n - queued;
        }
        if (len > 0) {
            iov[count++] = {b->data + pos, len};
            queued += len;
        }
        pos = b->start;
    }
    if (queued == 0) {
        return 0;
    }
    ssize_t r = writev(fd, iov.data(), static_cast<int>(count));
    if (r >= 1) {
        rcqb_skip(h, static_cast<uint32_t>(r));
    }
    return static_cast<int32_t>(r);
}

int32_t rcqb_read_fd(int fd, rcqb *h, uint32_t n)
{
    if (!may_append(h, "reading", "read")) {
        return -1;
    }
    // The usual reads (256 bytes at most) need no heap buffer.
    std::array<uint8_t, BURST_READ> small;
    uint8_t *buf = n <= small.size() ? small.data() : static_cast<uint8_t *>(xmalloc(n));
    ssize_t r = read(fd, buf, n);
    if (r >= 1) {
        rcqb_append(h, buf, static_cast<uint32_t>(r));
    }
    if (buf != small.data()) {
        free(buf);
    }
    return static_cast<int32_t>(r);
}

// Sleeps us microseconds (at least one: the deadline must have passed when it returns).
static void sleep_us(int64_t us)
{
    timespec t;
    t.tv_sec = static_cast<time_t>(us / 1000000);
    t.tv_nsec = static_cast<long>(us % 1000000 * 1000);
    while (nanosleep(&t, &t) < 0 && errno == EINTR) {
    }
}

// Logs one line for every whole time-out in `quiet_us` of silence, each using one of *left
// attempts, as if each had been polled for.
static void log_quiet_timeouts(int64_t quiet_us, int32_t timeout_ms, int64_t *left)
{
    if (timeout_ms <= 0) {
        return;
    }
    int64_t timeouts = quiet_us / (static_cast<int64_t>(timeout_ms) * 1000);
    while (timeouts-- > 0 && *left >= 0) {
        LOG(LOG_DEBUG, "exhaustive_read: %d attempts left\n", static_cast<int>(*left));
        --*left;
    }
}

// A burst ends at the latest (attempts + 1) time-outs after it began, or at BURST_MAX bytes:
// a device that never pauses for a whole time-out would otherwise keep the read going for ever,
// and the whole loop with it (no client served, no time-out acted on). A burst whose line goes
// quiet ends no sooner than that anyway, since each of its attempts is a whole time-out of
// silence; so the read waits for the next piece until the burst's end, not a time-out at a time.
// Once a piece has taken half a time-out or more to come, the line is a slow one: the read then
// sleeps to the burst's end and takes what came meanwhile, which the tty keeps, instead of
// waking for every piece. A fast device (a piece sooner than that) is read as it comes, so it
// fills BURST_MAX and is passed on without waiting.
int32_t exhaustive_read(int fd, rcqb *h, int32_t timeout_ms, uint32_t attempts)
{
    if (!may_append(h, "reading", "read")) {
        return -1;
    }
    int64_t span_ms = (int64_t{attempts} + 1) * std::max(timeout_ms, 0);
    int64_t deadline = timespec_now_us() + std::min(span_ms, BURST_SPAN_MAX_MS) * 1000;
    int64_t slow_gap = int64_t{std::max(timeout_ms, 0)} * 500;
    int32_t total = 0;
    int64_t left = attempts;
    bool slept = false;
    for (;;) {
        int32_t r = rcqb_read_fd(fd, h, BURST_READ);
        if (r < 0 && errno == EINTR) {
            continue;
        }
        if (r < 0 && errno != EAGAIN) {
            LOG_ERRNO(LOG_ERR, "read fail\n");
            return -1;
        }
        // Called because the tty was readable, or woken by it: nothing then is its end of file.
        // After a sleep, 0 is only a tty with nothing more (it has no minimum count to wait for).
        if (r == 0 && !slept) {
            return -1;
        }
        total += std::max(r, 0);
        if (total >= BURST_MAX) {
            return total;
        }
        if (r == static_cast<int32_t>(BURST_READ)) {
            continue; // a full read: more may be there already
        }
        int64_t now = timespec_now_us();
        if (slept || (timeout_ms >= 0 && now >= deadline)) {
            return total;
        }
        pollfd pfd = {fd, POLLIN, 0};
        int wait = timeout_ms < 0 ? -1 : timespec_ms_until(deadline);
        int p = poll(&pfd, 1, wait);
        if (p < 0 && errno != EINTR) {
            LOG_ERRNO(LOG_ERR, "poll fail\n");
            return -1;
        }
        int64_t woken = timespec_now_us();
        log_quiet_timeouts(woken - now, timeout_ms, &left);
        if (p == 0) {
            if (woken < deadline) {
                continue; // further off than one poll waits
            }
            return total;
        }
        if (timeout_ms >= 0 && woken - now >= slow_gap && woken < deadline) {
            sleep_us(deadline - woken);
            log_quiet_timeouts(timespec_now_us() - woken, timeout_ms, &left);
            slept = true;
        }
    }
}
