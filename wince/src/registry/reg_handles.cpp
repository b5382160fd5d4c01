#include "reg_handles.h"

#include <unordered_map>

#include "wince/testing/registry.h"

namespace wince::reg {
namespace {

struct Handle {
    sqlite3_int64 id;
    REGSAM rights;
};

std::unordered_map<ULONG_PTR, Handle> g_handles;
// Handle values are never reused within a process, so a closed handle stays
// invalid instead of silently naming some later key.
ULONG_PTR g_nextHandle = 0x10000;

bool IsRootId(sqlite3_int64 id) {
    return id >= 1 && id <= kRootCount;
}

constexpr REGSAM kGenericRead = 0x80000000u;
constexpr REGSAM kGenericWrite = 0x40000000u;
constexpr REGSAM kGenericExecute = 0x20000000u;
constexpr REGSAM kGenericAll = 0x10000000u;
constexpr REGSAM kMaximumAllowed = 0x02000000u;

// The key rights a request grants: generic rights map to their key rights,
// and the caller is allowed everything it may ask for.
REGSAM Granted(REGSAM desired) {
    REGSAM rights = desired & KEY_ALL_ACCESS;
    if ((desired & (kGenericRead | kGenericExecute)) != 0)
        rights |= KEY_READ;
    if ((desired & kGenericWrite) != 0)
        rights |= KEY_WRITE;
    if ((desired & (kGenericAll | kMaximumAllowed)) != 0)
        rights |= KEY_ALL_ACCESS;
    return rights;
}

}  // namespace

std::atomic<bool> g_strictAccess{false};

LONG KeyIdOf(HKEY h, sqlite3_int64* id, REGSAM* rights) {
    ULONG_PTR v = reinterpret_cast<ULONG_PTR>(h);
    std::lock_guard<std::mutex> lock(g_handleMutex);
    for (sqlite3_int64 r = 0; r < kRootCount; ++r) {
        if (v == reinterpret_cast<ULONG_PTR>(WINCE_PREDEFINED_HKEY(0x80000000u + r))) {
            *id = r + 1;
            if (rights != nullptr)
                *rights = KEY_ALL_ACCESS;
            return ERROR_SUCCESS;
        }
    }
    auto it = g_handles.find(v);
    if (it == g_handles.end())
        return ERROR_INVALID_HANDLE;
    *id = it->second.id;
    if (rights != nullptr)
        *rights = it->second.rights;
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

HKEY NewHandle(sqlite3_int64 id, REGSAM desired) {
    std::lock_guard<std::mutex> lock(g_handleMutex);
    ULONG_PTR v = g_nextHandle;
    g_nextHandle += 4;
    g_handles[v] = Handle{id, Granted(desired)};
    return reinterpret_cast<HKEY>(v);
}

}  // namespace wince::reg

using wince::reg::g_handleMutex;
using wince::reg::g_handles;
using wince::reg::g_reader;
using wince::reg::g_writer;
using wince::reg::KeyIdOf;

void WinceRegistryCloseStore() {
    std::scoped_lock lock(g_writer.mutex, g_reader.mutex, g_handleMutex);
    g_handles.clear();
    for (wince::reg::Connection* c : {&g_reader, &g_writer}) {
        if (c->db != nullptr)
            sqlite3_close(c->db);
        c->db = nullptr;
    }
}

void WinceRegistrySetStrictAccess(bool strict) {
    wince::reg::g_strictAccess = strict;
}

LONG RegCloseKey(HKEY hKey) {
    sqlite3_int64 id = 0;
    LONG e = KeyIdOf(hKey, &id);
    if (e != ERROR_SUCCESS)
        return e;
    std::lock_guard<std::mutex> lock(g_handleMutex);
    g_handles.erase(reinterpret_cast<ULONG_PTR>(hKey));
    return ERROR_SUCCESS;
}
