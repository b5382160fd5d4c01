#include "wince/window.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "instancelock.h"
#include "wince/kernel.h"
#include "wince/resources.h"
#include "wince/testing/hostlog.h"
#include "wince/testing/runtimedir.h"

extern char** environ;

namespace {

constexpr DWORD kLongWait = 30000;  // generous bound: only a fault reaches it

// ---------------------------------------------------------------------------
// Window procedures that record what they receive.

struct Received {
    UINT message;
    WPARAM wParam;
    LPARAM lParam;
    DWORD thread;
};

thread_local std::vector<Received>* t_log = nullptr;
std::atomic<int> g_destroyCount{0};
std::atomic<bool> g_postQuitOnDestroy{false};

LRESULT CALLBACK RecordingProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (t_log)
        t_log->push_back({message, wParam, lParam, GetCurrentThreadId()});
    if (message == WM_DESTROY) {
        g_destroyCount++;
        // Still a window while WM_DESTROY runs, as on Windows.
        EXPECT_TRUE(IsWindow(window));
        if (g_postQuitOnDestroy)
            PostQuitMessage(7);
        return 0;
    }
    return DefWindowProcW(window, message, wParam, lParam);
}

std::u16string UniqueClass(const char* what) {
    static std::atomic<int> counter{0};
    std::string name =
        "WinceTest-" + std::to_string(getpid()) + "-" + what + "-" + std::to_string(counter++);
    return std::u16string(name.begin(), name.end());
}

void Register(const std::u16string& name, WNDPROC proc = RecordingProc) {
    WNDCLASSW wc = {};
    wc.style = CS_VREDRAW | CS_HREDRAW | CS_DBLCLKS;
    wc.lpfnWndProc = proc;
    wc.lpszClassName = name.c_str();
    ASSERT_NE(RegisterClassW(&wc), 0);
}

HWND Create(const std::u16string& cls, const WCHAR* title = u"title") {
    return CreateWindowExW(0, cls.c_str(), title, 0, CW_USEDEFAULT, CW_USEDEFAULT, CW_USEDEFAULT,
                           CW_USEDEFAULT, nullptr, nullptr, nullptr, nullptr);
}

// Runs the calling thread's loop until WM_QUIT; returns its exit code, or -1
// (and fails the test) if no WM_QUIT comes within a generous deadline.
int RunLoop() {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    MSG msg;
    for (;;) {
        if (!PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
            if (std::chrono::steady_clock::now() > deadline) {
                ADD_FAILURE() << "no WM_QUIT";
                return -1;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
            continue;
        }
        if (msg.message == WM_QUIT)
            return static_cast<int>(msg.wParam);
        TranslateMessage(&msg);
        DispatchMessageW(&msg);
    }
}

// ---------------------------------------------------------------------------

TEST(WindowClasses, NamesAreCaseInsensitiveAndUnique) {
    std::u16string name = UniqueClass("cls");
    Register(name);
    std::u16string upper = name;
    for (auto& c : upper)
        if (c >= u'a' && c <= u'z')
            c = static_cast<char16_t>(c - 32);
    WNDCLASSW wc = {};
    wc.lpfnWndProc = RecordingProc;
    wc.lpszClassName = upper.c_str();
    EXPECT_EQ(RegisterClassW(&wc), 0);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_CLASS_ALREADY_EXISTS));

    HWND window = Create(upper);  // created through the other spelling
    ASSERT_NE(window, nullptr);
    EXPECT_EQ(FindWindowW(name.c_str(), nullptr), window);
    EXPECT_EQ(FindWindowW(upper.c_str(), u"TITLE"), window);
    EXPECT_EQ(FindWindowW(name.c_str(), u"other"), nullptr);
    EXPECT_TRUE(DestroyWindow(window));
    EXPECT_EQ(FindWindowW(name.c_str(), nullptr), nullptr);

    EXPECT_EQ(Create(UniqueClass("unregistered")), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_CANNOT_FIND_WND_CLASS));
    wc.lpszClassName = nullptr;
    EXPECT_EQ(RegisterClassW(&wc), 0);
    EXPECT_EQ(RegisterClassW(nullptr), 0);
}

LRESULT CALLBACK RefuseCreateProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_CREATE)
        return -1;
    return RecordingProc(window, message, wParam, lParam);
}

// Answers 0 to everything, WM_NCCREATE included, as a procedure that does
// not hand unknown messages to DefWindowProcW.
LRESULT CALLBACK AnswerZeroProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    RecordingProc(window, message, wParam, lParam);
    return 0;
}

