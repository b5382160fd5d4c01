// Cancellation and shutdown races of the HTTP worker: a cancelled request
// reports nothing, returns promptly and leaks nothing (the fixture checks the
// tracked allocator; ASan and TSan check the rest).
#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <set>

#include "common/net/winm/internal/testing/httptestsupport.h"
#ifndef _WIN32
#include "wince/testing/loader.h"
#endif

namespace {

using winmtest::Connection;
using winmtest::Exchange;
using winmtest::LoopbackServer;
using winmtest::Response;

const auto* const kEnvironment =
    ::testing::AddGlobalTestEnvironment(new winmtest::PlatformEnvironment);

// The Internet functions are wrapped to count opens and closes; at the end
// of each test no handle may be left open: the host layer counts its own,
// on Windows the wrappers keep the set of those opened and not yet closed.
WinmLib g_real;
std::mutex g_openMutex;
std::set<HINTERNET> g_openSet;
std::atomic<int> g_opened{0};
std::atomic<int> g_closeCalls{0};
std::atomic<bool> g_holdConnect{false};
HANDLE g_connectOpened = nullptr;
HANDLE g_someClosed = nullptr;

HINTERNET Counted(HINTERNET handle) {
    if (handle != nullptr) {
        g_opened.fetch_add(1);
        std::lock_guard<std::mutex> hold(g_openMutex);
        g_openSet.insert(handle);
    }
    return handle;
}

int OpenInternetHandles() {
#ifdef _WIN32
    std::lock_guard<std::mutex> hold(g_openMutex);
    return static_cast<int>(g_openSet.size());
#else
    return WinceInternetOpenHandles();
#endif
}

HINTERNET WINAPI OpenCounted(LPCWSTR agent, DWORD access, LPCWSTR proxy, LPCWSTR bypass,
                             DWORD flags) {
    return Counted(g_real.InternetOpenW(agent, access, proxy, bypass, flags));
}

HINTERNET WINAPI ConnectCounted(HINTERNET root, LPCWSTR server, INTERNET_PORT port, LPCWSTR user,
                                LPCWSTR password, DWORD service, DWORD flags, DWORD_PTR context) {
    HINTERNET handle = Counted(
        g_real.InternetConnectW(root, server, port, user, password, service, flags, context));
    if (g_holdConnect.load()) {
        // Let the cancel land between this call and the next step.
        SetEvent(g_connectOpened);
        WaitForSingleObject(g_someClosed, 30000);
    }
    return handle;
}

HINTERNET WINAPI OpenRequestCounted(HINTERNET connect, LPCWSTR verb, LPCWSTR object,
                                    LPCWSTR version, LPCWSTR referrer, LPCWSTR* accept, DWORD flags,
                                    DWORD_PTR context) {
    return Counted(
        g_real.HttpOpenRequestW(connect, verb, object, version, referrer, accept, flags, context));
}

HINTERNET WINAPI OpenUrlCounted(HINTERNET root, LPCWSTR url, LPCWSTR headers, DWORD length,
                                DWORD flags, DWORD_PTR context) {
    return Counted(g_real.InternetOpenUrlW(root, url, headers, length, flags, context));
}

BOOL WINAPI CloseCounted(HINTERNET handle) {
    g_closeCalls.fetch_add(1);
    BOOL ok = g_real.InternetCloseHandle(handle);
    {
        // Also when the close fails: closing a handle closes the handles
        // made from it, so a later close of one of those finds it gone.
        std::lock_guard<std::mutex> hold(g_openMutex);
        g_openSet.erase(handle);
    }
    SetEvent(g_someClosed);
    return ok;
}

#ifdef _WIN32
// Wine does not end a blocked WinInet call when its handle is closed (Win32
// does), so there a cancel waits this long for the worker and then hands the
// request over to it; the worker frees it once the call returns.
constexpr DWORD kStopWaitMs = 200;
#else
constexpr DWORD kStopWaitMs = 0;  // the default; calls end when closed
#endif

class HttpCancelTest : public winmtest::HttpFixture {
  protected:
    void SetUp() override {
        winmtest::HttpFixture::SetUp();
        WinmHttpRequest::SetTimeLimitForTesting(0, kStopWaitMs);
        g_real = *g_winmLib;
        g_opened = 0;
        g_closeCalls = 0;
        g_openSet.clear();
        openAtStart = OpenInternetHandles();
        g_holdConnect = false;
        g_connectOpened = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        g_someClosed = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        g_winmLib->InternetOpenW = &OpenCounted;
        g_winmLib->InternetConnectW = &ConnectCounted;
        g_winmLib->HttpOpenRequestW = &OpenRequestCounted;
        g_winmLib->InternetOpenUrlW = &OpenUrlCounted;
        g_winmLib->InternetCloseHandle = &CloseCounted;
        blocksAfterSetUp = LiveBlockCount();
    }
    void TearDown() override {
#ifdef _WIN32
        // A request handed over to a worker blocked in Wine ends once the
        // test's peer has gone away and the call returned.
        for (int i = 0; i < 30000 && (LiveBlockCount() > blocksAfterSetUp ||
                                      OpenInternetHandles() > openAtStart);
             ++i)
            Sleep(1);
#endif
        WinmHttpRequest::SetTimeLimitForTesting(0);
        winmtest::HttpFixture::TearDown();
        EXPECT_EQ(OpenInternetHandles(), openAtStart) << "Internet handles left open";
        *g_winmLib = g_real;
        CloseHandle(g_connectOpened);
        CloseHandle(g_someClosed);
    }

