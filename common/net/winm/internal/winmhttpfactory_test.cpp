#include "common/net/winm/internal/winmhttpfactory.h"

#include <gtest/gtest.h>

#include "common/net/winm/internal/testing/httptestsupport.h"

namespace {

using winmtest::Connection;
using winmtest::Exchange;
using winmtest::LoopbackServer;
using winmtest::Response;

const auto* const kEnvironment =
    ::testing::AddGlobalTestEnvironment(new winmtest::PlatformEnvironment);

class HttpFactoryTest : public winmtest::HttpFixture {
  protected:
    void Exchange200(const LoopbackServer& server, Exchange& e) {
        e.Post(factory, server.Url());
        e.request->Start(&e);
        ASSERT_TRUE(Run(e));
    }
};

TEST_F(HttpFactoryTest, FirstRequestBringsTheConnectionUpOnce) {
    LoopbackServer server([](Connection& c) { c.Send(Response(200, "ok")); });
    Exchange a;
    Exchange b;
    a.Post(factory, server.Url());
    b.Post(factory, server.Url());
    // Both start at once: one attempt; the second waits for it and uses it.
    a.request->Start(&a);
    b.request->Start(&b);
    ASSERT_TRUE(window->RunUntil([&] { return a.Done() && b.Done(); }));
    EXPECT_EQ(a.completes, 1);
    EXPECT_EQ(b.completes, 1);
    EXPECT_TRUE(factory->HasEverConnected());
    // The Connection Manager's counters and scripts are the host layer's
    // (on Windows the desktop cellcore connects at once and counts nothing).
#ifndef _WIN32
    WinceConnMgrCounters counters = WinceConnMgrGetCounters();
    EXPECT_EQ(counters.attempts, 1);
    EXPECT_EQ(counters.openConnections, 1);
    ASSERT_TRUE(counters.lastRequest.has_value());
    const CONNMGR_CONNECTIONINFO& info = *counters.lastRequest;
    EXPECT_EQ(info.dwParams, static_cast<DWORD>(CONNMGR_PARAM_GUIDDESTNET));
    EXPECT_EQ(info.dwFlags, static_cast<DWORD>(CONNMGR_FLAG_PROXY_HTTP));
    EXPECT_EQ(info.dwPriority, static_cast<DWORD>(CONNMGR_PRIORITY_USERINTERACTIVE));
    EXPECT_TRUE(info.guidDestNet == IID_DestNetInternet);
    EXPECT_EQ(info.hWnd, window->Handle());
    EXPECT_EQ(info.uMsg, factory->MessageNumber());
    EXPECT_EQ(info.lParam, reinterpret_cast<LPARAM>(factory));
#endif

    // The held connection is checked and reused by the next request.
    Exchange c;
    Exchange200(server, c);
    EXPECT_EQ(c.completes, 1);
#ifndef _WIN32
    EXPECT_EQ(WinceConnMgrGetCounters().attempts, 1);
    EXPECT_GE(WinceConnMgrGetCounters().statusQueries, 2);

    // Released with caching allowed when the factory goes.
    delete factory;
    factory = nullptr;
    counters = WinceConnMgrGetCounters();
    EXPECT_EQ(counters.releases, 1);
    EXPECT_EQ(counters.cachedReleases, 1);
    EXPECT_EQ(counters.openConnections, 0);
#endif
}

// Linux only: these drop the connection and script its failure through the
// host layer's Connection Manager, and read its counters.
#ifndef _WIN32
TEST_F(HttpFactoryTest, DroppedConnectionIsReleasedAndReplaced) {
    LoopbackServer server([](Connection& c) { c.Send(Response(200, "ok")); });
    Exchange a;
    Exchange200(server, a);
    WinceConnMgrDropConnections();
    Exchange b;
    Exchange200(server, b);
    EXPECT_EQ(b.completes, 1);
    WinceConnMgrCounters counters = WinceConnMgrGetCounters();
    EXPECT_EQ(counters.attempts, 2);
    EXPECT_EQ(counters.releases, 1);
    EXPECT_EQ(counters.cachedReleases, 0);
    EXPECT_EQ(counters.openConnections, 1);
}

TEST_F(HttpFactoryTest, NoConnectionFailsWithCode2UntilOneWasEverMade) {
    LoopbackServer server([](Connection& c) { c.Send(Response(200, "ok")); });
    WinceConnMgrQueueScript({{CONNMGR_STATUS_CONNECTIONFAILED}, 0});
    Exchange a;
    Exchange200(server, a);
    EXPECT_EQ(a.fails, 1);
    EXPECT_EQ(a.error.code, 2);
    EXPECT_EQ(a.ErrorText().rfind("connectError [", 0), 0u) << a.ErrorText();
    EXPECT_FALSE(factory->HasEverConnected());
    EXPECT_EQ(server.Connections(), 0);

    Exchange b;
    Exchange200(server, b);
    EXPECT_EQ(b.completes, 1);

    WinceConnMgrDropConnections();
    WinceConnMgrQueueScript({{CONNMGR_STATUS_CONNECTIONFAILED}, 0});
    Exchange c;
    Exchange200(server, c);
    EXPECT_EQ(c.fails, 1);
    EXPECT_EQ(c.error.code, 0);
    EXPECT_EQ(c.ErrorText().rfind("connectError [", 0), 0u) << c.ErrorText();
}
#endif

TEST_F(HttpFactoryTest, CannotConnectDropsTheConnection) {
    LoopbackServer server([](Connection& c) { c.Send(Response(200, "ok")); });
    Exchange a;
    Exchange200(server, a);
    Exchange refused;
    refused.Post(factory, "http://127.0.0.1:" + std::to_string(winmtest::FreeLoopbackPort()) + "/");
    refused.request->Start(&refused);
    ASSERT_TRUE(Run(refused));
    EXPECT_EQ(refused.ErrorText(), "wininetHttpError [0 12029]");
    EXPECT_EQ(refused.error.code, 0);
#ifndef _WIN32
    WinceConnMgrCounters counters = WinceConnMgrGetCounters();
    EXPECT_EQ(counters.releases, 1);
    EXPECT_EQ(counters.cachedReleases, 0);
    EXPECT_EQ(counters.openConnections, 0);
#endif

    Exchange b;
    Exchange200(server, b);
    EXPECT_EQ(b.completes, 1);
#ifndef _WIN32
    EXPECT_EQ(WinceConnMgrGetCounters().attempts, 2);
#endif
}

TEST_F(HttpFactoryTest, StatusReportsSetTheConnectionState) {
    UINT number = factory->MessageNumber();
    HWND w = window->Handle();
    EXPECT_EQ(factory->GetConnectionState(), 0);
    auto report = [&](WPARAM status) {
        EXPECT_TRUE(queue->HandleMessage(w, number, status, reinterpret_cast<LPARAM>(factory)));
        return factory->GetConnectionState();
    };
    EXPECT_EQ(report(CONNMGR_STATUS_CONNECTED), 0);
    EXPECT_EQ(report(CONNMGR_STATUS_DISCONNECTED), 0);
    EXPECT_EQ(report(CONNMGR_STATUS_WAITINGCONNECTION), 2);
    EXPECT_EQ(report(CONNMGR_STATUS_UNKNOWN), 1);
    EXPECT_EQ(report(0x21), 0);
    // Linux only: the waiting attempt is a script of the host layer's
    // Connection Manager.
#ifndef _WIN32

    // A waiting attempt is seen on the window thread through the real loop.
    LoopbackServer server([](Connection& c) { c.Send(Response(200, "ok")); });
    WinceConnMgrQueueScript({{CONNMGR_STATUS_WAITINGCONNECTION, CONNMGR_STATUS_CONNECTED}, 200});
    Exchange e;
    e.Post(factory, server.Url());
    e.request->Start(&e);
    bool sawWaiting = false;
    ASSERT_TRUE(window->RunUntil([&] {
        sawWaiting |= factory->GetConnectionState() == 2;
        return e.Done();
    }));
    EXPECT_TRUE(sawWaiting);
    EXPECT_EQ(factory->GetConnectionState(), 0);
    EXPECT_EQ(e.completes, 1);
#endif
}

// Linux only: the proxy is tinyproxy (a Linux program), and the proxy the
// connection reports is set through the host layer's Connection Manager.
#ifndef _WIN32
TEST_F(HttpFactoryTest, ProxyReportedByTheConnectionIsUsed) {
    winmtest::TinyProxy proxy;
    ASSERT_TRUE(proxy.Ready());
    LoopbackServer server([](Connection& c) {
        auto via = c.request.headers.find("via");
        c.Send(Response(200, via == c.request.headers.end() ? "direct" : "via " + via->second));
    });
    WinceConnMgrSetProxy(WinceConnMgrProxyMode::Fixed, proxy.Server());
    Exchange e;
    Exchange200(server, e);
    EXPECT_EQ(e.completes, 1);
    EXPECT_NE(e.Body().find("winmtestproxy"), std::string::npos) << e.Body();
    EXPECT_EQ(server.Requests().at(0).body, e.requestText);
    EXPECT_EQ(server.Requests().at(0).headers["user-agent"], "WINM-TEST-USER-AGENT");
}

TEST_F(HttpFactoryTest, ProxyProviderErrorOrEmptyNameMeansDirect) {
    LoopbackServer server([](Connection& c) {
        c.Send(Response(200, c.request.headers.count("via") ? "proxied" : "direct"));
    });
    WinceConnMgrSetProxy(WinceConnMgrProxyMode::ProviderError);
    Exchange a;
    Exchange200(server, a);
    EXPECT_EQ(a.Body(), "direct");

    WinceConnMgrDropConnections();
    WinceConnMgrSetProxy(WinceConnMgrProxyMode::Fixed, u"");
    Exchange b;
    Exchange200(server, b);
    EXPECT_EQ(b.Body(), "direct");
}
#endif

TEST_F(HttpFactoryTest, StatusMessageAfterTheFactoryIsGoneIsDropped) {
    UINT number = factory->MessageNumber();
    delete factory;
    factory = nullptr;
    EXPECT_FALSE(queue->HandleMessage(window->Handle(), number, CONNMGR_STATUS_CONNECTED, 0));
}

TEST_F(HttpFactoryTest, CreatorsReturnNullWhenMemoryRunsOut) {
    GrowableArray body(1);
    TransportError error;
    KString url("http://127.0.0.1:1/");
    SetAllocatorFailureForTesting(true);
    HttpRequestInterface* post = factory->CreateRequest(url, &body, &body, &error);
    HttpRequestInterface* get = factory->CreateGetRequest(url, &body, &error);
    SetAllocatorFailureForTesting(false);
    EXPECT_EQ(post, nullptr);
    EXPECT_EQ(get, nullptr);
}

}  // namespace
