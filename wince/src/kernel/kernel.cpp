// Threads, events, waits and critical sections on the C++ standard library.
#include "wince/kernel.h"

#include <pthread.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <new>
#include <system_error>
#include <thread>

#include "handles.h"
#include "instancelock.h"
#include "wince/testing/kernel.h"

namespace wince {
namespace {

using Clock = std::chrono::steady_clock;

// Waits on `cv` until `ready()` holds or the time-out passes.
template <class Ready>
bool WaitFor(std::condition_variable& cv, std::unique_lock<std::mutex>& lock, DWORD milliseconds,
             Ready ready) {
    if (milliseconds == INFINITE) {
        cv.wait(lock, ready);
        return true;
    }
    return cv.wait_until(lock, Clock::now() + std::chrono::milliseconds(milliseconds), ready);
}

class Event : public KernelObject {
  public:
    Event(bool manualReset, bool signalled) : manualReset_(manualReset), signalled_(signalled) {}

    void Set() {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            signalled_ = true;
        }
        // An auto-reset event releases one waiter; the others keep waiting
        // because the first one consumes the signal under the lock.
        if (manualReset_)
            cv_.notify_all();
        else
            cv_.notify_one();
    }

    void Reset() {
        std::lock_guard<std::mutex> lock(mutex_);
        signalled_ = false;
    }

    bool Wait(DWORD milliseconds) override {
        std::unique_lock<std::mutex> lock(mutex_);
        if (!WaitFor(cv_, lock, milliseconds, [this] { return signalled_; }))
            return false;
        if (!manualReset_)
            signalled_ = false;
        return true;
    }

  private:
    const bool manualReset_;
    std::mutex mutex_;
    std::condition_variable cv_;
    bool signalled_;
};

class Thread : public KernelObject {
  public:
    void Finish(DWORD exitCode) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            exitCode_ = exitCode;
            finished_ = true;
        }
        cv_.notify_all();
    }

    bool Wait(DWORD milliseconds) override {
        std::unique_lock<std::mutex> lock(mutex_);
        return WaitFor(cv_, lock, milliseconds, [this] { return finished_; });
    }

    DWORD ExitCode() {
        std::lock_guard<std::mutex> lock(mutex_);
        return finished_ ? exitCode_ : STILL_ACTIVE;
    }

  private:
    std::mutex mutex_;
    std::condition_variable cv_;
    bool finished_ = false;
    DWORD exitCode_ = 0;
};

class Mutex : public KernelObject {
  public:
    // lockFd: the descriptor that holds a named mutex's cross-process
    // existence, or -1.
    explicit Mutex(int lockFd) : lockFd_(lockFd) {}
    ~Mutex() override { ReleaseNamedObjectLock(lockFd_); }

    bool Wait(DWORD milliseconds) override {
        const DWORD self = CurrentThreadId();
        std::unique_lock<std::mutex> lock(mutex_);
        if (owner_ == self) {
            ++count_;
            return true;
        }
        if (!WaitFor(cv_, lock, milliseconds, [this] { return owner_ == 0; }))
            return false;
        owner_ = self;
        count_ = 1;
        return true;
    }

    bool Release() {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (owner_ != CurrentThreadId() || count_ == 0)
                return false;
            if (--count_ > 0)
                return true;
            owner_ = 0;
        }
        cv_.notify_one();
        return true;
    }

  private:
    const int lockFd_;
    std::mutex mutex_;
    std::condition_variable cv_;
    DWORD owner_ = 0;
    unsigned count_ = 0;
};

// The named mutexes of this process, so that a second creation under a name
// finds the same object.
std::mutex g_namedMutexes;
std::map<std::u16string, std::weak_ptr<Mutex>> g_namedMutexByName;

// Signals a thread's handle only once its pthread has ended. The C library
// and the libraries a thread used (OpenSSL's per-thread error queue, for one)
// clean up after the thread's function returns; a waiter that saw the handle
// signalled and then exited would leave that state of a thread still
// running. Each thread announces its end as its last act; the reaper then
// joins it, which returns at once, and only then signals the handle.
class Reaper {
  public:
    static Reaper& Instance() {
        std::lock_guard<std::mutex> hold(InstanceMutex());
        static const bool forkSafe = [] {
            // A forked child has no reaper thread: it starts one of its own.
            pthread_atfork([] { InstanceMutex().lock(); }, [] { InstanceMutex().unlock(); },
                           [] {
                               g_instance = nullptr;
                               InstanceMutex().unlock();
                           });
            return true;
        }();
        (void)forkSafe;
        // Never destroyed: threads may still end while the process exits.
        if (g_instance == nullptr)
            g_instance = new Reaper;  // std::system_error when no thread can start
        return *g_instance;
    }

