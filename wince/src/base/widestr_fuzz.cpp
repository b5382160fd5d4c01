// Converts arbitrary bytes from UTF-8 the way received text is converted,
// and checks the result against ICU's converter: the same code units, with
// one U+FFFD for each maximal malformed part, and a strict conversion that
// fails exactly when the bytes are not UTF-8. The output buffer is exactly
// as large as asked for, so a write past it is an ASan report; one unit
// less must fail cleanly. Whatever comes out converts back without loss.
#include <unicode/ustring.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <vector>

#include "wince.h"

namespace {

// ICU's conversion: lenient (U+FFFD per maximal malformed part) or strict.
bool Reference(const char* bytes, int count, bool strict, std::vector<char16_t>& out) {
    UErrorCode status = U_ZERO_ERROR;
    int32_t length = 0;
    out.assign(static_cast<size_t>(count) + 1, 0);
    if (strict) {
        u_strFromUTF8(out.data(), static_cast<int32_t>(out.size()), &length, bytes, count, &status);
    } else {
        u_strFromUTF8WithSub(out.data(), static_cast<int32_t>(out.size()), &length, bytes, count,
                             0xFFFD, nullptr, &status);
    }
    if (U_FAILURE(status))
        return false;
    out.resize(static_cast<size_t>(length));
    return true;
}

// count -1 converts through the terminator, which the caller put at
// bytes[length - 1].
std::vector<WCHAR> Convert(const char* bytes, int count, DWORD flags, size_t length) {
    int n = MultiByteToWideChar(CP_UTF8, flags, bytes, count, nullptr, 0);
    if (n <= 0)
        return {};
    if (static_cast<size_t>(n) > length)
        std::abort();  // never more code units than bytes
    auto wide = std::make_unique<WCHAR[]>(static_cast<size_t>(n));
    if (n > 1) {
        SetLastError(0);
        if (MultiByteToWideChar(CP_UTF8, flags, bytes, count, wide.get(), n - 1) != 0 ||
            GetLastError() != ERROR_INSUFFICIENT_BUFFER)
            std::abort();
    }
    if (MultiByteToWideChar(CP_UTF8, flags, bytes, count, wide.get(), n) != n)
        std::abort();
    return std::vector<WCHAR>(wide.get(), wide.get() + n);
}

std::vector<char> Back(const std::vector<WCHAR>& wide) {
    const int count = static_cast<int>(wide.size());
    int n = WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, wide.data(), count, nullptr, 0,
                                nullptr, nullptr);
    if (n <= 0)
        std::abort();  // the decoder never produces an unpaired surrogate
    auto bytes = std::make_unique<char[]>(static_cast<size_t>(n));
    if (WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, wide.data(), count, bytes.get(), n,
                            nullptr, nullptr) != n)
        std::abort();
    return std::vector<char>(bytes.get(), bytes.get() + n);
}

bool Same(const std::vector<WCHAR>& a, const std::vector<char16_t>& b) {
    if (a.size() != b.size())
        return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (static_cast<char16_t>(a[i]) != b[i])
            return false;
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0 || size > (1u << 20))
        return 0;
    const auto* bytes = reinterpret_cast<const char*>(data);
    const int count = static_cast<int>(size);

    std::vector<char16_t> expected;
    if (!Reference(bytes, count, false, expected))
        std::abort();
    std::vector<WCHAR> lenient = Convert(bytes, count, 0, size);
    if (!Same(lenient, expected))
        std::abort();

    std::vector<char16_t> strictExpected;
    const bool valid = Reference(bytes, count, true, strictExpected);
    SetLastError(0);
    std::vector<WCHAR> strict = Convert(bytes, count, MB_ERR_INVALID_CHARS, size);
    if (valid != !strict.empty() || (!valid && GetLastError() != ERROR_NO_UNICODE_TRANSLATION))
        std::abort();

    // Valid text comes back byte for byte; repaired text is stable.
    std::vector<char> again = Back(lenient);
    if (valid && again != std::vector<char>(bytes, bytes + size))
        std::abort();
    if (Convert(again.data(), static_cast<int>(again.size()), MB_ERR_INVALID_CHARS, again.size()) !=
        lenient)
        std::abort();

    // Counted through a terminator: the same units plus the NUL.
    std::vector<char> terminated(bytes, bytes + size);
    terminated.push_back(0);
    std::vector<WCHAR> throughNul = Convert(terminated.data(), -1, 0, terminated.size());
    if (std::find(terminated.begin(), terminated.end() - 1, 0) == terminated.end() - 1) {
        lenient.push_back(0);
        if (throughNul != lenient)
            std::abort();
    }
    return 0;
}