TEST(Windows, CreationSendsTheDesktopCreationMessagesBeforeReturning) {
    std::u16string name = UniqueClass("create");
    Register(name);
    std::vector<Received> log;
    t_log = &log;
    HWND window = Create(name, u"hidden");
    t_log = nullptr;
    ASSERT_NE(window, nullptr);
    ASSERT_EQ(log.size(), 3u);
    EXPECT_EQ(log[0].message, WM_NCCREATE);
    EXPECT_EQ(log[1].message, WM_NCCALCSIZE);
    EXPECT_EQ(log[2].message, WM_CREATE);
    EXPECT_FALSE(IsWindowVisible(window));  // no WS_VISIBLE: stays hidden
    EXPECT_TRUE(UpdateWindow(window));
    DestroyWindow(window);

    std::u16string refused = UniqueClass("refused");
    Register(refused, RefuseCreateProc);
    int destroysBefore = g_destroyCount;
    EXPECT_EQ(Create(refused), nullptr);
    EXPECT_EQ(g_destroyCount, destroysBefore + 1);
    EXPECT_EQ(FindWindowW(refused.c_str(), nullptr), nullptr);

    // 0 from WM_NCCREATE refuses the window before WM_CREATE, without
    // WM_DESTROY, and frees its class for the next one.
    std::u16string zero = UniqueClass("zero");
    Register(zero, AnswerZeroProc);
    destroysBefore = g_destroyCount;
    t_log = &log;
    log.clear();
    EXPECT_EQ(Create(zero), nullptr);
    t_log = nullptr;
    ASSERT_EQ(log.size(), 1u);
    EXPECT_EQ(log[0].message, WM_NCCREATE);
    EXPECT_EQ(g_destroyCount, destroysBefore);
    EXPECT_EQ(FindWindowW(zero.c_str(), nullptr), nullptr);
}

TEST(Windows, DestroySendsWmDestroySynchronouslyAndInvalidatesTheHandle) {
    std::u16string name = UniqueClass("destroy");
    Register(name);
    HWND window = Create(name);
    ASSERT_NE(window, nullptr);
    EXPECT_TRUE(PostMessageW(window, WM_APP + 1, 0, 0));  // queued, never delivered

    std::vector<Received> log;
    t_log = &log;
    EXPECT_TRUE(DestroyWindow(window));
    t_log = nullptr;
    ASSERT_EQ(log.size(), 1u);
    EXPECT_EQ(log[0].message, WM_DESTROY);
    EXPECT_EQ(log[0].thread, GetCurrentThreadId());

    EXPECT_FALSE(IsWindow(window));
    EXPECT_FALSE(PostMessageW(window, WM_APP, 0, 0));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_WINDOW_HANDLE));
    EXPECT_FALSE(DestroyWindow(window));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_WINDOW_HANDLE));
    MSG msg;
    EXPECT_FALSE(PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE));  // its message went with it
    EXPECT_FALSE(DestroyWindow(nullptr));
    EXPECT_FALSE(IsWindow(nullptr));
}

TEST(Windows, OnlyTheOwningThreadDestroys) {
    std::u16string name = UniqueClass("owner");
    Register(name);
    HWND window = Create(name);
    DWORD error = 0;
    BOOL result = TRUE;
    std::thread other([&] {
        result = DestroyWindow(window);
        error = GetLastError();
    });
    other.join();
    EXPECT_FALSE(result);
    EXPECT_EQ(error, static_cast<DWORD>(ERROR_ACCESS_DENIED));
    EXPECT_TRUE(IsWindow(window));
    DestroyWindow(window);
}

TEST(MessageLoop, DeliversInPostedOrderThenQuit) {
    std::u16string name = UniqueClass("order");
    Register(name);
    HWND window = Create(name);
    for (int i = 0; i < 100; ++i)
        ASSERT_TRUE(PostMessageW(window, WM_APP + 5, i, -i));
    PostQuitMessage(3);  // seen only after the posted messages
    ASSERT_TRUE(PostMessageW(window, WM_USER, 100, 0));

    std::vector<Received> log;
    t_log = &log;
    EXPECT_EQ(RunLoop(), 3);
    t_log = nullptr;
    ASSERT_EQ(log.size(), 101u);
    for (int i = 0; i < 100; ++i) {
        EXPECT_EQ(log[i].message, WM_APP + 5);
        EXPECT_EQ(log[i].wParam, static_cast<WPARAM>(i));
        EXPECT_EQ(log[i].lParam, static_cast<LPARAM>(-i));
    }
    EXPECT_EQ(log[100].message, WM_USER);
    DestroyWindow(window);
}

