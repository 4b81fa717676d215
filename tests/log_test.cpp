#include "log.h"

#include <gtest/gtest.h>

#include <string>

namespace {

static constexpr char log_module[] = "logtest";

// Runs each test with the default handler and restores the process-wide state after it.
struct Log : ::testing::Test {
    int saved_mask = log_mask;
    void (*saved_handler)(int, const char *, ...) = log_handler;
    void SetUp() override { log_handler = stderr_logger; }
    void TearDown() override
    {
        log_mask = saved_mask;
        log_handler = saved_handler;
    }
};

template <typename F> std::string stderr_of(F f)
{
    ::testing::internal::CaptureStderr();
    f();
    fflush(stderr);
    return ::testing::internal::GetCapturedStderr();
}

TEST_F(Log, MaskAdmitsOnlyTheChosenLevels)
{
    log_mask = 1; // as at start-up, before any level is chosen
    EXPECT_EQ(stderr_of([] { stderr_logger(LOG_ERR, "x\n"); }), "");
    set_log_level(LOG_ERR);
    EXPECT_EQ(log_mask, 0xf);
    EXPECT_EQ(stderr_of([] { stderr_logger(LOG_ERR, "x\n"); }), "[ERROR] x\n");
    EXPECT_EQ(stderr_of([] { LOG(LOG_WARNING, "x\n"); }), "");
    set_log_level(LOG_EMERG);
    EXPECT_EQ(stderr_of([] { LOG(LOG_ERR, "x\n"); }), "");
    set_log_level(31);
    EXPECT_EQ(log_mask, -1);
}

TEST_F(Log, PrefixesLevelNameOrPriority)
{
    const char *const names[] = {"EMERGENCY", "ALERT",  "CRITICAL", "ERROR",
                                 "WARNING",   "NOTICE", "INFO",     "DEBUG"};
    set_log_level(31);
    for (int level = 0; level < 8; level++) {
        SCOPED_TRACE(level);
        EXPECT_EQ(stderr_of([=] { stderr_logger(level, "n=%d\n", 4); }),
                  "[" + std::string(names[level]) + "] n=4\n");
    }
    EXPECT_EQ(stderr_of([] { stderr_logger(9, "x\n"); }), "[priority=9] x\n");
}

TEST_F(Log, MacrosAddModuleLineAndErrnoClause)
{
    set_log_level(LOG_DEBUG);
    int line = __LINE__ + 1;
    std::string plain = stderr_of([] { LOG(LOG_INFO, "v=%d\n", 7); });
    EXPECT_EQ(plain, "[INFO] logtest[" + std::to_string(line) + "]: v=7\n");

    std::string with_errno = stderr_of([] {
        errno = ENOENT;
        LOG_ERRNO(LOG_ERR, "open %s\n", "f");
    });
    EXPECT_EQ(with_errno.substr(with_errno.find("]: ")),
              "]: errno: " + std::string(strerror(ENOENT)) + ", open f\n");

    std::string without = stderr_of([] {
        errno = 0;
        LOG_ERRNO(LOG_ERR, "open %s\n", "f");
    });
    EXPECT_EQ(without.substr(without.find("]: ")), "]: open f\n");
}

} // namespace
