// The user's WinINet proxy as the Connection Manager's proxy provider gives
// it on the desktop.
#pragma once

#include <cstddef>

#include "wince.h"

// Fills `server` (`capacity` units, NUL-terminated) with the HTTP proxy that a
// WinINet ProxyServer value names: "host:port" for every scheme, or the
// "http=host:port" entry of a ";"-separated list; for `secure` (HTTPS)
// requests the "https=" entry first. False when the value names none or is
// malformed (the caller then connects directly).
bool HttpProxyFromSetting(const WCHAR* value, std::size_t length, WCHAR* server,
                          std::size_t capacity, bool secure = false);

// The proxy of HKCU\Software\Microsoft\Windows\CurrentVersion\Internet
// Settings: ProxyEnable (REG_DWORD) 1 and a usable ProxyServer (REG_SZ).
// False (no proxy) when it is disabled, absent, unreadable or malformed.
bool UserHttpProxy(WCHAR* server, std::size_t capacity, bool secure);