TEST(MessageLoop, WmCloseDestroysThroughDefWindowProcAndEndsTheLoop) {
    std::u16string name = UniqueClass("close");
    Register(name);
    HWND window = Create(name);
    g_postQuitOnDestroy = true;
    PostMessageW(window, WM_CLOSE, 0, 0);
    int code = RunLoop();
    g_postQuitOnDestroy = false;
    EXPECT_EQ(code, 7);
    EXPECT_FALSE(IsWindow(window));
}

TEST(MessageLoop, ManyThreadsPostWhileTheOwnerWaits) {
    std::u16string name = UniqueClass("stress");
    Register(name);
    HWND window = Create(name);
    constexpr int kThreads = 8;
    constexpr int kEach = 2000;
    std::vector<std::thread> posters;
    for (int t = 0; t < kThreads; ++t)
        posters.emplace_back([window, t] {
            for (int i = 0; i < kEach; ++i)
                ASSERT_TRUE(PostMessageW(window, WM_APP + 0x100, t, i));
        });

    // Wakes the waiting loop if the messages never all come.
    constexpr UINT kGiveUp = WM_APP + 0x101;
    std::mutex watchdogMutex;
    std::condition_variable watchdogWake;
    bool loopDone = false;
    std::thread watchdog([&] {
        std::unique_lock<std::mutex> lock(watchdogMutex);
        if (!watchdogWake.wait_for(lock, std::chrono::seconds(60), [&] { return loopDone; }))
            PostMessageW(window, kGiveUp, 0, 0);
    });
    struct StopWatchdog {
        std::function<void()> stop;
        ~StopWatchdog() { stop(); }
    } stopWatchdog{[&] {
        {
            std::lock_guard<std::mutex> lock(watchdogMutex);
            loopDone = true;
        }
        watchdogWake.notify_all();
        watchdog.join();
    }};

    std::vector<int> next(kThreads, 0);
    int received = 0;
    MSG msg;
    while (received < kThreads * kEach && GetMessageW(&msg, nullptr, 0, 0) > 0) {
        if (msg.message == kGiveUp) {
            ADD_FAILURE() << "only " << received << " messages came";
            break;
        }
        ASSERT_EQ(msg.hwnd, window);
        ASSERT_EQ(msg.message, WM_APP + 0x100u);
        int t = static_cast<int>(msg.wParam);
        ASSERT_LT(t, kThreads);
        // Each poster's messages arrive in the order it posted them.
        ASSERT_EQ(msg.lParam, next[t]);
        next[t]++;
        received++;
    }
    for (auto& p : posters)
        p.join();
    EXPECT_EQ(received, kThreads * kEach);
    EXPECT_FALSE(PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE));
    DestroyWindow(window);
}

TEST(MessageLoop, PostsGoToTheQueueOfTheCreatingThread) {
    std::u16string name = UniqueClass("threadq");
    Register(name);
    HANDLE ready = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    std::atomic<HWND> window{nullptr};
    std::vector<Received> log;
    std::atomic<DWORD> ownerId{0};
    std::thread owner([&] {
        t_log = &log;
        ownerId = GetCurrentThreadId();
        window = Create(name);
        g_postQuitOnDestroy = true;
        SetEvent(ready);
        RunLoop();  // ends when WM_CLOSE destroys the window
        t_log = nullptr;
    });
    ASSERT_EQ(WaitForSingleObject(ready, kLongWait), WAIT_OBJECT_0);
    EXPECT_TRUE(PostMessageW(window, WM_APP + 9, 1, 2));
    EXPECT_TRUE(PostMessageW(window, WM_CLOSE, 0, 0));
    owner.join();
    g_postQuitOnDestroy = false;
    MSG msg;
    EXPECT_FALSE(PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE));  // nothing came here

    // The three creation messages, WM_APP+9, WM_CLOSE, WM_DESTROY.
    ASSERT_GE(log.size(), 6u);
    EXPECT_EQ(log[3].message, WM_APP + 9);
    EXPECT_EQ(log[3].thread, ownerId.load());
    EXPECT_EQ(log[5].message, WM_DESTROY);
    EXPECT_EQ(log[5].thread, ownerId.load());
    EXPECT_FALSE(IsWindow(window));
    CloseHandle(ready);
}

