#include "common/base/winm/internal/winmappeventhandler.h"

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <vector>

#include "common/base/trackedalloc.h"

namespace {

HWND FakeWindow() {
    static int token;
    return reinterpret_cast<HWND>(&token);
}

struct Delivery {
    int handler;
    UINT message;
    WPARAM wParam;
    LPARAM lParam;
    int depth;
};

// Records every event it receives; an optional action runs inside HandleEvent.
class RecordingHandler final : public WinmEventHandlerInterface {
  public:
    RecordingHandler(int id, std::vector<Delivery>* log, int* depth)
        : id(id), log(log), depth(depth) {}
    void HandleEvent(HWND window, UINT message, WPARAM wParam, LPARAM lParam) override {
        EXPECT_EQ(window, FakeWindow());
        ++*depth;
        log->push_back({id, message, wParam, lParam, *depth});
        if (action)
            action(message, wParam);
        --*depth;
    }
    std::function<void(UINT, WPARAM)> action;

  private:
    int id;
    std::vector<Delivery>* log;
    int* depth;
};

class EventQueueTest : public ::testing::Test {
  protected:
    void SetUp() override { baseline = LiveBlockCount(); }
    void TearDown() override {
        // Every queued item was released.
        EXPECT_EQ(LiveBlockCount(), baseline);
    }
    RecordingHandler* Make(int id) {
        handlers.push_back(std::make_unique<RecordingHandler>(id, &log, &depth));
        return handlers.back().get();
    }

