// Test support: a hidden window on the calling thread whose window procedure
// hands every message to an event queue, and a message loop that runs until
// a condition holds or a generous deadline passes (a watchdog thread wakes
// the loop; nothing sleeps).
#pragma once

#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

#include "common/base/winm/internal/winmappeventhandler.h"
#include "wince.h"
#ifndef _WIN32
// The host layer keeps window-class locks beside the registry file.
#include "wince/testing/runtimedir.h"
#endif

class TestWindow {
  public:
    // Posted by the watchdog; below the event range, so the queue ignores it.
    static constexpr UINT kWakeMessage = WM_USER + 7;

    TestWindow() {
        static std::atomic<int> serial{0};
        // Unique per process and window: window classes also guard against a
        // second process, and test binaries run side by side.
        std::string name = "WinmTestWindow-" + std::to_string(getpid()) + "-" +
                           std::to_string(serial.fetch_add(1));
        className.assign(name.begin(), name.end());
        WNDCLASSW wc{};
        wc.lpfnWndProc = &TestWindow::WindowProc;
        wc.lpszClassName = className.c_str();
        RegisterClassW(&wc);
        window = CreateWindowExW(0, className.c_str(), className.c_str(), 0, 0, 0, 0, 0, nullptr,
                                 nullptr, nullptr, nullptr);
        Current() = this;
    }
    ~TestWindow() {
        if (window != nullptr)
            DestroyWindow(window);
        UnregisterClassW(className.c_str(), nullptr);
        Current() = nullptr;
    }
    TestWindow(const TestWindow&) = delete;
    TestWindow& operator=(const TestWindow&) = delete;

    HWND Handle() const { return window; }
    void SetQueue(WinmAppEventHandler* eventQueue) { queue = eventQueue; }

    // Runs the message loop until done() is true (checked after every
    // message) or timeoutMs pass; returns done().
    bool RunUntil(const std::function<bool()>& done, int timeoutMs = 60000) {
        if (done())
            return true;
        Watchdog watchdog(window, timeoutMs);
        MSG msg;
        while (!done() && !watchdog.Expired()) {
            if (GetMessageW(&msg, nullptr, 0, 0) <= 0)
                break;
            TranslateMessage(&msg);
            DispatchMessageW(&msg);
        }
        return done();
    }

    // Dispatches what is already queued, without waiting for more.
    void Drain() {
        MSG msg;
        while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
            TranslateMessage(&msg);
            DispatchMessageW(&msg);
        }
    }

    int unhandledEvents = 0;  // event-range messages the queue declined

  private:
    class Watchdog {
      public:
        Watchdog(HWND window, int timeoutMs)
            : deadline(std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs)),
              thread([this, window] {
                  std::unique_lock<std::mutex> hold(mutex);
                  if (!cv.wait_until(hold, deadline, [this] { return stop; })) {
                      expired = true;
                      PostMessageW(window, kWakeMessage, 0, 0);
                  }
              }) {}
        ~Watchdog() {
            {
                std::lock_guard<std::mutex> hold(mutex);
                stop = true;
            }
            cv.notify_all();
            thread.join();
        }
        bool Expired() const { return expired.load(); }

      private:
        std::chrono::steady_clock::time_point deadline;
        std::mutex mutex;
        std::condition_variable cv;
        bool stop = false;
        std::atomic<bool> expired{false};
        std::thread thread;
    };

    static TestWindow*& Current() {
        static thread_local TestWindow* current = nullptr;
        return current;
    }

    static LRESULT CALLBACK WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
        TestWindow* self = Current();
        if (message != WM_DESTROY && self != nullptr && self->queue != nullptr) {
            if (self->queue->HandleMessage(window, message, wParam, lParam))
                return 0;
            if (message >= WinmAppEventHandler::kFirstMessage)
                ++self->unhandledEvents;
        }
        return DefWindowProcW(window, message, wParam, lParam);
    }

    std::basic_string<WCHAR> className;  // char16_t in the host layer, wchar_t on Windows
    HWND window = nullptr;
    WinmAppEventHandler* queue = nullptr;
};
