#include "wince/kernel.h"

#include <gtest/gtest.h>

#include <pthread.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <set>
#include <thread>
#include <vector>

#include "wince/testing/kernel.h"

namespace {

constexpr DWORD kLongWait = 30000;  // generous bound: only a fault reaches it

struct ThreadArgs {
    HANDLE go;
    HANDLE done;
    std::atomic<DWORD> id{0};
};

DWORD WINAPI WaitThenSignal(LPVOID p) {
    auto* args = static_cast<ThreadArgs*>(p);
    args->id = GetCurrentThreadId();
    if (WaitForSingleObject(args->go, kLongWait) != WAIT_OBJECT_0)
        return 1;
    SetEvent(args->done);
    return 42;
}

TEST(Threads, RunAtOnceAndReportExitCodeThroughTheirHandle) {
    ThreadArgs args;
    args.go = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    args.done = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    DWORD id = 0;
    HANDLE thread = CreateThread(nullptr, 0, WaitThenSignal, &args, 0, &id);
    ASSERT_NE(thread, nullptr);
    EXPECT_EQ(WaitForSingleObject(thread, 0), WAIT_TIMEOUT);
    DWORD code = 0;
    EXPECT_TRUE(GetExitCodeThread(thread, &code));
    EXPECT_EQ(code, STILL_ACTIVE);

    SetEvent(args.go);
    EXPECT_EQ(WaitForSingleObject(thread, kLongWait), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(thread, 0), WAIT_OBJECT_0);  // stays signalled
    EXPECT_TRUE(GetExitCodeThread(thread, &code));
    EXPECT_EQ(code, 42u);
    EXPECT_EQ(args.id.load(), id);
    EXPECT_NE(id, GetCurrentThreadId());
    EXPECT_TRUE(CloseHandle(thread));
    CloseHandle(args.go);
    CloseHandle(args.done);
}

TEST(Threads, HandleMayBeClosedWhileTheThreadRuns) {
    ThreadArgs args;
    args.go = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    args.done = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    HANDLE thread = CreateThread(nullptr, 0, WaitThenSignal, &args, 0, nullptr);
    ASSERT_NE(thread, nullptr);
    EXPECT_TRUE(CloseHandle(thread));
    EXPECT_EQ(WaitForSingleObject(thread, 0), WAIT_FAILED);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    SetEvent(args.go);
    EXPECT_EQ(WaitForSingleObject(args.done, kLongWait), WAIT_OBJECT_0);
    CloseHandle(args.go);
    CloseHandle(args.done);
}

// Per-thread state that the C library frees after the thread's function
// returns (as OpenSSL's error queue is freed): it is gone once a wait on the
// handle returns, so nothing of the thread outlives what a waiter saw end.
std::atomic<bool> g_threadStateFreed{false};
pthread_key_t g_threadStateKey;

DWORD WINAPI KeepThreadState(LPVOID) {
    pthread_setspecific(g_threadStateKey, &g_threadStateFreed);
    return 0;
}

TEST(Threads, HandleIsSignalledOnlyOnceTheThreadHasEnded) {
    ASSERT_EQ(pthread_key_create(&g_threadStateKey,
                                 [](void* state) {
                                     // Slow clean-up: a handle signalled
                                     // before it ends is seen early.
                                     std::this_thread::sleep_for(std::chrono::milliseconds(50));
                                     static_cast<std::atomic<bool>*>(state)->store(true);
                                 }),
              0);
    for (int round = 0; round < 3; ++round) {
        g_threadStateFreed = false;
        HANDLE thread = CreateThread(nullptr, 0, KeepThreadState, nullptr, 0, nullptr);
        ASSERT_NE(thread, nullptr);
        EXPECT_EQ(WaitForSingleObject(thread, kLongWait), WAIT_OBJECT_0);
        EXPECT_TRUE(g_threadStateFreed.load()) << "round " << round;
        CloseHandle(thread);
    }
    pthread_key_delete(g_threadStateKey);
}

TEST(Threads, IdsAreDistinctPerThread) {
    std::set<DWORD> ids;
    std::mutex mutex;
    std::vector<std::thread> threads;
    for (int i = 0; i < 8; ++i)
        threads.emplace_back([&] {
            DWORD id = GetCurrentThreadId();
            EXPECT_EQ(id, GetCurrentThreadId());
            std::lock_guard<std::mutex> lock(mutex);
            ids.insert(id);
        });
    for (auto& t : threads)
        t.join();
    ids.insert(GetCurrentThreadId());
    EXPECT_EQ(ids.size(), 9u);
}

TEST(Threads, CreationFailuresAreReported) {
    EXPECT_EQ(CreateThread(nullptr, 0, nullptr, nullptr, 0, nullptr), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(CreateThread(nullptr, 0, WaitThenSignal, nullptr, CREATE_SUSPENDED, nullptr),
              nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_SUPPORTED));

    WinceKernelFailThreadCreation(1);
    ThreadArgs args;
    args.go = CreateEventW(nullptr, TRUE, TRUE, nullptr);
    args.done = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    EXPECT_EQ(CreateThread(nullptr, 0, WaitThenSignal, &args, 0, nullptr), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_ENOUGH_MEMORY));
    HANDLE thread = CreateThread(nullptr, 0, WaitThenSignal, &args, 0, nullptr);
    ASSERT_NE(thread, nullptr);  // only one failure was asked for
    EXPECT_EQ(WaitForSingleObject(thread, kLongWait), WAIT_OBJECT_0);
    CloseHandle(thread);
    CloseHandle(args.go);
    CloseHandle(args.done);
}

