// LoadLibraryW / GetProcAddressW / FreeLibrary over the built-in modules.
#include "wince/loader.h"

#include <mutex>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "modules.h"
#include "wince/testing/loader.h"

// The executable's load address, set by the linker; the program's instance
// handle, as the image base is on Windows.
extern "C" char __executable_start __attribute__((weak));

namespace wince {
namespace {

struct LoaderState {
    std::mutex mutex;
    std::vector<int> references = std::vector<int>(kBuiltinModuleCount, 0);
    std::set<std::u16string> hiddenModules;
    std::set<std::pair<std::u16string, std::u16string>> hiddenFunctions;
};

LoaderState& State() {
    static LoaderState* state = new LoaderState;
    return *state;
}

std::u16string LowerAscii(std::u16string text) {
    for (char16_t& c : text)
        if (c >= u'A' && c <= u'Z')
            c = static_cast<char16_t>(c - u'A' + u'a');
    return text;
}

// "\Windows\MMTimer.DLL" -> "mmtimer".
std::u16string ModuleKey(LPCWSTR name) {
    std::u16string key = LowerAscii(name);
    std::size_t slash = key.find_last_of(u"\\/");
    if (slash != std::u16string::npos)
        key.erase(0, slash + 1);
    if (key.size() > 4 && key.compare(key.size() - 4, 4, u".dll") == 0)
        key.resize(key.size() - 4);
    return key;
}

int ModuleIndex(const std::u16string& key) {
    for (std::size_t i = 0; i < kBuiltinModuleCount; ++i)
        if (key == kBuiltinModules[i].name)
            return static_cast<int>(i);
    return -1;
}

HMODULE HandleOf(int index) {
    return reinterpret_cast<HMODULE>(const_cast<BuiltinModule*>(&kBuiltinModules[index]));
}

// The module a handle names, or -1; never dereferences the handle.
int IndexOfHandle(HMODULE module) {
    for (std::size_t i = 0; i < kBuiltinModuleCount; ++i)
        if (HandleOf(static_cast<int>(i)) == module)
            return static_cast<int>(i);
    return -1;
}

HMODULE ProgramHandle() {
    static char fallback;
    char* base = &__executable_start != nullptr ? &__executable_start : &fallback;
    return reinterpret_cast<HMODULE>(base);
}

}  // namespace
}  // namespace wince

using namespace wince;

HMODULE LoadLibraryW(LPCWSTR name) {
    if (name == nullptr || name[0] == 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    std::u16string key = ModuleKey(name);
    int index = ModuleIndex(key);
    LoaderState& state = State();
    std::lock_guard<std::mutex> lock(state.mutex);
    if (index < 0 || state.hiddenModules.count(key)) {
        SetLastError(ERROR_MOD_NOT_FOUND);
        return nullptr;
    }
    state.references[index]++;
    return HandleOf(index);
}

FARPROC GetProcAddressW(HMODULE module, LPCWSTR procName) {
    if (procName == nullptr || reinterpret_cast<std::uintptr_t>(procName) <= 0xFFFF) {
        // No module here exports by ordinal.
        SetLastError(ERROR_PROC_NOT_FOUND);
        return nullptr;
    }
    if (module == nullptr || module == ProgramHandle()) {
        // The program exports nothing.
        SetLastError(ERROR_PROC_NOT_FOUND);
        return nullptr;
    }
    int index = IndexOfHandle(module);
    LoaderState& state = State();
    std::lock_guard<std::mutex> lock(state.mutex);
    if (index < 0 || state.references[index] == 0) {
        SetLastError(ERROR_MOD_NOT_FOUND);
        return nullptr;
    }
    const BuiltinModule& m = kBuiltinModules[index];
    std::u16string name(procName);
    if (state.hiddenFunctions.count({m.name, name})) {
        SetLastError(ERROR_PROC_NOT_FOUND);
        return nullptr;
    }
    for (std::size_t i = 0; i < m.exportCount; ++i)
        if (name == m.exports[i].name)
            return m.exports[i].proc;
    SetLastError(ERROR_PROC_NOT_FOUND);
    return nullptr;
}

BOOL FreeLibrary(HMODULE module) {
    int index = IndexOfHandle(module);
    LoaderState& state = State();
    std::lock_guard<std::mutex> lock(state.mutex);
    if (index < 0 || state.references[index] == 0) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    state.references[index]--;
    return TRUE;
}

HMODULE GetModuleHandleW(LPCWSTR moduleName) {
    if (moduleName == nullptr)
        return ProgramHandle();
    int index = ModuleIndex(ModuleKey(moduleName));
    LoaderState& state = State();
    std::lock_guard<std::mutex> lock(state.mutex);
    if (index < 0 || state.references[index] == 0) {
        SetLastError(ERROR_MOD_NOT_FOUND);
        return nullptr;
    }
    return HandleOf(index);
}

void WinceLoaderHideModule(LPCWSTR module, bool hidden) {
    if (module == nullptr)
        return;
    LoaderState& state = State();
    std::lock_guard<std::mutex> lock(state.mutex);
    if (hidden)
        state.hiddenModules.insert(ModuleKey(module));
    else
        state.hiddenModules.erase(ModuleKey(module));
}

void WinceLoaderHideFunction(LPCWSTR module, LPCWSTR function, bool hidden) {
    if (module == nullptr || function == nullptr)
        return;
    LoaderState& state = State();
    std::lock_guard<std::mutex> lock(state.mutex);
    auto key = std::make_pair(ModuleKey(module), std::u16string(function));
    if (hidden)
        state.hiddenFunctions.insert(key);
    else
        state.hiddenFunctions.erase(key);
}

void WinceLoaderResetForTesting() {
    LoaderState& state = State();
    std::lock_guard<std::mutex> lock(state.mutex);
    state.hiddenModules.clear();
    state.hiddenFunctions.clear();
}

int WinceLoaderReferenceCount(LPCWSTR module) {
    if (module == nullptr)
        return -1;
    int index = ModuleIndex(ModuleKey(module));
    if (index < 0)
        return -1;
    LoaderState& state = State();
    std::lock_guard<std::mutex> lock(state.mutex);
    return state.references[index];
}
