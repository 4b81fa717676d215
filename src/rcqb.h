// rcqb: a byte queue with one writer (the owner handle) and any number of independent readers,
// over a chain of reference-counted blocks. The owner always stands at the very end of the
// stream; every block but the last is full; a block is freed once no handle or link holds it.
#pragma once

#include <cstdint>

struct rcqb;

struct rcqb_block {
    uint8_t *data;      // block_size bytes
    uint32_t fill;      // bytes written into data
    uint32_t refs;      // handles positioned here + the predecessor's link + peeks in progress
    rcqb *owner;        // the one handle allowed to append to this queue
    rcqb_block *next;   // following block, null for the last
    uint32_t start;     // where a handle stepping in from the predecessor begins; always 0
    uint32_t offset;    // stream position of data[0], counted from creation modulo 2^32
};

struct rcqb {
    rcqb_block *block;
    uint32_t pos;        // offset of the next byte in block->data
    uint32_t block_size; // size of the blocks this handle creates
};

// Number of blocks alive in the process, for tests that check memory is given back.
extern int32_t rcqb_live_blocks;

// New owner handle on a new empty block.
rcqb *rcqb_create(uint32_t block_size);

// New reader at the same place as h; never an owner. A clone of the owner sees only later bytes.
rcqb *rcqb_clone(const rcqb *h);

// Drops h's block reference (releasing every block only h kept alive) and frees h.
void rcqb_free(rcqb *h);

// Appends n bytes through the owner handle: n (0 for n = 0), or -1 when h is not the owner
// or is not at the end of the stream.
int32_t rcqb_append(rcqb *h, const void *src, uint32_t n);

// Copies up to n unread bytes without moving h; returns the count.
int32_t rcqb_peek(const rcqb *h, void *dst, uint32_t n);

// Consumes up to n bytes; returns the count consumed.
int32_t rcqb_skip(rcqb *h, uint32_t n);

// rcqb_peek, then rcqb_skip of what was copied.
int32_t rcqb_read(rcqb *h, void *dst, uint32_t n);

// Bytes h can still read.
uint32_t rcqb_available(const rcqb *h);

// Stream position of h's next byte, modulo 2^32. The difference of a reader's position from
// its owner's is how far that reader is behind, found without walking the chain. This and
// rcqb_empty are asked on every loop pass for every queue, so they are inline.
inline uint32_t rcqb_position(const rcqb *h)
{
    return h->block->offset + h->pos;
}

// True when h has nothing left to read.
inline bool rcqb_empty(const rcqb *h)
{
    return h->pos >= h->block->fill && h->block->next == nullptr;
}

// One write() of up to n queued bytes; consumes what fd took. 0 when nothing is queued
// (write is not called), else write's result (-1 with errno, nothing consumed).
int32_t rcqb_write_fd(int fd, rcqb *h, uint32_t n);

// One read() of up to n bytes appended through owner h: the count, 0 at end of file,
// -1 on error or refusal.
int32_t rcqb_read_fd(int fd, rcqb *h, uint32_t n);

// Reads a burst that arrives in pieces from the non-blocking fd, until it has lasted
// (attempts + 1) x timeout_ms (as long as that many quiet time-outs take; never, for a negative
// time-out) or holds 4 KiB. Each whole time-out of the burst is logged as an attempt used.
// Total appended, or -1 on error, end of file or refusal (bytes appended before stay queued).
// Blocks while it runs.
int32_t exhaustive_read(int fd, rcqb *h, int32_t timeout_ms, uint32_t attempts);