    int openAtStart = 0;
    int blocksAfterSetUp = 0;

    static void ExpectSilent(const Exchange& e) {
        EXPECT_FALSE(e.Done());
        EXPECT_TRUE(e.sizesAtData.empty());
    }
};

TEST_F(HttpCancelTest, BeforeStart) {
    Exchange e;
    e.Post(factory, "http://127.0.0.1:1/");
    e.Cancel();
    ExpectSilent(e);
}

TEST_F(HttpCancelTest, BetweenTwoStepsTheNewHandleIsClosedByTheWorker) {
    LoopbackServer server([](Connection& c) { c.Send(Response(200, "ok")); });
    g_holdConnect = true;
    Exchange e;
    e.Post(factory, server.Url());
    e.request->Start(&e);
    ASSERT_EQ(WaitForSingleObject(g_connectOpened, 30000), WAIT_OBJECT_0);
    // The connect handle exists but is not yet the request's: the cancel
    // closes the root handle, and the worker must close the connect handle.
    e.Cancel();
    window->Drain();
    ExpectSilent(e);
    EXPECT_EQ(g_opened.load(), 2);
    // The root by the cancel, the connect handle by the worker itself.
    EXPECT_EQ(g_closeCalls.load(), 2);
    EXPECT_EQ(OpenInternetHandles(), openAtStart);
    EXPECT_EQ(server.Connections(), 0);
}

TEST_F(HttpCancelTest, GetOpensNoConnectHandle) {
    LoopbackServer server([](Connection& c) { c.Send(Response(200, "ok")); });
    Exchange e;
    e.Get(factory, server.Url());
    e.request->Start(&e);
    ASSERT_TRUE(Run(e));
    EXPECT_EQ(e.completes, 1);
    // The root and the URL handle, both closed when the request went.
    EXPECT_EQ(g_opened.load(), 2);
    EXPECT_EQ(g_closeCalls.load(), 2);
}

TEST_F(HttpCancelTest, WhileConnecting) {
    winmtest::BlackHolePort hole;
    ASSERT_TRUE(hole.Blocked());
    Exchange e;
    e.Post(factory, hole.Url());
    e.request->Start(&e);
    // The data connection comes up first; the worker then heads into the
    // TCP connect that never completes. Polled: no message need follow the
    // moment the connection is recorded, so a loop waiting for one could
    // sleep until the connect times out.
    for (int i = 0; i < 30000 && !factory->HasEverConnected(); ++i)
        Sleep(1);
    ASSERT_TRUE(factory->HasEverConnected());
    // A connect that ended on its own leaves nothing to cancel.
    ASSERT_FALSE(e.Done()) << e.ErrorText();
    e.Cancel();
    window->Drain();
    ExpectSilent(e);
}

TEST_F(HttpCancelTest, WhileSending) {
    LoopbackServer server([](Connection& c) { c.Stall(); });
    Exchange e;
    e.Post(factory, server.Url());
    e.request->Start(&e);
    // The request has arrived; the worker waits for the answer inside the send.
    ASSERT_TRUE(server.WaitForRequests(1));
    e.Cancel();
    window->Drain();
    ExpectSilent(e);
}

TEST_F(HttpCancelTest, WhileReading) {
    LoopbackServer server([](Connection& c) {
        // One full read of 8,192 bytes, then a read that waits for more.
        c.Send("HTTP/1.1 200 OK\r\nContent-Length: 100000\r\n\r\n" + std::string(10000, 'p'));
        c.Stall();
    });
    Exchange e;
    e.Post(factory, server.Url());
    e.request->Start(&e);
    ASSERT_TRUE(window->RunUntil([&] { return !e.sizesAtData.empty(); }));
    e.Cancel();
    size_t seen = e.sizesAtData.size();
    window->Drain();
    EXPECT_FALSE(e.Done());
    EXPECT_EQ(e.sizesAtData.size(), seen);
    EXPECT_EQ(e.Body(), std::string(e.sizesAtData.back(), 'p'));
}

// The Connection Manager's scripts are the host layer's.
#ifndef _WIN32
TEST_F(HttpCancelTest, WhileTheConnectionManagerIsStillConnecting) {
    LoopbackServer server([](Connection& c) { c.Send(Response(200, "ok")); });
    // The attempt cannot be interrupted; the cancel waits for it to settle.
    WinceConnMgrQueueScript({{CONNMGR_STATUS_WAITINGCONNECTION, CONNMGR_STATUS_CONNECTED}, 300});
    Exchange e;
    e.Post(factory, server.Url());
    e.request->Start(&e);
    ASSERT_TRUE(window->RunUntil([&] { return factory->GetConnectionState() != 0; }));
    e.Cancel();
    window->Drain();
    ExpectSilent(e);
    EXPECT_EQ(server.Connections(), 0);
}
#endif

TEST_F(HttpCancelTest, AfterTheOutcomeWasPostedButBeforeDelivery) {
    LoopbackServer server([](Connection& c) { c.Send(Response(200, "late")); });
    Exchange e;
    e.Post(factory, server.Url());
    e.request->Start(&e);
    ASSERT_TRUE(server.WaitForRequests(1));
    server.Stop();  // the answer has been sent and the connection closed
    e.Cancel();
    window->Drain();
    ExpectSilent(e);
}

TEST_F(HttpCancelTest, AtEveryStageRepeatedly) {
    LoopbackServer server([](Connection& c) {
        c.Send("HTTP/1.1 200 OK\r\nConnection: close\r\n\r\n");
        for (int i = 0; i < 8; ++i)
            c.Send(std::string(4000, 'x'));
    });
    int completed = 0;
    for (int round = 0; round < 150; ++round) {
        Exchange keep;
        Exchange drop;
        keep.Post(factory, server.Url());
        drop.Post(factory, server.Url());
        keep.request->Start(&keep);
        drop.request->Start(&drop);
        int messages = 0;
        window->RunUntil([&] { return drop.Done() || ++messages > round % 12; });
        bool cancelled = !drop.Done();
        if (cancelled) {
            drop.Cancel();
        }
        // A report after the cancel would fail the exchange's own checks.
        ASSERT_TRUE(Run(keep));
        if (cancelled) {
            EXPECT_FALSE(drop.Done());
        }
        EXPECT_EQ(keep.completes, 1);
        EXPECT_EQ(keep.Body().size(), 32000u);
        completed += drop.completes;
    }
    window->Drain();
    RecordProperty("droppedRequestsThatCompletedFirst", completed);
}

TEST_F(HttpCancelTest, FactoryAndQueueTornDownAfterCancelledRequests) {
    LoopbackServer server([](Connection& c) { c.Stall(); });
    for (int round = 0; round < 20; ++round) {
        Exchange e;
        e.Post(factory, server.Url());
        e.request->Start(&e);
        if (round % 2 == 0) {
            ASSERT_TRUE(server.WaitForRequests(static_cast<size_t>(round / 2 + 1)));
        }
        ASSERT_TRUE(server.WaitForRequests(static_cast<size_t>(round / 2 + 1)));
        // The exchange's destructor cancels the running request.
    }
}

// The hard bound: whatever the peer does, the exchange fails with a time-out
// once its time is up, and is stopped as a cancel stops it.
TEST_F(HttpCancelTest, TimeLimitEndsAPeerThatDripsItsAnswer) {
    LoopbackServer server([](Connection& c) {
        c.Send("HTTP/1.1 200 OK\r\nContent-Length: 100000\r\n\r\n");
        c.Drip(std::string(100000, 'd'), 20);
    });
    WinmHttpRequest::SetTimeLimitForTesting(1000, kStopWaitMs);
    Exchange e;
    e.Post(factory, server.Url());
    e.request->Start(&e);
    ASSERT_TRUE(Run(e));
    EXPECT_EQ(e.fails, 1);
    EXPECT_EQ(e.error.code, 0);
    EXPECT_EQ(e.ErrorText(), "wininetReadError [12002]");
    // A read waits for a full piece, so few or no bytes were handed over.
    EXPECT_EQ(e.Body(), std::string(e.Body().size(), 'd'));
}

TEST_F(HttpCancelTest, TimeLimitEndsAPeerThatDripsItsHeadersOrStallsAfterThem) {
    for (bool stallAfterHeaders : {false, true}) {
        LoopbackServer server([&](Connection& c) {
            if (stallAfterHeaders) {
                c.Send("HTTP/1.1 200 OK\r\nContent-Length: 10\r\n\r\n");
                c.Stall();
            } else {
                c.Drip("HTTP/1.1 200 OK\r\nContent-Length: 10\r\n\r\n0123456789", 200);
            }
        });
        WinmHttpRequest::SetTimeLimitForTesting(1000, kStopWaitMs);
        Exchange e;
        e.Post(factory, server.Url());
        e.request->Start(&e);
        ASSERT_TRUE(Run(e));
        EXPECT_EQ(e.fails, 1);
        // No status yet, or the status but no body.
        EXPECT_EQ(e.error.code, stallAfterHeaders ? 0 : 2);
        EXPECT_EQ(e.ErrorText(),
                  stallAfterHeaders ? "wininetReadError [12002]" : "wininetHttpError [0 12002]");
        EXPECT_EQ(e.Body(), "");
    }
}

TEST_F(HttpCancelTest, TimeLimitEndsAStalledTlsHandshake) {
    // The server waits for a plain request's head, which the client's TLS
    // hello never completes: the handshake stalls.
    LoopbackServer server([](Connection& c) { c.Send(Response(200, "plain")); });
    WinmHttpRequest::SetTimeLimitForTesting(1000);
    std::string url = server.Url();
    url.replace(0, 4, "https");
    Exchange e;
    e.Post(factory, url);
    e.request->Start(&e);
    ASSERT_TRUE(Run(e));
    EXPECT_EQ(e.fails, 1);
    EXPECT_EQ(e.ErrorText(), "wininetHttpError [0 12002]");
    EXPECT_TRUE(server.Requests().empty());
}

// A tick before the bound (a coarse system tick, or one meant for an earlier
// request with the same number) does not end the exchange: the timer is set
// again for the rest, and the bound still ends it.
TEST_F(HttpCancelTest, AnEarlyTimerTickWaitsForTheRestOfTheBound) {
    LoopbackServer server([](Connection& c) { c.Stall(); });
    WinmHttpRequest::SetTimeLimitForTesting(1000, kStopWaitMs);
    Exchange e;
    e.Post(factory, server.Url());
    const DWORD begin = GetTickCount();
    e.request->Start(&e);
    ASSERT_TRUE(server.WaitForRequests(1));
    const UINT number = static_cast<WinmHttpRequest*>(e.request)->EventMessage();
    ASSERT_NE(number, 0u);
    // Without its own timer, only the one the early tick sets again can end
    // the exchange.
    ASSERT_TRUE(KillTimer(window->Handle(), number));
    ASSERT_TRUE(PostMessageW(window->Handle(), WM_TIMER, number, 0));
    window->Drain();
    EXPECT_FALSE(e.Done()) << "an early tick ended the exchange: " << e.ErrorText();
    ASSERT_TRUE(Run(e, 30000));
    EXPECT_GE(GetTickCount() - begin, 1000u);
    EXPECT_EQ(e.fails, 1);
    EXPECT_EQ(e.ErrorText(), "wininetHttpError [0 12002]");
}

// A call that a closed handle does not end (WinInet under Wine): the bound
// still ends the exchange, and the worker frees the request when the call
// finally returns.
HANDLE g_releaseSend = nullptr;
HANDLE g_sendEntered = nullptr;
BOOL WINAPI SendThatIgnoresCloses(HINTERNET request, LPCWSTR headers, DWORD length, LPVOID body,
                                  DWORD bodyLength) {
    if (g_sendEntered != nullptr)
        SetEvent(g_sendEntered);
    WaitForSingleObject(g_releaseSend, 30000);
    return g_real.HttpSendRequestW(request, headers, length, body, bodyLength);
}

// The same call met by a cancel: the cancel returns after the stop wait,
// reports nothing, and hands the request over to its worker.
TEST_F(HttpCancelTest, CancelDuringACallThatAClosedHandleDoesNotEndHandsTheRequestOver) {
    LoopbackServer server([](Connection& c) { c.Send(Response(200, "late")); });
    g_releaseSend = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    g_sendEntered = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    g_winmLib->HttpSendRequestW = &SendThatIgnoresCloses;
    WinmHttpRequest::SetTimeLimitForTesting(0, 200);
    const int blocksBefore = LiveBlockCount();
    {
        Exchange e;
        e.Post(factory, server.Url());
        e.request->Start(&e);
        ASSERT_EQ(WaitForSingleObject(g_sendEntered, 30000), WAIT_OBJECT_0);
        e.Cancel();
        window->Drain();
        ExpectSilent(e);
    }
    EXPECT_GT(LiveBlockCount(), blocksBefore);  // the worker's now
    SetEvent(g_releaseSend);
    for (int i = 0; i < 30000 && LiveBlockCount() != blocksBefore; ++i)
        Sleep(1);
    EXPECT_EQ(LiveBlockCount(), blocksBefore);
    window->Drain();
    EXPECT_EQ(server.Connections(), 0);  // the worker sent nothing once stopped
    CloseHandle(g_sendEntered);
    g_sendEntered = nullptr;
    CloseHandle(g_releaseSend);
}

TEST_F(HttpCancelTest, TimeLimitEndsACallThatAClosedHandleDoesNotEnd) {
    LoopbackServer server([](Connection& c) { c.Send(Response(200, "late")); });
    g_releaseSend = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    g_winmLib->HttpSendRequestW = &SendThatIgnoresCloses;
    WinmHttpRequest::SetTimeLimitForTesting(300, 200);
    const int blocksBefore = LiveBlockCount();
#ifndef _WIN32
    // Win32 shows no module's reference count; the host layer does.
    const int wininetRefsBefore = WinceLoaderReferenceCount(TEXT("wininet"));
#endif
    {
        Exchange e;
        e.Post(factory, server.Url());
        e.request->Start(&e);
        ASSERT_TRUE(Run(e));
        EXPECT_EQ(e.fails, 1);
        EXPECT_EQ(e.ErrorText(), "wininetHttpError [0 12002]");
    }
    // The request outlives its report until the call returns, and WinInet
    // stays loaded under the call even once the program unloads it.
    EXPECT_GT(LiveBlockCount(), blocksBefore);
#ifndef _WIN32
    EXPECT_EQ(WinceLoaderReferenceCount(TEXT("wininet")), wininetRefsBefore + 1);
#endif
    SetEvent(g_releaseSend);
    // Nothing is posted any more; the worker ends on its own.
    for (int i = 0; i < 30000 && LiveBlockCount() != blocksBefore; ++i)
        Sleep(1);
    EXPECT_EQ(LiveBlockCount(), blocksBefore);
    CloseHandle(g_releaseSend);
}

}  // namespace
