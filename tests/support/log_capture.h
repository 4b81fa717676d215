// Captures every log line (all levels admitted) for the life of the object, then restores
// the handler and the mask.
#pragma once

#include <string>
#include <vector>

struct log_line {
    int level;
    std::string text;
};

struct log_capture {
    log_capture();
    log_capture(const log_capture &) = delete;
    log_capture &operator=(const log_capture &) = delete;
    ~log_capture();
    // The texts with the "module[line]: " prefix removed.
    std::vector<std::string> bodies() const;
    bool contains(const std::string &body) const;
    std::vector<log_line> lines;
};
