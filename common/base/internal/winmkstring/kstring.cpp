#include "common/base/internal/winmkstring/kstring.h"

#include <cstdio>
#include <cstdlib>

#include "common/base/internal/winmkstring/kstringshared.h"

std::atomic<KStringStorage*> SharedEmptyStorage{nullptr};
std::atomic<WinmDefaultKStringStorage*> DefaultStorageInstance{nullptr};

SpinLock& KStringSharedLock() {
    // Constant-initialised and trivially destroyed: usable from static
    // constructors and destructors of any translation unit.
    static SpinLock lock;
    return lock;
}

bool TryAddReference(KStringStorage* storage) {
    int32_t n = storage->refCount.load(std::memory_order_relaxed);
    while (n > 0) {
        if (storage->refCount.compare_exchange_weak(n, n + 1, std::memory_order_relaxed))
            return true;
    }
    return false;
}

void KStringOutOfMemory(long long bytes, const char* className) {
    std::fprintf(stderr, "fatal: could not allocate %lld bytes for a %s\n", bytes, className);
    std::fflush(stderr);
    std::abort();
}

KStringStorage* SharedEmptyStorageForTesting() {
    return SharedEmptyStorage.load();
}

KStringStorage::~KStringStorage() {
    if (SharedEmptyStorage.load() == this) {
        SpinLockGuard guard(KStringSharedLock());
        if (SharedEmptyStorage.load() == this)
            SharedEmptyStorage.store(nullptr);
    }
}

// ---- value operations

KString::KString() {
    KStringStorage* s = nullptr;
    {
        SpinLockGuard guard(KStringSharedLock());
        s = SharedEmptyStorage.load();
        if (s != nullptr && !TryAddReference(s))
            s = nullptr;  // being destroyed
    }
    if (s == nullptr) {
        s = WinmDefaultKStringStorage::Default();
        if (s == nullptr)
            KStringOutOfMemory(static_cast<long long>(sizeof(WinmDefaultKStringStorage)),
                               "WinmDefaultKStringStorage");
        SpinLockGuard guard(KStringSharedLock());
        KStringStorage* current = SharedEmptyStorage.load();
        if (current == nullptr || current->refCount.load() == 0)
            SharedEmptyStorage.store(s);
    }
    storage_ = s;  // the reference was taken above
}

KString::KString(const char* utf8) : KString() {
    AppendUtf8(utf8);
}

KString::KString(const KString& other) : storage_(other.storage_) {
    storage_->refCount.fetch_add(1, std::memory_order_relaxed);
}

KString& KString::operator=(const KString& other) {
    Assign(other.storage_);
    return *this;
}

KString::~KString() {
    Assign(nullptr);
}

KString KString::FromStorage(KStringStorage* storage) {
    KString result(storage, 0);
    return result;
}

KString::KString(KStringStorage* storage, int) : storage_(storage) {
    storage_->refCount.fetch_add(1, std::memory_order_relaxed);
}

KString KString::FromUtf8Bytes(const GrowableArray& bytes) {
    KString result;
    if (bytes.count > 0 && bytes.data != nullptr)
        result.MakeWritable()->AppendUtf8(static_cast<const char*>(bytes.data), bytes.count);
    return result;
}

KString KString::FromWide(const WCHAR* text) {
    return FromWide(text, text == nullptr ? 0 : static_cast<int>(wcslen(text)));
}

KString KString::FromWide(const WCHAR* text, int count) {
    return FromStorage(WinmKStringStorage::Create(text, text == nullptr || count < 0 ? 0 : count));
}

void KString::Assign(KStringStorage* s) {
    if (s == storage_)
        return;
    KStringStorage* old = storage_;
    if (old != nullptr && old->refCount.fetch_sub(1, std::memory_order_acq_rel) == 1)
        delete old;
    storage_ = s;
    if (s != nullptr)
        s->refCount.fetch_add(1, std::memory_order_relaxed);
}

KStringStorage* KString::MakeWritable() {
    KStringStorage* s = storage_;
    if (s->refCount.load(std::memory_order_acquire) <= 1) {
        if (SharedEmptyStorage.load() != s && DefaultStorageInstance.load() != s)
            return s;
        // Held alone but designated as the shared empty storage: drop the
        // designation under the lock, so no other thread can pick it up
        // between the check and the write. The factory's pointer goes too,
        // or it could hand out a storage that this value is writing.
        SpinLockGuard guard(KStringSharedLock());
        if (s->refCount.load(std::memory_order_acquire) <= 1) {
            if (SharedEmptyStorage.load() == s)
                SharedEmptyStorage.store(nullptr);
            if (DefaultStorageInstance.load() == s)
                DefaultStorageInstance.store(nullptr);
            return s;
        }
    }
    KStringStorage* clone = s->Clone();
    Assign(clone);
    return clone;
}