    WinmAppEventHandler queue{FakeWindow()};
    std::vector<std::unique_ptr<RecordingHandler>> handlers;
    std::vector<Delivery> log;
    int depth = 0;
    int baseline = 0;
};

TEST_F(EventQueueTest, MessagesOutsideTheTableAreNotEvents) {
    EXPECT_EQ(queue.GetWindow(), FakeWindow());
    EXPECT_FALSE(queue.HandleMessage(FakeWindow(), 0x80FF, 0, 0));
    EXPECT_FALSE(queue.HandleMessage(FakeWindow(), 0x8100, 0, 0));
    RecordingHandler* a = Make(1);
    EXPECT_EQ(queue.AddHandler(a), 0x8100u);
    EXPECT_FALSE(queue.HandleMessage(FakeWindow(), 0x8101, 0, 0));
    EXPECT_FALSE(queue.HandleMessage(FakeWindow(), WM_USER, 0, 0));
    queue.RemoveHandler(a);
    EXPECT_FALSE(queue.HandleMessage(FakeWindow(), 0x8100, 0, 0));
    EXPECT_TRUE(log.empty());
}

TEST_F(EventQueueTest, FreedSlotsAreReusedLowestFirst) {
    RecordingHandler* a = Make(1);
    RecordingHandler* b = Make(2);
    RecordingHandler* c = Make(3);
    RecordingHandler* d = Make(4);
    EXPECT_EQ(queue.AddHandler(a), 0x8100u);
    EXPECT_EQ(queue.AddHandler(b), 0x8101u);
    EXPECT_EQ(queue.AddHandler(c), 0x8102u);
    queue.RemoveHandler(b);
    EXPECT_EQ(queue.AddHandler(d), 0x8101u);
    EXPECT_EQ(queue.AddHandler(b), 0x8103u);

    EXPECT_TRUE(queue.HandleMessage(FakeWindow(), 0x8101, 7, -9));
    ASSERT_EQ(log.size(), 1u);
    EXPECT_EQ(log[0].handler, 4);
    EXPECT_EQ(log[0].message, 0x8101u);
    EXPECT_EQ(log[0].wParam, 7u);
    EXPECT_EQ(log[0].lParam, -9);
}

TEST_F(EventQueueTest, StaleEventOfAReusedSlotGoesToTheNewOccupant) {
    RecordingHandler* a = Make(1);
    RecordingHandler* b = Make(2);
    UINT number = queue.AddHandler(a);
    queue.RemoveHandler(a);
    EXPECT_EQ(queue.AddHandler(b), number);
    EXPECT_TRUE(queue.HandleMessage(FakeWindow(), number, 0, 0));
    ASSERT_EQ(log.size(), 1u);
    EXPECT_EQ(log[0].handler, 2);
}

TEST_F(EventQueueTest, EventsRaisedInsideAHandlerWaitUntilItReturns) {
    RecordingHandler* a = Make(1);
    RecordingHandler* b = Make(2);
    UINT ma = queue.AddHandler(a);
    UINT mb = queue.AddHandler(b);
    // a's handler makes two more events reach the queue (as a nested message
    // loop would); both are accepted at once and delivered afterwards, in order.
    a->action = [&](UINT, WPARAM wParam) {
        if (wParam != 0)
            return;
        EXPECT_TRUE(queue.HandleMessage(FakeWindow(), mb, 1, 0));
        EXPECT_TRUE(queue.HandleMessage(FakeWindow(), ma, 2, 0));
        EXPECT_EQ(queue.PendingCount(), 3);  // the running item is still queued
        EXPECT_EQ(log.size(), 1u);
    };
    b->action = [&](UINT, WPARAM) { EXPECT_TRUE(queue.HandleMessage(FakeWindow(), ma, 3, 0)); };
    EXPECT_TRUE(queue.HandleMessage(FakeWindow(), ma, 0, 0));
    ASSERT_EQ(log.size(), 4u);
    EXPECT_EQ(log[0].handler, 1);
    EXPECT_EQ(log[1].handler, 2);
    EXPECT_EQ(log[2].handler, 1);
    EXPECT_EQ(log[2].wParam, 2u);
    EXPECT_EQ(log[3].handler, 1);
    EXPECT_EQ(log[3].wParam, 3u);
    for (const Delivery& d : log)
        EXPECT_EQ(d.depth, 1);
    EXPECT_EQ(queue.PendingCount(), 0);
}

TEST_F(EventQueueTest, EventOfAHandlerRemovedByAnEarlierEventIsDropped) {
    RecordingHandler* a = Make(1);
    RecordingHandler* b = Make(2);
    RecordingHandler* c = Make(3);
    UINT ma = queue.AddHandler(a);
    UINT mb = queue.AddHandler(b);
    UINT mc = queue.AddHandler(c);
    a->action = [&](UINT, WPARAM) {
        EXPECT_TRUE(queue.HandleMessage(FakeWindow(), mb, 0, 0));
        EXPECT_TRUE(queue.HandleMessage(FakeWindow(), mc, 0, 0));
        queue.RemoveHandler(b);
    };
    EXPECT_TRUE(queue.HandleMessage(FakeWindow(), ma, 0, 0));
    ASSERT_EQ(log.size(), 2u);
    EXPECT_EQ(log[0].handler, 1);
    EXPECT_EQ(log[1].handler, 3);
}

TEST_F(EventQueueTest, QueuedEventIsDroppedWhenItsSlotChangesHands) {
    RecordingHandler* a = Make(1);
    RecordingHandler* b = Make(2);
    RecordingHandler* c = Make(3);
    UINT ma = queue.AddHandler(a);
    UINT mb = queue.AddHandler(b);
    a->action = [&](UINT, WPARAM) {
        EXPECT_TRUE(queue.HandleMessage(FakeWindow(), mb, 0, 0));
        queue.RemoveHandler(b);
        EXPECT_EQ(queue.AddHandler(c), mb);
    };
    EXPECT_TRUE(queue.HandleMessage(FakeWindow(), ma, 0, 0));
    ASSERT_EQ(log.size(), 1u);
    EXPECT_EQ(log[0].handler, 1);
}

TEST_F(EventQueueTest, EventIsStillDeliveredWhenNoItemCanBeAllocated) {
    RecordingHandler* a = Make(1);
    RecordingHandler* b = Make(2);
    UINT ma = queue.AddHandler(a);
    UINT mb = queue.AddHandler(b);
    a->action = [&](UINT, WPARAM) {
        // Inside a delivery an event without an item is dropped rather than
        // delivered nested.
        EXPECT_TRUE(queue.HandleMessage(FakeWindow(), mb, 0, 0));
    };
    SetAllocatorFailureForTesting(true);
    bool handled = queue.HandleMessage(FakeWindow(), ma, 0, 0);
    SetAllocatorFailureForTesting(false);
    EXPECT_TRUE(handled);
    ASSERT_EQ(log.size(), 1u);
    EXPECT_EQ(log[0].handler, 1);
    EXPECT_EQ(log[0].depth, 1);
}

TEST_F(EventQueueTest, TableIsBoundedByTheApplicationMessageRange) {
    RecordingHandler* a = Make(1);
    UINT last = 0;
    for (UINT i = 0; i <= WinmAppEventHandler::kLastMessage - WinmAppEventHandler::kFirstMessage;
         ++i) {
        last = queue.AddHandler(a);
    }
    EXPECT_EQ(last, WinmAppEventHandler::kLastMessage);
    EXPECT_EQ(queue.AddHandler(a), 0u);
    EXPECT_TRUE(queue.HandleMessage(FakeWindow(), WinmAppEventHandler::kLastMessage, 0, 0));
    EXPECT_FALSE(queue.HandleMessage(FakeWindow(), WinmAppEventHandler::kLastMessage + 1, 0, 0));
}

}  // namespace