    // The thread `key` runs as `thread`; its end signals `object`.
    void Adopt(std::uint64_t key, std::thread thread, std::shared_ptr<Thread> object) {
        {
            std::lock_guard<std::mutex> hold(mutex_);
            Entry& entry = entries_[key];
            entry.thread = std::move(thread);
            entry.object = std::move(object);
        }
        cv_.notify_one();
    }

    // From thread `key` itself, after its function returned `exitCode`.
    void Ending(std::uint64_t key, DWORD exitCode) {
        {
            std::lock_guard<std::mutex> hold(mutex_);
            Entry& entry = entries_[key];
            entry.ending = true;
            entry.exitCode = exitCode;
        }
        cv_.notify_one();
    }

  private:
    struct Entry {
        std::thread thread;
        std::shared_ptr<Thread> object;
        bool ending = false;
        DWORD exitCode = 0;
    };

    Reaper() {
        std::thread([this] { Loop(); }).detach();
    }

    static std::mutex& InstanceMutex() {
        static std::mutex* mutex = new std::mutex;  // outlives every thread
        return *mutex;
    }

    void Loop() {
        std::unique_lock<std::mutex> lock(mutex_);
        for (;;) {
            auto ready = entries_.end();
            cv_.wait(lock, [&] {
                ready = std::find_if(entries_.begin(), entries_.end(), [](const auto& e) {
                    return e.second.ending && e.second.thread.joinable();
                });
                return ready != entries_.end();
            });
            Entry entry = std::move(ready->second);
            entries_.erase(ready);
            lock.unlock();
            entry.thread.join();
            entry.object->Finish(entry.exitCode);
            lock.lock();
        }
    }

    static inline Reaper* g_instance = nullptr;  // guarded by InstanceMutex()
    std::mutex mutex_;
    std::condition_variable cv_;
    std::map<std::uint64_t, Entry> entries_;
};

std::atomic<std::uint64_t> g_nextThreadKey{1};

std::atomic<int> g_failThreadCreations{0};

bool ConsumeInjectedFailure() {
    int pending = g_failThreadCreations.load();
    while (pending > 0) {
        if (g_failThreadCreations.compare_exchange_weak(pending, pending - 1))
            return true;
    }
    return false;
}

template <class T>
std::shared_ptr<T> Lookup(HANDLE handle) {
    return std::dynamic_pointer_cast<T>(LookupHandle(handle));
}

std::recursive_mutex* MutexOf(LPCRITICAL_SECTION section) {
    return std::launder(reinterpret_cast<std::recursive_mutex*>(section->opaque));
}

static_assert(sizeof(std::recursive_mutex) <= sizeof(CRITICAL_SECTION::opaque));
static_assert(alignof(std::recursive_mutex) <= alignof(CRITICAL_SECTION));

}  // namespace
}  // namespace wince

using namespace wince;

void WinceKernelFailThreadCreation(int count) {
    g_failThreadCreations.store(count < 0 ? 0 : count);
}

