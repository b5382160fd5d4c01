#include "common/src/datastream.h"

#include <cstring>

void EncodeVarint(uint32_t value, GrowableArray& array) {
    uint8_t bytes[5];
    int n = 0;
    do {
        uint8_t group = static_cast<uint8_t>(value & 0x7F);
        value >>= 7;
        if (value != 0)
            group |= 0x80;
        bytes[n++] = group;
    } while (value != 0);
    array.SetCount(0);
    array.InsertAt(array.data, n, bytes);
}

void DataOutputStream::WriteBytes(const uint8_t* bytes, int32_t count) {
    if (count <= 0)
        return;
    output_->InsertAt(output_->End(), count, bytes);
}

void DataOutputStream::WriteByte(uint8_t b) {
    WriteBytes(&b, 1);
}

void DataOutputStream::WriteShort(uint32_t v) {
    const uint8_t bytes[2] = {static_cast<uint8_t>(v >> 8), static_cast<uint8_t>(v)};
    WriteBytes(bytes, 2);
}

void DataOutputStream::WriteLong(uint64_t v) {
    WriteShort(static_cast<uint32_t>(v >> 48));
    WriteShort(static_cast<uint32_t>(v >> 32));
    WriteShort(static_cast<uint32_t>(v >> 16));
    WriteShort(static_cast<uint32_t>(v));
}

void DataOutputStream::WriteRawString(const KString& s) {
    GrowableArray utf8(1);
    s.ToUtf8(utf8);
    WriteBytes(utf8.Bytes(), utf8.count);
}

void DataOutputStream::WriteString(const KString& s) {
    GrowableArray utf8(1);
    s.ToUtf8(utf8);
    // A longer text would not fit its 16-bit length and would corrupt
    // everything after it; refuse it and mark the body unusable.
    if (utf8.count > 0xFFFF) {
        SetError();
        return;
    }
    WriteShort(static_cast<uint32_t>(utf8.count));
    WriteBytes(utf8.Bytes(), utf8.count);
}

uint8_t DataInputStream::ReadByte() {
    if (position_ >= Size()) {
        error_ = true;
        return 0;
    }
    return Data()[position_++];
}

uint16_t DataInputStream::ReadShort() {
    uint32_t high = ReadByte();
    uint32_t low = ReadByte();
    return static_cast<uint16_t>((high << 8) | low);
}

uint32_t DataInputStream::ReadInt() {
    uint32_t v = 0;
    for (int i = 0; i < 4; ++i)
        v = (v << 8) | ReadByte();
    return v;
}

uint64_t DataInputStream::ReadVarintBytes(int maxBytes) {
    uint64_t result = 0;
    if (position_ >= Size())
        return 0;
    for (int i = 0; i < maxBytes; ++i) {
        if (position_ >= Size()) {
            // The data ended while the last byte read announced another.
            error_ = true;
            break;
        }
        uint8_t b = Data()[position_++];
        if (7 * i < 64)
            result |= static_cast<uint64_t>(b & 0x7F) << (7 * i);
        if ((b & 0x80) == 0)
            break;
    }
    return result;
}

uint32_t DataInputStream::ReadVarint() {
    return static_cast<uint32_t>(ReadVarintBytes(5));
}

uint64_t DataInputStream::ReadVarint64() {
    return ReadVarintBytes(10);
}

GrowableArray DataInputStream::ReadBytes(uint32_t n) {
    if (n == 0 && !error_)
        return GrowableArray(1);
    if (error_ || static_cast<uint32_t>(Remaining()) < n) {
        error_ = true;
        position_ = Size();
        return GrowableArray(1);
    }
    GrowableArray view = GrowableArray::View(Data() + position_, static_cast<int>(n), 1);
    position_ += static_cast<int32_t>(n);
    return view;
}

KString DataInputStream::ReadString() {
    uint16_t n = ReadShort();
    if (error_)
        return KString();
    GrowableArray bytes = ReadBytes(n);
    if (error_)
        return KString();
    return KString::FromUtf8Bytes(bytes);
}

KString DataInputStream::ReadVarintString() {
    uint32_t n = ReadVarint();
    GrowableArray bytes = ReadBytes(n);
    if (error_)
        return KString();
    return KString::FromUtf8Bytes(bytes);
}
