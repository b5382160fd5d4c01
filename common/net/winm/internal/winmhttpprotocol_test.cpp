// Both protocol exchanges end to end through the platform layer: the
// distribution ping and the update check, built by the protocol requests,
// POSTed by the HTTP worker to a loopback service (directly and through a
// real proxy), answered, and parsed on the window thread.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "common/net/winm/internal/testing/httptestsupport.h"
#include "common/src/genericneskrequest.h"
#include "common/src/protocoltestsupport.h"
#include "common/src/updatecheckrequest/updatechecker.h"
#include "common/src/updatecheckrequest/zelupdater.h"

namespace {

using protocoltest::AnswerResponse;
using protocoltest::Bytes;

// Request body: version (2), header block (length 4, then the block), request
// block (length 4, type 2, id 2, payload). The id is found whichever way the
// block length counts its type.
bool RequestId(const std::string& body, uint16_t* id) {
    auto u32 = [&](size_t at) {
        return (static_cast<uint32_t>(static_cast<uint8_t>(body[at])) << 24) |
               (static_cast<uint32_t>(static_cast<uint8_t>(body[at + 1])) << 16) |
               (static_cast<uint32_t>(static_cast<uint8_t>(body[at + 2])) << 8) |
               static_cast<uint32_t>(static_cast<uint8_t>(body[at + 3]));
    };
    auto u16 = [&](size_t at) {
        return static_cast<uint16_t>((static_cast<uint8_t>(body[at]) << 8) |
                                     static_cast<uint8_t>(body[at + 1]));
    };
    if (body.size() < 6)
        return false;
    uint32_t headerLength = u32(2);
    for (size_t next :
         {6 + static_cast<size_t>(headerLength), 8 + static_cast<size_t>(headerLength)}) {
        if (next + 8 <= body.size() && u16(next + 4) == 0x0100) {
            *id = u16(next + 6);
            return true;
        }
    }
    return false;
}

std::string VarintString(uint8_t tag, const std::string& text) {
    return std::string(1, static_cast<char>(tag)) + static_cast<char>(text.size()) + text;
}

// The update service: answers the ping with a new distribution code and the
// update check with an offer; anything else with a 400.
void ServeProtocol(winmtest::Connection& c) {
    const std::string& body = c.request.body;
    uint16_t id = 0;
    if (c.request.method != "POST" || !RequestId(body, &id)) {
        c.Send(winmtest::Response(400, "bad request"));
        return;
    }
    std::string message;
    if (body.find("k:zel") != std::string::npos) {
        message = std::string("\x00\x08", 2) + "zel-7781";
    } else if (body.find("k:upg/gn") != std::string::npos) {
        message = std::string("\x08\x01", 2) + VarintString(0x12, "New version") +
                  VarintString(0x1A, "http://example.test/get") +
                  VarintString(0x22, "1262304000000");
    } else {
        c.Send(winmtest::Response(400, "unknown request"));
        return;
    }
    Bytes answer = AnswerResponse(id, Bytes(message.begin(), message.end()));
    std::string via = c.request.headers.count("via") ? "X-Seen-Via: yes\r\n" : "";
    c.Send(winmtest::Response(200, std::string(answer.begin(), answer.end()), via));
}

// The service runs for the whole test program; the endpoint's host and port
// are redirected to it before any worker runs.
winmtest::LoopbackServer* g_service = nullptr;
std::string rule;

// With a proxy the redirection would make the client tunnel to the service
// (CONNECT) instead of sending the request to the proxy; the proxy routes to
// the service itself. Changed only while no worker thread runs.
class NoRedirection {
  public:
    NoRedirection() { unsetenv("WINM_CONNECT_TO"); }
    ~NoRedirection() { setenv("WINM_CONNECT_TO", rule.c_str(), 1); }
};

class ServiceEnvironment : public winmtest::PlatformEnvironment {
  public:
    void SetUp() override {
        winmtest::PlatformEnvironment::SetUp();
        g_service = new winmtest::LoopbackServer(&ServeProtocol);
        std::string url = winmtest::ToStd(ProtocolEndpointUrl());
        std::string hostPort = url.substr(7, url.find('/', 7) - 7);
        rule = hostPort + ":127.0.0.1:" + std::to_string(g_service->Port());
        setenv("WINM_CONNECT_TO", rule.c_str(), 1);
    }
    void TearDown() override {
        delete g_service;
        g_service = nullptr;
        winmtest::PlatformEnvironment::TearDown();
    }
};

const auto* const kEnvironment = ::testing::AddGlobalTestEnvironment(new ServiceEnvironment);

class Listener : public PlatformInterface {
  public:
    void UpdateCheckFailed() override { ++checkFailed; }
    void UpdateCheckCompleted(int32_t n, const KString& m, const KString& u,
                              const PackedDateTime& deadline) override {
        ++checkCompleted;
        notification = n;
        message = winmtest::ToStd(m);
        url = winmtest::ToStd(u);
        upgradeBefore = SecondsFromDate(deadline);
    }
    void ZelUpdateCompleted(const KString& zel) override {
        ++zelCompleted;
        code = winmtest::ToStd(zel);
    }
    void ZelUpdateFailed() override { ++zelFailed; }