TEST(Windows, WindowsOfAnEndedThreadAreGone) {
    std::u16string name = UniqueClass("ended");
    Register(name);
    HWND window = nullptr;
    std::thread owner([&] { window = Create(name); });
    owner.join();
    ASSERT_NE(window, nullptr);
    EXPECT_FALSE(IsWindow(window));
    EXPECT_FALSE(PostMessageW(window, WM_APP, 0, 0));
    EXPECT_EQ(FindWindowW(name.c_str(), nullptr), nullptr);
    HWND again = Create(name);  // the class lock was released with it
    EXPECT_NE(again, nullptr);
    DestroyWindow(again);
}

struct ThreadWindow {
    std::u16string className;
    HWND window = nullptr;
};

DWORD WINAPI CreateWindowAndEnd(LPVOID parameter) {
    auto* job = static_cast<ThreadWindow*>(parameter);
    job->window = Create(job->className);
    return 0;
}

TEST(Windows, AThreadsWindowsAreGoneOnceItsHandleIsSignalled) {
    // Without this, a post right after the wait was accepted and then lost.
    ThreadWindow job{UniqueClass("threadend")};
    Register(job.className);
    for (int round = 0; round < 100; ++round) {
        HANDLE thread = CreateThread(nullptr, 0, &CreateWindowAndEnd, &job, 0, nullptr);
        ASSERT_EQ(WaitForSingleObject(thread, kLongWait), WAIT_OBJECT_0);
        CloseHandle(thread);
        ASSERT_NE(job.window, nullptr);
        EXPECT_FALSE(IsWindow(job.window)) << "round " << round;
        EXPECT_FALSE(PostMessageW(job.window, WM_APP, 0, 0)) << "round " << round;
        // The class lock went with the window.
        HWND again = Create(job.className);
        EXPECT_NE(again, nullptr) << "round " << round;
        DestroyWindow(again);
    }
}

TEST(MessageLoop, PostingRacesWithDestroyWithoutLosingTheVerdict) {
    std::u16string name = UniqueClass("race");
    Register(name);
    for (int round = 0; round < 20; ++round) {
        HWND window = Create(name);
        std::atomic<bool> stop{false};
        std::atomic<int> failuresAfterDestroy{0};
        std::atomic<bool> destroyed{false};
        std::vector<std::thread> posters;
        for (int t = 0; t < 3; ++t)
            posters.emplace_back([&] {
                while (!stop) {
                    bool wasDestroyed = destroyed;
                    BOOL ok = PostMessageW(window, WM_APP, 0, 0);
                    // Once DestroyWindow has returned, every post fails.
                    if (wasDestroyed) {
                        EXPECT_FALSE(ok);
                        if (!ok)
                            failuresAfterDestroy++;
                    }
                    if (wasDestroyed)
                        stop = true;
                }
            });
        MSG msg;
        for (int i = 0; i < 50; ++i)
            GetMessageW(&msg, nullptr, 0, 0);
        DestroyWindow(window);
        destroyed = true;
        for (auto& p : posters)
            p.join();
        EXPECT_GT(failuresAfterDestroy.load(), 0);
        while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE))
            EXPECT_NE(msg.hwnd, window);
    }
}

TEST(MessageLoop, GetMessageWakesOnAPostFromAnotherThread) {
    HANDLE blocked = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    std::u16string name = UniqueClass("wake");
    Register(name);
    HWND window = Create(name);
    std::thread poster([&] {
        WaitForSingleObject(blocked, kLongWait);
        PostMessageW(window, WM_APP + 2, 0, 0);
    });
    SetEvent(blocked);
    MSG msg;
    EXPECT_EQ(GetMessageW(&msg, nullptr, 0, 0), TRUE);
    EXPECT_EQ(msg.message, WM_APP + 2);
    poster.join();
    DestroyWindow(window);
    CloseHandle(blocked);
}

std::atomic<int> g_timerProcCalls{0};

void CALLBACK CountingTimerProc(HWND, UINT message, UINT_PTR id, DWORD) {
    if (message == WM_TIMER && id == 77)
        g_timerProcCalls++;
}

