// Per-thread message queues, the message loop and timers.
//
// Lock order as in window_internal.h: the manager lock before a queue's.
#include <algorithm>
#include <chrono>
#include <memory>
#include <mutex>

#include "handles.h"
#include "window_internal.h"
#include "wince/kernel.h"
#include "wince/window.h"

namespace wince {
namespace {

bool MessageMatches(const MSG& msg, HWND window, UINT filterMin, UINT filterMax) {
    if (window != nullptr && msg.hwnd != window)
        return false;
    if (filterMin == 0 && filterMax == 0)
        return true;
    return msg.message >= filterMin && msg.message <= filterMax;
}

// Takes the first matching message (or the pending quit) from the calling
// thread's queue. Returns false when there is none.
bool TakeMessage(MessageQueue& q, LPMSG msg, HWND window, UINT filterMin, UINT filterMax,
                 bool remove) {
    for (auto it = q.messages.begin(); it != q.messages.end(); ++it) {
        if (MessageMatches(*it, window, filterMin, filterMax)) {
            *msg = *it;
            if (remove)
                q.messages.erase(it);
            return true;
        }
    }
    // As on Windows, the quit request is seen only once no posted message
    // is left.
    bool quitInRange =
        (filterMin == 0 && filterMax == 0) || (WM_QUIT >= filterMin && WM_QUIT <= filterMax);
    if (q.quit && quitInRange) {
        *msg = MSG{};
        msg->message = WM_QUIT;
        msg->wParam = static_cast<WPARAM>(q.quitCode);
        msg->time = GetTickCount();
        if (remove)
            q.quit = false;
        return true;
    }
    // Timers last, as on Windows: WM_TIMER never crowds out posted messages.
    Clock::time_point now = Clock::now();
    for (Timer& timer : q.timers) {
        if (timer.due > now)
            continue;
        MSG candidate = {};
        candidate.hwnd = timer.window;
        candidate.message = WM_TIMER;
        candidate.wParam = timer.id;
        candidate.lParam = reinterpret_cast<LPARAM>(timer.proc);
        candidate.time = GetTickCount();
        if (!MessageMatches(candidate, window, filterMin, filterMax))
            continue;
        *msg = candidate;
        // The next period starts now: a late loop gets one WM_TIMER, not a
        // burst of those it missed.
        if (remove)
            timer.due = now + timer.period;
        return true;
    }
    return false;
}

// When the earliest timer of the queue is due (max() without timers).
Clock::time_point NextTimerDue(const MessageQueue& q) {
    Clock::time_point next = Clock::time_point::max();
    for (const Timer& timer : q.timers)
        next = std::min(next, timer.due);
    return next;
}

// Validates a filter window for GetMessageW/PeekMessageW.
bool FilterValid(HWND window) {
    if (window == nullptr)
        return true;
    Manager& m = TheManager();
    std::lock_guard<std::mutex> lock(m.mutex);
    auto w = FindLocked(m, window);
    return w && w->owner == CurrentThreadId();
}

}  // namespace
}  // namespace wince

using namespace wince;

BOOL GetMessageW(LPMSG msg, HWND window, UINT filterMin, UINT filterMax) {
    if (msg == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return -1;
    }
    if (!FilterValid(window)) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return -1;
    }
    std::shared_ptr<MessageQueue> q = CurrentQueue();
    std::unique_lock<std::mutex> lock(q->mutex);
    while (!TakeMessage(*q, msg, window, filterMin, filterMax, true)) {
        Clock::time_point next = NextTimerDue(*q);
        if (next == Clock::time_point::max())
            q->cv.wait(lock);
        else
            q->cv.wait_until(lock, next);
    }
    return msg->message == WM_QUIT ? FALSE : TRUE;
}

BOOL PeekMessageW(LPMSG msg, HWND window, UINT filterMin, UINT filterMax, UINT removeMessage) {
    if (msg == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (!FilterValid(window)) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return FALSE;
    }
    std::shared_ptr<MessageQueue> q = CurrentQueue();
    std::lock_guard<std::mutex> lock(q->mutex);
    return TakeMessage(*q, msg, window, filterMin, filterMax, (removeMessage & PM_REMOVE) != 0)
               ? TRUE
               : FALSE;
}

BOOL TranslateMessage(const MSG*) {
    // There is no keyboard, so there are no key messages to translate.
    return FALSE;
}

