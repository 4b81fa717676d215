// What several unit tests share: a log capture, descriptor pairs, argument vectors, queue reads,
// and the headers they all use (gtest, strings, vectors, the log and the byte queue).
#pragma once

#include <gtest/gtest.h>
#include <pty.h>
#include <unistd.h>

#include <cstdarg>
#include <cstdio>
#include <string>
#include <vector>

#include "log.h"
#include "rcqb.h"

// Captures every log line (all levels admitted) for the life of the object, without its
// "module[line]: " prefix, then restores the handler and the mask.
struct log_capture {
    static inline log_capture *active = nullptr;
    std::vector<std::string> bodies;
    std::vector<int> levels;
    void (*saved_handler)(int, const char *, ...) = log_handler;
    int saved_mask = log_mask;

    log_capture()
    {
        active = this;
        log_mask = -1;
        log_handler = handler;
    }
    ~log_capture()
    {
        log_handler = saved_handler;
        log_mask = saved_mask;
    }
    static void handler(int level, const char *fmt, ...)
    {
        char buf[4096];
        va_list ap;
        va_start(ap, fmt);
        vsnprintf(buf, sizeof buf, fmt, ap);
        va_end(ap);
        const std::string text = buf;
        active->bodies.push_back(text.substr(text.find("]: ") + 3));
        active->levels.push_back(level);
    }
};

// Two connected descriptors closed at the end: a pipe (read end, write end) or a raw pty (master,
// slave at `path`), whose open slave keeps the master from EIO while the code has closed the tty.
struct fd_pair {
    int fd[2] = {-1, -1};
    std::string path;
    explicit fd_pair(bool pty = false)
    {
        char name[256];
        termios raw{};
        cfmakeraw(&raw);
        EXPECT_EQ(pty ? openpty(&fd[0], &fd[1], name, &raw, nullptr) : pipe(fd), 0);
        path = pty ? name : "";
    }
    ~fd_pair()
    {
        close(fd[0]);
        close(fd[1]);
    }
};

// A null-terminated argument vector over words, which must outlive it.
inline std::vector<char *> argv_of(std::vector<std::string> &words)
{
    std::vector<char *> argv;
    for (std::string &w : words) {
        argv.push_back(w.data());
    }
    argv.push_back(nullptr);
    return argv;
}

// Everything the reader has not consumed yet, consumed.
inline std::string read_all(rcqb *r)
{
    std::string out(rcqb_available(r), '\0');
    out.resize(static_cast<size_t>(rcqb_read(r, out.data(), static_cast<uint32_t>(out.size()))));
    return out;
}
