// Window classes, windows and per-thread message queues.
//
// One manager lock guards the class and window tables; each thread's queue
// has its own lock, always taken after the manager's when both are held.
// Window procedures are always called with no lock held, so they may create,
// destroy and post freely.
#include "wince/window.h"

#include <unicode/uchar.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

#include "handles.h"
#include "instancelock.h"
#include "wince/kernel.h"

namespace wince {
namespace {

using Clock = std::chrono::steady_clock;

struct Timer {
    HWND window;  // NULL for a timer of the thread itself
    UINT_PTR id;
    Clock::duration period;
    Clock::time_point due;
    TIMERPROC proc;
};

struct MessageQueue {
    std::mutex mutex;
    std::condition_variable cv;
    std::deque<MSG> messages;
    bool quit = false;
    int quitCode = 0;
    std::vector<Timer> timers;
    UINT_PTR nextThreadTimer = 1;
};

struct WindowClass {
    ATOM atom;
    std::u16string name;
    WNDCLASSW info;
};

struct Window {
    std::shared_ptr<WindowClass> windowClass;
    std::u16string folded;  // class name folded to one case
    std::u16string title;
    DWORD owner;
    std::shared_ptr<MessageQueue> queue;
    bool destroying = false;
    bool visible = false;
};

struct ClassLock {
    int fd = -1;
    int windows = 0;
};

struct Manager {
    std::mutex mutex;
    std::map<std::u16string, std::shared_ptr<WindowClass>> classes;  // by folded name
    ATOM nextAtom = 0xC000;
    std::unordered_map<std::uintptr_t, std::shared_ptr<Window>> windows;
    std::uintptr_t nextWindow = 0x20000;  // multiples of 4, never reused
    std::map<std::u16string, ClassLock> locks;
    // Tokens for windows of other processes: odd values, one per class.
    std::map<std::u16string, std::uintptr_t> remoteTokens;
    std::uintptr_t nextRemote = 0x7F000001;
};

Manager& TheManager() {
    static Manager* manager = new Manager;  // outlives detached threads
    return *manager;
}

void ReleaseClassLockLocked(Manager& m, const std::u16string& folded);

// Removes the windows that still belong to queue (no WM_DESTROY: nothing
// can run on their thread any more), so posts to them fail and their class
// locks are released.
void RemoveWindowsOf(const std::shared_ptr<MessageQueue>& queue) {
    Manager& m = TheManager();
    std::lock_guard<std::mutex> lock(m.mutex);
    for (auto it = m.windows.begin(); it != m.windows.end();) {
        if (it->second->queue == queue) {
            ReleaseClassLockLocked(m, it->second->folded);
            it = m.windows.erase(it);
        } else {
            ++it;
        }
    }
}

// The calling thread's queue. Threads made by CreateThread end their windows
// before their handle is signalled (EndThreadWindows); for any other thread
// the windows go when its thread-local storage does.
struct ThreadQueue {
    std::shared_ptr<MessageQueue> queue;
    ~ThreadQueue() {
        if (queue)
            RemoveWindowsOf(queue);
    }
};

thread_local ThreadQueue t_queue;

std::shared_ptr<MessageQueue> CurrentQueue() {
    if (!t_queue.queue)
        t_queue.queue = std::make_shared<MessageQueue>();
    return t_queue.queue;
}

std::u16string Fold(const WCHAR* text) {
    std::u16string out;
    if (text == nullptr)
        return out;
    for (const WCHAR* p = text; *p != 0; ++p) {
        UChar32 c = *p;
        // Surrogates are left alone; everything else is case-folded.
        if (c < 0xD800 || c > 0xDFFF)
            c = u_foldCase(c, U_FOLD_CASE_DEFAULT);
        out.push_back(static_cast<char16_t>(c <= 0xFFFF ? c : *p));
    }
    return out;
}

std::u16string Copy(const WCHAR* text) {
    return text ? std::u16string(text) : std::u16string();
}

bool IsIntResource(const WCHAR* name) {
    return reinterpret_cast<std::uintptr_t>(name) <= 0xFFFF;
}

std::uintptr_t Value(HWND window) {
    return reinterpret_cast<std::uintptr_t>(window);
}

// The window a handle names in this process (caller holds the manager lock).
std::shared_ptr<Window> FindLocked(Manager& m, HWND window) {
    auto it = m.windows.find(Value(window));
    return it == m.windows.end() ? nullptr : it->second;
}

std::shared_ptr<WindowClass> ClassLocked(Manager& m, LPCWSTR className) {
    if (className == nullptr)
        return nullptr;
    if (IsIntResource(className)) {
        ATOM atom = static_cast<ATOM>(reinterpret_cast<std::uintptr_t>(className));
        for (auto& entry : m.classes)
            if (entry.second->atom == atom)
                return entry.second;
        return nullptr;
    }
    auto it = m.classes.find(Fold(className));
    return it == m.classes.end() ? nullptr : it->second;
}

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

void ReleaseClassLockLocked(Manager& m, const std::u16string& folded) {
    auto it = m.locks.find(folded);
    if (it == m.locks.end())
        return;
    if (--it->second.windows <= 0) {
        ReleaseInstanceLock(it->second.fd);
        m.locks.erase(it);
    }
}

// Ends a window's life: WM_DESTROY first (handle still valid), then removal.
// A window refused in WM_NCCREATE never got WM_CREATE and gets no WM_DESTROY.
void Destroy(HWND hwnd, const std::shared_ptr<Window>& w, bool sendDestroy = true) {
    WNDPROC proc = w->windowClass->info.lpfnWndProc;
    if (sendDestroy)
        proc(hwnd, WM_DESTROY, 0, 0);
    Manager& m = TheManager();
    std::lock_guard<std::mutex> lock(m.mutex);
    m.windows.erase(Value(hwnd));
    ReleaseClassLockLocked(m, w->folded);
    // Messages still queued for the window and its timers are dropped with it.
    std::lock_guard<std::mutex> qlock(w->queue->mutex);
    std::erase_if(w->queue->messages, [hwnd](const MSG& msg) { return msg.hwnd == hwnd; });
    std::erase_if(w->queue->timers, [hwnd](const Timer& timer) { return timer.window == hwnd; });
}

}  // namespace

void EndThreadWindows() {
    if (!t_queue.queue)
        return;
    RemoveWindowsOf(t_queue.queue);
    std::lock_guard<std::mutex> lock(t_queue.queue->mutex);
    t_queue.queue->timers.clear();
}

}  // namespace wince