    int checkFailed = 0, checkCompleted = 0, zelCompleted = 0, zelFailed = 0;
    int32_t notification = -1;
    std::string message, url, code;
    uint32_t upgradeBefore = 0;
};

class ProtocolThroughPlatformTest : public winmtest::HttpFixture {
  protected:
    // Ping, then the update check, as the framework sequences them.
    void RunBoth() {
        auto* updater = WINM_NEW(ZelUpdater)(&listener, factory, &identity, KString("old"));
        ASSERT_TRUE(
            window->RunUntil([&] { return listener.zelCompleted + listener.zelFailed > 0; }));
        delete updater;
        auto* checker = WINM_NEW(UpdateChecker)(&listener, factory, &identity);
        ASSERT_TRUE(
            window->RunUntil([&] { return listener.checkCompleted + listener.checkFailed > 0; }));
        delete checker;
    }

    protocoltest::FixedIdentity identity;
    Listener listener;
};

TEST_F(ProtocolThroughPlatformTest, BothExchangesDirect) {
    size_t before = g_service->Requests().size();
    RunBoth();
    EXPECT_EQ(listener.zelCompleted, 1);
    EXPECT_EQ(listener.code, "zel-7781");
    EXPECT_EQ(listener.checkCompleted, 1);
    EXPECT_EQ(listener.notification, 1);
    EXPECT_EQ(listener.message, "New version");
    EXPECT_EQ(listener.url, "http://example.test/get");
    EXPECT_EQ(listener.upgradeBefore, 1262304000u);
    auto requests = g_service->Requests();
    ASSERT_EQ(requests.size(), before + 2);
    for (size_t i = before; i < requests.size(); ++i) {
        EXPECT_EQ(requests[i].path, "/m/appreq/mobilesearchapp");
        EXPECT_EQ(requests[i].headers["user-agent"], "WINM-TEST-USER-AGENT");
        EXPECT_EQ(requests[i].headers.count("via"), 0u);
    }
    EXPECT_EQ(WinceConnMgrGetCounters().attempts, 1);
}

TEST_F(ProtocolThroughPlatformTest, BothExchangesThroughTheProxy) {
    NoRedirection direct;
    winmtest::TinyProxy proxy(g_service->Port());
    ASSERT_TRUE(proxy.Ready());
    WinceConnMgrSetProxy(WinceConnMgrProxyMode::Fixed, proxy.Server());
    size_t before = g_service->Requests().size();
    RunBoth();
    EXPECT_EQ(listener.code, "zel-7781");
    EXPECT_EQ(listener.checkCompleted, 1);
    EXPECT_EQ(listener.url, "http://example.test/get");
    auto requests = g_service->Requests();
    ASSERT_EQ(requests.size(), before + 2);
    for (size_t i = before; i < requests.size(); ++i) {
        EXPECT_NE(requests[i].headers["via"].find("winmtestproxy"), std::string::npos);
        EXPECT_EQ(requests[i].headers["user-agent"], "WINM-TEST-USER-AGENT");
    }
}

TEST_F(ProtocolThroughPlatformTest, NoDataConnectionFailsBothOnce) {
    WinceConnMgrSetDefaultScript({{CONNMGR_STATUS_CONNECTIONFAILED}, 0});
    RunBoth();
    EXPECT_EQ(listener.zelFailed, 1);
    EXPECT_EQ(listener.zelCompleted, 0);
    EXPECT_EQ(listener.checkFailed, 1);
    EXPECT_EQ(listener.checkCompleted, 0);
}

TEST_F(ProtocolThroughPlatformTest, RequesterDeletedMidExchangeCancelsSilently) {
    for (int round = 0; round < 20; ++round) {
        auto* checker = WINM_NEW(UpdateChecker)(&listener, factory, &identity);
        int messages = 0;
        window->RunUntil([&] { return ++messages > round % 4 || listener.checkCompleted > 0; });
        int reported = listener.checkCompleted + listener.checkFailed;
        delete checker;
        window->Drain();
        EXPECT_EQ(listener.checkCompleted + listener.checkFailed, reported);
        listener.checkCompleted = listener.checkFailed = 0;
    }
}

}  // namespace
