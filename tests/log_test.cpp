#include "log.h"

#include <gtest/gtest.h>

#include <string>

#include "support/log_capture.h"

namespace
{

template <typename F> std::string stderr_of(F f)
{
    ::testing::internal::CaptureStderr();
    f();
    return ::testing::internal::GetCapturedStderr();
}

// The module[line] prefix and the errno clause are checked byte for byte on the command line.
TEST(Log, MaskAndLevelNames)
{
    log_capture restore; // puts the handler and the mask back at the end
    log_mask = 1;        // as at start-up, before any level is chosen
    EXPECT_EQ(stderr_of([] { stderr_logger(LOG_ERR, "x\n"); }), "");
    set_log_level(LOG_ERR);
    EXPECT_EQ(log_mask, 0xf);
    set_log_level(31);
    EXPECT_EQ(log_mask, -1);

    const char *const names[] = {"EMERGENCY", "ALERT",  "CRITICAL", "ERROR",
                                 "WARNING",   "NOTICE", "INFO",     "DEBUG"};
    for (int level = 0; level < 8; level++) {
        EXPECT_EQ(stderr_of([=] { stderr_logger(level, "n=%d\n", 4); }),
                  "[" + std::string(names[level]) + "] n=4\n");
    }
    EXPECT_EQ(stderr_of([] { stderr_logger(9, "x\n"); }), "[priority=9] x\n");
}

} // namespace
