#include "support/log_capture.h"

#include <cstdarg>
#include <cstdio>

#include "log.h"

static log_capture *active_capture = nullptr;

static void capture_handler(int level, const char *fmt, ...)
{
    char buf[4096];
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(buf, sizeof buf, fmt, ap);
    va_end(ap);
    if (active_capture != nullptr) {
        active_capture->lines.push_back({level, buf});
    }
}

static void (*saved_handler)(int, const char *, ...);
static int saved_mask;

log_capture::log_capture()
{
    saved_handler = log_handler;
    saved_mask = log_mask;
    log_handler = capture_handler;
    log_mask = -1;
    active_capture = this;
}

log_capture::~log_capture()
{
    log_handler = saved_handler;
    log_mask = saved_mask;
    active_capture = nullptr;
}

std::vector<std::string> log_capture::bodies() const
{
    std::vector<std::string> out;
    for (const auto &l : lines) {
        auto p = l.text.find("]: ");
        out.push_back(p == std::string::npos ? l.text : l.text.substr(p + 3));
    }
    return out;
}

bool log_capture::contains(const std::string &body) const
{
    for (const auto &b : bodies()) {
        if (b == body) {
            return true;
        }
    }
    return false;
}