TEST(Events, ManualResetStaysSignalledUntilReset) {
    HANDLE event = CreateEventW(nullptr, TRUE, TRUE, nullptr);
    ASSERT_NE(event, nullptr);
    EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_OBJECT_0);
    EXPECT_TRUE(ResetEvent(event));
    EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_TIMEOUT);
    EXPECT_EQ(WaitForSingleObject(event, 20), WAIT_TIMEOUT);
    EXPECT_TRUE(SetEvent(event));
    EXPECT_EQ(WaitForSingleObject(event, INFINITE), WAIT_OBJECT_0);
    CloseHandle(event);
}

TEST(Events, AutoResetReleasesExactlyOneWaiterPerSet) {
    HANDLE event = CreateEventW(nullptr, FALSE, TRUE, nullptr);
    EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_TIMEOUT);  // the wait consumed it

    constexpr int kWaiters = 4;
    HANDLE ack = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    std::atomic<int> released{0};
    std::vector<std::thread> waiters;
    for (int i = 0; i < kWaiters; ++i)
        waiters.emplace_back([&] {
            if (WaitForSingleObject(event, kLongWait) == WAIT_OBJECT_0)
                released++;
            SetEvent(ack);
        });
    for (int i = 0; i < kWaiters; ++i) {
        SetEvent(event);
        ASSERT_EQ(WaitForSingleObject(ack, kLongWait), WAIT_OBJECT_0);
        // A set that woke more than one waiter would show here (or as a
        // second ack without another set).
        EXPECT_EQ(released.load(), i + 1);
    }
    for (auto& t : waiters)
        t.join();
    EXPECT_EQ(released.load(), kWaiters);
    EXPECT_EQ(WaitForSingleObject(ack, 0), WAIT_TIMEOUT);
    CloseHandle(ack);
    EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_TIMEOUT);
    CloseHandle(event);
}

TEST(Events, SetFromAnotherThreadWakesAnInfiniteWait) {
    HANDLE event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    std::thread setter([event] { SetEvent(event); });
    EXPECT_EQ(WaitForSingleObject(event, INFINITE), WAIT_OBJECT_0);
    setter.join();
    CloseHandle(event);
}

TEST(Events, NamedEventsAreRefused) {
    EXPECT_EQ(CreateEventW(nullptr, TRUE, FALSE, u"shared"), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_SUPPORTED));
}

TEST(Mutexes, OwnedRecursivelyByOneThreadAtATime) {
    HANDLE mutex = CreateMutexW(nullptr, TRUE, nullptr);
    ASSERT_NE(mutex, nullptr);
    EXPECT_EQ(WaitForSingleObject(mutex, 0), WAIT_OBJECT_0);  // recursive
    std::atomic<DWORD> other{0};
    std::atomic<BOOL> released{TRUE};
    std::thread([&] {
        other = WaitForSingleObject(mutex, 0);
        released = ReleaseMutex(mutex);
    }).join();
    EXPECT_EQ(other.load(), static_cast<DWORD>(WAIT_TIMEOUT));
    EXPECT_FALSE(released.load());
    EXPECT_TRUE(ReleaseMutex(mutex));
    EXPECT_TRUE(ReleaseMutex(mutex));
    EXPECT_FALSE(ReleaseMutex(mutex));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_OWNER));
    std::thread([&] { other = WaitForSingleObject(mutex, kLongWait); }).join();
    EXPECT_EQ(other.load(), static_cast<DWORD>(WAIT_OBJECT_0));
    CloseHandle(mutex);
}

