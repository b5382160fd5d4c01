// Windows CE / Windows Mobile declarations that the desktop Windows headers
// lack or declare differently. Valid on both platforms.
#pragma once

#ifdef _WIN32
#include <windows.h>
#else
#include "wince/types.h"
#endif

// SystemParametersInfoW actions of Windows CE.
#ifndef SPI_GETPLATFORMTYPE
#define SPI_GETPLATFORMTYPE 257
#endif
#ifndef SPI_GETOEMINFO
#define SPI_GETOEMINFO 258
#endif

// Prototypes of functions that are bound at run time.
typedef DWORD(WINAPI* PFN_timeGetTime)(void);
typedef HRESULT(WINAPI* PFN_LcidToRfc1766W)(LCID lcid, LPWSTR rfc1766, int bufferChars);

// Turns the result of GetProcAddressW into a typed function pointer. The
// detour through void(*)() is the one cast between function types that the
// compilers accept without a warning.
template <class Function>
inline Function CastProcAddress(FARPROC proc) {
    return reinterpret_cast<Function>(reinterpret_cast<void (*)()>(proc));
}

#ifdef _WIN32
// Windows CE looks functions up by a wide name; the desktop only by a narrow
// one. Export names are ASCII: anything else cannot name an export.
inline FARPROC GetProcAddressW(HMODULE module, LPCWSTR procName) {
    char narrow[256];
    if (procName == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    int i = 0;
    for (; procName[i] != 0; ++i) {
        if (i + 1 >= static_cast<int>(sizeof narrow) || procName[i] > 0x7f) {
            SetLastError(ERROR_PROC_NOT_FOUND);
            return nullptr;
        }
        narrow[i] = static_cast<char>(procName[i]);
    }
    narrow[i] = 0;
    return GetProcAddress(module, narrow);
}
#endif
