#include "wince/widestr.h"

namespace {

constexpr char32_t kReplacement = 0xFFFD;

bool IsHighSurrogate(char32_t u) {
    return u >= 0xD800 && u <= 0xDBFF;
}
bool IsLowSurrogate(char32_t u) {
    return u >= 0xDC00 && u <= 0xDFFF;
}

// Decodes one code point from UTF-8 at in[0..n). Sets length to the bytes
// consumed; on a malformed sequence returns -1 and consumes the maximal
// prefix of a valid sequence (at least one byte), so each malformed part
// becomes exactly one replacement character.
long DecodeUtf8(const unsigned char* in, long n, long& length) {
    unsigned char b0 = in[0];
    length = 1;
    if (b0 < 0x80)
        return b0;
    int need;
    char32_t cp;
    unsigned char lo = 0x80, hi = 0xBF;
    if (b0 >= 0xC2 && b0 <= 0xDF) {
        need = 1;
        cp = b0 & 0x1F;
    } else if (b0 >= 0xE0 && b0 <= 0xEF) {
        need = 2;
        cp = b0 & 0x0F;
        if (b0 == 0xE0)
            lo = 0xA0;  // no overlong forms
        if (b0 == 0xED)
            hi = 0x9F;  // no encoded surrogates
    } else if (b0 >= 0xF0 && b0 <= 0xF4) {
        need = 3;
        cp = b0 & 0x07;
        if (b0 == 0xF0)
            lo = 0x90;  // no overlong forms
        if (b0 == 0xF4)
            hi = 0x8F;  // nothing above U+10FFFF
    } else {
        return -1;
    }
    for (int i = 1; i <= need; ++i) {
        if (i >= n)
            return -1;
        unsigned char b = in[i];
        if (b < lo || b > hi)
            return -1;
        lo = 0x80;
        hi = 0xBF;
        cp = (cp << 6) | (b & 0x3F);
        length = i + 1;
    }
    return static_cast<long>(cp);
}

WCHAR Lower(WCHAR c) {
    if ((c >= u'A' && c <= u'Z') || (c >= 0xC0 && c <= 0xDE && c != 0xD7))
        return static_cast<WCHAR>(c + 0x20);
    if (c == 0x178)
        return 0xFF;
    return c;
}

WCHAR Upper(WCHAR c) {
    if ((c >= u'a' && c <= u'z') || (c >= 0xE0 && c <= 0xFE && c != 0xF7))
        return static_cast<WCHAR>(c - 0x20);
    if (c == 0xFF)
        return 0x178;
    return c;
}

}  // namespace

