// A pseudo-terminal pair with both ends in raw mode, released at the end of the scope.
// The test plays the device on `master`; the code under test opens `path` (the slave).
#pragma once

#include <string>

struct pty_pair {
    int master = -1;
    int slave = -1; // kept open so the master does not read EIO between openings
    std::string path;
    pty_pair();
    pty_pair(const pty_pair &) = delete;
    pty_pair &operator=(const pty_pair &) = delete;
    ~pty_pair();
};
