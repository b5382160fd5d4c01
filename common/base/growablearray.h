// A run of fixed-size elements that grows by doubling and shrinks when it
// falls to half its capacity; with capacity 0 and a non-null data pointer it
// is a borrowed, read-only view of someone else's memory.
#pragma once

#include <cstdint>

struct GrowableArray {
    void* data;           // first element, or null
    int32_t capacity;     // elements allocated; 0 = owns nothing (empty or a view)
    int32_t count;        // elements in use
    int32_t elementSize;  // bytes per element

    explicit GrowableArray(int elementSize);
    // A view of count elements at data; never resized or freed by the view.
    static GrowableArray View(const void* data, int count, int elementSize);

    GrowableArray(const GrowableArray&) = delete;
    GrowableArray& operator=(const GrowableArray&) = delete;
    // The moved-from array is left empty (and keeps its element size).
    GrowableArray(GrowableArray&& other) noexcept;
    GrowableArray& operator=(GrowableArray&& other) noexcept;
    ~GrowableArray() { FreeIfOwned(); }

    // Sets count to n, reallocating by the growth/shrink policy. New elements
    // are not initialised. Stops the process when memory runs out. On a view
    // the elements kept are first copied into memory of the array's own.
    void SetCount(int n);
    // Opens a gap of n elements before position (a pointer into data, or
    // data + count to append), fills it from source when source is not null,
    // and returns a pointer to the gap in the array's current memory.
    void* InsertAt(void* position, int n, const void* source);
    // Frees the memory when the array owns it and leaves the array empty;
    // a view is only dropped.
    void FreeIfOwned();

    // For tests: while set, every allocation of any array fails.
    static void SetAllocationFailureForTesting(bool fail);

    bool IsView() const { return capacity == 0 && data != nullptr; }
    template <class T>
    T* As() const {
        return static_cast<T*>(data);
    }
    uint8_t* Bytes() const { return static_cast<uint8_t*>(data); }
    void* End() const { return Bytes() + static_cast<int64_t>(count) * elementSize; }
};
