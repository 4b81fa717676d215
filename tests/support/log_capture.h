// Captures every log line (all levels admitted) for the life of the object, then restores
// the handler and the mask.
#pragma once

#include <cstdarg>
#include <cstdio>
#include <string>
#include <vector>

#include "log.h"

struct log_line {
    int level;
    std::string text;
};

struct log_capture {
    static inline std::vector<log_line> *active = nullptr;
    std::vector<log_line> lines;
    void (*saved_handler)(int, const char *, ...) = log_handler;
    int saved_mask = log_mask;

    log_capture()
    {
        active = &lines;
        log_mask = -1;
        log_handler = handler;
    }
    static void handler(int level, const char *fmt, ...)
    {
        char buf[4096];
        va_list ap;
        va_start(ap, fmt);
        vsnprintf(buf, sizeof buf, fmt, ap);
        va_end(ap);
        active->push_back({level, buf});
    }
    ~log_capture()
    {
        log_handler = saved_handler;
        log_mask = saved_mask;
    }
    // The texts with the "module[line]: " prefix removed.
    std::vector<std::string> bodies() const
    {
        std::vector<std::string> out;
        for (const auto &l : lines) {
            out.push_back(l.text.substr(l.text.find("]: ") + 3));
        }
        return out;
    }
};
