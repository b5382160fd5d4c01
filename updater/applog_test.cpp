#include "updater/applog.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <sstream>
#include <string>
#include <thread>

#include "common/base/log.h"
#include "common/base/trackedalloc.h"

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
    LogWarning("two\nlines");  // one call, one line: the break shows as escapes
    std::string written = ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(written, "**W: request failed [12029]\n**W: two\\r\\nlines\n");

    RemoveLog();
    ::testing::internal::CaptureStderr();
    LogWarning("no sink");
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");

    unsetenv("WINM_LOG_LEVEL");
    InstallLogFromEnvironment();
    EXPECT_EQ(LogLevel.load(), 0);
    RemoveLog();
}

TEST(AppLogTest, LinesOfTwoThreadsNeverMix) {
    setenv("WINM_LOG_LEVEL", "1", 1);
    InstallLogFromEnvironment();
    const std::string a(200, 'a'), b(200, 'b');
    ::testing::internal::CaptureStderr();
    auto writeLines = [](const std::string* text) {
        for (int i = 0; i < 200; ++i) {
            LogWarning("%s", text->c_str());
        }
    };
    std::thread first(writeLines, &a);
    std::thread second(writeLines, &b);
    first.join();
    second.join();
    std::istringstream written(::testing::internal::GetCapturedStderr());
    int lines = 0, mixed = 0;
    for (std::string line; std::getline(written, line); ++lines) {
        mixed += line != "**W: " + a && line != "**W: " + b;
    }
    EXPECT_EQ(lines, 400);
    EXPECT_EQ(mixed, 0);
    unsetenv("WINM_LOG_LEVEL");
    RemoveLog();
    LogLevel = 0;
}

TEST(AppLogTest, OutOfMemoryWarningsNeedNoMemory) {
    setenv("WINM_LOG_LEVEL", "1", 1);
    InstallLogFromEnvironment();
    ::testing::internal::CaptureStderr();
    SetAllocatorFailureForTesting(true);
    void* block = AllocTracked(24, "Widget", "", 0);
    SetAllocatorFailureForTesting(false);
    EXPECT_EQ(::testing::internal::GetCapturedStderr(),
              "**W: Could not allocate 24 bytes for a Widget\n");
    EXPECT_EQ(block, nullptr);
    unsetenv("WINM_LOG_LEVEL");
    RemoveLog();
    LogLevel = 0;
}

}  // namespace