using namespace wince;

ATOM RegisterClassW(const WNDCLASSW* windowClass) {
    if (windowClass == nullptr || windowClass->lpfnWndProc == nullptr ||
        windowClass->lpszClassName == nullptr || IsIntResource(windowClass->lpszClassName) ||
        windowClass->lpszClassName[0] == 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    Manager& m = TheManager();
    std::lock_guard<std::mutex> lock(m.mutex);
    std::u16string folded = Fold(windowClass->lpszClassName);
    if (m.classes.count(folded)) {
        SetLastError(ERROR_CLASS_ALREADY_EXISTS);
        return 0;
    }
    auto entry = std::make_shared<WindowClass>();
    entry->atom = m.nextAtom++;
    entry->name = windowClass->lpszClassName;
    entry->info = *windowClass;
    // The caller's strings need not outlive the call.
    entry->info.lpszClassName = entry->name.c_str();
    entry->info.lpszMenuName = nullptr;
    m.classes.emplace(folded, entry);
    return entry->atom;
}

BOOL UnregisterClassW(LPCWSTR className, HINSTANCE) {
    Manager& m = TheManager();
    std::lock_guard<std::mutex> lock(m.mutex);
    auto cls = ClassLocked(m, className);
    if (!cls) {
        SetLastError(ERROR_CLASS_DOES_NOT_EXIST);
        return FALSE;
    }
    for (auto& entry : m.windows) {
        if (entry.second->windowClass == cls) {
            SetLastError(ERROR_CLASS_HAS_WINDOWS);
            return FALSE;
        }
    }
    m.classes.erase(Fold(cls->name.c_str()));
    return TRUE;
}

HWND CreateWindowExW(DWORD exStyle, LPCWSTR className, LPCWSTR windowName, DWORD style, int x,
                     int y, int width, int height, HWND parent, HMENU menu, HINSTANCE instance,
                     LPVOID param) {
    Manager& m = TheManager();
    HWND hwnd;
    std::shared_ptr<Window> w;
    {
        std::lock_guard<std::mutex> lock(m.mutex);
        auto cls = ClassLocked(m, className);
        if (!cls) {
            SetLastError(ERROR_CANNOT_FIND_WND_CLASS);
            return nullptr;
        }
        if (parent != nullptr && !FindLocked(m, parent)) {
            SetLastError(ERROR_INVALID_WINDOW_HANDLE);
            return nullptr;
        }
        std::u16string folded = Fold(cls->name.c_str());
        auto held = m.locks.find(folded);
        if (held == m.locks.end()) {
            DWORD error = ERROR_SUCCESS;
            int fd = AcquireInstanceLock(folded, cls->name, Copy(windowName), error);
            if (fd < 0) {
                SetLastError(error);
                return nullptr;
            }
            held = m.locks.emplace(folded, ClassLock{fd, 0}).first;
        }
        held->second.windows++;
        w = std::make_shared<Window>();
        w->windowClass = cls;
        w->folded = folded;
        w->title = Copy(windowName);
        w->owner = CurrentThreadId();
        w->queue = CurrentQueue();
        w->visible = (style & WS_VISIBLE) != 0;
        std::uintptr_t value = m.nextWindow;
        m.nextWindow += 4;
        hwnd = reinterpret_cast<HWND>(value);
        m.windows.emplace(value, w);
    }

    CREATESTRUCTW create = {};
    create.lpCreateParams = param;
    create.hInstance = instance;
    create.hMenu = menu;
    create.hwndParent = parent;
    create.cx = width;
    create.cy = height;
    create.x = x;
    create.y = y;
    create.style = static_cast<LONG>(style);
    create.lpszName = w->title.c_str();
    create.lpszClass = w->windowClass->name.c_str();
    create.dwExStyle = exStyle;
    // The creation messages of a desktop: WM_NCCREATE (0 refuses the window),
    // WM_NCCALCSIZE, then WM_CREATE (-1 refuses it). Windows CE sends only
    // WM_CREATE; a procedure that handles all three through DefWindowProcW
    // works on both.
    WNDPROC proc = w->windowClass->info.lpfnWndProc;
    auto refuse = [&](bool sendDestroy, DWORD error) -> HWND {
        bool destroy = false;
        {
            std::lock_guard<std::mutex> lock(m.mutex);
            if (FindLocked(m, hwnd) && !w->destroying)
                destroy = w->destroying = true;
        }
        if (destroy)
            Destroy(hwnd, w, sendDestroy);
        SetLastError(error);
        return nullptr;
    };
    if (proc(hwnd, WM_NCCREATE, 0, reinterpret_cast<LPARAM>(&create)) == 0)
        return refuse(false, ERROR_INVALID_WINDOW_HANDLE);
    RECT bounds = {x == CW_USEDEFAULT ? 0 : x, y == CW_USEDEFAULT ? 0 : y, 0, 0};
    bounds.right = bounds.left + (width == CW_USEDEFAULT ? 0 : width);
    bounds.bottom = bounds.top + (height == CW_USEDEFAULT ? 0 : height);
    if (IsWindow(hwnd))
        proc(hwnd, WM_NCCALCSIZE, FALSE, reinterpret_cast<LPARAM>(&bounds));
    if (IsWindow(hwnd) && proc(hwnd, WM_CREATE, 0, reinterpret_cast<LPARAM>(&create)) == -1)
        return refuse(true, ERROR_INVALID_FUNCTION);
    if (!IsWindow(hwnd)) {
        // The window procedure destroyed the window while it was created.
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return nullptr;
    }
    return hwnd;
}

BOOL DestroyWindow(HWND window) {
    std::shared_ptr<Window> w;
    {
        Manager& m = TheManager();
        std::lock_guard<std::mutex> lock(m.mutex);
        w = FindLocked(m, window);
        if (!w) {
            SetLastError(ERROR_INVALID_WINDOW_HANDLE);
            return FALSE;
        }
        if (w->owner != CurrentThreadId()) {
            SetLastError(ERROR_ACCESS_DENIED);
            return FALSE;
        }
        // A DestroyWindow from inside WM_DESTROY does not send it again.
        if (w->destroying)
            return TRUE;
        w->destroying = true;
    }
    Destroy(window, w);
    return TRUE;
}

BOOL IsWindow(HWND window) {
    Manager& m = TheManager();
    std::unique_lock<std::mutex> lock(m.mutex);
    if (FindLocked(m, window))
        return TRUE;
    for (auto& token : m.remoteTokens) {
        if (token.second == Value(window)) {
            std::u16string folded = token.first;
            lock.unlock();
            return InstanceLockHeldElsewhere(folded, nullptr) ? TRUE : FALSE;
        }
    }
    return FALSE;
}

BOOL IsWindowVisible(HWND window) {
    Manager& m = TheManager();
    std::lock_guard<std::mutex> lock(m.mutex);
    auto w = FindLocked(m, window);
    return w && w->visible ? TRUE : FALSE;
}

BOOL ShowWindow(HWND window, int showCommand) {
    Manager& m = TheManager();
    std::lock_guard<std::mutex> lock(m.mutex);
    auto w = FindLocked(m, window);
    if (!w) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return FALSE;
    }
    bool was = w->visible;
    w->visible = showCommand != SW_HIDE;
    return was ? TRUE : FALSE;
}

