#include "common/base/internal/winmkstring/winmkstringstorage.h"

#include <cstring>

#include "common/base/internal/winmkstring/kstringshared.h"

namespace {

const WinmKStringStorage* Of(const KStringStorage* storage) {
    // Every storage in the system is a WinmKStringStorage.
    return static_cast<const WinmKStringStorage*>(storage);
}

const WinmKStringStorage* Of(const KString& s) {
    return Of(s.Storage());
}

}  // namespace

WinmKStringStorage::WinmKStringStorage() = default;

WinmKStringStorage::~WinmKStringStorage() {
    chars.FreeIfOwned();
}

WinmKStringStorage* WinmKStringStorage::Create(const WCHAR* text, int count) {
    WinmKStringStorage* s = WINM_NEW(WinmKStringStorage)();
    if (s == nullptr)
        KStringOutOfMemory(static_cast<long long>(sizeof(WinmKStringStorage)),
                           "WinmKStringStorage");
    s->chars.SetCount(0);
    if (count > 0)
        s->chars.InsertAt(s->chars.End(), count, text);
    s->DropTrailingNuls();
    s->Terminate();
    return s;
}

void WinmKStringStorage::DropTrailingNuls() {
    // Only the count goes down: the terminator comes back right after, and
    // a shrink here would reallocate twice per append at half capacity.
    while (chars.count > 0 && chars.As<WCHAR>()[chars.count - 1] == 0)
        --chars.count;
}

void WinmKStringStorage::Terminate() {
    if (chars.count == 0 || chars.As<WCHAR>()[chars.count - 1] != 0) {
        const WCHAR nul = 0;
        chars.InsertAt(chars.End(), 1, &nul);
    }
}

// ---- writes

void WinmKStringStorage::AppendNewline() {
    AppendUtf8("\r\n", 3);
}

void WinmKStringStorage::Append(const KString& other) {
    const WinmKStringStorage* source = Of(other);
    int n = source->Length();
    if (n == 0)
        return;
    DropTrailingNuls();
    chars.InsertAt(chars.End(), n, source->Chars());
    Terminate();
}

void WinmKStringStorage::AppendUtf8(const char* bytes, int byteCount) {
    if (bytes == nullptr)
        return;
    int n = MultiByteToWideChar(CP_UTF8, 0, bytes, byteCount, nullptr, 0);
    if (n <= 0)
        return;
    DropTrailingNuls();
    auto* gap = static_cast<WCHAR*>(chars.InsertAt(chars.End(), n, nullptr));
    std::memset(gap, 0, static_cast<std::size_t>(n) * sizeof(WCHAR));
    MultiByteToWideChar(CP_UTF8, 0, bytes, byteCount, gap, n);
    Terminate();
}

void WinmKStringStorage::ReplaceChar(uint16_t from, uint16_t to) {
    WCHAR* p = chars.As<WCHAR>();
    for (int i = 0, n = Length(); i < n; ++i)
        if (static_cast<uint16_t>(p[i]) == from)
            p[i] = static_cast<WCHAR>(to);
}

void WinmKStringStorage::ReplaceCodeUnit(uint16_t from, uint16_t to) {
    ReplaceChar(from, to);
}

void WinmKStringStorage::Erase(int start, int end) {
    int length = Length();
    if (start < 0)
        start = 0;
    if (end > length)
        end = length;
    if (end <= start)
        return;
    WCHAR* p = chars.As<WCHAR>();
    std::memmove(p + start, p + end, static_cast<std::size_t>(chars.count - end) * sizeof(WCHAR));
    chars.SetCount(chars.count - (end - start));
}

void WinmKStringStorage::Insert(int index, const KString& other) {
    const WinmKStringStorage* source = Of(other);
    int n = source->Length();
    if (n == 0)
        return;
    int length = Length();
    if (index < 0)
        index = 0;
    if (index > length)
        index = length;
    if (source == this) {
        // The source moves while the gap opens: insert a copy.
        KString copy = KString::FromStorage(Clone());
        Insert(index, copy);
        return;
    }
    chars.InsertAt(chars.As<WCHAR>() + index, n, source->Chars());
}

// ---- reads

bool WinmKStringStorage::IsEmpty() const {
    return chars.count < 2;
}

int WinmKStringStorage::Length() const {
    return chars.count < 2 ? 0 : chars.count - 1;
}

