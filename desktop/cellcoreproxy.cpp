#include "desktop/cellcoreproxy.h"

namespace {

const WCHAR kInternetSettings[] =
    L"Software\\Microsoft\\Windows\\CurrentVersion\\Internet Settings";
// Longer values are not proxy lists anyone wrote by hand; they are refused.
constexpr DWORD kMaxValueUnits = 1024;

bool IsSpace(WCHAR c) {
    return c == L' ' || c == L'\t';
}

WCHAR Lower(WCHAR c) {
    return c >= L'A' && c <= L'Z' ? static_cast<WCHAR>(c - L'A' + L'a') : c;
}

bool StartsWithNoCase(const WCHAR* text, std::size_t length, const WCHAR* prefix) {
    std::size_t i = 0;
    for (; prefix[i] != 0; ++i) {
        if (i >= length || Lower(text[i]) != prefix[i])
            return false;
    }
    return true;
}

bool IsHostChar(WCHAR c) {
    return (c >= L'a' && c <= L'z') || (c >= L'A' && c <= L'Z') || (c >= L'0' && c <= L'9') ||
           c == L'.' || c == L'-' || c == L'_';
}

// "host", "host:port" or "[v6]:port", with port 1-65535.
bool IsServer(const WCHAR* s, std::size_t n) {
    std::size_t i = 0;
    if (n > 0 && s[0] == L'[') {
        while (i < n && s[i] != L']') {
            WCHAR c = s[i];
            if (i > 0 && !(c == L':' || c == L'.' || (c >= L'0' && c <= L'9') ||
                           (Lower(c) >= L'a' && Lower(c) <= L'f')))
                return false;
            ++i;
        }
        if (i >= n || i < 2)
            return false;
        ++i;
    } else {
        while (i < n && IsHostChar(s[i]))
            ++i;
        if (i == 0)
            return false;
    }
    if (i == n)
        return true;
    if (s[i] != L':' || i + 1 == n || n - i - 1 > 5)
        return false;
    unsigned port = 0;
    for (++i; i < n; ++i) {
        if (s[i] < L'0' || s[i] > L'9')
            return false;
        port = port * 10 + static_cast<unsigned>(s[i] - L'0');
    }
    return port >= 1 && port <= 65535;
}

}  // namespace

bool HttpProxyFromSetting(const WCHAR* value, std::size_t length, WCHAR* server,
                          std::size_t capacity, bool secure) {
    if (value == nullptr || server == nullptr || capacity == 0)
        return false;
    server[0] = 0;
    const WCHAR* chosen = nullptr;
    std::size_t chosenLength = 0;
    // 0: nothing chosen, 1: the bare entry, 2: http=, 3: https= (secure only).
    int rank = 0;
    std::size_t start = 0;
    while (start <= length) {
        std::size_t end = start;
        while (end < length && value[end] != L';')
            ++end;
        const WCHAR* entry = value + start;
        std::size_t n = end - start;
        while (n > 0 && IsSpace(entry[0])) {
            ++entry;
            --n;
        }
        while (n > 0 && IsSpace(entry[n - 1]))
            --n;
        std::size_t equals = 0;
        while (equals < n && entry[equals] != L'=')
            ++equals;
        if (equals < n) {
            // "scheme=server": the entry for the request's scheme, else the
            // plain-HTTP one, as a desktop WinINet picks.
            if (rank < 2 && equals == 4 && StartsWithNoCase(entry, n, L"http=")) {
                chosen = entry + 5;
                chosenLength = n - 5;
                rank = 2;
            } else if (secure && rank < 3 && equals == 5 && StartsWithNoCase(entry, n, L"https=")) {
                chosen = entry + 6;
                chosenLength = n - 6;
                rank = 3;
            }
        } else if (n > 0 && rank == 0) {
            // One server for every scheme.
            chosen = entry;
            chosenLength = n;
            rank = 1;
        }
        start = end + 1;
    }
    if (chosen == nullptr)
        return false;
    if (StartsWithNoCase(chosen, chosenLength, L"http://")) {
        chosen += 7;
        chosenLength -= 7;
    }
    while (chosenLength > 0 && chosen[chosenLength - 1] == L'/')
        --chosenLength;
    if (!IsServer(chosen, chosenLength) || chosenLength + 1 > capacity)
        return false;
    for (std::size_t i = 0; i < chosenLength; ++i)
        server[i] = chosen[i];
    server[chosenLength] = 0;
    return true;
}

bool UserHttpProxy(WCHAR* server, std::size_t capacity, bool secure) {
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_CURRENT_USER, kInternetSettings, 0, KEY_QUERY_VALUE, &key) !=
        ERROR_SUCCESS)
        return false;
    DWORD enable = 0;
    DWORD type = 0;
    DWORD size = sizeof enable;
    bool enabled = RegQueryValueExW(key, L"ProxyEnable", nullptr, &type,
                                    reinterpret_cast<BYTE*>(&enable), &size) == ERROR_SUCCESS &&
                   type == REG_DWORD && size == sizeof enable && enable == 1;
    WCHAR value[kMaxValueUnits + 1];
    size = kMaxValueUnits * sizeof(WCHAR);
    bool read = enabled &&
                RegQueryValueExW(key, L"ProxyServer", nullptr, &type,
                                 reinterpret_cast<BYTE*>(value), &size) == ERROR_SUCCESS &&
                type == REG_SZ;
    RegCloseKey(key);
    if (!read)
        return false;
    // The stored value need not be terminated.
    std::size_t length = size / sizeof(WCHAR);
    value[length] = 0;
    while (length > 0 && value[length - 1] == 0)
        --length;
    return HttpProxyFromSetting(value, length, server, capacity, secure);
}
