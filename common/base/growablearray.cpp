#include "common/base/growablearray.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

// The array cannot describe memory it does not have, and its owners have no
// way to go on without it: stop at once and say why.
[[noreturn]] void OutOfMemory(long long bytes) {
    std::fprintf(stderr, "fatal: could not allocate %lld bytes for a GrowableArray\n", bytes);
    std::fflush(stderr);
    std::abort();
}

std::atomic<bool> g_failAllocations{false};

void* Reallocate(void* data, long long bytes) {
    if (g_failAllocations.load(std::memory_order_relaxed))
        return nullptr;
    return std::realloc(data, static_cast<std::size_t>(bytes));
}

}  // namespace

void GrowableArray::SetAllocationFailureForTesting(bool fail) {
    g_failAllocations.store(fail);
}

GrowableArray::GrowableArray(int elementSize)
    : data(nullptr), capacity(0), count(0), elementSize(elementSize) {}

GrowableArray GrowableArray::View(const void* data, int count, int elementSize) {
    GrowableArray view(elementSize);
    view.data = const_cast<void*>(data);
    view.count = count;
    return view;
}

GrowableArray::GrowableArray(GrowableArray&& other) noexcept
    : data(other.data),
      capacity(other.capacity),
      count(other.count),
      elementSize(other.elementSize) {
    other.data = nullptr;
    other.capacity = 0;
    other.count = 0;
}

GrowableArray& GrowableArray::operator=(GrowableArray&& other) noexcept {
    if (this != &other) {
        FreeIfOwned();
        data = other.data;
        capacity = other.capacity;
        count = other.count;
        elementSize = other.elementSize;
        other.data = nullptr;
        other.capacity = 0;
        other.count = 0;
    }
    return *this;
}

void GrowableArray::SetCount(int n) {
    if (n < 0) {
        std::fprintf(stderr, "fatal: GrowableArray count %d is negative\n", n);
        std::abort();
    }
    if (IsView()) {
        // Take the kept elements into memory of our own; the view's memory
        // belongs to someone else and is never resized or freed here.
        int keep = n < count ? n : count;
        long long bytes = static_cast<long long>(n) * elementSize;
        void* own = nullptr;
        if (bytes > 0) {
            own = Reallocate(nullptr, bytes);
            if (own == nullptr)
                OutOfMemory(bytes);
            std::memcpy(own, data, static_cast<std::size_t>(keep) * elementSize);
        }
        data = own;
        capacity = bytes > 0 ? n : 0;
        count = n;
        return;
    }
    int cap = capacity;
    long long newCap;
    if (n < count && n <= cap / 2) {
        newCap = n;
    } else if (n == 0) {
        newCap = 0;
    } else if (n <= cap) {
        newCap = cap;
    } else {
        newCap = 2LL * cap;
        if (n > newCap)
            newCap = n;
        if (newCap > 0x7FFFFFFF)
            newCap = n;  // doubling past the int range
    }
    if (newCap != cap) {
        long long bytes = newCap * elementSize;
        if (bytes != 0) {
            void* grown = Reallocate(data, bytes);
            if (grown == nullptr)
                OutOfMemory(bytes);
            data = grown;
        } else {
            std::free(data);
            data = nullptr;
        }
        capacity = static_cast<int32_t>(newCap);
    }
    count = n;
}

void* GrowableArray::InsertAt(void* position, int n, const void* source) {
    long long offset = static_cast<uint8_t*>(position) - Bytes();
    int oldCount = count;
    long long newCount = static_cast<long long>(count) + n;
    if (n < 0 || newCount > 0x7FFFFFFF)
        OutOfMemory(newCount * elementSize);
    SetCount(static_cast<int>(newCount));
    uint8_t* gap = Bytes() + offset;
    long long tail = static_cast<long long>(oldCount) * elementSize - offset;
    long long shift = static_cast<long long>(n) * elementSize;
    if (tail > 0)
        std::memmove(gap + shift, gap, static_cast<std::size_t>(tail));
    if (source != nullptr && shift > 0)
        std::memmove(gap, source, static_cast<std::size_t>(shift));
    return gap;
}

void GrowableArray::FreeIfOwned() {
    if (capacity > 0)
        std::free(data);
    data = nullptr;
    capacity = 0;
    count = 0;
}
