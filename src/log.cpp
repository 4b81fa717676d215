// The default log handler and the process-wide level mask.
// stderr_logger checks the mask itself, so callers that skip the LOG macro stay filtered.
#include "log.h"

#include <array>
#include <cstdarg>
#include <cstdio>

static constexpr std::array<const char *, 8> level_names = {
    "EMERGENCY", "ALERT", "CRITICAL", "ERROR", "WARNING", "NOTICE", "INFO", "DEBUG",
};

void (*log_handler)(int level, const char *fmt, ...) = stderr_logger;
int log_mask = 1;

void stderr_logger(int level, const char *fmt, ...)
{
    if (level < 0 || level > 31 || !(log_mask & (1U << level))) {
        return;
    }
    if (level <= 7) {
        fprintf(stderr, "[%s] ", level_names[level]);
    } else {
        fprintf(stderr, "[priority=%d] ", level);
    }
    va_list ap;
    va_start(ap, fmt);
    vfprintf(stderr, fmt, ap);
    va_end(ap);
}

void set_log_level(int n)
{
    log_mask = n + 1 >= 32 ? -1 : static_cast<int>((1U << (n + 1)) - 1);
    setlogmask(log_mask);
}
