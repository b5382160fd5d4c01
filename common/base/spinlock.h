// A small lock for the few-instruction critical sections of the core
// library (list links, shared pointers). Built on std::atomic alone so that
// it exists with every toolchain the system is compiled with.
#pragma once

#include <atomic>

class SpinLock {
  public:
    void lock() {
        while (locked_.exchange(true, std::memory_order_acquire)) {
            while (locked_.load(std::memory_order_relaxed)) {
            }
        }
    }
    void unlock() { locked_.store(false, std::memory_order_release); }

  private:
    std::atomic<bool> locked_{false};
};

class SpinLockGuard {
  public:
    explicit SpinLockGuard(SpinLock& lock) : lock_(lock) { lock_.lock(); }
    ~SpinLockGuard() { lock_.unlock(); }
    SpinLockGuard(const SpinLockGuard&) = delete;
    SpinLockGuard& operator=(const SpinLockGuard&) = delete;

  private:
    SpinLock& lock_;
};