void KString::Append(const KString& other) {
    if (other.IsEmpty())
        return;
    if (IsEmpty()) {
        Assign(other.storage_);
        return;
    }
    if (&other == this) {
        // Appending a string to itself: the extra reference makes the write
        // go to a clone while the source stays as it was.
        KString source(other);
        MakeWritable()->Append(source);
        return;
    }
    // A different value sharing this storage raises its count, so
    // MakeWritable clones and other keeps reading the original.
    MakeWritable()->Append(other);
}

void KString::AppendUtf8(const char* utf8) {
    if (utf8 == nullptr || *utf8 == '\0')
        return;
    MakeWritable()->AppendUtf8(utf8, -1);
}

const WCHAR* KString::WideChars() const {
    return static_cast<const WinmKStringStorage*>(storage_)->Chars();
}

KString KString::ToLowerCase() const {
    return storage_->ToLowerCase();
}
KString KString::Substring(int start, int end) const {
    return storage_->Substring(start, end);
}
KString KString::SubstringFrom(int start) const {
    return storage_->SubstringFrom(start);
}

// ---- formatting

namespace {

// Digits of value in radix, written from the right end of buf; returns the
// first digit.
char* Digits(uint64_t value, unsigned radix, char* end) {
    char* p = end;
    do {
        unsigned d = static_cast<unsigned>(value % radix);
        *--p = static_cast<char>(d < 10 ? '0' + d : 'a' + d - 10);
        value /= radix;
    } while (value != 0);
    return p;
}

}  // namespace

void KString::AppendDecimal(int64_t value) {
    char buf[24];
    char* end = buf + sizeof buf - 1;
    *end = '\0';
    uint64_t magnitude =
        value < 0 ? 0 - static_cast<uint64_t>(value) : static_cast<uint64_t>(value);
    char* p = Digits(magnitude, 10, end);
    if (value < 0)
        *--p = '-';
    AppendUtf8(p);
}

void KString::AppendUnsignedDecimal(uint64_t value) {
    char buf[24];
    char* end = buf + sizeof buf - 1;
    *end = '\0';
    AppendUtf8(Digits(value, 10, end));
}

void KString::AppendHex(uint64_t value, int minDigits) {
    constexpr int kPadChunk = 32;
    char buf[2 + kPadChunk + 16 + 1];
    char* end = buf + sizeof buf - 1;
    *end = '\0';
    char* p = Digits(value, 16, end);
    int pad = minDigits - static_cast<int>(end - p);
    // Padding wider than the buffer goes out in whole chunks first.
    if (pad > kPadChunk) {
        AppendUtf8("0x");
        char zeros[kPadChunk + 1];
        for (int i = 0; i < kPadChunk; ++i)
            zeros[i] = '0';
        zeros[kPadChunk] = '\0';
        while (pad > kPadChunk) {
            AppendUtf8(zeros);
            pad -= kPadChunk;
        }
        while (pad-- > 0)
            *--p = '0';
        AppendUtf8(p);
        return;
    }
    while (pad-- > 0)
        *--p = '0';
    *--p = 'x';
    *--p = '0';
    AppendUtf8(p);
}

void KString::AppendFormatV(const char* format, va_list args) {
    if (format == nullptr)
        return;
    const char* p = format;
    for (;;) {
        const char* q = p;
        while (*q != '\0' && *q != '%' && *q != '\n')
            ++q;
        if (q > p)
            MakeWritable()->AppendUtf8(p, static_cast<int>(q - p));
        if (*q == '\0')
            return;
        if (*q == '\n') {
            MakeWritable()->AppendNewline();
            p = q + 1;
            continue;
        }
        const char conversion = q[1];
        switch (conversion) {
            case '\0':
                return;
            case '%':
                Append(KString("%"));
                break;
            case 'd':
                AppendDecimal(va_arg(args, int32_t));
                break;
            case 'u':
                AppendUnsignedDecimal(va_arg(args, uint32_t));
                break;
            case 'x':
                AppendHex(va_arg(args, uint32_t), 8);
                break;
            case 'D':
                AppendDecimal(va_arg(args, int64_t));
                break;
            case 'U':
                AppendUnsignedDecimal(va_arg(args, uint64_t));
                break;
            case 'X':
                AppendHex(va_arg(args, uint64_t), 16);
                break;
            case 's':
                AppendUtf8(va_arg(args, const char*));
                break;
            case 'S': {
                const KString* other = va_arg(args, const KString*);
                if (other != nullptr)
                    Append(*other);
                break;
            }
            default:
                break;  // not a conversion: the byte is consumed
        }
        p = q + 2;
    }
}

void KString::AppendFormat(const char* format, ...) {
    va_list args;
    va_start(args, format);
    AppendFormatV(format, args);
    va_end(args);
}

KString KString::FormatV(const char* format, va_list args) {
    KString result;
    result.AppendFormatV(format, args);
    return result;
}

KString KString::Format(const char* format, ...) {
    va_list args;
    va_start(args, format);
    KString result = FormatV(format, args);
    va_end(args);
    return result;
}
