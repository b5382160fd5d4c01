#include "reg_names.h"

#include <unicode/uchar.h>

namespace wince::reg {
namespace {

void PutUnitBE(Bytes& out, UChar32 u) {
    out.push_back(static_cast<char>((u >> 8) & 0xff));
    out.push_back(static_cast<char>(u & 0xff));
}

}  // namespace

size_t Length(LPCWSTR s) {
    size_t n = 0;
    while (s[n] != 0)
        ++n;
    return n;
}

Bytes StoredName(LPCWSTR s, size_t n) {
    Bytes out;
    out.reserve(n * 2);
    for (size_t i = 0; i < n; ++i) {
        out.push_back(static_cast<char>(s[i] & 0xff));
        out.push_back(static_cast<char>(s[i] >> 8));
    }
    return out;
}

Bytes FoldedName(LPCWSTR s, size_t n) {
    Bytes out;
    out.reserve(n * 2);
    for (size_t i = 0; i < n; ++i) {
        UChar32 c = s[i];
        if (c >= 0xD800 && c <= 0xDBFF && i + 1 < n && s[i + 1] >= 0xDC00 && s[i + 1] <= 0xDFFF) {
            c = 0x10000 + ((c - 0xD800) << 10) + (s[i + 1] - 0xDC00);
            ++i;
        }
        if (c < 0xD800 || c > 0xDFFF)
            c = u_foldCase(c, U_FOLD_CASE_DEFAULT);
        if (c >= 0x10000) {
            c -= 0x10000;
            PutUnitBE(out, 0xD800 + (c >> 10));
            PutUnitBE(out, 0xDC00 + (c & 0x3ff));
        } else {
            PutUnitBE(out, c);
        }
    }
    return out;
}

LONG SplitPath(LPCWSTR path, std::vector<std::pair<LPCWSTR, size_t>>* parts) {
    parts->clear();
    if (path == nullptr)
        return ERROR_SUCCESS;
    size_t n = Length(path);
    if (n > 0 && path[n - 1] == u'\\')
        --n;
    if (n == 0)
        return ERROR_SUCCESS;
    size_t start = 0;
    for (size_t i = 0; i <= n; ++i) {
        if (i == n || path[i] == u'\\') {
            size_t len = i - start;
            if (len == 0 || len > WINCE_REG_MAX_KEY_NAME)
                return ERROR_INVALID_PARAMETER;
            parts->emplace_back(path + start, len);
            start = i + 1;
        }
    }
    return ERROR_SUCCESS;
}

LONG ValueName(LPCWSTR name, Bytes* stored, Bytes* fold) {
    size_t n = name ? Length(name) : 0;
    if (n > WINCE_REG_MAX_VALUE_NAME)
        return ERROR_INVALID_PARAMETER;
    *stored = StoredName(name ? name : u"", n);
    *fold = FoldedName(name ? name : u"", n);
    return ERROR_SUCCESS;
}

LONG CopyName(const Bytes& stored, LPWSTR out, LPDWORD cch) {
    DWORD units = static_cast<DWORD>(stored.size() / 2);
    if (out == nullptr || cch == nullptr)
        return ERROR_INVALID_PARAMETER;
    if (*cch <= units) {
        *cch = units;
        return ERROR_MORE_DATA;
    }
    for (DWORD i = 0; i < units; ++i)
        out[i] = static_cast<WCHAR>(static_cast<unsigned char>(stored[2 * i]) |
                                    (static_cast<unsigned char>(stored[2 * i + 1]) << 8));
    out[units] = 0;
    *cch = units;
    return ERROR_SUCCESS;
}

}  // namespace wince::reg
