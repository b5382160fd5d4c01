// Internal state shared by the window and message-queue halves of the
// window manager (window.cpp, messages.cpp).
//
// One manager lock guards the class and window tables; each thread's queue
// has its own lock, always taken after the manager's when both are held.
// Window procedures are always called with no lock held, so they may create,
// destroy and post freely.
#pragma once

#include <chrono>
#include <condition_variable>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

#include "wince/window.h"

namespace wince {

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

// The process-wide manager.
Manager& TheManager();

// The calling thread's queue, made on first use.
std::shared_ptr<MessageQueue> CurrentQueue();

// The window a handle names in this process (caller holds the manager lock).
std::shared_ptr<Window> FindLocked(Manager& m, HWND window);

}  // namespace wince