HANDLE CreateThread(LPSECURITY_ATTRIBUTES, SIZE_T, LPTHREAD_START_ROUTINE startAddress,
                    LPVOID parameter, DWORD creationFlags, LPDWORD threadId) {
    if (startAddress == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    if (creationFlags & CREATE_SUSPENDED) {
        SetLastError(ERROR_NOT_SUPPORTED);
        return nullptr;
    }
    if (ConsumeInjectedFailure()) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    auto thread = std::make_shared<Thread>();
    DWORD id = ReserveThreadId();
    HANDLE handle = InsertHandle(thread);
    try {
        Reaper& reaper = Reaper::Instance();
        const std::uint64_t key = g_nextThreadKey.fetch_add(1);
        std::thread running([&reaper, key, id, startAddress, parameter] {
            AdoptThreadId(id);
            DWORD exitCode = startAddress(parameter);
            // Its windows end with the thread: once a wait on the handle
            // returns, they are gone and posts to them fail.
            EndThreadWindows();
            reaper.Ending(key, exitCode);
        });
        reaper.Adopt(key, std::move(running), thread);
    } catch (const std::system_error&) {
        RemoveHandle(handle);
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    if (threadId != nullptr)
        *threadId = id;
    return handle;
}

BOOL GetExitCodeThread(HANDLE handle, LPDWORD exitCode) {
    auto thread = Lookup<Thread>(handle);
    if (!thread || exitCode == nullptr) {
        SetLastError(thread ? ERROR_INVALID_PARAMETER : ERROR_INVALID_HANDLE);
        return FALSE;
    }
    *exitCode = thread->ExitCode();
    return TRUE;
}

HANDLE CreateEventW(LPSECURITY_ATTRIBUTES, BOOL manualReset, BOOL initialState, LPCWSTR name) {
    if (name != nullptr) {
        SetLastError(ERROR_NOT_SUPPORTED);
        return nullptr;
    }
    HANDLE handle =
        InsertHandle(std::make_shared<Event>(manualReset != FALSE, initialState != FALSE));
    SetLastError(ERROR_SUCCESS);
    return handle;
}

HANDLE CreateMutexW(LPSECURITY_ATTRIBUTES, BOOL initialOwner, LPCWSTR name) {
    std::shared_ptr<Mutex> mutex;
    bool existed = false;
    std::unique_lock<std::mutex> names(g_namedMutexes, std::defer_lock);
    if (name != nullptr) {
        names.lock();
        const std::u16string key(name);
        mutex = g_namedMutexByName[key].lock();
        existed = mutex != nullptr;
        if (!mutex) {
            DWORD error = ERROR_SUCCESS;
            const int fd = AcquireNamedObjectLock(key, existed, error);
            if (fd < 0) {
                SetLastError(error);
                return nullptr;
            }
            mutex = std::make_shared<Mutex>(fd);
            g_namedMutexByName[key] = mutex;
        }
    } else {
        mutex = std::make_shared<Mutex>(-1);
    }
    // An existing mutex is opened, never taken.
    if (initialOwner && !existed)
        mutex->Wait(0);
    HANDLE handle = InsertHandle(mutex);
    if (handle == nullptr) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    SetLastError(existed ? ERROR_ALREADY_EXISTS : ERROR_SUCCESS);
    return handle;
}

BOOL ReleaseMutex(HANDLE handle) {
    auto mutex = Lookup<Mutex>(handle);
    if (!mutex) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if (!mutex->Release()) {
        SetLastError(ERROR_NOT_OWNER);
        return FALSE;
    }
    return TRUE;
}

BOOL SetEvent(HANDLE handle) {
    auto event = Lookup<Event>(handle);
    if (!event) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    event->Set();
    return TRUE;
}

BOOL ResetEvent(HANDLE handle) {
    auto event = Lookup<Event>(handle);
    if (!event) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    event->Reset();
    return TRUE;
}

DWORD WaitForSingleObject(HANDLE handle, DWORD milliseconds) {
    auto object = LookupHandle(handle);
    if (!object) {
        SetLastError(ERROR_INVALID_HANDLE);
        return WAIT_FAILED;
    }
    return object->Wait(milliseconds) ? WAIT_OBJECT_0 : WAIT_TIMEOUT;
}

BOOL CloseHandle(HANDLE handle) {
    if (!RemoveHandle(handle)) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    return TRUE;
}

void InitializeCriticalSection(LPCRITICAL_SECTION section) {
    new (section->opaque) std::recursive_mutex();
}

void EnterCriticalSection(LPCRITICAL_SECTION section) {
    MutexOf(section)->lock();
}

BOOL TryEnterCriticalSection(LPCRITICAL_SECTION section) {
    return MutexOf(section)->try_lock() ? TRUE : FALSE;
}

void LeaveCriticalSection(LPCRITICAL_SECTION section) {
    MutexOf(section)->unlock();
}

void DeleteCriticalSection(LPCRITICAL_SECTION section) {
    MutexOf(section)->~recursive_mutex();
}

void Sleep(DWORD milliseconds) {
    if (milliseconds == INFINITE) {
        // Sleep(INFINITE) never returns on Windows either.
        for (;;)
            std::this_thread::sleep_for(std::chrono::hours(24));
    }
    if (milliseconds == 0) {
        std::this_thread::yield();
        return;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
}

DWORD GetCurrentThreadId() {
    return CurrentThreadId();
}

DWORD GetTickCount() {
    auto now = std::chrono::steady_clock::now().time_since_epoch();
    return static_cast<DWORD>(std::chrono::duration_cast<std::chrono::milliseconds>(now).count());
}
