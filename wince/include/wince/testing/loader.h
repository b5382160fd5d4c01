// Test-only controls of the host layer's library loader: make a module or a
// single function unavailable, as on a device that lacks it.
#pragma once

#include "wince/types.h"

// While hidden, LoadLibraryW of the module fails with ERROR_MOD_NOT_FOUND.
// Handles obtained before stay valid.
void WinceLoaderHideModule(LPCWSTR module, bool hidden);
// While hidden, GetProcAddressW of the function fails with
// ERROR_PROC_NOT_FOUND.
void WinceLoaderHideFunction(LPCWSTR module, LPCWSTR function, bool hidden);
// Makes every module and function available again. Reference counts are
// left as they are.
void WinceLoaderResetForTesting();
// Current reference count of a built-in module (0 when not loaded, -1 for a
// name the host does not have).
int WinceLoaderReferenceCount(LPCWSTR module);
