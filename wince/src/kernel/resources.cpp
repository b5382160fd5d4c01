// Resources the program registered at start-up: string tables and icons,
// plus the stock objects. Nothing is ever drawn, so icons and stock objects
// are only tokens naming what was asked for.
#include <cstdint>
#include <map>
#include <mutex>

#include "wince/kernel.h"
#include "wince/resources.h"
#include "wince/window.h"

namespace {

struct Store {
    std::mutex mutex;
    std::map<UINT, const WCHAR*> strings;
    std::map<UINT, bool> icons;
};

Store& TheStore() {
    static Store* store = new Store;  // outlives detached threads
    return *store;
}

bool IsIntResource(const WCHAR* name) {
    return reinterpret_cast<std::uintptr_t>(name) <= 0xFFFF;
}

}  // namespace

void WinceRegisterStringResources(const WinceStringResource* table, std::size_t count) {
    if (table == nullptr)
        return;
    Store& s = TheStore();
    std::lock_guard<std::mutex> lock(s.mutex);
    for (std::size_t i = 0; i < count; ++i)
        if (table[i].text != nullptr)
            s.strings[table[i].id] = table[i].text;
}

void WinceRegisterIconResources(const UINT* ids, std::size_t count) {
    if (ids == nullptr)
        return;
    Store& s = TheStore();
    std::lock_guard<std::mutex> lock(s.mutex);
    for (std::size_t i = 0; i < count; ++i)
        s.icons[ids[i]] = true;
}

int LoadStringW(HINSTANCE, UINT id, LPWSTR buffer, int bufferMax) {
    if (buffer == nullptr || bufferMax < 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    const WCHAR* text = nullptr;
    {
        Store& s = TheStore();
        std::lock_guard<std::mutex> lock(s.mutex);
        auto it = s.strings.find(id);
        if (it != s.strings.end())
            text = it->second;
    }
    if (text == nullptr) {
        if (bufferMax > 0)
            buffer[0] = 0;
        SetLastError(ERROR_RESOURCE_NAME_NOT_FOUND);
        return 0;
    }
    int length = 0;
    while (text[length] != 0)
        ++length;
    if (bufferMax == 0) {
        // As on Windows: a pointer to the read-only resource text instead of
        // a copy (the text is not NUL-terminated there; here it is).
        *reinterpret_cast<const WCHAR**>(buffer) = text;
        return length;
    }
    int copied = length < bufferMax - 1 ? length : bufferMax - 1;
    for (int i = 0; i < copied; ++i)
        buffer[i] = text[i];
    buffer[copied] = 0;
    return copied;
}

HICON LoadIconW(HINSTANCE instance, LPCWSTR name) {
    if (name != nullptr && IsIntResource(name)) {
        UINT id = static_cast<UINT>(reinterpret_cast<std::uintptr_t>(name));
        bool found;
        if (instance == nullptr) {
            found = id >= 32512 && id <= 32518;  // the standard icons
        } else {
            Store& s = TheStore();
            std::lock_guard<std::mutex> lock(s.mutex);
            found = s.icons.count(id) != 0;
        }
        if (found) {
            // Icons are never drawn; the handle only names the resource.
            return reinterpret_cast<HICON>(static_cast<std::uintptr_t>(0x30000000u + id * 4));
        }
    }
    SetLastError(ERROR_RESOURCE_NAME_NOT_FOUND);
    return nullptr;
}

HGDIOBJ GetStockObject(int object) {
    bool known = (object >= WHITE_BRUSH && object <= NULL_PEN) || object == SYSTEM_FONT;
    if (!known)
        return nullptr;
    return reinterpret_cast<HGDIOBJ>(static_cast<std::uintptr_t>(0x31000000u + object * 4));
}