BOOL UpdateWindow(HWND window) {
    // Nothing is ever painted; the call only checks the handle.
    if (!IsWindow(window)) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return FALSE;
    }
    return TRUE;
}

HWND FindWindowW(LPCWSTR className, LPCWSTR windowName) {
    std::u16string folded = className && !IsIntResource(className) ? Fold(className) : u"";
    std::u16string title = windowName ? Fold(windowName) : u"";
    Manager& m = TheManager();
    {
        std::lock_guard<std::mutex> lock(m.mutex);
        std::shared_ptr<WindowClass> atomClass;
        if (className && IsIntResource(className)) {
            atomClass = ClassLocked(m, className);
            if (!atomClass)
                return nullptr;
            folded = Fold(atomClass->name.c_str());
        }
        // Oldest window first, as the handle values grow.
        std::uintptr_t best = 0;
        for (auto& entry : m.windows) {
            const Window& w = *entry.second;
            if (className && w.folded != folded)
                continue;
            if (windowName && Fold(w.title.c_str()) != title)
                continue;
            if (best == 0 || entry.first < best)
                best = entry.first;
        }
        if (best != 0)
            return reinterpret_cast<HWND>(best);
        // This process holds the class lock but no window matched.
        if (!className || m.locks.count(folded)) {
            SetLastError(ERROR_SUCCESS);
            return nullptr;
        }
    }
    std::u16string recorded;
    if (!InstanceLockHeldElsewhere(folded, &recorded))
        return nullptr;
    if (windowName && Fold(recorded.c_str()) != title)
        return nullptr;
    std::lock_guard<std::mutex> lock(m.mutex);
    auto token = m.remoteTokens.find(folded);
    if (token == m.remoteTokens.end()) {
        token = m.remoteTokens.emplace(folded, m.nextRemote).first;
        m.nextRemote += 2;
    }
    return reinterpret_cast<HWND>(token->second);
}

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

LRESULT DefWindowProcW(HWND window, UINT message, WPARAM, LPARAM) {
    if (message == WM_NCCREATE)
        return TRUE;
    if (message == WM_CLOSE)
        DestroyWindow(window);
    return 0;
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