TEST(Timers, WmTimerComesAfterPostedMessagesUntilKilled) {
    std::u16string name = UniqueClass("timer");
    Register(name);
    HWND window = Create(name);
    ASSERT_EQ(SetTimer(window, 5, 1000000, nullptr), 5u);
    ASSERT_NE(SetTimer(window, 5, 20, nullptr), 0u);  // the same timer, restarted
    PostMessageW(window, WM_APP + 1, 0, 0);
    MSG msg;
    ASSERT_EQ(GetMessageW(&msg, nullptr, 0, 0), TRUE);
    EXPECT_EQ(msg.message, WM_APP + 1);
    auto start = std::chrono::steady_clock::now();
    ASSERT_EQ(GetMessageW(&msg, nullptr, 0, 0), TRUE);  // blocks until the timer is due
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(5));
    EXPECT_EQ(msg.hwnd, window);
    EXPECT_EQ(msg.message, WM_TIMER);
    EXPECT_EQ(msg.wParam, 5u);
    EXPECT_EQ(msg.lParam, 0);
    // It repeats; once killed it is gone, even when it was already due.
    ASSERT_EQ(GetMessageW(&msg, nullptr, 0, 0), TRUE);
    EXPECT_EQ(msg.message, WM_TIMER);
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    EXPECT_TRUE(KillTimer(window, 5));
    EXPECT_FALSE(PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE));
    EXPECT_FALSE(KillTimer(window, 5));

    // A TIMERPROC gets the message from DispatchMessageW instead of the
    // window procedure; a destroyed window's timers end with it.
    g_timerProcCalls = 0;
    ASSERT_NE(SetTimer(window, 77, 10, &CountingTimerProc), 0u);
    ASSERT_EQ(GetMessageW(&msg, nullptr, 0, 0), TRUE);
    EXPECT_EQ(msg.wParam, 77u);
    DispatchMessageW(&msg);
    EXPECT_EQ(g_timerProcCalls.load(), 1);
    ASSERT_NE(SetTimer(window, 6, 10, nullptr), 0u);
    DestroyWindow(window);
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    EXPECT_FALSE(PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE));
    EXPECT_EQ(SetTimer(window, 6, 10, nullptr), 0u);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_WINDOW_HANDLE));
}

TEST(Timers, ThreadTimersAndOtherThreadsWindows) {
    UINT_PTR first = SetTimer(nullptr, 0, 10, &CountingTimerProc);
    UINT_PTR second = SetTimer(nullptr, 0, 10, &CountingTimerProc);
    EXPECT_NE(first, 0u);
    EXPECT_NE(second, first);
    EXPECT_TRUE(KillTimer(nullptr, first));
    MSG msg;
    ASSERT_EQ(GetMessageW(&msg, nullptr, 0, 0), TRUE);
    EXPECT_EQ(msg.hwnd, nullptr);
    EXPECT_EQ(msg.wParam, second);
    EXPECT_TRUE(KillTimer(nullptr, second));

    // A timer belongs to a window of the calling thread.
    std::u16string name = UniqueClass("timerowner");
    Register(name);
    HWND window = Create(name);
    std::thread other([&] {
        EXPECT_EQ(SetTimer(window, 1, 10, nullptr), 0u);
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    });
    other.join();
    DestroyWindow(window);
}

TEST(MessageLoop, BadArgumentsFailCleanly) {
    MSG msg;
    EXPECT_EQ(GetMessageW(nullptr, nullptr, 0, 0), -1);
    EXPECT_EQ(GetMessageW(&msg, reinterpret_cast<HWND>(static_cast<std::uintptr_t>(0x44)), 0, 0),
              -1);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_WINDOW_HANDLE));
    EXPECT_EQ(DispatchMessageW(nullptr), 0);
    msg = MSG{};
    msg.hwnd = reinterpret_cast<HWND>(static_cast<std::uintptr_t>(0x44));
    EXPECT_EQ(DispatchMessageW(&msg), 0);
    EXPECT_FALSE(PostMessageW(msg.hwnd, WM_APP, 0, 0));
    EXPECT_FALSE(TranslateMessage(&msg));
}

TEST(Resources, StringsComeFromTheProgramsTable) {
    static const WinceStringResource kStrings[] = {{101, u"AmbrelZPMUpdater"},
                                                   {102, u"Title text"}};
    WinceRegisterStringResources(kStrings, 2);
    WCHAR buffer[256];
    EXPECT_EQ(LoadStringW(nullptr, 101, buffer, 256), 16);
    EXPECT_EQ(std::u16string(buffer), u"AmbrelZPMUpdater");
    EXPECT_EQ(LoadStringW(nullptr, 102, buffer, 6), 5);  // truncated, terminated
    EXPECT_EQ(std::u16string(buffer), u"Title");
    EXPECT_EQ(LoadStringW(nullptr, 999, buffer, 256), 0);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_RESOURCE_NAME_NOT_FOUND));
    EXPECT_EQ(buffer[0], 0);
    const WCHAR* direct = nullptr;
    EXPECT_EQ(LoadStringW(nullptr, 101, reinterpret_cast<LPWSTR>(&direct), 0), 16);
    EXPECT_EQ(direct, kStrings[0].text);
    EXPECT_EQ(LoadStringW(nullptr, 101, nullptr, 10), 0);
}

