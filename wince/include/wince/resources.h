// How a program declares its resources to the host layer.
//
// On Windows the resource compiler builds string tables and icons into the
// executable. On Linux the program registers them once at start-up, before
// the first LoadStringW / LoadIconW:
//
//   static const WinceStringResource kStrings[] = {{101, TEXT("Name")}, ...};
//   static const UINT kIcons[] = {100};
//   WinceRegisterStringResources(kStrings, 1);
//   WinceRegisterIconResources(kIcons, 1);
//
// The tables are referenced, not copied: they must stay valid for the rest of
// the process (static arrays of literals do). A later registration of the same
// id replaces the earlier one. On Windows both calls do nothing, so the same
// start-up code compiles there and the .rc file supplies the resources.
#pragma once

#ifdef _WIN32
#include <windows.h>
#else
#include "wince/types.h"
#endif

#include <cstddef>

struct WinceStringResource {
    UINT id;
    const WCHAR* text;
};

#ifdef _WIN32
inline void WinceRegisterStringResources(const WinceStringResource*, std::size_t) {}
inline void WinceRegisterIconResources(const UINT*, std::size_t) {}
#else
void WinceRegisterStringResources(const WinceStringResource* table, std::size_t count);
void WinceRegisterIconResources(const UINT* ids, std::size_t count);
#endif
