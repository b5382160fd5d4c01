// Registry value calls: reading, writing, deleting and enumerating values.
#include <sqlite3.h>

#include <cstring>

#include "reg_handles.h"
#include "reg_names.h"
#include "reg_sqlite.h"
#include "reg_store.h"
#include "wince/registry.h"

namespace wince::reg {
namespace {

// Hands back a value's data under the Win32 sizing rules.
LONG CopyData(const Bytes& data, LPBYTE out, LPDWORD cb) {
    if (cb == nullptr)
        return ERROR_SUCCESS;
    DWORD size = static_cast<DWORD>(data.size());
    if (out == nullptr) {
        *cb = size;
        return ERROR_SUCCESS;
    }
    if (*cb < size) {
        *cb = size;
        return ERROR_MORE_DATA;
    }
    if (size > 0)
        std::memcpy(out, data.data(), size);
    *cb = size;
    return ERROR_SUCCESS;
}

}  // namespace
}  // namespace wince::reg

using wince::reg::Bytes;
using wince::reg::Call;
using wince::reg::CopyData;
using wince::reg::CopyName;
using wince::reg::Fail;
using wince::reg::g_db;
using wince::reg::Stmt;
using wince::reg::ValueName;

LONG RegQueryValueExW(HKEY hKey, LPCWSTR lpValueName, LPDWORD lpReserved, LPDWORD lpType,
                      LPBYTE lpData, LPDWORD lpcbData) {
    if (lpReserved != nullptr || (lpData != nullptr && lpcbData == nullptr))
        return ERROR_INVALID_PARAMETER;
    Call c;
    LONG e = c.Begin(hKey, KEY_QUERY_VALUE);
    if (e != ERROR_SUCCESS)
        return e;
    Bytes name, fold;
    if ((e = ValueName(lpValueName, &name, &fold)) != ERROR_SUCCESS)
        return e;
    if ((e = c.Enter(false)) != ERROR_SUCCESS)
        return e;
    Stmt s(g_db, "SELECT type, data FROM vals WHERE key=? AND fold=?");
    s.Bind(1, c.key).Bind(2, fold);
    if (!s.Step())
        return s.Error() != ERROR_SUCCESS ? Fail(s.Error()) : ERROR_FILE_NOT_FOUND;
    if (lpType != nullptr)
        *lpType = static_cast<DWORD>(s.Int(0));
    return CopyData(s.Blob(1), lpData, lpcbData);
}

LONG RegSetValueExW(HKEY hKey, LPCWSTR lpValueName, DWORD, DWORD dwType, const BYTE* lpData,
                    DWORD cbData) {
    if (lpData == nullptr && cbData != 0)
        return ERROR_INVALID_PARAMETER;
    Call c;
    LONG e = c.Begin(hKey, KEY_SET_VALUE);
    if (e != ERROR_SUCCESS)
        return e;
    Bytes name, fold;
    if ((e = ValueName(lpValueName, &name, &fold)) != ERROR_SUCCESS)
        return e;
    if ((e = c.Enter(true)) != ERROR_SUCCESS)
        return e;
    // An existing value keeps its place in the enumeration and its name's case.
    Stmt s(g_db,
           "INSERT INTO vals(key, name, fold, type, data) VALUES(?, ?, ?, ?, ?)"
           " ON CONFLICT(key, fold) DO UPDATE SET type=excluded.type, data=excluded.data");
    s.Bind(1, c.key).Bind(2, name).Bind(3, fold).Bind(4, dwType).BindBlob(5, lpData, cbData);
    s.Step();
    if ((e = s.Error()) != ERROR_SUCCESS)
        return Fail(e);
    return Fail(c.Commit());
}

LONG RegDeleteValueW(HKEY hKey, LPCWSTR lpValueName) {
    Call c;
    LONG e = c.Begin(hKey, KEY_SET_VALUE);
    if (e != ERROR_SUCCESS)
        return e;
    Bytes name, fold;
    if ((e = ValueName(lpValueName, &name, &fold)) != ERROR_SUCCESS)
        return e;
    if ((e = c.Enter(true)) != ERROR_SUCCESS)
        return e;
    Stmt s(g_db, "DELETE FROM vals WHERE key=? AND fold=?");
    s.Bind(1, c.key).Bind(2, fold);
    s.Step();
    if ((e = s.Error()) != ERROR_SUCCESS)
        return Fail(e);
    if (sqlite3_changes(g_db) == 0)
        return ERROR_FILE_NOT_FOUND;
    return Fail(c.Commit());
}

LONG RegEnumValueW(HKEY hKey, DWORD dwIndex, LPWSTR lpValueName, LPDWORD lpcchValueName,
                   LPDWORD lpReserved, LPDWORD lpType, LPBYTE lpData, LPDWORD lpcbData) {
    if (lpReserved != nullptr || lpValueName == nullptr || lpcchValueName == nullptr ||
        (lpData != nullptr && lpcbData == nullptr))
        return ERROR_INVALID_PARAMETER;
    Call c;
    LONG e = c.Begin(hKey, KEY_QUERY_VALUE);
    if (e != ERROR_SUCCESS)
        return e;
    if ((e = c.Enter(false)) != ERROR_SUCCESS)
        return e;
    Stmt s(g_db, "SELECT name, type, data FROM vals WHERE key=? ORDER BY seq LIMIT 1 OFFSET ?");
    s.Bind(1, c.key).Bind(2, dwIndex);
    if (!s.Step())
        return s.Error() != ERROR_SUCCESS ? Fail(s.Error()) : ERROR_NO_MORE_ITEMS;
    if ((e = CopyName(s.Blob(0), lpValueName, lpcchValueName)) != ERROR_SUCCESS)
        return e;
    if (lpType != nullptr)
        *lpType = static_cast<DWORD>(s.Int(1));
    return CopyData(s.Blob(2), lpData, lpcbData);
}
