// Makes strings from arbitrary received bytes the way the stream reader
// does. The string holds what the host conversion gives (one NUL at the end
// is the terminator), goes back to UTF-8 and in again unchanged, leaves a
// copy untouched when appended to, and frees every block it took.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "common/base/growablearray.h"
#include "common/base/internal/winmkstring/kstring.h"
#include "common/base/trackedalloc.h"
#include "wince.h"

namespace {

std::vector<WCHAR> HostConversion(const uint8_t* data, int count) {
    std::vector<WCHAR> wide;
    int n = count > 0 ? MultiByteToWideChar(CP_UTF8, 0, reinterpret_cast<const char*>(data), count,
                                            nullptr, 0)
                      : 0;
    if (n > 0) {
        wide.resize(static_cast<size_t>(n));
        MultiByteToWideChar(CP_UTF8, 0, reinterpret_cast<const char*>(data), count, wide.data(), n);
    }
    return wide;
}

bool SameUnits(const KString& s, const std::vector<WCHAR>& units) {
    return units.empty() ||
           std::memcmp(s.WideChars(), units.data(), units.size() * sizeof(WCHAR)) == 0;
}

void Check(const uint8_t* data, size_t size) {
    // The first byte splits the rest into a string and a piece to append.
    const int count = static_cast<int>(size - 1);
    const int split = count * data[0] / 255;
    const uint8_t* text = data + 1;

    GrowableArray view = GrowableArray::View(text, split, 1);
    KString s = KString::FromUtf8Bytes(view);
    std::vector<WCHAR> expected = HostConversion(text, split);
    if (!expected.empty() && expected.back() == 0)
        expected.pop_back();
    const int length = s.Length();
    if (length != static_cast<int>(expected.size()) || length > split ||
        s.WideChars()[length] != 0 || !SameUnits(s, expected))
        std::abort();

    GrowableArray utf8(1);
    s.ToUtf8(utf8);
    if (utf8.count < length || utf8.count > 3 * length)
        std::abort();
    if (length == 0 || s.CharAt(length - 1) != 0) {
        KString again = KString::FromUtf8Bytes(utf8);
        if (!again.Equals(s))
            std::abort();
    }

    KString copy = s;
    copy.MakeWritable()->AppendUtf8(reinterpret_cast<const char*>(text + split), count - split);
    if (s.Length() != length || !SameUnits(s, expected))
        std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0 || size > (1u << 20))
        return 0;
    static const KString warm;  // the shared empty storage exists from here on
    const int before = LiveBlockCount();
    Check(data, size);
    if (LiveBlockCount() != before)
        std::abort();
    return 0;
}
