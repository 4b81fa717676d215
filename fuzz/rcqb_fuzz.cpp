// The byte queue under a script of clones, frees, appends, reads and writes to a pipe, checked
// after every step against a model: every byte appended and each handle's place in it. Input:
// block size, then pairs: operation (bits 0-2) and slot (3-5; 0: owner), count or slot cloned.
#include <algorithm>
#include <cstdlib>
#include <string>
#include <utility>
#include <unistd.h>

#include "rcqb.h"

#define CHECK(ok) ((ok) ? (void)0 : abort())

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    std::string all;
    rcqb *q[8] = {rcqb_create(size > 0 ? 1 + data[0] % 32 : 1)};
    size_t pos[8] = {};
    uint8_t buf[256];
    static int fds[2] = {-1, -1}; // one pipe for every input, left empty by each operation
    CHECK(fds[0] != -1 || pipe(fds) == 0);
    for (size_t i = 1; i + 1 < size; i += 2) {
        const int op = data[i] & 7, a = data[i] >> 3 & 7, n = data[i + 1], from = n & 7;
        if (op == 2 || (op == 1 && a != 0 && q[from] != nullptr)) { // free, or clone over a reader
            rcqb_free(std::exchange(q[a], op == 1 ? rcqb_clone(q[from]) : nullptr));
            pos[a] = pos[from];
        } else if (q[a] != nullptr && op == 0) { // append; a reader is refused
            std::generate(buf, buf + n, [p = all.size()]() mutable { return p++ * 37 >> 3; });
            CHECK(rcqb_append(q[a], buf, n) == (a == 0 ? n : -1));
            pos[0] = all.append(reinterpret_cast<char *>(buf), a == 0 ? n : 0).size();
        } else if (q[a] != nullptr && op >= 3) { // peek, read, skip, then write (twice as often)
            const int32_t got = op == 3   ? rcqb_peek(q[a], buf, n)
                                : op == 4 ? rcqb_read(q[a], buf, n)
                                : op == 5 ? rcqb_skip(q[a], n)
                                          : rcqb_write_fd(fds[1], q[a], n);
            const auto want = static_cast<int32_t>(std::min<size_t>(n, all.size() - pos[a]));
            CHECK(got == want || (op >= 6 && got >= 64 && got < want)); // 64 pieces at most
            CHECK(op < 6 || got == 0 || read(fds[0], buf, got) == got);
            CHECK(op == 5 || all.compare(pos[a], got, reinterpret_cast<char *>(buf), got) == 0);
            pos[a] += op == 3 ? 0 : got;
        }
        for (int k = 0; k < 8; k++) {
            CHECK(q[k] == nullptr ||
                  (rcqb_available(q[k]) == all.size() - pos[k] && rcqb_position(q[k]) == pos[k] &&
                   rcqb_empty(q[k]) == (pos[k] == all.size())));
        }
    }
    std::for_each(q, q + 8, rcqb_free);
    CHECK(rcqb_live_blocks == 0); // every block given back
    return 0;
}
