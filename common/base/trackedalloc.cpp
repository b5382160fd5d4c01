#include "common/base/trackedalloc.h"

#include <atomic>
#include <cstdlib>
#include "common/base/spinlock.h"

#include "common/base/log.h"

namespace {

// The circular list of live blocks; the head is a header of its own whose
// stamp and tag fields are unused.
struct LiveBlockList {
    TrackedBlockHeader head{&head, &head, 0, nullptr, nullptr, 0};
    int32_t count = 0;
    SpinLock lock;
};

// Never destroyed: blocks may be released by static destructors of any
// translation unit.
LiveBlockList& List() {
    static LiveBlockList* list = new LiveBlockList;
    return *list;
}

std::atomic<bool> g_failAll{false};
std::atomic<int> g_successesLeft{-1};

bool InjectedFailure() {
    if (g_failAll.load(std::memory_order_relaxed))
        return true;
    int left = g_successesLeft.load(std::memory_order_relaxed);
    while (left >= 0) {
        if (left == 0)
            return true;
        if (g_successesLeft.compare_exchange_weak(left, left - 1))
            return false;
    }
    return false;
}

constexpr long long kHeaderSize = static_cast<long long>(sizeof(TrackedBlockHeader));

}  // namespace

void* AllocTracked(int size, const char* className, const char* file, int line) {
    LiveBlockList& list = List();
    long long total = static_cast<long long>(size) + kHeaderSize;
    void* memory = nullptr;
    if (total > 0 && !InjectedFailure())
        memory = std::malloc(static_cast<std::size_t>(total));
    if (memory == nullptr) {
        // Composing through a KString would need the memory that just
        // ran out.
        LogWarningText("Could not allocate %d bytes for a %s", size,
                       className != nullptr ? className : "");
        return nullptr;
    }
    auto* header = static_cast<TrackedBlockHeader*>(memory);
    header->stamp = kTrackedStampLive;
    header->className = className;
    header->file = file;
    header->line = line;
    {
        SpinLockGuard guard(list.lock);
        header->next = &list.head;
        header->prev = list.head.prev;
        list.head.prev->next = header;
        list.head.prev = header;
        ++list.count;
    }
    return header + 1;
}

void FreeTracked(void* block) {
    if (block == nullptr)
        return;
    LiveBlockList& list = List();
    TrackedBlockHeader* header = static_cast<TrackedBlockHeader*>(block) - 1;
    {
        SpinLockGuard guard(list.lock);
        header->stamp = kTrackedStampReleased;
        header->prev->next = header->next;
        header->next->prev = header->prev;
        header->next = nullptr;
        header->prev = nullptr;
        --list.count;
    }
    std::free(header);
}

int LiveBlockCount() {
    LiveBlockList& list = List();
    SpinLockGuard guard(list.lock);
    return list.count;
}

const TrackedBlockHeader* TrackedHeaderOf(const void* block) {
    return static_cast<const TrackedBlockHeader*>(block) - 1;
}

void ForEachLiveBlock(void (*visit)(const TrackedBlockHeader* header, void* context),
                      void* context) {
    LiveBlockList& list = List();
    SpinLockGuard guard(list.lock);
    for (TrackedBlockHeader* h = list.head.next; h != &list.head; h = h->next)
        visit(h, context);
}

void SetAllocatorFailureForTesting(bool fail) {
    g_failAll.store(fail);
}

void SetAllocatorFailureCountdownForTesting(int successes) {
    g_successesLeft.store(successes < 0 ? -1 : successes);
}
