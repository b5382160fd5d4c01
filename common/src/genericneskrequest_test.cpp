#include "common/src/genericneskrequest.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "common/base/winm/internal/winmlib.h"
#include "common/src/mockplatform.h"
#include "common/src/protocoltestsupport.h"
#include "common/src/updatecheckrequest/updatechecker.h"
#include "common/src/updatecheckrequest/zelupdater.h"

using namespace protocoltest;
using ::testing::_;
using ::testing::ElementsAreArray;
using ::testing::StrictMock;

namespace {

DWORD g_clock = 12345;
DWORD WINAPI FixedClock() {
    return g_clock;
}

// Fixes the request id source through the platform table, as the program
// would see a real timer.
class FixedClockTable {
  public:
    explicit FixedClockTable(DWORD ms) {
        g_clock = ms;
        table_.timeGetTime = &FixedClock;
        saved_ = g_winmLib;
        g_winmLib = &table_;
    }
    ~FixedClockTable() { g_winmLib = saved_; }

  private:
    WinmLib table_{};
    WinmLib* saved_;
};

const Bytes kZelRequest = {
    0x00, 0x01, 0x00, 0x00, 0x00, 0x36, 0x00, 0x01, 0x00, 0x28, 0x7A, 0x70, 0x6D, 0x2C, 0x31,
    0x2E, 0x30, 0x2E, 0x35, 0x37, 0x2C, 0x77, 0x69, 0x6E, 0x6D, 0x2D, 0x53, 0x6D, 0x61, 0x72,
    0x74, 0x50, 0x68, 0x6F, 0x6E, 0x65, 0x2D, 0x58, 0x59, 0x5A, 0x2C, 0x57, 0x65, 0x62, 0x2C,
    0x65, 0x6E, 0x5F, 0x55, 0x53, 0x00, 0x00, 0x00, 0x00, 0x77, 0x69, 0x6E, 0x6D, 0x00, 0x00,
    0x00, 0x00, 0x00, 0x16, 0x01, 0x00, 0x5E, 0xA8, 0x00, 0x05, 0x6B, 0x3A, 0x7A, 0x65, 0x6C,
    0x00, 0x00, 0x00, 0x00, 0x00, 0x05, 0x00, 0x03, 0x61, 0x62, 0x63};

Bytes UpgRequest() {
    // The header part is the ping's, up to the request block length.
    Bytes b(kZelRequest.begin(), kZelRequest.begin() + 60);
    const Bytes rest = {0x00, 0x00, 0x00, 0x52, 0x01, 0x00, 0x5E, 0xA8, 0x00, 0x08, 'k', ':', 'u',
                        'p', 'g', '/', 'g', 'n', 0x00, 0x00, 0x00, 0x00, 0x00, 0x3E,
                        // message
                        0x0A, 0x35, 0x12, 0x03, 0x7A, 0x70, 0x6D, 0x1A, 0x03, 0x63, 0x61, 0x62,
                        0x22, 0x13, 'w', 'i', 'n', 'm', '-', 'S', 'm', 'a', 'r', 't', 'P', 'h', 'o',
                        'n', 'e', '-', 'X', 'Y', 'Z', 0x2A, 0x03, 'W', 'e', 'b', 0x32, 0x05, 'e',
                        'n', '_', 'U', 'S', 0x3A, 0x06, 0x31, 0x2E, 0x30, 0x2E, 0x35, 0x37, 0x0A,
                        0x00, 0x1A, 0x05, 0x65, 0x6E, 0x5F, 0x55, 0x53};
    Append(b, rest);
    return b;
}

const Bytes kUpgResponse = {0x00, 0x01, 0x00, 0x00, 0x00, 0x23, 0x81, 0x00, 0x5E, 0xA8, 0x00,
                            0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x19, 0x08, 0x01, 0x12, 0x02,
                            0x68, 0x69, 0x1A, 0x02, 0x2F, 0x75, 0x22, 0x0D, 0x31, 0x32, 0x36,
                            0x32, 0x33, 0x30, 0x34, 0x30, 0x30, 0x30, 0x30, 0x30, 0x30};

TEST(ProtocolExamples, ZelRequestBodyByteForByte) {
    FixedClockTable clock(12345);
    FixedIdentity identity;
    ScriptedHttpFactory factory;
    StrictMock<MockPlatform> listener;
    ZelUpdater updater(&listener, &factory, &identity, "abc");
    ASSERT_EQ(factory.bodies.size(), 1u);
    EXPECT_EQ(factory.bodies[0].size(), 86u);
    EXPECT_THAT(factory.bodies[0], ElementsAreArray(kZelRequest));
    EXPECT_EQ(factory.urls[0], WINM_SERVICE_URL);
    EXPECT_EQ(factory.started, 1);
}

TEST(ProtocolExamples, UpdateCheckRequestAndAnswerByteForByte) {
    FixedClockTable clock(12345);
    FixedIdentity identity;
    ScriptedHttpFactory factory;
    StrictMock<MockPlatform> listener;
    UpdateChecker checker(&listener, &factory, &identity);
    ASSERT_EQ(factory.bodies.size(), 1u);
    EXPECT_EQ(factory.bodies[0].size(), 146u);
    EXPECT_THAT(factory.bodies[0], ElementsAreArray(UpgRequest()));

    EXPECT_EQ(kUpgResponse.size(), 43u);
    EXPECT_CALL(listener, UpdateCheckCompleted(1, _, _, _))
        .WillOnce([](int32_t, const KString& message, const KString& url,
                     const PackedDateTime& deadline) {
            EXPECT_EQ(Utf8(message), "hi");
            EXPECT_EQ(Utf8(url), "/u");
            EXPECT_EQ(deadline.dateWord, 0x5000u);  // 2010-01-01
            EXPECT_EQ(deadline.timeWord, 0u);
        });
    factory.Last()->Complete(kUpgResponse);
    EXPECT_FALSE(checker.IsRunning());
}

TEST(ProtocolExamples, EmptyCodeAndShortClientString) {
    FixedClockTable clock(1);
    FixedIdentity identity;
    identity.application = "abcde";  // 20-byte client string
    identity.version = "1";
    identity.deviceId = "dev";
    identity.channel = "ch";
    identity.language = "en_US";
    ScriptedHttpFactory factory;
    StrictMock<MockPlatform> listener;
    ZelUpdater updater(&listener, &factory, &identity, "");
    const Bytes& body = factory.bodies.at(0);
    ASSERT_EQ(body.size(), 63u);
    EXPECT_EQ(body[5], 34);   // header block length
    EXPECT_EQ(body[43], 19);  // request block length
    EXPECT_THAT(Bytes(body.end() - 6, body.end()), ElementsAreArray({0, 0, 0, 2, 0, 0}));
}

TEST(RequestId, MillisecondsTimesThousandLow16Bits) {
    FixedIdentity identity;
    ScriptedHttpFactory factory;
    for (DWORD ms : {0u, 1u, 12345u, 65536u, 0xFFFFFFFFu}) {
        FixedClockTable clock(ms);
        auto* request = WINM_NEW(ZelUpdateRequest)(&identity, &factory);
        ASSERT_TRUE(request->BuildBody());
        EXPECT_EQ(request->requestId(), static_cast<uint16_t>(ms * 1000u));
        EXPECT_EQ(request->requestId() % 8, 0);
        EXPECT_EQ(request->requestBody().Bytes()[66], request->requestId() >> 8);
        request->Cancel();
    }
}

TEST(RequestId, WithoutThePlatformTimerAnotherClockServes) {
    // No table at all, and a table whose timer entry is null: the timer is
    // never called and the id comes from the process's monotonic clock.
    FixedIdentity identity;
    ScriptedHttpFactory factory;
    WinmLib* saved = g_winmLib;
    WinmLib empty{};
    for (WinmLib* table : {static_cast<WinmLib*>(nullptr), &empty}) {
        g_winmLib = table;
        StrictMock<MockPlatform> listener;
        ZelUpdater updater(&listener, &factory, &identity, "abc");
        EXPECT_EQ(factory.Last()->started(), true);
        EXPECT_CALL(listener, ZelUpdateCompleted(_));
        factory.Last()->Complete();
    }
    g_winmLib = saved;
}

// The response walk, through a ping whose answer is the code it carries.
class ResponseWalk : public ::testing::Test {
  protected:
    // Runs one ping against response and returns the code the listener got
    // ("<unchanged>" when it kept the one sent).
    std::string Run(const Bytes& response, bool completes = true) {
        FixedClockTable clock(12345);
        ScriptedHttpFactory factory;
        StrictMock<MockPlatform> listener;
        std::string got = "<unchanged>";
        if (completes) {
            EXPECT_CALL(listener, ZelUpdateCompleted(_)).WillOnce([&](const KString& code) {
                got = Utf8(code);
            });
        } else {
            EXPECT_CALL(listener, ZelUpdateFailed());
        }
        ZelUpdater updater(&listener, &factory, &identity, "<unchanged>");
        factory.Last()->Complete(response);
        if (!completes)
            got = Utf8(updater.code());
        return got;
    }
    static Bytes Code(const char* text) {
        Bytes m;
        PutShort(m, static_cast<uint32_t>(strlen(text)));
        m.insert(m.end(), text, text + strlen(text));
        return m;
    }
    FixedIdentity identity;
    static constexpr uint16_t kId = 0x5EA8;
};

TEST_F(ResponseWalk, GoodAnswer) {
    EXPECT_EQ(Run(AnswerResponse(kId, Code("new"))), "new");
}

TEST_F(ResponseWalk, EmptyAndBadEnvelopesStillComplete) {
    EXPECT_EQ(Run({}), "<unchanged>");
    EXPECT_EQ(Run({0x00}), "<unchanged>");
    EXPECT_EQ(Run({0x00, 0x01}), "<unchanged>");
    Bytes v2 = AnswerResponse(kId, Code("new"));
    v2[1] = 2;
    EXPECT_EQ(Run(v2), "<unchanged>");
}

TEST_F(ResponseWalk, ForeignIdsAndOtherTypesAreSkipped) {
    EXPECT_EQ(Run(Response({Block(0x8100, AnswerBlockData(kId + 8, Code("foreign"))),
                            Block(0x0042, Bytes(300, 0x8F)),
                            Block(0x8100, AnswerBlockData(kId, Code("mine")))})),
              "mine");
    EXPECT_EQ(Run(Response({Block(0x8100, AnswerBlockData(kId + 8, Code("foreign")))})),
              "<unchanged>");
}

TEST_F(ResponseWalk, EveryMatchingBlockIsReadInOrder) {
    EXPECT_EQ(Run(Response({Block(0x8100, AnswerBlockData(kId, Code("first"))),
                            Block(0x8100, AnswerBlockData(kId, Code("second")))})),
              "second");
}

TEST_F(ResponseWalk, EveryCutOfAGoodResponseEndsQuietly) {
    const Bytes full =
        Response({Block(0x0001, {1, 2, 3}), Block(0x8100, AnswerBlockData(kId, Code("cut")))});
    for (size_t cut = 0; cut < full.size(); ++cut) {
        const std::string got = Run(Bytes(full.begin(), full.begin() + static_cast<long>(cut)));
        EXPECT_EQ(got, "<unchanged>") << cut;
    }
    EXPECT_EQ(Run(full), "cut");
}

TEST_F(ResponseWalk, LengthsPointingPastTheDataStopTheWalk) {
    Bytes r = AnswerResponse(kId, Code("x"));
    Bytes big = r;
    big[2] = 0x7F;  // block length far beyond the data
    EXPECT_EQ(Run(big), "<unchanged>");
    // Message length beyond the block: the request's own answer is cut, so
    // the ping fails rather than completing.
    Bytes msg = r;
    msg[2 + 6 + 6 + 3] = 0x40;
    EXPECT_EQ(Run(msg, false), "<unchanged>");
    // A final length field with nothing after it.
    Bytes tail = r;
    PutInt(tail, 5);
    EXPECT_EQ(Run(tail), "x");
}

TEST(GenericNeskRequest, FailuresBeforeSendingReachTheRequesterOnce) {
    FixedIdentity identity;
    {
        // The factory cannot make the HTTP request.
        ScriptedHttpFactory factory;
        factory.refuseCreate = true;
        StrictMock<MockPlatform> listener;
        EXPECT_CALL(listener, ZelUpdateFailed());
        ZelUpdater updater(&listener, &factory, &identity, "abc");
        EXPECT_EQ(factory.created, 1);
        EXPECT_FALSE(updater.IsRunning());
    }
    {
        // A code too long for its length field is never sent.
        ScriptedHttpFactory factory;
        StrictMock<MockPlatform> listener;
        EXPECT_CALL(listener, ZelUpdateFailed());
        std::string huge(70000, 'c');
        ZelUpdater updater(&listener, &factory, &identity, KString(huge.c_str()));
        EXPECT_EQ(factory.created, 0);
    }
    {
        // A client string too long for its 16-bit block.
        FixedIdentity longIdentity;
        longIdentity.deviceId = std::string(70000, 'd');
        ScriptedHttpFactory factory;
        StrictMock<MockPlatform> listener;
        EXPECT_CALL(listener, UpdateCheckFailed());
        UpdateChecker checker(&listener, &factory, &longIdentity);
        EXPECT_EQ(factory.created, 0);
    }
}

TEST(GenericNeskRequest, TransportFailureKeepsTheErrorInsideTheRequest) {
    FixedIdentity identity;
    ScriptedHttpFactory factory;
    StrictMock<MockPlatform> listener;
    ZelUpdater updater(&listener, &factory, &identity, "abc");
    EXPECT_CALL(listener, ZelUpdateFailed());
    factory.Last()->Deliver(AnswerResponse(0, {0, 1, 'z'}));  // partial bytes, then failure
    factory.Last()->Fail(2, "connectError [5]");
    EXPECT_EQ(Utf8(updater.code()), "abc");
}

// Level 1 says why an exchange failed: the status of an HTTP error, else
// the transport error text with what it means, else what kept the request
// from running.
TEST(GenericNeskRequest, FailureWarningNamesTheCause) {
    FixedIdentity identity;
    struct Case {
        int32_t status;
        const char* text;
        bool create;
        std::string warning;
    };
    // The endpoint's host:port, as the line names it.
    const std::string url = WINM_SERVICE_URL;
    const size_t begin = url.find("://") + 3;
    const std::string authority = url.substr(begin, url.find('/', begin) - begin);
    const Case cases[] = {
        {503, "wininetReadError [0]", true, "HTTP status 503"},
        {0, "wininetHttpError [0 12029]", true,
         "wininetHttpError [0 12029] (cannot connect to " + authority + ")"},
        {200, "wininetReadError [0]", true,
         "wininetReadError [0] (the connection closed before the whole answer arrived)"},
        {0, nullptr, false, "the request could not be made"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.warning);
        WarningLog log;
        ScriptedHttpFactory factory;
        factory.refuseCreate = !c.create;
        StrictMock<MockPlatform> listener;
        EXPECT_CALL(listener, ZelUpdateFailed());
        ZelUpdater updater(&listener, &factory, &identity, "abc");
        if (c.create)
            factory.Last()->Fail(0, c.text, c.status);
        EXPECT_THAT(WarningLog::lines(),
                    ::testing::ElementsAre(std::string("**W: distribution ping failed: ") +
                                           c.warning + "; the stored code stays"));
    }
}

TEST(GenericNeskRequest, EndpointIsTheConfiguredService) {
    EXPECT_EQ(Utf8(ProtocolEndpointUrl()), WINM_SERVICE_URL);
}

}  // namespace
