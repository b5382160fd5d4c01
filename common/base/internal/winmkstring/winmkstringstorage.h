// The UTF-16 storage behind every KString: the code units followed by one
// NUL in a GrowableArray, so the text goes to wide platform calls as is.
#pragma once

#include "common/base/growablearray.h"
#include "common/base/trackedalloc.h"
#include "common/base/internal/winmkstring/kstring.h"

class WinmKStringStorage : public KStringStorage {
    WINM_TRACKED_ALLOCATION;

  public:
    WinmKStringStorage();
    ~WinmKStringStorage() override;

    // A new storage (reference count 0) holding the count code units at
    // text, without trailing NULs. Stops the process when out of memory.
    static WinmKStringStorage* Create(const WCHAR* text, int count);

    void AppendNewline() override;
    void Append(const KString& other) override;
    void AppendUtf8(const char* bytes, int byteCount) override;
    void WriteHookA() override {}
    void WriteHookB() override {}
    void ReplaceChar(uint16_t from, uint16_t to) override;
    void Erase(int start, int end) override;
    void Insert(int index, const KString& other) override;

    bool IsEmpty() const override;
    int Length() const override;
    void ToUtf8(GrowableArray& out) const override;
    bool Equals(const KStringStorage* other) const override;
    int CompareIgnoreCase(const KStringStorage* other) const override;
    KString ToLowerCase() const override;
    KString Substring(int start, int end) const override;
    KString SubstringFrom(int start) const override;
    int IndexOf(const KString& needle) const override;
    int IndexOfChar(uint16_t ch) const override;
    uint16_t CharAt(int index) const override;
    KStringStorage* Clone() const override;

    virtual void StorageHook() {}
    virtual void ReplaceCodeUnit(uint16_t from, uint16_t to);

    const WCHAR* Chars() const { return chars.As<const WCHAR>(); }

    GrowableArray chars{2};  // content + one NUL; count = length + 1

  protected:
    void DropTrailingNuls();
    void Terminate();
};

// The storage of the shared empty string, handed out by Default().
class WinmDefaultKStringStorage : public WinmKStringStorage {
    WINM_TRACKED_ALLOCATION;

  public:
    WinmDefaultKStringStorage();
    ~WinmDefaultKStringStorage() override;

    // The default-storage factory: the current DefaultStorageInstance while
    // it is alive and empty (no string has taken it over for writing), else
    // a new one that becomes DefaultStorageInstance. The result carries one
    // reference for the caller, taken under KStringSharedLock() (which the
    // factory takes itself), so a storage that another thread is destroying
    // is never handed out. Null when out of memory.
    static WinmDefaultKStringStorage* Default();
};

// Last storage made by the factory (no reference held), for tests.
WinmDefaultKStringStorage* DefaultStorageInstanceForTesting();
