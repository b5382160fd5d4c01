#include "handles.h"

#include <atomic>
#include <mutex>
#include <unordered_map>

namespace wince {
namespace {

struct HandleTable {
    std::mutex mutex;
    std::unordered_map<std::uintptr_t, std::shared_ptr<KernelObject>> objects;
    // Handle values are never reused, so a stale handle cannot reach an
    // object created later. Multiples of 4 as on Windows, starting high
    // enough that small integers cast to HANDLE are always invalid.
    std::uintptr_t next = 0x1000;
};

HandleTable& Table() {
    // Never destroyed: detached threads may still close handles while the
    // process exits.
    static HandleTable* table = new HandleTable;
    return *table;
}

std::atomic<DWORD> g_nextThreadId{0x100};
thread_local DWORD t_threadId = 0;

}  // namespace

HANDLE InsertHandle(std::shared_ptr<KernelObject> object) {
    HandleTable& table = Table();
    std::lock_guard<std::mutex> lock(table.mutex);
    std::uintptr_t value = table.next;
    table.next += 4;
    table.objects.emplace(value, std::move(object));
    return reinterpret_cast<HANDLE>(value);
}

std::shared_ptr<KernelObject> LookupHandle(HANDLE handle) {
    HandleTable& table = Table();
    std::lock_guard<std::mutex> lock(table.mutex);
    auto it = table.objects.find(reinterpret_cast<std::uintptr_t>(handle));
    if (it == table.objects.end())
        return nullptr;
    return it->second;
}

bool RemoveHandle(HANDLE handle) {
    std::shared_ptr<KernelObject> released;
    HandleTable& table = Table();
    {
        std::lock_guard<std::mutex> lock(table.mutex);
        auto it = table.objects.find(reinterpret_cast<std::uintptr_t>(handle));
        if (it == table.objects.end())
            return false;
        released = std::move(it->second);
        table.objects.erase(it);
    }
    // The object (if this was its last reference) is destroyed here, outside
    // the table lock.
    return true;
}

DWORD CurrentThreadId() {
    if (t_threadId == 0)
        t_threadId = g_nextThreadId.fetch_add(1);
    return t_threadId;
}

// Lets CreateThread give the new thread the id it already reported.
void AdoptThreadId(DWORD id) {
    t_threadId = id;
}
DWORD ReserveThreadId() {
    return g_nextThreadId.fetch_add(1);
}

}  // namespace wince
