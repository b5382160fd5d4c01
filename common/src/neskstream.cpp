#include "common/src/neskstream.h"

NeskRequestBuilder::NeskRequestBuilder(GrowableArray* output)
    : DataOutputStream(output), stack_(sizeof(OpenBlock)) {}

NeskRequestBuilder::~NeskRequestBuilder() {
    stack_.FreeIfOwned();
}

void NeskRequestBuilder::Push(uint32_t kind) {
    const OpenBlock block = {Length(), kind};
    stack_.InsertAt(stack_.End(), 1, &block);
}

void NeskRequestBuilder::BeginBlock16() {
    WriteShort(0);
    Push(BlockLength16);
}

void NeskRequestBuilder::BeginBlock32() {
    const uint8_t zeros[4] = {0, 0, 0, 0};
    WriteBytes(zeros, 4);
    Push(BlockLength32);
}

void NeskRequestBuilder::BeginVarintBlock(uint8_t tag) {
    WriteByte(tag);
    WriteByte(0);
    Push(BlockLengthVarint);
}

void NeskRequestBuilder::WriteStringField(uint8_t tag, const KString& s) {
    BeginVarintBlock(tag);
    WriteRawString(s);
    EndBlock();
}

void NeskRequestBuilder::EndBlock() {
    if (stack_.count == 0) {
        SetError();
        return;
    }
    const OpenBlock block = stack_.As<OpenBlock>()[stack_.count - 1];
    stack_.SetCount(stack_.count - 1);
    const int32_t p = block.position;
    const uint32_t length = static_cast<uint32_t>(Length() - p);
    uint8_t* out = output_->Bytes();
    switch (block.kind) {
        case BlockLength16:
            if (length > 0xFFFF) {
                SetError();
                return;
            }
            out[p - 2] = static_cast<uint8_t>(length >> 8);
            out[p - 1] = static_cast<uint8_t>(length);
            break;
        case BlockLength32:
            out[p - 4] = static_cast<uint8_t>(length >> 24);
            out[p - 3] = static_cast<uint8_t>(length >> 16);
            out[p - 2] = static_cast<uint8_t>(length >> 8);
            out[p - 1] = static_cast<uint8_t>(length);
            break;
        default: {
            GrowableArray varint(1);
            EncodeVarint(length, varint);
            // The first byte takes the placeholder's place; the rest open a
            // gap in front of the content, which moves towards the end.
            if (varint.count > 1)
                output_->InsertAt(output_->Bytes() + p, varint.count - 1, varint.Bytes() + 1);
            output_->Bytes()[p - 1] = varint.Bytes()[0];
            break;
        }
    }
}
