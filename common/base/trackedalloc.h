// Tracked allocation: every object of the system's classes lives in a block
// that carries a header naming its class, source file and line, and every
// live block sits in one process-wide list, so the live objects can be
// inspected at any time. Safe to call from any thread.
#pragma once

#include <climits>
#include <cstddef>
#include <cstdint>

// Header in front of every tracked block; the object follows it directly.
struct TrackedBlockHeader {
    TrackedBlockHeader* next;  // null once released
    TrackedBlockHeader* prev;  // null once released
    uint32_t stamp;            // kTrackedStampLive / kTrackedStampReleased
    const char* className;     // not copied
    const char* file;          // not copied
    int32_t line;
};

constexpr uint32_t kTrackedStampLive = 0x416C426C;      // "lBlA" in memory
constexpr uint32_t kTrackedStampReleased = 0x4465426C;  // "lBeD" in memory

// A block of size bytes for an object of className, or null (after a
// warning line "Could not allocate %d bytes for a %s") when memory runs out.
void* AllocTracked(int size, const char* className, const char* file, int line);
// Releases a block from AllocTracked; null is ignored.
void FreeTracked(void* block);

// Number of live tracked blocks.
int LiveBlockCount();
// The header of a block from AllocTracked (also readable after release,
// until the memory is reused).
const TrackedBlockHeader* TrackedHeaderOf(const void* block);
// Calls visit for every live block, oldest first, with the list locked:
// visit must not allocate or free tracked blocks.
void ForEachLiveBlock(void (*visit)(const TrackedBlockHeader* header, void* context),
                      void* context);

// For tests: while set, every AllocTracked fails as if memory ran out.
void SetAllocatorFailureForTesting(bool fail);
// For tests: the next successes calls succeed, then every call fails until
// reset (a negative value turns the countdown off).
void SetAllocatorFailureCountdownForTesting(int successes);

// Placed in a class body: objects of the class are created only with
// WINM_NEW(Class)(args) (a null result means out of memory; the constructor
// then does not run) and deleted with delete, which releases the block with
// FreeTracked (through the virtual destructor for derived classes).
// Leaves the access at public; a trailing semicolon is optional.
#define WINM_TRACKED_ALLOCATION                                                          \
  public:                                                                                \
    static void* operator new(std::size_t size, const char* className, const char* file, \
                              int line) noexcept {                                       \
        if (size > static_cast<std::size_t>(INT_MAX))                                    \
            return nullptr;                                                              \
        return AllocTracked(static_cast<int>(size), className, file, line);              \
    }                                                                                    \
    static void operator delete(void* block, const char*, const char*, int) noexcept {   \
        FreeTracked(block);                                                              \
    }                                                                                    \
    static void operator delete(void* block) noexcept {                                  \
        FreeTracked(block);                                                              \
    }                                                                                    \
    static void* operator new(std::size_t) = delete;                                     \
    static void* operator new[](std::size_t) = delete;                                   \
    static void operator delete[](void*) = delete;

#define WINM_NEW(Class) new (#Class, __FILE__, __LINE__) Class