// A named mutex exists while any process holds a handle to it; a second
// creation, here or in another process, opens it with ERROR_ALREADY_EXISTS.
TEST(Mutexes, NamedOnesExistOncePerLockLocation) {
    char dir[] = "/tmp/kernel-test-XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    setenv("WINM_REGISTRY", (std::string(dir) + "/reg.sqlite3").c_str(), 1);
    const char16_t* name = u"KernelTestMutex";

    // Another process creates it and holds it until told to go.
    int ready[2], go[2];
    ASSERT_EQ(pipe(ready), 0);
    ASSERT_EQ(pipe(go), 0);
    pid_t child = fork();
    if (child == 0) {
        HANDLE mine = CreateMutexW(nullptr, FALSE, name);
        char c = mine != nullptr && GetLastError() == ERROR_SUCCESS ? 'C' : 'E';
        if (write(ready[1], &c, 1) != 1 || read(go[0], &c, 1) < 0)
            _exit(2);
        _exit(0);
    }
    char c = 0;
    ASSERT_EQ(read(ready[0], &c, 1), 1);
    EXPECT_EQ(c, 'C');
    HANDLE opened = CreateMutexW(nullptr, TRUE, name);
    ASSERT_NE(opened, nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ALREADY_EXISTS));
    EXPECT_FALSE(ReleaseMutex(opened));  // opened, not taken
    HANDLE again = CreateMutexW(nullptr, FALSE, name);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ALREADY_EXISTS));
    // Names are case-sensitive.
    HANDLE other = CreateMutexW(nullptr, FALSE, u"kerneltestmutex");
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SUCCESS));
    CloseHandle(other);

    // It still exists here after its creator has gone, and no longer once
    // the last handle is closed.
    ASSERT_EQ(write(go[1], "x", 1), 1);
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_EQ(status, 0);
    CloseHandle(CreateMutexW(nullptr, FALSE, name));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ALREADY_EXISTS));
    CloseHandle(opened);
    CloseHandle(again);
    HANDLE fresh = CreateMutexW(nullptr, TRUE, name);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SUCCESS));
    EXPECT_TRUE(ReleaseMutex(fresh));
    CloseHandle(fresh);

    for (int fd : {ready[0], ready[1], go[0], go[1]})
        close(fd);
    unsetenv("WINM_REGISTRY");
    std::system((std::string("rm -rf ") + dir).c_str());
}

TEST(Handles, InvalidHandlesFailWithoutCrashing) {
    HANDLE bogus = reinterpret_cast<HANDLE>(static_cast<std::uintptr_t>(0x12345678));
    for (HANDLE h : {static_cast<HANDLE>(nullptr), bogus, INVALID_HANDLE_VALUE}) {
        SetLastError(0);
        EXPECT_EQ(WaitForSingleObject(h, 0), WAIT_FAILED);
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
        EXPECT_FALSE(SetEvent(h));
        EXPECT_FALSE(ResetEvent(h));
        EXPECT_FALSE(CloseHandle(h));
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    }
    // Closed handles are never reused for a new object.
    HANDLE first = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    CloseHandle(first);
    HANDLE second = CreateEventW(nullptr, TRUE, TRUE, nullptr);
    EXPECT_NE(first, second);
    EXPECT_FALSE(SetEvent(first));
    EXPECT_FALSE(CloseHandle(first));
    CloseHandle(second);
}

TEST(Handles, ThreadHandleIsNotAnEvent) {
    HANDLE go = CreateEventW(nullptr, TRUE, TRUE, nullptr);
    ThreadArgs args;
    args.go = go;
    args.done = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    HANDLE thread = CreateThread(nullptr, 0, WaitThenSignal, &args, 0, nullptr);
    EXPECT_FALSE(SetEvent(thread));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    DWORD code;
    EXPECT_FALSE(GetExitCodeThread(go, &code));
    EXPECT_EQ(WaitForSingleObject(thread, kLongWait), WAIT_OBJECT_0);
    CloseHandle(thread);
    CloseHandle(go);
    CloseHandle(args.done);
}

TEST(Handles, CloseWhileAnotherThreadWaitsKeepsTheWaitSafe) {
    HANDLE event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    HANDLE started = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    std::atomic<DWORD> result{0};
    std::thread waiter([&] {
        SetEvent(started);
        result = WaitForSingleObject(event, 200);
    });
    WaitForSingleObject(started, kLongWait);
    CloseHandle(event);
    waiter.join();
    // Either the wait began before the close and timed out, or after it and
    // failed; it never touches a destroyed object.
    EXPECT_TRUE(result == WAIT_TIMEOUT || result == WAIT_FAILED);
    CloseHandle(started);
}

TEST(CriticalSections, AreReentrantAndExcludeOtherThreads) {
    CRITICAL_SECTION section;
    InitializeCriticalSection(&section);
    EnterCriticalSection(&section);
    EnterCriticalSection(&section);  // same thread again: no deadlock
    std::atomic<int> otherGotIn{0};
    std::thread other([&] { otherGotIn = TryEnterCriticalSection(&section) ? 1 : 2; });
    other.join();
    EXPECT_EQ(otherGotIn.load(), 2);
    LeaveCriticalSection(&section);
    std::thread stillHeld([&] { otherGotIn = TryEnterCriticalSection(&section) ? 1 : 2; });
    stillHeld.join();
    EXPECT_EQ(otherGotIn.load(), 2);  // one leave per enter
    LeaveCriticalSection(&section);

    long counter = 0;
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&] {
            for (int i = 0; i < 10000; ++i) {
                EnterCriticalSection(&section);
                EnterCriticalSection(&section);
                ++counter;
                LeaveCriticalSection(&section);
                LeaveCriticalSection(&section);
            }
        });
    for (auto& t : threads)
        t.join();
    EXPECT_EQ(counter, 40000);
    DeleteCriticalSection(&section);
}

TEST(Clock, TickCountAndSleepAgree) {
    DWORD before = GetTickCount();
    Sleep(30);
    DWORD elapsed = GetTickCount() - before;  // unsigned: correct across the wrap
    EXPECT_GE(elapsed, 29u);
}

}  // namespace
