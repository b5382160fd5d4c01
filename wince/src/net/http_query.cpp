// HttpQueryInfoW: answers from the stored response head, written into the
// caller's buffer under the Win32 sizing rules.
#include <cstdint>
#include <cstring>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "inet_handles.h"
#include "netutil.h"
#include "response_head.h"
#include "wince/wininet.h"

namespace {

using wince::net::Kind;
using wince::net::Request;

// Writes a text result as WinInet does: the byte count without the
// terminator on success; ERROR_INSUFFICIENT_BUFFER with the bytes needed,
// terminator included, when the buffer is short.
BOOL WriteText(const std::u16string& text, LPVOID buffer, LPDWORD length) {
    const DWORD needed = static_cast<DWORD>((text.size() + 1) * sizeof(WCHAR));
    if (buffer == nullptr || *length < needed) {
        *length = needed;
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
    }
    std::memcpy(buffer, text.data(), text.size() * sizeof(WCHAR));
    static_cast<WCHAR*>(buffer)[text.size()] = 0;
    *length = static_cast<DWORD>(text.size() * sizeof(WCHAR));
    return TRUE;
}

BOOL WriteNumber(std::string_view value, LPVOID buffer, LPDWORD length) {
    value = wince::net::Trim(value);
    if (value.empty() || value.size() > 10) {
        SetLastError(ERROR_HTTP_INVALID_HEADER);
        return FALSE;
    }
    std::uint64_t n = 0;
    for (char c : value) {
        if (c < '0' || c > '9') {
            SetLastError(ERROR_HTTP_INVALID_HEADER);
            return FALSE;
        }
        n = n * 10 + static_cast<std::uint64_t>(c - '0');
    }
    if (n > 0xFFFFFFFFull) {
        SetLastError(ERROR_HTTP_INVALID_HEADER);
        return FALSE;
    }
    if (buffer == nullptr || *length < sizeof(DWORD)) {
        *length = sizeof(DWORD);
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
    }
    const DWORD v = static_cast<DWORD>(n);
    std::memcpy(buffer, &v, sizeof(v));
    *length = sizeof(DWORD);
    return TRUE;
}

}  // namespace

BOOL WINAPI HttpQueryInfoW(HINTERNET requestHandle, DWORD infoLevel, LPVOID buffer,
                           LPDWORD bufferLength, LPDWORD index) {
    auto request = wince::net::LookupAs<Request>(requestHandle, Kind::Request);
    if (request == nullptr)
        return FALSE;
    if (bufferLength == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    const DWORD level = infoLevel & HTTP_QUERY_HEADER_MASK;
    const DWORD modifiers = infoLevel & HTTP_QUERY_MODIFIER_FLAGS_MASK;
    if ((modifiers & ~HTTP_QUERY_FLAG_NUMBER) != 0) {
        // Request headers, dates as SYSTEMTIME and coalescing are not offered.
        SetLastError(ERROR_HTTP_INVALID_QUERY_REQUEST);
        return FALSE;
    }
    const bool number = (modifiers & HTTP_QUERY_FLAG_NUMBER) != 0;
    std::vector<std::string> lines;
    {
        std::lock_guard<std::mutex> lock(request->headerMutex);
        if (!request->headersFinal) {
            SetLastError(ERROR_INTERNET_INCORRECT_HANDLE_STATE);
            return FALSE;
        }
        lines = request->headerLines;
    }

    // The custom level names its header in the caller's buffer.
    std::string name;
    if (level == HTTP_QUERY_CUSTOM) {
        if (buffer == nullptr) {
            SetLastError(ERROR_INVALID_PARAMETER);
            return FALSE;
        }
        const auto* w = static_cast<const WCHAR*>(buffer);
        std::size_t max = *bufferLength / sizeof(WCHAR), n = 0;
        while (n < max && w[n] != 0)
            ++n;
        name = wince::net::ToUtf8(w, n);
        if (!name.empty() && name.back() == ':')
            name.pop_back();
    }
    const wince::net::HeadAnswer answer =
        wince::net::QueryResponseHead(lines, level, number, name, index != nullptr ? *index : 0);
    if (answer.error != 0) {
        SetLastError(answer.error);
        return FALSE;
    }
    const BOOL written =
        number ? WriteNumber(answer.value, buffer, bufferLength)
               : WriteText(wince::net::FromLatin1(answer.value), buffer, bufferLength);
    if (!written)
        return FALSE;
    if (answer.header && index != nullptr)
        ++*index;
    return TRUE;
}
