// Library loader of the host layer (Linux).
//
// There are no shared libraries to load: the modules are built into the host
// layer, each a named table of functions (wince/src/loader/modules.cpp).
// Names compare case-insensitively and may end in ".dll". Reference counts
// behave as on Windows: every successful LoadLibraryW needs a FreeLibrary, and
// the handle stays the same while the module is loaded.
#pragma once

#include "wince/types.h"

// NULL with ERROR_MOD_NOT_FOUND for a module the host does not have.
HMODULE LoadLibraryW(LPCWSTR name);
// NULL with ERROR_PROC_NOT_FOUND for a name the module does not export, or
// ERROR_MOD_NOT_FOUND for a handle that is not a loaded module.
FARPROC GetProcAddressW(HMODULE module, LPCWSTR procName);
// FALSE with ERROR_INVALID_HANDLE for NULL or a handle that is not loaded.
BOOL FreeLibrary(HMODULE module);

// The program's own instance handle for NULL (the executable's load address);
// NULL with ERROR_MOD_NOT_FOUND for a module name that is not loaded.
HMODULE GetModuleHandleW(LPCWSTR moduleName);

// Exported by the "mmtimer" module (declared by mmsystem.h on Windows).
DWORD WINAPI timeGetTime();
