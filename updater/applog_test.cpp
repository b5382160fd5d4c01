#include "updater/applog.h"

#include <gtest/gtest.h>

#include <cstdlib>

#include "common/base/log.h"

namespace {

TEST(AppLogTest, LevelTextsOutsideTheDigitsGiveZero) {
    EXPECT_EQ(ParseLogLevel(nullptr), 0);
    EXPECT_EQ(ParseLogLevel(""), 0);
    EXPECT_EQ(ParseLogLevel("3"), 3);
    EXPECT_EQ(ParseLogLevel("03"), 3);
    EXPECT_EQ(ParseLogLevel("-1"), 0);
    EXPECT_EQ(ParseLogLevel("2x"), 0);
    EXPECT_EQ(ParseLogLevel(" 1"), 0);
    EXPECT_EQ(ParseLogLevel("99999999999999999999"), 9);
}

TEST(AppLogTest, ComposedLinesReachStderrAtTheChosenLevel) {
    setenv("WINM_LOG_LEVEL", "1", 1);
    InstallLogFromEnvironment();
    EXPECT_EQ(LogLevel.load(), 1);

    ::testing::internal::CaptureStderr();
    LogWarning("request failed [%d]", 12029);
    LogDebug("not at level 1");
    std::string written = ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(written, "**W: request failed [12029]\n");

    RemoveLog();
    ::testing::internal::CaptureStderr();
    LogWarning("no sink");
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");

    unsetenv("WINM_LOG_LEVEL");
    InstallLogFromEnvironment();
    EXPECT_EQ(LogLevel.load(), 0);
    RemoveLog();
}

}  // namespace
