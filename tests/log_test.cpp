#include "log.h"

#include <gtest/gtest.h>

#include <string>

#include "support/log_capture.h"

namespace {

static constexpr char log_module[] = "logtest";

template <typename F> std::string stderr_of(F f)
{
    ::testing::internal::CaptureStderr();
    f();
    return ::testing::internal::GetCapturedStderr();
}

TEST(Log, MaskLevelNamesAndMacroPrefixes)
{
    log_capture restore; // puts the handler and the mask back at the end
    log_handler = stderr_logger;
    log_mask = 1; // as at start-up, before any level is chosen
    EXPECT_EQ(stderr_of([] { stderr_logger(LOG_ERR, "x\n"); }), "");
    set_log_level(LOG_ERR);
    EXPECT_EQ(log_mask, 0xf);
    EXPECT_EQ(stderr_of([] { LOG(LOG_WARNING, "x\n"); }), "");
    set_log_level(31);
    EXPECT_EQ(log_mask, -1);

    const char *const names[] = {"EMERGENCY", "ALERT",  "CRITICAL", "ERROR",
                                 "WARNING",   "NOTICE", "INFO",     "DEBUG"};
    for (int level = 0; level < 8; level++) {
        EXPECT_EQ(stderr_of([=] { stderr_logger(level, "n=%d\n", 4); }),
                  "[" + std::string(names[level]) + "] n=4\n");
    }
    EXPECT_EQ(stderr_of([] { stderr_logger(9, "x\n"); }), "[priority=9] x\n");

    auto log_open = [](int err) {
        return stderr_of([=] {
            errno = err;
            LOG_ERRNO(LOG_ERR, "open %s\n", "f");
        });
    };
    const std::string prefix = "[ERROR] logtest[" + std::to_string(__LINE__ - 3) + "]: ";
    EXPECT_EQ(log_open(ENOENT), prefix + "errno: " + strerror(ENOENT) + ", open f\n");
    EXPECT_EQ(log_open(0), prefix + "open f\n");
    int line = __LINE__ + 1;
    EXPECT_EQ(stderr_of([] { LOG(LOG_INFO, "v=%d\n", 7); }),
              "[INFO] logtest[" + std::to_string(line) + "]: v=7\n");
}

} // namespace
