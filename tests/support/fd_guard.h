// Closes a descriptor when the test scope ends.
#pragma once

#include <unistd.h>

struct fd_guard {
    int fd = -1;
    fd_guard() = default;
    explicit fd_guard(int f) : fd(f) {}
    fd_guard(const fd_guard &) = delete;
    fd_guard &operator=(const fd_guard &) = delete;
    ~fd_guard()
    {
        if (fd >= 0) {
            close(fd);
        }
    }
    int release()
    {
        int f = fd;
        fd = -1;
        return f;
    }
};