TEST(Resources, IconsAndStockObjects) {
    static const UINT kIcons[] = {100};
    WinceRegisterIconResources(kIcons, 1);
    HINSTANCE self = reinterpret_cast<HINSTANCE>(static_cast<std::uintptr_t>(0x400000));
    EXPECT_NE(LoadIconW(self, MAKEINTRESOURCEW(100)), nullptr);
    EXPECT_EQ(LoadIconW(self, MAKEINTRESOURCEW(101)), nullptr);
    EXPECT_NE(LoadIconW(nullptr, IDI_APPLICATION), nullptr);
    EXPECT_NE(GetStockObject(WHITE_BRUSH), nullptr);
    EXPECT_NE(GetStockObject(WHITE_BRUSH), GetStockObject(BLACK_BRUSH));
    EXPECT_EQ(GetStockObject(1000), nullptr);
}

// ---------------------------------------------------------------------------
// Single instance across processes. The test binary re-runs itself in a
// helper mode (selected by the environment before the tests start) to act as
// a second process.

constexpr char kModeVar[] = "WINCE_WINDOW_TEST_MODE";
constexpr char kClassVar[] = "WINCE_WINDOW_TEST_CLASS";

// What the updater's start-up does: find, else create; report 'R' once the
// window exists and keep it until stdin closes.
int RunStartupHelper(const std::u16string& cls, bool waitForStart) {
    if (waitForStart) {
        char c;
        while (read(3, &c, 1) > 0) {
        }  // the start gate: every helper wakes when the parent closes it
    }
    WNDCLASSW wc = {};
    wc.lpfnWndProc = DefWindowProcW;
    wc.lpszClassName = cls.c_str();
    RegisterClassW(&wc);
    if (FindWindowW(cls.c_str(), nullptr) != nullptr)
        return 2;
    HWND window = Create(cls, u"helper title");
    if (window == nullptr)
        return GetLastError() == ERROR_ALREADY_EXISTS ? 3 : 4;
    if (write(1, "R", 1) != 1)
        return 5;
    char c;
    while (read(0, &c, 1) > 0) {
    }
    DestroyWindow(window);
    return 0;
}

int RunHelper(const char* mode) {
    const char* cls8 = std::getenv(kClassVar);
    std::u16string cls = cls8 ? wince::FromUtf8(cls8) : u"";
    std::string m = mode;
    if (m == "find") {
        HWND found = FindWindowW(cls.c_str(), nullptr);
        if (found == nullptr)
            return 0;
        if (!IsWindow(found))
            return 10;
        if (FindWindowW(cls.c_str(), u"HELPER TITLE") != nullptr)
            return 12;
        if (FindWindowW(cls.c_str(), u"parent title") == nullptr)
            return 13;
        if (PostMessageW(found, WM_APP, 0, 0))
            return 11;  // only a token here
        return 1;
    }
    if (m == "startup")
        return RunStartupHelper(cls, true);
    if (m == "hold")
        return RunStartupHelper(cls, false);
    return 99;
}

const int g_helperGate = [] {
    if (const char* mode = std::getenv(kModeVar))
        std::_Exit(RunHelper(mode));
    return 0;
}();

struct Child {
    pid_t pid = -1;
    int in = -1;   // its stdin
    int out = -1;  // its stdout
};

Child Spawn(const char* mode, const std::u16string& cls, int gate) {
    int in[2], out[2];
    EXPECT_EQ(pipe2(in, O_CLOEXEC), 0);
    EXPECT_EQ(pipe2(out, O_CLOEXEC), 0);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, in[0], 0);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    if (gate >= 0)
        posix_spawn_file_actions_adddup2(&actions, gate, 3);
    std::vector<std::string> env;
    for (char** e = environ; *e; ++e)
        env.emplace_back(*e);
    env.push_back(std::string(kModeVar) + "=" + mode);
    env.push_back(std::string(kClassVar) + "=" + wince::ToUtf8(cls));
    std::vector<char*> envp;
    for (auto& e : env)
        envp.push_back(e.data());
    envp.push_back(nullptr);
    char self[] = "/proc/self/exe";
    char* argv[] = {self, nullptr};
    Child child;
    EXPECT_EQ(posix_spawn(&child.pid, self, &actions, nullptr, argv, envp.data()), 0);
    posix_spawn_file_actions_destroy(&actions);
    close(in[0]);
    close(out[1]);
    child.in = in[1];
    child.out = out[0];
    return child;
}