LRESULT DispatchMessageW(const MSG* msg) {
    if (msg == nullptr)
        return 0;
    // A timer with a TIMERPROC is handed to it instead of the window
    // procedure, also for a timer of the thread itself.
    if (msg->message == WM_TIMER && msg->lParam != 0) {
        if (msg->hwnd != nullptr && !IsWindow(msg->hwnd)) {
            SetLastError(ERROR_INVALID_WINDOW_HANDLE);
            return 0;
        }
        reinterpret_cast<TIMERPROC>(msg->lParam)(msg->hwnd, WM_TIMER, msg->wParam, GetTickCount());
        return 0;
    }
    if (msg->hwnd == nullptr)
        return 0;
    WNDPROC proc;
    {
        Manager& m = TheManager();
        std::lock_guard<std::mutex> lock(m.mutex);
        auto w = FindLocked(m, msg->hwnd);
        if (!w) {
            SetLastError(ERROR_INVALID_WINDOW_HANDLE);
            return 0;
        }
        if (w->owner != CurrentThreadId()) {
            SetLastError(ERROR_WINDOW_OF_OTHER_THREAD);
            return 0;
        }
        proc = w->windowClass->info.lpfnWndProc;
    }
    return proc(msg->hwnd, msg->message, msg->wParam, msg->lParam);
}

BOOL PostMessageW(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    MSG msg = {};
    msg.hwnd = window;
    msg.message = message;
    msg.wParam = wParam;
    msg.lParam = lParam;
    msg.time = GetTickCount();
    if (window == nullptr) {
        std::shared_ptr<MessageQueue> q = CurrentQueue();
        {
            std::lock_guard<std::mutex> lock(q->mutex);
            q->messages.push_back(msg);
        }
        q->cv.notify_all();
        return TRUE;
    }
    Manager& m = TheManager();
    std::shared_ptr<MessageQueue> q;
    {
        // The window's validity and the enqueue are one step under the
        // manager lock, so nothing is queued after DestroyWindow removed it.
        std::lock_guard<std::mutex> lock(m.mutex);
        auto w = FindLocked(m, window);
        if (!w) {
            SetLastError(ERROR_INVALID_WINDOW_HANDLE);
            return FALSE;
        }
        q = w->queue;
        std::lock_guard<std::mutex> qlock(q->mutex);
        q->messages.push_back(msg);
    }
    q->cv.notify_all();
    return TRUE;
}

UINT_PTR SetTimer(HWND window, UINT_PTR id, UINT elapse, TIMERPROC timerFunc) {
    std::shared_ptr<MessageQueue> q;
    if (window != nullptr) {
        Manager& m = TheManager();
        std::lock_guard<std::mutex> lock(m.mutex);
        auto w = FindLocked(m, window);
        if (!w) {
            SetLastError(ERROR_INVALID_WINDOW_HANDLE);
            return 0;
        }
        if (w->owner != CurrentThreadId()) {
            SetLastError(ERROR_ACCESS_DENIED);
            return 0;
        }
        q = w->queue;
    } else {
        q = CurrentQueue();
    }
    elapse = std::clamp(elapse, USER_TIMER_MINIMUM, USER_TIMER_MAXIMUM);
    auto period = std::chrono::duration_cast<Clock::duration>(std::chrono::milliseconds(elapse));
    {
        std::lock_guard<std::mutex> lock(q->mutex);
        auto it = std::find_if(q->timers.begin(), q->timers.end(), [&](const Timer& timer) {
            return timer.window == window && timer.id == id;
        });
        if (it == q->timers.end()) {
            // A thread timer with an unknown id gets a new one.
            if (window == nullptr)
                id = q->nextThreadTimer++;
            it = q->timers.insert(q->timers.end(), Timer{window, id, period, {}, timerFunc});
        }
        it->period = period;
        it->due = Clock::now() + period;
        it->proc = timerFunc;
    }
    // A loop already waiting must wait for this timer too.
    q->cv.notify_all();
    return window != nullptr && id == 0 ? 1 : id;
}

BOOL KillTimer(HWND window, UINT_PTR id) {
    std::shared_ptr<MessageQueue> q;
    if (window != nullptr) {
        Manager& m = TheManager();
        std::lock_guard<std::mutex> lock(m.mutex);
        auto w = FindLocked(m, window);
        if (!w || w->owner != CurrentThreadId()) {
            SetLastError(ERROR_INVALID_WINDOW_HANDLE);
            return FALSE;
        }
        q = w->queue;
    } else {
        q = CurrentQueue();
    }
    std::lock_guard<std::mutex> lock(q->mutex);
    if (std::erase_if(q->timers, [&](const Timer& timer) {
            return timer.window == window && timer.id == id;
        }) == 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    return TRUE;
}

void PostQuitMessage(int exitCode) {
    std::shared_ptr<MessageQueue> q = CurrentQueue();
    {
        std::lock_guard<std::mutex> lock(q->mutex);
        q->quit = true;
        q->quitCode = exitCode;
    }
    q->cv.notify_all();
}
