#include "common/base/winm/internal/winmworkerthread.h"

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <vector>

#include "common/base/trackedalloc.h"
#include "common/base/winm/internal/testing/testwindow.h"
#ifndef _WIN32
#include "wince/testing/kernel.h"
#endif

namespace {

// Reports `steps` numbered values one post at a time, then a final state,
// following the hand-off protocol; OnEvent collects them on the window thread.
class CountingWorker : public WinmWorkerThread {
  public:
    CountingWorker(WinmAppEventHandler* queue, int steps) : WinmWorkerThread(queue), steps(steps) {}
    ~CountingWorker() override {
        StopThread();
        CloseHandle(abortEvent);
    }

    DWORD Run() override {
        runs.fetch_add(1);
        for (int i = 0; i < steps; ++i) {
            if (blockInRun) {
                // Stand-in for a blocking platform call that Abort breaks,
                // or, with holdEvent, one that Abort does not break.
                WaitForSingleObject(holdEvent != nullptr ? holdEvent : abortEvent, INFINITE);
                sawStopAtAbort.store(StopRequested());
                return 1;
            }
            EnterCriticalSection(&lock);
            produced.push_back(i);
            LeaveCriticalSection(&lock);
            PostEvent();
        }
        EnterCriticalSection(&lock);
        finished = true;
        LeaveCriticalSection(&lock);
        PostEvent();
        WaitForStop();
        return 0;
    }
    void Abort() override {
        aborts.fetch_add(1);
        SetEvent(abortEvent);
    }
    void OnEvent(HWND window, UINT eventMessage, WPARAM) override {
        EXPECT_EQ(window, eventQueue->GetWindow());
        EXPECT_EQ(eventMessage, message);
        EnterCriticalSection(&lock);
        std::vector<int> fresh;
        fresh.swap(produced);
        bool end = finished;
        LeaveCriticalSection(&lock);
        ++events;
        if (fresh.empty() && !end)
            ++emptyEvents;
        received.insert(received.end(), fresh.begin(), fresh.end());
        seenFinished = end;
    }

    UINT Message() const { return message; }
    bool HasThread() const { return thread != nullptr; }
    HANDLE FinishedEvent() const { return finishedEvent; }

    int steps;
    bool blockInRun = false;
    HANDLE holdEvent = nullptr;
    HANDLE abortEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    std::atomic<int> runs{0};
    std::atomic<int> aborts{0};
    std::atomic<bool> sawStopAtAbort{false};
    std::vector<int> produced;  // guarded by lock
    bool finished = false;      // guarded by lock
    std::vector<int> received;
    bool seenFinished = false;
    int events = 0;
    int emptyEvents = 0;
};

class WorkerThreadTest : public ::testing::Test {
  protected:
    void SetUp() override {
        baseline = LiveBlockCount();
        window.SetQueue(&queue);
    }
    void TearDown() override { EXPECT_EQ(LiveBlockCount(), baseline); }

