// Events per second through the event queue: the queue alone (HandleMessage
// called directly) and the whole hand-off (a worker thread posting, the
// window thread's message loop delivering).
#include <benchmark/benchmark.h>

#include <atomic>

#include "common/base/winm/internal/testing/testwindow.h"
#include "common/base/winm/internal/winmappeventhandler.h"
#include "common/base/winm/internal/winmworkerthread.h"

namespace {

class CountingHandler : public WinmEventHandlerInterface {
  public:
    void HandleEvent(HWND, UINT, WPARAM, LPARAM) override { ++count; }
    int64_t count = 0;
};

void BM_QueueDeliver(benchmark::State& state) {
    static int token;
    HWND window = reinterpret_cast<HWND>(&token);
    WinmAppEventHandler queue(window);
    CountingHandler handler;
    UINT message = queue.AddHandler(&handler);
    for (auto _ : state)
        queue.HandleMessage(window, message, 0, 0);
    state.SetItemsProcessed(handler.count);
}
BENCHMARK(BM_QueueDeliver);

// Posts `events` events as fast as it can, then reports the end.
class Poster : public WinmWorkerThread {
  public:
    Poster(WinmAppEventHandler* queue, int64_t events) : WinmWorkerThread(queue), events(events) {}
    ~Poster() override { StopThread(); }
    DWORD Run() override {
        for (int64_t i = 0; i < events; ++i) {
            EnterCriticalSection(&lock);
            ++posted;
            LeaveCriticalSection(&lock);
            PostEvent();
        }
        WaitForStop();
        return 0;
    }
    void OnEvent(HWND, UINT, WPARAM) override { ++delivered; }
    int64_t events;
    int64_t posted = 0;  // guarded by lock
    int64_t delivered = 0;
};

void BM_WorkerToWindowThread(benchmark::State& state) {
    TestWindow window;
    WinmAppEventHandler queue(window.Handle());
    window.SetQueue(&queue);
    const int64_t events = state.range(0);
    int64_t total = 0;
    for (auto _ : state) {
        Poster poster(&queue, events);
        poster.StartThread();
        window.RunUntil([&] { return poster.delivered >= events; });
        total += poster.delivered;
    }
    state.SetItemsProcessed(total);
}
BENCHMARK(BM_WorkerToWindowThread)->Arg(10000)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
