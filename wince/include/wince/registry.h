// The registry of the host layer (Linux): Win32 registry calls over a
// persistent store shared by every process of the user.
//
// Where the store lives: the file named by the environment variable
// WINM_REGISTRY, else $XDG_STATE_HOME/winm/registry.sqlite3 (with
// ~/.local/state when XDG_STATE_HOME is unset), created with its directory on
// first use. Key paths and value names compare case-insensitively (Unicode
// simple case folding) and keep the case they were created with.
//
// Behaviour as on Windows CE where it differs from desktop Windows:
// access masks and ulOptions are accepted and ignored (a handle opened with
// access 0 may be written), RegDeleteKeyW deletes the key with all its
// subkeys, and every key, including those directly under a root, may be
// created by any caller.
#pragma once

#include <string>

#include "wince/kernel.h"  // LPSECURITY_ATTRIBUTES
#include "wince/types.h"

// Predefined roots: the same sign-extended values as on Windows.
#define WINCE_PREDEFINED_HKEY(v) \
    (reinterpret_cast<HKEY>(static_cast<ULONG_PTR>(static_cast<LONG_PTR>(static_cast<LONG>(v)))))
#define HKEY_CLASSES_ROOT WINCE_PREDEFINED_HKEY(0x80000000u)
#define HKEY_CURRENT_USER WINCE_PREDEFINED_HKEY(0x80000001u)
#define HKEY_LOCAL_MACHINE WINCE_PREDEFINED_HKEY(0x80000002u)
#define HKEY_USERS WINCE_PREDEFINED_HKEY(0x80000003u)

// Value types.
#define REG_NONE 0u
#define REG_SZ 1u
#define REG_EXPAND_SZ 2u
#define REG_BINARY 3u
#define REG_DWORD 4u
#define REG_DWORD_LITTLE_ENDIAN 4u
#define REG_DWORD_BIG_ENDIAN 5u
#define REG_LINK 6u
#define REG_MULTI_SZ 7u
#define REG_RESOURCE_LIST 8u
#define REG_FULL_RESOURCE_DESCRIPTOR 9u
#define REG_RESOURCE_REQUIREMENTS_LIST 10u
#define REG_QWORD 11u
#define REG_QWORD_LITTLE_ENDIAN 11u

// Key access rights (accepted and not enforced, as on Windows CE).
#define KEY_QUERY_VALUE 0x0001u
#define KEY_SET_VALUE 0x0002u
#define KEY_CREATE_SUB_KEY 0x0004u
#define KEY_ENUMERATE_SUB_KEYS 0x0008u
#define KEY_NOTIFY 0x0010u
#define KEY_CREATE_LINK 0x0020u
#define KEY_WOW64_64KEY 0x0100u
#define KEY_WOW64_32KEY 0x0200u
#define KEY_READ 0x20019u
#define KEY_EXECUTE 0x20019u
#define KEY_WRITE 0x20006u
#define KEY_ALL_ACCESS 0xF003Fu

// RegCreateKeyExW options and dispositions.
#define REG_OPTION_RESERVED 0x0000u
#define REG_OPTION_NON_VOLATILE 0x0000u
#define REG_OPTION_VOLATILE 0x0001u
#define REG_CREATED_NEW_KEY 1u
#define REG_OPENED_EXISTING_KEY 2u

// Limits, in UTF-16 code units without the terminator.
#define WINCE_REG_MAX_KEY_NAME 255u
#define WINCE_REG_MAX_VALUE_NAME 16383u

// Last-write times are not kept: the registry calls that report one leave
// it untouched.
struct FILETIME {
    DWORD dwLowDateTime;
    DWORD dwHighDateTime;
};
using PFILETIME = FILETIME*;

LONG RegOpenKeyExW(HKEY hKey, LPCWSTR lpSubKey, DWORD ulOptions, REGSAM samDesired,
                   PHKEY phkResult);
LONG RegCreateKeyExW(HKEY hKey, LPCWSTR lpSubKey, DWORD Reserved, LPWSTR lpClass, DWORD dwOptions,
                     REGSAM samDesired, LPSECURITY_ATTRIBUTES lpSecurityAttributes, PHKEY phkResult,
                     LPDWORD lpdwDisposition);
LONG RegCloseKey(HKEY hKey);
LONG RegQueryValueExW(HKEY hKey, LPCWSTR lpValueName, LPDWORD lpReserved, LPDWORD lpType,
                      LPBYTE lpData, LPDWORD lpcbData);
LONG RegSetValueExW(HKEY hKey, LPCWSTR lpValueName, DWORD Reserved, DWORD dwType,
                    const BYTE* lpData, DWORD cbData);
LONG RegDeleteValueW(HKEY hKey, LPCWSTR lpValueName);
// Deletes the subkey and everything below it.
LONG RegDeleteKeyW(HKEY hKey, LPCWSTR lpSubKey);
// Subkeys enumerate in case-insensitive name order; lpcchName is in code
// units, with the terminator on input and without it on output.
LONG RegEnumKeyExW(HKEY hKey, DWORD dwIndex, LPWSTR lpName, LPDWORD lpcchName, LPDWORD lpReserved,
                   LPWSTR lpClass, LPDWORD lpcchClass, PFILETIME lpftLastWriteTime);
// Values enumerate in the order they were first created.
LONG RegEnumValueW(HKEY hKey, DWORD dwIndex, LPWSTR lpValueName, LPDWORD lpcchValueName,
                   LPDWORD lpReserved, LPDWORD lpType, LPBYTE lpData, LPDWORD lpcbData);
LONG RegQueryInfoKeyW(HKEY hKey, LPWSTR lpClass, LPDWORD lpcchClass, LPDWORD lpReserved,
                      LPDWORD lpcSubKeys, LPDWORD lpcbMaxSubKeyLen, LPDWORD lpcbMaxClassLen,
                      LPDWORD lpcValues, LPDWORD lpcbMaxValueNameLen, LPDWORD lpcbMaxValueLen,
                      LPDWORD lpcbSecurityDescriptor, PFILETIME lpftLastWriteTime);

// Host-layer extensions (no Windows counterpart).

// Closes this process's connection to the store and every open key handle
// (predefined roots stay valid); the next registry call opens the store
// named by the environment at that moment. For tests and tools that switch
// stores.
void WinceRegistryCloseStore();

// The path of the store the next open would use (UTF-8), from the
// environment as described above; empty if no path can be formed.
std::string WinceRegistryStorePath();

// For an error that says the store itself cannot be used (opened, read or
// written), "the registry file PATH cannot be used: REASON"; empty for any
// other error. The registry calls warn with this text once per run.
std::string WinceRegistryStoreProblem(LONG error);