    TestWindow window;
    WinmAppEventHandler queue{window.Handle()};
    int baseline = 0;
};

TEST_F(WorkerThreadTest, ReportsReachTheWindowThreadInOrder) {
    CountingWorker worker(&queue, 500);
    EXPECT_EQ(worker.Message(), 0u);
    ASSERT_TRUE(worker.StartThread());
    EXPECT_EQ(worker.Message(), 0x8100u);
    ASSERT_TRUE(window.RunUntil([&] { return worker.seenFinished; }));
    ASSERT_EQ(worker.received.size(), 500u);
    for (int i = 0; i < 500; ++i)
        EXPECT_EQ(worker.received[i], i);
    worker.StopThread();
    EXPECT_FALSE(worker.HasThread());
    EXPECT_EQ(worker.aborts.load(), 1);
    // Unregistered: posts still in flight are declined by the queue.
    EXPECT_FALSE(queue.HandleMessage(window.Handle(), 0x8100, 0, 0));
    window.Drain();
}

TEST_F(WorkerThreadTest, SecondStartStartsNothing) {
    CountingWorker worker(&queue, 1);
    ASSERT_TRUE(worker.StartThread());
    UINT number = worker.Message();
    ASSERT_TRUE(worker.StartThread());
    EXPECT_EQ(worker.Message(), number);
    ASSERT_TRUE(window.RunUntil([&] { return worker.seenFinished; }));
    worker.StopThread();
    EXPECT_EQ(worker.runs.load(), 1);
    window.Drain();
}

TEST_F(WorkerThreadTest, StopBreaksABlockedBodyThroughAbort) {
    CountingWorker worker(&queue, 3);
    worker.blockInRun = true;
    ASSERT_TRUE(worker.StartThread());
    worker.StopThread();
    EXPECT_TRUE(worker.sawStopAtAbort.load());
    EXPECT_EQ(worker.aborts.load(), 1);
    EXPECT_TRUE(worker.received.empty());
}

TEST_F(WorkerThreadTest, StopBeforeTheBodyParksDoesNotBlock) {
    // The stop event stays set, so a body that reaches WaitForStop after
    // StopThread set it returns at once.
    for (int round = 0; round < 50; ++round) {
        CountingWorker worker(&queue, 2);
        ASSERT_TRUE(worker.StartThread());
        worker.StopThread();
        EXPECT_EQ(worker.runs.load(), 1);
    }
    window.Drain();
}

TEST_F(WorkerThreadTest, EventsOfADestroyedWorkerAreDropped) {
    auto worker = std::make_unique<CountingWorker>(&queue, 20);
    ASSERT_TRUE(worker->StartThread());
    UINT number = worker->Message();
    worker.reset();  // its posts are still waiting in the thread's queue
    CountingWorker next(&queue, 1);
    // A new worker takes the freed number and may see the stale posts; it
    // treats them like its own events and finds nothing new in them.
    ASSERT_TRUE(next.StartThread());
    EXPECT_EQ(next.Message(), number);
    ASSERT_TRUE(window.RunUntil([&] { return next.seenFinished; }));
    EXPECT_EQ(next.received, std::vector<int>{0});
    next.StopThread();
    window.Drain();
}

TEST_F(WorkerThreadTest, HandOverOfAWorkerThatReturnedMeanwhileEndsItInstead) {
    CountingWorker worker(&queue, 3);
    worker.blockInRun = true;
    worker.holdEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    ASSERT_TRUE(worker.StartThread());
    EXPECT_FALSE(worker.StopThreadWithin(10));  // Abort does not end the body
    EXPECT_EQ(worker.aborts.load(), 1);
    // The body returns between the timed-out stop and the hand-over.
    SetEvent(worker.holdEvent);
    ASSERT_EQ(WaitForSingleObject(worker.FinishedEvent(), 30000), WAIT_OBJECT_0);
    EXPECT_FALSE(worker.HandOverToThread());  // still the caller's to delete
    EXPECT_FALSE(worker.HasThread());
    EXPECT_EQ(worker.Message(), 0u);
    EXPECT_FALSE(queue.HandleMessage(window.Handle(), 0x8100, 0, 0));
    CloseHandle(worker.holdEvent);
    window.Drain();
}

// Only the host layer can be made to fail CreateThread on purpose.
#ifndef _WIN32
TEST_F(WorkerThreadTest, FailedThreadCreationIsReportedAndLeavesTheWorkerRegistered) {
    CountingWorker worker(&queue, 1);
    WinceKernelFailThreadCreation(1);
    bool started = worker.StartThread();
    WinceKernelFailThreadCreation(0);
    EXPECT_FALSE(started);
    EXPECT_FALSE(worker.HasThread());
    EXPECT_EQ(worker.Message(), 0x8100u);
    worker.StopThread();
    EXPECT_EQ(worker.Message(), 0u);
    EXPECT_EQ(worker.runs.load(), 0);
    EXPECT_EQ(worker.aborts.load(), 0);
    EXPECT_FALSE(queue.HandleMessage(window.Handle(), 0x8100, 0, 0));
}
#endif

TEST_F(WorkerThreadTest, ManyWorkersPostingAtOnceAreEachDeliveredInOrder) {
    constexpr int kWorkers = 8;
    constexpr int kSteps = 300;
    std::vector<std::unique_ptr<CountingWorker>> workers;
    for (int i = 0; i < kWorkers; ++i) {
        workers.push_back(std::make_unique<CountingWorker>(&queue, kSteps));
        ASSERT_TRUE(workers.back()->StartThread());
    }
    ASSERT_TRUE(window.RunUntil([&] {
        for (auto& w : workers)
            if (!w->seenFinished)
                return false;
        return true;
    }));
    for (auto& w : workers) {
        ASSERT_EQ(w->received.size(), static_cast<size_t>(kSteps));
        for (int i = 0; i < kSteps; ++i)
            EXPECT_EQ(w->received[i], i);
    }
    workers.clear();
    window.Drain();
}

TEST_F(WorkerThreadTest, StoppingWhileEventsAreBeingDeliveredIsSafe) {
    // Shutdown races: stop workers at every stage while the loop delivers.
    for (int round = 0; round < 100; ++round) {
        CountingWorker first(&queue, 5 + round % 7);
        auto second = std::make_unique<CountingWorker>(&queue, 3);
        ASSERT_TRUE(first.StartThread());
        ASSERT_TRUE(second->StartThread());
        int dispatched = 0;
        window.RunUntil([&] { return ++dispatched > round % 5 || first.seenFinished; });
        second.reset();
        ASSERT_TRUE(window.RunUntil([&] { return first.seenFinished; }));
        EXPECT_EQ(first.received.size(), static_cast<size_t>(5 + round % 7));
    }
    window.Drain();
}

}  // namespace