// 'R' when the child reported a window, 0 when it ended without one.
char ReadReport(const Child& child) {
    pollfd p = {child.out, POLLIN, 0};
    if (poll(&p, 1, static_cast<int>(kLongWait)) != 1)
        return '?';
    char c = 0;
    return read(child.out, &c, 1) == 1 ? c : 0;
}

int Finish(Child& child) {
    close(child.in);
    close(child.out);
    int status = 0;
    waitpid(child.pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST(SingleInstance, AnotherProcessFindsTheWindowAndCannotCreateOne) {
    std::u16string cls = UniqueClass("xproc");
    Register(cls);
    Child before = Spawn("find", cls, -1);
    EXPECT_EQ(Finish(before), 0);  // nothing yet

    HWND window = Create(cls, u"parent title");
    ASSERT_NE(window, nullptr);
    Child finder = Spawn("find", cls, -1);
    EXPECT_EQ(Finish(finder), 1);
    Child starter = Spawn("hold", cls, -1);
    EXPECT_EQ(ReadReport(starter), 0);
    EXPECT_EQ(Finish(starter), 2);

    // A second window of the class in the same process is fine.
    HWND second = Create(cls, u"second");
    ASSERT_NE(second, nullptr);
    DestroyWindow(window);
    Child stillHeld = Spawn("find", cls, -1);
    EXPECT_EQ(Finish(stillHeld), 1);
    DestroyWindow(second);

    Child after = Spawn("hold", cls, -1);
    EXPECT_EQ(ReadReport(after), 'R');
    // Now the other process holds the class: this one cannot create.
    EXPECT_NE(FindWindowW(cls.c_str(), nullptr), nullptr);
    EXPECT_EQ(Create(cls), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ALREADY_EXISTS));
    EXPECT_EQ(Finish(after), 0);
    HWND again = Create(cls);
    EXPECT_NE(again, nullptr);
    DestroyWindow(again);
}

TEST(SingleInstance, ACrashedHolderDoesNotBlockTheNextRun) {
    std::u16string cls = UniqueClass("crash");
    Child holder = Spawn("hold", cls, -1);
    ASSERT_EQ(ReadReport(holder), 'R');
    Register(cls);
    EXPECT_EQ(Create(cls), nullptr);
    kill(holder.pid, SIGKILL);
    Finish(holder);
    HWND window = Create(cls);
    EXPECT_NE(window, nullptr);
    DestroyWindow(window);
}

TEST(SingleInstance, SimultaneousStartsLeaveExactlyOneRunning) {
    constexpr int kRounds = 40;
    constexpr int kProcesses = 3;
    for (int round = 0; round < kRounds; ++round) {
        std::u16string cls = UniqueClass("simul");
        int gate[2];
        ASSERT_EQ(pipe2(gate, O_CLOEXEC), 0);
        std::vector<Child> children;
        for (int i = 0; i < kProcesses; ++i)
            children.push_back(Spawn("startup", cls, gate[0]));
        close(gate[0]);
        close(gate[1]);  // opens the gate for all of them at once
        int running = 0;
        for (auto& child : children) {
            char report = ReadReport(child);
            ASSERT_NE(report, '?') << "a helper hung";
            if (report == 'R')
                running++;
        }
        EXPECT_EQ(running, 1) << "round " << round;
        for (auto& child : children) {
            int code = Finish(child);
            EXPECT_TRUE(code == 0 || code == 2 || code == 3) << code;
        }
    }
}

std::vector<std::string> g_warnings;

// Restores the variables the lock location depends on.
class LockEnvironment {
  public:
    LockEnvironment() {
        for (const char* name : kNames) {
            const char* value = std::getenv(name);
            saved_.emplace_back(value != nullptr, value != nullptr ? value : "");
        }
        g_warnings.clear();
        WinceSetHostWarningSinkForTesting(
            [](const std::string& line) { g_warnings.push_back(line); });
    }
    ~LockEnvironment() {
        WinceSetHostWarningSinkForTesting(nullptr);
        for (std::size_t i = 0; i < saved_.size(); ++i) {
            if (saved_[i].first)
                setenv(kNames[i], saved_[i].second.c_str(), 1);
            else
                unsetenv(kNames[i]);
        }
    }

  private:
    static constexpr const char* kNames[] = {"WINM_REGISTRY", "XDG_RUNTIME_DIR"};
    std::vector<std::pair<bool, std::string>> saved_;
};

std::string TempDir() {
    char base[] = "/tmp/wince-lockdir-XXXXXX";
    return mkdtemp(base) != nullptr ? base : "";
}

// The lock lives beside the registry file, else in $XDG_RUNTIME_DIR/winm;
// a location others could take is refused with a warning, and with none
// left no single-instance window is created, nor is one reported running.
TEST(SingleInstance, LockLocationsAreOnlyOnesOthersCannotTake) {
    LockEnvironment env;
    const std::string home = TempDir(), runtime = TempDir(), shared = TempDir(),
                      openRuntime = TempDir();
    ASSERT_FALSE(home.empty() || runtime.empty() || shared.empty() || openRuntime.empty());
    chmod(shared.c_str(), 0777);
    chmod(openRuntime.c_str(), 0777);
    const std::string plainFile = home + "/plain";
    close(open(plainFile.c_str(), O_CREAT | O_WRONLY, 0600));

    setenv("WINM_REGISTRY", (home + "/state/reg.sqlite3").c_str(), 1);
    unsetenv("XDG_RUNTIME_DIR");
    EXPECT_EQ(wince::InstanceLockPrefix(), home + "/state/reg.sqlite3.");
    struct stat st;
    ASSERT_EQ(stat((home + "/state").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);
    EXPECT_TRUE(g_warnings.empty());

    setenv("WINM_REGISTRY", (shared + "/reg.sqlite3").c_str(), 1);
    setenv("XDG_RUNTIME_DIR", runtime.c_str(), 1);
    EXPECT_EQ(wince::InstanceLockPrefix(), runtime + "/winm/");
    ASSERT_EQ(stat((runtime + "/winm").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);
    const std::string refusedShared = "  D: single-instance lock: cannot use " + shared +
                                      ": others may write to it (mode 0777); trying the next "
                                      "location";
    EXPECT_EQ(g_warnings, std::vector<std::string>{refusedShared});

    for (const std::string& bad : {plainFile, openRuntime}) {
        g_warnings.clear();
        WinceSetHostWarningSinkForTesting(
            [](const std::string& line) { g_warnings.push_back(line); });
        setenv("XDG_RUNTIME_DIR", bad.c_str(), 1);
        EXPECT_EQ(wince::InstanceLockPrefix(), "");
        std::u16string cls = UniqueClass("nolock");
        Register(cls);
        SetLastError(0);
        EXPECT_EQ(Create(cls), nullptr);
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
        EXPECT_EQ(FindWindowW(cls.c_str(), nullptr), nullptr);
        const std::string why =
            bad == openRuntime ? "others may write to it (mode 0777)" : "not a directory";
        // Each cause once, however often the location was looked for.
        EXPECT_EQ(g_warnings, (std::vector<std::string>{
                                  refusedShared,
                                  "  D: single-instance lock: cannot use " + bad + ": " + why +
                                      "; trying the next location",
                                  "**W: single-instance lock: no usable location (" + shared +
                                      ": others may write to it (mode 0777); " + bad + ": " + why +
                                      "); no window of a single-instance class can be created"}));
    }
    std::filesystem::remove_all(home);
    std::filesystem::remove_all(runtime);
    std::filesystem::remove_all(shared);
    std::filesystem::remove_all(openRuntime);
}

// A location another user owns is refused too: its owner could hold our
// locks or plant files in it. Root makes one; anyone else finds "/".
TEST(SingleInstance, ALockLocationOfAnotherUserIsRefused) {
    LockEnvironment env;
    std::string foreign = "/";
    uid_t owner = 0;
    if (geteuid() == 0) {
        foreign = TempDir();
        owner = 65534;
        ASSERT_EQ(chown(foreign.c_str(), owner, owner), 0);
    }
    setenv("WINM_REGISTRY", (foreign + "/reg.sqlite3").c_str(), 1);
    setenv("XDG_RUNTIME_DIR", foreign.c_str(), 1);
    EXPECT_EQ(wince::InstanceLockPrefix(), "");
    const std::string why = "owned by another user (uid " + std::to_string(owner) + ")";
    ASSERT_FALSE(g_warnings.empty());
    EXPECT_EQ(g_warnings.back(), "**W: single-instance lock: no usable location (" + foreign +
                                     ": " + why + "; " + foreign + ": " + why +
                                     "); no window of a single-instance class can be created");
    if (foreign != "/")
        std::filesystem::remove_all(foreign);
}

}  // namespace