int MultiByteToWideChar(UINT codePage, DWORD flags, LPCSTR multiByte, int multiByteCount,
                        LPWSTR wide, int wideCount) {
    if (codePage != CP_UTF8 || (flags & ~static_cast<DWORD>(MB_ERR_INVALID_CHARS)) != 0 ||
        multiByte == nullptr || multiByteCount == 0 || multiByteCount < -1 || wideCount < 0 ||
        (wide == nullptr && wideCount != 0)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    const auto* in = reinterpret_cast<const unsigned char*>(multiByte);
    long n = multiByteCount;
    if (n == -1) {
        n = 0;
        while (in[n] != 0)
            ++n;
        ++n;  // the terminator is converted and counted
    }
    const bool strict = (flags & MB_ERR_INVALID_CHARS) != 0;
    const bool measure = wideCount == 0;
    long out = 0;
    auto put = [&](WCHAR unit) {
        if (!measure) {
            if (out >= wideCount)
                return false;
            wide[out] = unit;
        }
        ++out;
        return true;
    };
    for (long i = 0; i < n;) {
        long length;
        long cp = DecodeUtf8(in + i, n - i, length);
        i += length;
        if (cp < 0) {
            if (strict) {
                SetLastError(ERROR_NO_UNICODE_TRANSLATION);
                return 0;
            }
            cp = kReplacement;
        }
        bool ok;
        if (cp >= 0x10000) {
            cp -= 0x10000;
            ok = put(static_cast<WCHAR>(0xD800 + (cp >> 10))) &&
                 put(static_cast<WCHAR>(0xDC00 + (cp & 0x3FF)));
        } else {
            ok = put(static_cast<WCHAR>(cp));
        }
        if (!ok) {
            SetLastError(ERROR_INSUFFICIENT_BUFFER);
            return 0;
        }
        if (out > 0x7FFFFFFF - 2) {
            SetLastError(ERROR_INVALID_PARAMETER);
            return 0;
        }
    }
    return static_cast<int>(out);
}

int WideCharToMultiByte(UINT codePage, DWORD flags, LPCWSTR wide, int wideCount, LPSTR multiByte,
                        int multiByteCount, LPCSTR defaultChar, LPBOOL usedDefaultChar) {
    if (codePage != CP_UTF8 || (flags & ~static_cast<DWORD>(WC_ERR_INVALID_CHARS)) != 0 ||
        wide == nullptr || wideCount == 0 || wideCount < -1 || multiByteCount < 0 ||
        (multiByte == nullptr && multiByteCount != 0) || defaultChar != nullptr ||
        usedDefaultChar != nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    long n = wideCount;
    if (n == -1)
        n = static_cast<long>(wcslen(wide)) + 1;
    const bool strict = (flags & WC_ERR_INVALID_CHARS) != 0;
    const bool measure = multiByteCount == 0;
    long out = 0;
    unsigned char buf[4];
    for (long i = 0; i < n;) {
        char32_t cp = wide[i++];
        if (IsHighSurrogate(cp) && i < n && IsLowSurrogate(wide[i])) {
            cp = 0x10000 + ((cp - 0xD800) << 10) + (wide[i++] - 0xDC00);
        } else if (IsHighSurrogate(cp) || IsLowSurrogate(cp)) {
            if (strict) {
                SetLastError(ERROR_NO_UNICODE_TRANSLATION);
                return 0;
            }
            cp = kReplacement;
        }
        int len;
        if (cp < 0x80) {
            buf[0] = static_cast<unsigned char>(cp);
            len = 1;
        } else if (cp < 0x800) {
            buf[0] = static_cast<unsigned char>(0xC0 | (cp >> 6));
            buf[1] = static_cast<unsigned char>(0x80 | (cp & 0x3F));
            len = 2;
        } else if (cp < 0x10000) {
            buf[0] = static_cast<unsigned char>(0xE0 | (cp >> 12));
            buf[1] = static_cast<unsigned char>(0x80 | ((cp >> 6) & 0x3F));
            buf[2] = static_cast<unsigned char>(0x80 | (cp & 0x3F));
            len = 3;
        } else {
            buf[0] = static_cast<unsigned char>(0xF0 | (cp >> 18));
            buf[1] = static_cast<unsigned char>(0x80 | ((cp >> 12) & 0x3F));
            buf[2] = static_cast<unsigned char>(0x80 | ((cp >> 6) & 0x3F));
            buf[3] = static_cast<unsigned char>(0x80 | (cp & 0x3F));
            len = 4;
        }
        if (!measure) {
            if (out + len > multiByteCount) {
                SetLastError(ERROR_INSUFFICIENT_BUFFER);
                return 0;
            }
            for (int k = 0; k < len; ++k)
                multiByte[out + k] = static_cast<char>(buf[k]);
        }
        out += len;
        if (out > 0x7FFFFFFF - 4) {
            SetLastError(ERROR_INVALID_PARAMETER);
            return 0;
        }
    }
    return static_cast<int>(out);
}

std::size_t wcslen(const WCHAR* s) {
    const WCHAR* p = s;
    while (*p)
        ++p;
    return static_cast<std::size_t>(p - s);
}

int wcscmp(const WCHAR* a, const WCHAR* b) {
    for (;; ++a, ++b) {
        if (*a != *b)
            return *a < *b ? -1 : 1;
        if (*a == 0)
            return 0;
    }
}

int wcsncmp(const WCHAR* a, const WCHAR* b, std::size_t n) {
    for (; n > 0; --n, ++a, ++b) {
        if (*a != *b)
            return *a < *b ? -1 : 1;
        if (*a == 0)
            return 0;
    }
    return 0;
}

int _wcsicmp(const WCHAR* a, const WCHAR* b) {
    for (;; ++a, ++b) {
        WCHAR x = Lower(*a), y = Lower(*b);
        if (x != y)
            return static_cast<int>(x) - static_cast<int>(y);
        if (x == 0)
            return 0;
    }
}

int _wcsnicmp(const WCHAR* a, const WCHAR* b, std::size_t n) {
    for (; n > 0; --n, ++a, ++b) {
        WCHAR x = Lower(*a), y = Lower(*b);
        if (x != y)
            return static_cast<int>(x) - static_cast<int>(y);
        if (x == 0)
            return 0;
    }
    return 0;
}

WCHAR* _wcslwr(WCHAR* s) {
    for (WCHAR* p = s; *p; ++p)
        *p = Lower(*p);
    return s;
}

WCHAR* _wcsupr(WCHAR* s) {
    for (WCHAR* p = s; *p; ++p)
        *p = Upper(*p);
    return s;
}

const WCHAR* wcschr(const WCHAR* s, WCHAR c) {
    for (;; ++s) {
        if (*s == c)
            return s;
        if (*s == 0)
            return nullptr;
    }
}

WCHAR* wcschr(WCHAR* s, WCHAR c) {
    return const_cast<WCHAR*>(wcschr(static_cast<const WCHAR*>(s), c));
}

const WCHAR* wcsrchr(const WCHAR* s, WCHAR c) {
    const WCHAR* found = nullptr;
    for (;; ++s) {
        if (*s == c)
            found = s;
        if (*s == 0)
            return found;
    }
}

WCHAR* wcsrchr(WCHAR* s, WCHAR c) {
    return const_cast<WCHAR*>(wcsrchr(static_cast<const WCHAR*>(s), c));
}

const WCHAR* wcsstr(const WCHAR* haystack, const WCHAR* needle) {
    if (*needle == 0)
        return haystack;
    for (; *haystack; ++haystack) {
        const WCHAR* h = haystack;
        const WCHAR* n = needle;
        while (*n && *h == *n)
            ++h, ++n;
        if (*n == 0)
            return haystack;
    }
    return nullptr;
}

WCHAR* wcsstr(WCHAR* haystack, const WCHAR* needle) {
    return const_cast<WCHAR*>(wcsstr(static_cast<const WCHAR*>(haystack), needle));
}

WCHAR* wcscpy(WCHAR* dest, const WCHAR* src) {
    WCHAR* d = dest;
    while ((*d++ = *src++) != 0) {
    }
    return dest;
}

WCHAR* wcsncpy(WCHAR* dest, const WCHAR* src, std::size_t n) {
    std::size_t i = 0;
    for (; i < n && src[i] != 0; ++i)
        dest[i] = src[i];
    for (; i < n; ++i)
        dest[i] = 0;
    return dest;
}

WCHAR* wcscat(WCHAR* dest, const WCHAR* src) {
    wcscpy(dest + wcslen(dest), src);
    return dest;
}

WCHAR towlower(WCHAR c) {
    return Lower(c);
}
WCHAR towupper(WCHAR c) {
    return Upper(c);
}
