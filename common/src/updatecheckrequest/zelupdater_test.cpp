#include "common/src/updatecheckrequest/zelupdater.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>

#include "common/base/winm/internal/winmlib.h"
#include "common/src/mockplatform.h"
#include "common/src/protocoltestsupport.h"

using namespace protocoltest;
using ::testing::_;
using ::testing::StrictMock;

namespace {

DWORD WINAPI Clock12345() {
    return 12345;
}

class ZelUpdaterTest : public ::testing::Test {
  protected:
    ZelUpdaterTest() {
        table_.timeGetTime = &Clock12345;
        saved_ = g_winmLib;
        g_winmLib = &table_;
    }
    ~ZelUpdaterTest() override { g_winmLib = saved_; }

    // Pings with code "abc" and answers with message; returns what the
    // listener was given.
    std::string PingAnswered(const Bytes& message) {
        std::string got = "<none>";
        EXPECT_CALL(listener, ZelUpdateCompleted(_)).WillOnce([&](const KString& code) {
            got = Utf8(code);
        });
        ZelUpdater updater(&listener, &factory, &identity, "abc");
        factory.Last()->Complete(AnswerResponse(0x5EA8, message));
        EXPECT_FALSE(updater.IsRunning());
        return got;
    }

    FixedIdentity identity;
    ScriptedHttpFactory factory;
    StrictMock<MockPlatform> listener;

  private:
    WinmLib table_{};
    WinmLib* saved_;
};

TEST_F(ZelUpdaterTest, AnswerReplacesTheCode) {
    EXPECT_EQ(PingAnswered({0x00, 0x03, 'x', 'y', 'z'}), "xyz");
    EXPECT_EQ(PingAnswered({0x00, 0x02, 0xC3, 0xA9}), "\xC3\xA9");
}

// A cut code would erase the device's attribution: the ping fails, says
// why, and the code stays. A well-formed empty code is stored.
TEST_F(ZelUpdaterTest, CutAnswerFailsAndKeepsTheCode) {
    EXPECT_EQ(PingAnswered({0x00, 0x00}), "");
    const Bytes cuts[] = {{}, {0x00}, {0x00, 0x10, 'z', 'e', 'l'}};
    for (const Bytes& cut : cuts) {
        WarningLog log;
        EXPECT_CALL(listener, ZelUpdateFailed());
        ZelUpdater updater(&listener, &factory, &identity, "abc");
        factory.Last()->Complete(AnswerResponse(0x5EA8, cut));
        EXPECT_EQ(Utf8(updater.code()), "abc");
        EXPECT_THAT(WarningLog::lines(),
                    ::testing::ElementsAre("**W: distribution ping failed: the service's answer "
                                           "could not be read; the stored code stays"));
    }
}

TEST_F(ZelUpdaterTest, NoMatchingAnswerKeepsTheCode) {
    EXPECT_CALL(listener, ZelUpdateCompleted(_)).WillOnce([](const KString& code) {
        EXPECT_EQ(Utf8(code), "abc");
    });
    ZelUpdater updater(&listener, &factory, &identity, "abc");
    factory.Last()->Complete(AnswerResponse(0x1234, {0x00, 0x01, 'q'}));
}

TEST_F(ZelUpdaterTest, FailureKeepsTheCodeAndReportsOnce) {
    EXPECT_CALL(listener, ZelUpdateFailed());
    ZelUpdater updater(&listener, &factory, &identity, "abc");
    factory.Last()->Fail(2, "connectError [12029]");
    EXPECT_EQ(Utf8(updater.code()), "abc");
    EXPECT_FALSE(updater.IsRunning());
}

TEST_F(ZelUpdaterTest, DeletingTheUpdaterCancelsSilently) {
    auto* updater = WINM_NEW(ZelUpdater)(&listener, &factory, &identity, "abc");
    ASSERT_NE(updater, nullptr);
    delete updater;
    EXPECT_EQ(factory.cancelled, 1);
    EXPECT_TRUE(factory.live.empty());
}

TEST_F(ZelUpdaterTest, ReportsForOtherRequestsAreIgnored) {
    ZelUpdater updater(&listener, &factory, &identity, "abc");
    GrowableArray body(1);
    TransportError error;
    auto* stray = factory.CreateRequest("http://x/", nullptr, &body, &error);
    updater.OnComplete(stray);
    updater.OnFailed(stray);
    EXPECT_TRUE(updater.IsRunning());
    stray->Cancel();
    EXPECT_CALL(listener, ZelUpdateFailed());
    factory.Last()->Fail(2, "x");
}

TEST_F(ZelUpdaterTest, ListenerMayStartTheNextExchangeFromItsCallback) {
    // As the application does: the ping's outcome starts the update check.
    // The updater has forgotten its request by then.
    ZelUpdater* updater = nullptr;
    EXPECT_CALL(listener, ZelUpdateCompleted(_)).WillOnce([&](const KString&) {
        EXPECT_FALSE(updater->IsRunning());
        factory.CreateRequest("http://next/", nullptr, nullptr, nullptr)->Cancel();
    });
    updater = WINM_NEW(ZelUpdater)(&listener, &factory, &identity, "abc");
    factory.Last()->Complete();
    delete updater;
    EXPECT_EQ(factory.cancelled, 1);  // only the one the listener made
}

TEST_F(ZelUpdaterTest, RequestThatCannotBeAllocatedFails) {
    EXPECT_CALL(listener, ZelUpdateFailed());
    const KString code = "abc";
    SetAllocatorFailureForTesting(true);
    ZelUpdater updater(&listener, &factory, &identity, code);
    SetAllocatorFailureForTesting(false);
    EXPECT_FALSE(updater.IsRunning());
    EXPECT_EQ(factory.created, 0);
}

}  // namespace
