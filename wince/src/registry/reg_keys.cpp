// Registry key calls: opening, creating, deleting, enumerating and
// describing keys.
#include <sqlite3.h>

#include <utility>
#include <vector>

#include "reg_handles.h"
#include "reg_names.h"
#include "reg_sqlite.h"
#include "reg_store.h"
#include "wince/registry.h"

namespace wince::reg {
namespace {

// Finds the child of `parent` by folded name; 0 when there is none.
LONG FindChild(sqlite3_int64 parent, const Bytes& fold, sqlite3_int64* child) {
    Stmt s(g_db, "SELECT id FROM keys WHERE parent=? AND fold=?");
    s.Bind(1, parent).Bind(2, fold);
    *child = s.Step() ? s.Int(0) : 0;
    return s.Error();
}

// Walks an existing subkey path down from `from`; ERROR_FILE_NOT_FOUND when
// any part of it is missing.
LONG FindPath(sqlite3_int64 from, const std::vector<std::pair<LPCWSTR, size_t>>& parts,
              sqlite3_int64* id) {
    *id = from;
    for (const auto& [p, n] : parts) {
        LONG e = FindChild(*id, FoldedName(p, n), id);
        if (e != ERROR_SUCCESS)
            return Fail(e);
        if (*id == 0)
            return ERROR_FILE_NOT_FOUND;
    }
    return ERROR_SUCCESS;
}

}  // namespace
}  // namespace wince::reg

using wince::reg::Bytes;
using wince::reg::Call;
using wince::reg::CopyName;
using wince::reg::Fail;
using wince::reg::FindChild;
using wince::reg::FindPath;
using wince::reg::FoldedName;
using wince::reg::g_db;
using wince::reg::g_strictAccess;
using wince::reg::NewHandle;
using wince::reg::SplitPath;
using wince::reg::Stmt;
using wince::reg::StoredName;

LONG RegOpenKeyExW(HKEY hKey, LPCWSTR lpSubKey, DWORD, REGSAM samDesired, PHKEY phkResult) {
    if (phkResult == nullptr)
        return ERROR_INVALID_PARAMETER;
    *phkResult = nullptr;
    Call c;
    LONG e = c.Begin(hKey);
    if (e != ERROR_SUCCESS)
        return e;
    std::vector<std::pair<LPCWSTR, size_t>> parts;
    if ((e = SplitPath(lpSubKey, &parts)) != ERROR_SUCCESS)
        return e;
    if ((e = c.Enter(false)) != ERROR_SUCCESS)
        return e;
    sqlite3_int64 id = 0;
    if ((e = FindPath(c.key, parts, &id)) != ERROR_SUCCESS)
        return e;
    *phkResult = NewHandle(id, samDesired);
    return ERROR_SUCCESS;
}

LONG RegCreateKeyExW(HKEY hKey, LPCWSTR lpSubKey, DWORD, LPWSTR, DWORD, REGSAM samDesired,
                     LPSECURITY_ATTRIBUTES, PHKEY phkResult, LPDWORD lpdwDisposition) {
    if (phkResult == nullptr)
        return ERROR_INVALID_PARAMETER;
    *phkResult = nullptr;
    Call c;
    LONG e = c.Begin(hKey);
    if (e != ERROR_SUCCESS)
        return e;
    std::vector<std::pair<LPCWSTR, size_t>> parts;
    if ((e = SplitPath(lpSubKey, &parts)) != ERROR_SUCCESS)
        return e;
    if ((e = c.Enter(true)) != ERROR_SUCCESS)
        return e;
    sqlite3_int64 id = c.key;
    bool created = false;
    for (const auto& [p, n] : parts) {
        Bytes fold = FoldedName(p, n);
        sqlite3_int64 child = 0;
        if ((e = FindChild(id, fold, &child)) != ERROR_SUCCESS)
            return Fail(e);
        if (child == 0) {
            // Only the first new key is made under the caller's handle. A
            // refusal is the handle's, not the store's: no store warning.
            if (id == c.key && g_strictAccess && (c.rights & KEY_CREATE_SUB_KEY) == 0)
                return ERROR_ACCESS_DENIED;
            Stmt ins(g_db, "INSERT INTO keys(parent, name, fold) VALUES(?, ?, ?)");
            ins.Bind(1, id).Bind(2, StoredName(p, n)).Bind(3, fold);
            ins.Step();
            if ((e = ins.Error()) != ERROR_SUCCESS)
                return Fail(e);
            child = sqlite3_last_insert_rowid(g_db);
            created = true;
        }
        id = child;
    }
    if (created && (e = c.Commit()) != ERROR_SUCCESS)
        return Fail(e);
    *phkResult = NewHandle(id, samDesired);
    if (lpdwDisposition != nullptr)
        *lpdwDisposition = created ? REG_CREATED_NEW_KEY : REG_OPENED_EXISTING_KEY;
    return ERROR_SUCCESS;
}

