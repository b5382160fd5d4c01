// Window classes and windows; the queues they post to are in messages.cpp.
//
// Lock order as in window_internal.h: the manager lock before a queue's.
// Window procedures are always called with no lock held, so they may create,
// destroy and post freely.
#include "wince/window.h"

#include <unicode/uchar.h>

#include <memory>
#include <mutex>
#include <string>

#include "handles.h"
#include "instancelock.h"
#include "window_internal.h"
#include "wince/kernel.h"

namespace wince {
namespace {

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

Manager& TheManager() {
    static Manager* manager = new Manager;  // outlives detached threads
    return *manager;
}

std::shared_ptr<MessageQueue> CurrentQueue() {
    if (!t_queue.queue)
        t_queue.queue = std::make_shared<MessageQueue>();
    return t_queue.queue;
}

// The window a handle names in this process (caller holds the manager lock).
std::shared_ptr<Window> FindLocked(Manager& m, HWND window) {
    auto it = m.windows.find(Value(window));
    return it == m.windows.end() ? nullptr : it->second;
}

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

LRESULT DefWindowProcW(HWND window, UINT message, WPARAM, LPARAM) {
    if (message == WM_NCCREATE)
        return TRUE;
    if (message == WM_CLOSE)
        DestroyWindow(window);
    return 0;
}
