// Cancellation and shutdown races of the HTTP worker: a cancelled request
// reports nothing, returns promptly and leaks nothing (the fixture checks the
// tracked allocator; ASan and TSan check the rest).
#include <gtest/gtest.h>

#include "common/net/winm/internal/testing/httptestsupport.h"

namespace {

using winmtest::Connection;
using winmtest::Exchange;
using winmtest::LoopbackServer;
using winmtest::Response;

const auto* const kEnvironment =
    ::testing::AddGlobalTestEnvironment(new winmtest::PlatformEnvironment);

class HttpCancelTest : public winmtest::HttpFixture {
  protected:
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

TEST_F(HttpCancelTest, WhileConnecting) {
    winmtest::BlackHolePort hole;
    ASSERT_TRUE(hole.Blocked());
    Exchange e;
    e.Post(factory, hole.Url());
    e.request->Start(&e);
    // The data connection comes up first; the worker then heads into the
    // TCP connect that never completes.
    ASSERT_TRUE(window->RunUntil([&] { return factory->HasEverConnected(); }));
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

}  // namespace
