// KString: the system's string value. One pointer to a reference-counted,
// copy-on-write storage of UTF-16 code units; narrow text in and out is
// UTF-8. Copies are cheap and never see later changes of the original.
#pragma once

#include <atomic>
#include <cstdarg>
#include <cstdint>

#include "wince.h"
#include "common/base/growablearray.h"

class KString;
class KStringStorage;

// The write half of a storage. Only called on a storage that one KString
// holds alone (KString::MakeWritable guarantees that).
class KStringWriteInterface {
  public:
    virtual void AppendNewline() = 0;
    virtual void Append(const KString& other) = 0;
    // byteCount -1: up to and including the terminating NUL byte.
    virtual void AppendUtf8(const char* bytes, int byteCount) = 0;
    virtual void WriteHookA() = 0;
    virtual void WriteHookB() = 0;
    virtual void ReplaceChar(uint16_t from, uint16_t to) = 0;
    // Removes [start, end); end is clamped to the length.
    virtual void Erase(int start, int end) = 0;
    // Inserts other's content before index (0 <= index <= length); other
    // must not share this storage.
    virtual void Insert(int index, const KString& other) = 0;
    virtual ~KStringWriteInterface() = default;
};

// A string storage: reference count plus the read and derive operations.
// The read operations never change the storage and may run on a shared one.
class KStringStorage : public KStringWriteInterface {
  public:
    virtual bool IsEmpty() const = 0;
    virtual int Length() const = 0;
    // Replaces out's elements (element size 1) with the UTF-8 encoding of
    // the content, without a terminator.
    virtual void ToUtf8(GrowableArray& out) const = 0;
    virtual bool Equals(const KStringStorage* other) const = 0;
    virtual int CompareIgnoreCase(const KStringStorage* other) const = 0;
    virtual KString ToLowerCase() const = 0;
    virtual KString Substring(int start, int end) const = 0;
    virtual KString SubstringFrom(int start) const = 0;
    virtual int IndexOf(const KString& needle) const = 0;
    virtual int IndexOfChar(uint16_t ch) const = 0;
    virtual uint16_t CharAt(int index) const = 0;
    // A new, unshared storage (reference count 0) with the same content.
    virtual KStringStorage* Clone() const = 0;

    // Clears SharedEmptyStorage when it designates this object.
    ~KStringStorage() override;

    // Number of KString values holding this storage.
    std::atomic<int32_t> refCount{0};
};

// The storage that default-constructed strings share (no reference held).
// Null until the first default construction.
KStringStorage* SharedEmptyStorageForTesting();

class KString {
  public:
    KString();
    KString(const char* utf8);  // NOLINT: literals convert implicitly
    KString(const KString& other);
    KString& operator=(const KString& other);
    ~KString();

    // UTF-8 decoding of bytes.count bytes at bytes.data (no terminator needed).
    static KString FromUtf8Bytes(const GrowableArray& bytes);
    // NUL-terminated UTF-16 text; null counts as empty. Always a new storage.
    static KString FromWide(const WCHAR* text);
    // Exactly count code units; NULs at the end of the range are dropped.
    static KString FromWide(const WCHAR* text, int count);
    // Formatted text: %d %u %x (32-bit), %D %U %X (64-bit), %s (UTF-8 text),
    // %S (const KString*), %%; a line feed becomes CR LF.
    static KString Format(const char* format, ...);
    static KString FormatV(const char* format, va_list args);
    // A string holding storage (one reference added).
    static KString FromStorage(KStringStorage* storage);

    // A storage this value holds alone, ready to be written.
    KStringStorage* MakeWritable();
    // Points this value at s (null only on destruction), releasing the old.
    void Assign(KStringStorage* s);

    void Append(const KString& other);
    // NUL-terminated UTF-8; null or empty text changes nothing.
    void AppendUtf8(const char* utf8);
    void AppendFormat(const char* format, ...);
    void AppendFormatV(const char* format, va_list args);
    void AppendDecimal(int64_t value);
    void AppendUnsignedDecimal(uint64_t value);
    // "0x" and lowercase hexadecimal digits, zero-padded to minDigits.
    void AppendHex(uint64_t value, int minDigits);

    // NUL-terminated UTF-16, valid while the storage lives unchanged.
    const WCHAR* WideChars() const;
    int Length() const { return storage_->Length(); }
    bool IsEmpty() const { return storage_->IsEmpty(); }
    bool Equals(const KString& other) const { return storage_->Equals(other.storage_); }
    int CompareIgnoreCase(const KString& other) const {
        return storage_->CompareIgnoreCase(other.storage_);
    }
    void ToUtf8(GrowableArray& out) const { storage_->ToUtf8(out); }
    KString ToLowerCase() const;
    KString Substring(int start, int end) const;
    KString SubstringFrom(int start) const;
    int IndexOf(const KString& needle) const { return storage_->IndexOf(needle); }
    int IndexOfChar(uint16_t ch) const { return storage_->IndexOfChar(ch); }
    uint16_t CharAt(int index) const { return storage_->CharAt(index); }
    KStringStorage* Storage() const { return storage_; }

  private:
    KString(KStringStorage* storage, int);  // adds one reference
    KStringStorage* storage_ = nullptr;
};