void WinmKStringStorage::ToUtf8(GrowableArray& out) const {
    out.SetCount(0);
    int n = WideCharToMultiByte(CP_UTF8, 0, Chars(), chars.count, nullptr, 0, nullptr, nullptr);
    if (n <= 0)
        return;
    out.SetCount(n);
    std::memset(out.data, 0, static_cast<std::size_t>(n));
    WideCharToMultiByte(CP_UTF8, 0, Chars(), chars.count, out.As<char>(), n, nullptr, nullptr);
    out.SetCount(n - 1);
}

bool WinmKStringStorage::Equals(const KStringStorage* other) const {
    if (other == nullptr)
        return false;
    if (other == this)
        return true;
    const WinmKStringStorage* o = Of(other);
    if (o->chars.count != chars.count)
        return false;
    // Every code unit counts, embedded NULs included.
    return std::memcmp(chars.data, o->chars.data,
                       static_cast<std::size_t>(chars.count) * sizeof(WCHAR)) == 0;
}

int WinmKStringStorage::CompareIgnoreCase(const KStringStorage* other) const {
    if (other == nullptr)
        return 1;
    if (other == this)
        return 0;
    const WinmKStringStorage* o = Of(other);
    int n = chars.count < o->chars.count ? chars.count : o->chars.count;
    int r = _wcsnicmp(Chars(), o->Chars(), static_cast<std::size_t>(n));
    if (r != 0)
        return r;
    return chars.count - o->chars.count;
}

KString WinmKStringStorage::ToLowerCase() const {
    if (IsEmpty())
        return KString();
    WinmKStringStorage* lower = Create(Chars(), chars.count);
    WCHAR* p = lower->chars.As<WCHAR>();
    for (int i = 0, n = lower->Length(); i < n; ++i)
        p[i] = towlower(p[i]);
    return KString::FromStorage(lower);
}

KString WinmKStringStorage::Substring(int start, int end) const {
    int length = Length();
    if (start < 0)
        start = 0;
    if (end > length)
        end = length;
    if (end <= start)
        return KString();
    return KString::FromStorage(Create(Chars() + start, end - start));
}

KString WinmKStringStorage::SubstringFrom(int start) const {
    if (start <= 0)
        return KString::FromStorage(const_cast<WinmKStringStorage*>(this));
    if (start >= Length())
        return KString();
    return KString::FromStorage(Create(Chars() + start, chars.count - start));
}

int WinmKStringStorage::IndexOf(const KString& needle) const {
    const WCHAR* found = wcsstr(Chars(), needle.WideChars());
    return found == nullptr ? -1 : static_cast<int>(found - Chars());
}

int WinmKStringStorage::IndexOfChar(uint16_t ch) const {
    const WCHAR* found = wcschr(Chars(), static_cast<WCHAR>(ch));
    return found == nullptr ? -1 : static_cast<int>(found - Chars());
}

uint16_t WinmKStringStorage::CharAt(int index) const {
    if (index < 0 || index >= chars.count)
        return 0;
    return static_cast<uint16_t>(Chars()[index]);
}

KStringStorage* WinmKStringStorage::Clone() const {
    return Create(Chars(), chars.count);
}

// ---- the shared empty storage

WinmDefaultKStringStorage::WinmDefaultKStringStorage() {
    chars.SetCount(1);
    chars.As<WCHAR>()[0] = 0;
}

WinmDefaultKStringStorage::~WinmDefaultKStringStorage() {
    if (DefaultStorageInstance.load() == this) {
        SpinLockGuard guard(KStringSharedLock());
        if (DefaultStorageInstance.load() == this)
            DefaultStorageInstance.store(nullptr);
    }
}

WinmDefaultKStringStorage* WinmDefaultKStringStorage::Default() {
    {
        SpinLockGuard guard(KStringSharedLock());
        WinmDefaultKStringStorage* d = DefaultStorageInstance.load();
        if (d != nullptr && d->IsEmpty() && TryAddReference(d))
            return d;
    }
    // Allocated outside the lock: a failed allocation logs, and logging
    // builds strings.
    WinmDefaultKStringStorage* fresh = WINM_NEW(WinmDefaultKStringStorage)();
    if (fresh == nullptr)
        return nullptr;
    fresh->refCount.store(1);
    SpinLockGuard guard(KStringSharedLock());
    DefaultStorageInstance.store(fresh);
    return fresh;
}

WinmDefaultKStringStorage* DefaultStorageInstanceForTesting() {
    return DefaultStorageInstance.load();
}
