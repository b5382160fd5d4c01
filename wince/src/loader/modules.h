// The modules built into the host layer, as LoadLibraryW finds them.
#pragma once

#include <cstddef>

#include "wince/types.h"

namespace wince {

struct BuiltinExport {
    const WCHAR* name;
    FARPROC proc;
};

struct BuiltinModule {
    const WCHAR* name;  // without ".dll"
    const BuiltinExport* exports;
    std::size_t exportCount;
};

// The table of modules (modules.cpp).
extern const BuiltinModule kBuiltinModules[];
extern const std::size_t kBuiltinModuleCount;

// Function pointers of any type stored as FARPROC.
template <class Function>
constexpr FARPROC AsProc(Function* function) {
    return reinterpret_cast<FARPROC>(reinterpret_cast<void (*)()>(function));
}

}  // namespace wince

// Declared here rather than in a public header: on Windows the program reaches
// it only through LoadLibraryW("mlang") + GetProcAddressW.
HRESULT WINAPI LcidToRfc1766W(LCID lcid, LPWSTR rfc1766, int bufferChars);
