#include "reg_handles.h"

#include <unordered_map>

namespace wince::reg {
namespace {

std::unordered_map<ULONG_PTR, sqlite3_int64> g_handles;
// Handle values are never reused within a process, so a closed handle stays
// invalid instead of silently naming some later key.
ULONG_PTR g_nextHandle = 0x10000;

bool IsRootId(sqlite3_int64 id) {
    return id >= 1 && id <= kRootCount;
}

}  // namespace

LONG KeyIdOf(HKEY h, sqlite3_int64* id) {
    ULONG_PTR v = reinterpret_cast<ULONG_PTR>(h);
    for (sqlite3_int64 r = 0; r < kRootCount; ++r) {
        if (v == reinterpret_cast<ULONG_PTR>(WINCE_PREDEFINED_HKEY(0x80000000u + r))) {
            *id = r + 1;
            return ERROR_SUCCESS;
        }
    }
    auto it = g_handles.find(v);
    if (it == g_handles.end())
        return ERROR_INVALID_HANDLE;
    *id = it->second;
    return ERROR_SUCCESS;
}

LONG KeyExists(sqlite3_int64 id) {
    if (IsRootId(id))
        return ERROR_SUCCESS;
    Stmt s(g_db, "SELECT 1 FROM keys WHERE id=?");
    s.Bind(1, id);
    if (s.Step())
        return ERROR_SUCCESS;
    return s.Error() != ERROR_SUCCESS ? s.Error() : ERROR_KEY_DELETED;
}

HKEY NewHandle(sqlite3_int64 id) {
    ULONG_PTR v = g_nextHandle;
    g_nextHandle += 4;
    g_handles[v] = id;
    return reinterpret_cast<HKEY>(v);
}

}  // namespace wince::reg

using wince::reg::g_db;
using wince::reg::g_handles;
using wince::reg::g_mutex;
using wince::reg::KeyIdOf;

void WinceRegistryCloseStore() {
    std::lock_guard<std::mutex> lock(g_mutex);
    g_handles.clear();
    if (g_db != nullptr)
        sqlite3_close(g_db);
    g_db = nullptr;
}

LONG RegCloseKey(HKEY hKey) {
    std::lock_guard<std::mutex> lock(g_mutex);
    sqlite3_int64 id = 0;
    LONG e = KeyIdOf(hKey, &id);
    if (e != ERROR_SUCCESS)
        return e;
    g_handles.erase(reinterpret_cast<ULONG_PTR>(hKey));
    return ERROR_SUCCESS;
}
