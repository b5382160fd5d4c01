// Device identity and user language of the host layer (Linux).
#pragma once

#include "wince/types.h"

// SPI_GETPLATFORMTYPE and SPI_GETOEMINFO (wince/ce_extras.h): uiParam is the
// buffer size in bytes, pvParam the buffer; the text is written as UTF-16,
// NUL-terminated and truncated to the buffer. The platform type comes from
// WINM_PLATFORM_TYPE (default "SmartPhone"), the OEM information from
// WINM_OEM_INFO (default the machine's product name). Other actions fail
// with ERROR_INVALID_PARAMETER.
BOOL SystemParametersInfoW(UINT action, UINT uiParam, PVOID pvParam, UINT winIni);

// From the POSIX locale: LC_ALL, then LC_MESSAGES, then LANG; "C", "POSIX",
// unset or unknown give en-US (0x0409).
LCID GetUserDefaultLCID();
LANGID GetUserDefaultUILanguage();

#define MAKELANGID(p, s) (static_cast<WORD>((static_cast<WORD>(s) << 10) | static_cast<WORD>(p)))
#define PRIMARYLANGID(lgid) (static_cast<WORD>(lgid) & 0x3ff)
#define SUBLANGID(lgid) (static_cast<WORD>(lgid) >> 10)
#define MAKELCID(lgid, srtid)                                                  \
    (static_cast<DWORD>((static_cast<DWORD>(static_cast<WORD>(srtid)) << 16) | \
                        static_cast<WORD>(lgid)))
#define LANGIDFROMLCID(lcid) (static_cast<WORD>(lcid))
#define SORT_DEFAULT 0x0
