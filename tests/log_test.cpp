#include "log.h"

#include "support/common.h"

// The module[line] prefix and the errno clause are checked byte for byte on the command line.
TEST(Log, MaskAndLevelNames)
{
    log_capture restore; // puts the handler and the mask back at the end
    const char *const names[] = {"EMERGENCY", "ALERT",  "CRITICAL", "ERROR",
                                 "WARNING",   "NOTICE", "INFO",     "DEBUG"};
    ::testing::internal::CaptureStderr();
    log_mask = 1; // as at start-up, before any level is chosen
    stderr_logger(LOG_ERR, "masked\n");
    set_log_level(LOG_ERR);
    EXPECT_EQ(log_mask, 0xf);
    set_log_level(31);
    EXPECT_EQ(log_mask, -1);
    std::string want;
    for (int level = 0; level < 8; level++) {
        stderr_logger(level, "n=%d\n", level);
        want += "[" + std::string(names[level]) + "] n=" + std::to_string(level) + "\n";
    }
    stderr_logger(9, "x\n");
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), want + "[priority=9] x\n");
}
