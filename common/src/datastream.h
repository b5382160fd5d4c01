// Big-endian binary streams over byte arrays (GrowableArray, element size 1).
#pragma once

#include <cstdint>

#include "common/base/growablearray.h"
#include "common/base/internal/winmkstring/kstring.h"

// Empties array and fills it with the varint encoding of value (1 to 5
// bytes, groups of seven bits, least significant first).
void EncodeVarint(uint32_t value, GrowableArray& array);

// Appends to a byte array owned by someone else. A write that cannot be
// represented (a string longer than its 16-bit length field) sets a sticky
// error flag instead of writing a wrong length; a body built with the flag
// set must not be sent.
class DataOutputStream {
  public:
    explicit DataOutputStream(GrowableArray* output) : output_(output) {}
    virtual ~DataOutputStream() = default;

    void WriteByte(uint8_t b);
    void WriteShort(uint32_t v);  // the low 16 bits, high byte first
    void WriteLong(uint64_t v);   // 8 bytes, most significant first
    void WriteRawString(const KString& s);
    // 16-bit byte length, then the UTF-8 bytes; at most 65,535 bytes.
    void WriteString(const KString& s);
    void WriteBytes(const uint8_t* bytes, int32_t count);

    bool HasError() const { return error_; }
    int32_t Length() const { return output_->count; }
    GrowableArray* output() const { return output_; }

  protected:
    void SetError() { error_ = true; }

    GrowableArray* output_;

  private:
    bool error_ = false;
};

// Reads a byte array, or a borrowed view of part of one, owned by someone
// else. Reads never fail loudly: a short read yields 0 or an empty value and
// sets the sticky error flag. Byte fields are views into the source.
class DataInputStream {
  public:
    explicit DataInputStream(const GrowableArray* source) : source_(source) {}
    virtual ~DataInputStream() = default;

    uint8_t ReadByte();
    uint16_t ReadShort();
    uint32_t ReadInt();
    uint32_t ReadVarint();
    uint64_t ReadVarint64();
    // A borrowed view (capacity 0) of the next n bytes; n is taken as
    // unsigned. Fewer than n bytes left: error, position to the end, empty.
    GrowableArray ReadBytes(uint32_t n);
    KString ReadString();        // 16-bit length, then UTF-8
    KString ReadVarintString();  // varint length, then UTF-8

    bool HasError() const { return error_; }
    bool AtEnd() const { return position_ >= Size(); }
    int32_t Position() const { return position_; }
    int32_t Remaining() const { return AtEnd() ? 0 : Size() - position_; }

  private:
    int32_t Size() const { return source_ ? source_->count : 0; }
    const uint8_t* Data() const { return static_cast<const uint8_t*>(source_->data); }
    uint64_t ReadVarintBytes(int maxBytes);

    const GrowableArray* source_;
    int32_t position_ = 0;
    bool error_ = false;
};