LONG RegDeleteKeyW(HKEY hKey, LPCWSTR lpSubKey) {
    if (lpSubKey == nullptr)
        return ERROR_INVALID_PARAMETER;
    Call c;
    LONG e = c.Begin(hKey);
    if (e != ERROR_SUCCESS)
        return e;
    std::vector<std::pair<LPCWSTR, size_t>> parts;
    if ((e = SplitPath(lpSubKey, &parts)) != ERROR_SUCCESS)
        return e;
    if (parts.empty())
        return ERROR_INVALID_PARAMETER;
    if ((e = c.Enter(true)) != ERROR_SUCCESS)
        return e;
    sqlite3_int64 id = 0;
    if ((e = FindPath(c.key, parts, &id)) != ERROR_SUCCESS)
        return e;
    static const char* const kDeletes[] = {
        "WITH RECURSIVE sub(id) AS (SELECT ?1 UNION ALL"
        " SELECT k.id FROM keys k JOIN sub ON k.parent=sub.id)"
        " DELETE FROM vals WHERE key IN sub",
        "WITH RECURSIVE sub(id) AS (SELECT ?1 UNION ALL"
        " SELECT k.id FROM keys k JOIN sub ON k.parent=sub.id)"
        " DELETE FROM keys WHERE id IN sub",
    };
    for (const char* sql : kDeletes) {
        Stmt s(g_db, sql);
        s.Bind(1, id);
        s.Step();
        if ((e = s.Error()) != ERROR_SUCCESS)
            return Fail(e);
    }
    return Fail(c.Commit());
}

LONG RegEnumKeyExW(HKEY hKey, DWORD dwIndex, LPWSTR lpName, LPDWORD lpcchName, LPDWORD lpReserved,
                   LPWSTR lpClass, LPDWORD lpcchClass, PFILETIME) {
    if (lpReserved != nullptr || lpName == nullptr || lpcchName == nullptr)
        return ERROR_INVALID_PARAMETER;
    Call c;
    LONG e = c.Begin(hKey, KEY_ENUMERATE_SUB_KEYS);
    if (e != ERROR_SUCCESS)
        return e;
    if ((e = c.Enter(false)) != ERROR_SUCCESS)
        return e;
    Stmt s(g_db, "SELECT name FROM keys WHERE parent=? ORDER BY fold LIMIT 1 OFFSET ?");
    s.Bind(1, c.key).Bind(2, dwIndex);
    if (!s.Step())
        return s.Error() != ERROR_SUCCESS ? Fail(s.Error()) : ERROR_NO_MORE_ITEMS;
    if ((e = CopyName(s.Blob(0), lpName, lpcchName)) != ERROR_SUCCESS)
        return e;
    // Keys have no class here.
    if (lpcchClass != nullptr) {
        if (lpClass != nullptr && *lpcchClass > 0)
            lpClass[0] = 0;
        *lpcchClass = 0;
    }
    return ERROR_SUCCESS;
}

LONG RegQueryInfoKeyW(HKEY hKey, LPWSTR lpClass, LPDWORD lpcchClass, LPDWORD lpReserved,
                      LPDWORD lpcSubKeys, LPDWORD lpcbMaxSubKeyLen, LPDWORD lpcbMaxClassLen,
                      LPDWORD lpcValues, LPDWORD lpcbMaxValueNameLen, LPDWORD lpcbMaxValueLen,
                      LPDWORD lpcbSecurityDescriptor, PFILETIME) {
    if (lpReserved != nullptr)
        return ERROR_INVALID_PARAMETER;
    Call c;
    LONG e = c.Begin(hKey, KEY_QUERY_VALUE);
    if (e != ERROR_SUCCESS)
        return e;
    if ((e = c.Enter(false)) != ERROR_SUCCESS)
        return e;
    Stmt k(g_db, "SELECT count(*), coalesce(max(length(name)), 0) / 2 FROM keys WHERE parent=?");
    k.Bind(1, c.key);
    if (!k.Step())
        return Fail(k.Error() != ERROR_SUCCESS ? k.Error() : ERROR_REGISTRY_CORRUPT);
    Stmt v(g_db,
           "SELECT count(*), coalesce(max(length(name)), 0) / 2, coalesce(max(length(data)), 0)"
           " FROM vals WHERE key=?");
    v.Bind(1, c.key);
    if (!v.Step())
        return Fail(v.Error() != ERROR_SUCCESS ? v.Error() : ERROR_REGISTRY_CORRUPT);
    if (lpcchClass != nullptr) {
        if (lpClass != nullptr && *lpcchClass > 0)
            lpClass[0] = 0;
        *lpcchClass = 0;
    }
    if (lpcSubKeys)
        *lpcSubKeys = static_cast<DWORD>(k.Int(0));
    if (lpcbMaxSubKeyLen)
        *lpcbMaxSubKeyLen = static_cast<DWORD>(k.Int(1));
    if (lpcbMaxClassLen)
        *lpcbMaxClassLen = 0;
    if (lpcValues)
        *lpcValues = static_cast<DWORD>(v.Int(0));
    if (lpcbMaxValueNameLen)
        *lpcbMaxValueNameLen = static_cast<DWORD>(v.Int(1));
    if (lpcbMaxValueLen)
        *lpcbMaxValueLen = static_cast<DWORD>(v.Int(2));
    if (lpcbSecurityDescriptor)
        *lpcbSecurityDescriptor = 0;
    return ERROR_SUCCESS;
}
