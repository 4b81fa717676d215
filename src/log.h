// Process-wide logging: one handler with syslog's calling form and one level mask.
// Every line is "module[line]: " then, for error messages, the errno clause, then the body.
// The mask admits only level 0 until start-up calls set_log_level, so protocol inits stay quiet.
#pragma once

#include <syslog.h>
#include <cerrno>
#include <cstring>

// The active handler: stderr_logger by default, the system's syslog with -s or -d.
extern void (*log_handler)(int level, const char *fmt, ...) __attribute__((format(printf, 2, 3)));

// Bit n set: level n passes. Starts at 1 (EMERGENCY only).
extern int log_mask;

// Writes "[LEVEL] " and the formatted text to standard error when the mask admits the level.
void stderr_logger(int level, const char *fmt, ...) __attribute__((format(printf, 2, 3)));

// Admits levels 0 to n, here and in the system log (setlogmask).
void set_log_level(int n);

// Each .cpp that logs defines `static constexpr char log_module[] = "name";`.
// The mask test spares the formatting of traces that are off; the handler checks again.
#define LOG(level, fmt, ...)                                                                    \
    do {                                                                                        \
        if (log_mask & (1 << (level))) {                                                        \
            log_handler((level), "%s[%d]: " fmt, log_module, __LINE__, ##__VA_ARGS__);          \
        }                                                                                       \
    } while (0)

// Like LOG, with the errno clause "errno: <text>, " (empty when errno is 0) before the body.
// errno is read first, before anything in the macro can change it.
#define LOG_ERRNO(level, fmt, ...)                                                              \
    do {                                                                                        \
        int log_errno_ = errno;                                                                 \
        if (log_mask & (1 << (level))) {                                                        \
            log_handler((level), "%s[%d]: %s%s%s" fmt, log_module, __LINE__,                    \
                        log_errno_ ? "errno: " : "", log_errno_ ? strerror(log_errno_) : "",     \
                        log_errno_ ? ", " : "", ##__VA_ARGS__);                                 \
        }                                                                                       \
    } while (0)
