// Walks the fields of an HTTP response header block (UTF-8 bytes, CR LF
// separated) in place, one line at a time, copying only the current name and
// value. The block is borrowed and must outlive the iterator.
#pragma once

#include <cstdint>

#include "common/base/growablearray.h"
#include "common/base/trackedalloc.h"
#include "common/src/httprequestinterface.h"

class WinmHeaderFieldIterator : public HeaderFieldIteratorInterface {
  public:
    WINM_TRACKED_ALLOCATION;

    WinmHeaderFieldIterator(const uint8_t* bytes, int count);
    ~WinmHeaderFieldIterator() override;

    void Next() override;
    void First() override;
    bool IsDone() const override;
    const GrowableArray* GetName() const override { return &name; }
    const GrowableArray* GetValue() const override { return &value; }

  private:
    const uint8_t* LineEnd(const uint8_t* from) const;
    void ParseField();
    const uint8_t* BlockEnd() const { return block.Bytes() + block.count; }

    GrowableArray block;  // borrowed view
    const uint8_t* lineStart;
    const uint8_t* cursor;
    GrowableArray name;
    GrowableArray value;
};
