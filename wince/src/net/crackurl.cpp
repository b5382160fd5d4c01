// InternetCrackUrlW: splits a URL into its parts, either as pointers into the
// caller's URL (a NULL pointer with a non-zero length) or as copies into the
// caller's buffers (a non-NULL pointer with the buffer size in characters).
#include <cstring>

#include "netutil.h"
#include "wince/wininet.h"

namespace {

struct Part {
    const WCHAR* start = nullptr;  // NULL: the URL has no such part
    DWORD length = 0;
};

bool SameNoCase(const WCHAR* s, DWORD n, const char* ascii) {
    if (std::strlen(ascii) != n)
        return false;
    for (DWORD i = 0; i < n; ++i) {
        WCHAR c = s[i];
        if (c >= u'A' && c <= u'Z')
            c = static_cast<WCHAR>(c - u'A' + u'a');
        if (c != static_cast<WCHAR>(ascii[i]))
            return false;
    }
    return true;
}

// Hands one part to the caller; false with the last error set when the
// caller's buffer is too small.
bool Deliver(const Part& part, LPWSTR* pointer, DWORD* length, const WCHAR* emptyAt) {
    if (*pointer == nullptr) {
        if (*length == 0)
            return true;  // not asked for
        *pointer = const_cast<LPWSTR>(part.start != nullptr ? part.start : emptyAt);
        *length = part.length;
        return true;
    }
    if (*length <= part.length) {
        *length = part.length + 1;
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return false;
    }
    if (part.length != 0)
        std::memcpy(*pointer, part.start, part.length * sizeof(WCHAR));
    (*pointer)[part.length] = 0;
    *length = part.length;
    return true;
}

}  // namespace

BOOL WINAPI InternetCrackUrlW(LPCWSTR url, DWORD urlLength, DWORD flags, LPURL_COMPONENTSW parts) {
    if (url == nullptr || parts == nullptr || parts->dwStructSize != sizeof(URL_COMPONENTSW)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if ((flags & (ICU_DECODE | ICU_ESCAPE)) != 0) {
        // Decoding and escaping rewrite the parts; this host hands them out
        // as they stand in the URL.
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    const DWORD total =
        urlLength == 0 ? static_cast<DWORD>(wince::net::WideLength(url)) : urlLength;
    const WCHAR* const end = url + total;

    // scheme ":" "//" [user [":" password] "@"] host [":" port] [path] [extra]
    const WCHAR* p = url;
    while (p < end && *p != u':')
        ++p;
    if (p == end || p == url) {
        SetLastError(ERROR_INTERNET_UNRECOGNIZED_SCHEME);
        return FALSE;
    }
    Part scheme{url, static_cast<DWORD>(p - url)};
    INTERNET_SCHEME kind = INTERNET_SCHEME_UNKNOWN;
    INTERNET_PORT defaultPort = INTERNET_INVALID_PORT_NUMBER;
    if (SameNoCase(scheme.start, scheme.length, "http")) {
        kind = INTERNET_SCHEME_HTTP;
        defaultPort = INTERNET_DEFAULT_HTTP_PORT;
    } else if (SameNoCase(scheme.start, scheme.length, "https")) {
        kind = INTERNET_SCHEME_HTTPS;
        defaultPort = INTERNET_DEFAULT_HTTPS_PORT;
    } else if (SameNoCase(scheme.start, scheme.length, "ftp")) {
        kind = INTERNET_SCHEME_FTP;
        defaultPort = INTERNET_DEFAULT_FTP_PORT;
    } else {
        SetLastError(ERROR_INTERNET_UNRECOGNIZED_SCHEME);
        return FALSE;
    }
    ++p;
    if (end - p < 2 || p[0] != u'/' || p[1] != u'/') {
        SetLastError(ERROR_INTERNET_INVALID_URL);
        return FALSE;
    }
    p += 2;

    const WCHAR* authorityEnd = p;
    while (authorityEnd < end && *authorityEnd != u'/' && *authorityEnd != u'?' &&
           *authorityEnd != u'#')
        ++authorityEnd;

    Part user, password, host;
    const WCHAR* at = nullptr;
    for (const WCHAR* q = p; q < authorityEnd; ++q)
        if (*q == u'@')
            at = q;
    if (at != nullptr) {
        const WCHAR* colon = p;
        while (colon < at && *colon != u':')
            ++colon;
        user = {p, static_cast<DWORD>(colon - p)};
        if (colon < at)
            password = {colon + 1, static_cast<DWORD>(at - colon - 1)};
        p = at + 1;
    }

    const WCHAR* hostEnd = p;
    if (p < authorityEnd && *p == u'[') {
        while (hostEnd < authorityEnd && *hostEnd != u']')
            ++hostEnd;
        if (hostEnd == authorityEnd) {
            SetLastError(ERROR_INTERNET_INVALID_URL);
            return FALSE;
        }
        host = {p + 1, static_cast<DWORD>(hostEnd - p - 1)};
        ++hostEnd;
    } else {
        while (hostEnd < authorityEnd && *hostEnd != u':')
            ++hostEnd;
        host = {p, static_cast<DWORD>(hostEnd - p)};
    }
    if (host.length == 0) {
        SetLastError(ERROR_INTERNET_INVALID_URL);
        return FALSE;
    }
    INTERNET_PORT port = defaultPort;
    if (hostEnd < authorityEnd) {
        if (*hostEnd != u':' || hostEnd + 1 == authorityEnd || authorityEnd - hostEnd > 6) {
            SetLastError(ERROR_INTERNET_INVALID_URL);
            return FALSE;
        }
        DWORD value = 0;
        for (const WCHAR* q = hostEnd + 1; q < authorityEnd; ++q) {
            if (*q < u'0' || *q > u'9') {
                SetLastError(ERROR_INTERNET_INVALID_URL);
                return FALSE;
            }
            value = value * 10 + static_cast<DWORD>(*q - u'0');
        }
        if (value > 65535) {
            SetLastError(ERROR_INTERNET_INVALID_URL);
            return FALSE;
        }
        port = static_cast<INTERNET_PORT>(value);
    }

    // The path runs to the query or fragment; a caller that does not ask for
    // the extra information gets it as part of the path.
    const WCHAR* extraStart = authorityEnd;
    while (extraStart < end && *extraStart != u'?' && *extraStart != u'#')
        ++extraStart;
    Part path{authorityEnd, static_cast<DWORD>(extraStart - authorityEnd)};
    Part extra{extraStart, static_cast<DWORD>(end - extraStart)};
    if (parts->lpszExtraInfo == nullptr && parts->dwExtraInfoLength == 0) {
        path.length += extra.length;
        extra = {};
    }

    parts->nScheme = kind;
    parts->nPort = port;
    if (!Deliver(scheme, &parts->lpszScheme, &parts->dwSchemeLength, end))
        return FALSE;
    if (!Deliver(host, &parts->lpszHostName, &parts->dwHostNameLength, end))
        return FALSE;
    if (!Deliver(user, &parts->lpszUserName, &parts->dwUserNameLength, end))
        return FALSE;
    if (!Deliver(password, &parts->lpszPassword, &parts->dwPasswordLength, end))
        return FALSE;
    if (!Deliver(path, &parts->lpszUrlPath, &parts->dwUrlPathLength, end))
        return FALSE;
    if (!Deliver(extra, &parts->lpszExtraInfo, &parts->dwExtraInfoLength, end))
        return FALSE;
    return TRUE;
}
