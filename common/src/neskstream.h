// The protocol's request builder (nested length blocks) and response parser.
#pragma once

#include <cstdint>

#include "common/base/growablearray.h"
#include "common/src/datastream.h"

class NeskRequestBuilder : public DataOutputStream {
  public:
    enum BlockKind : uint32_t { BlockLength16 = 0, BlockLength32 = 1, BlockLengthVarint = 2 };

    explicit NeskRequestBuilder(GrowableArray* output);
    ~NeskRequestBuilder() override;

    void BeginBlock16();
    void BeginBlock32();
    void BeginVarintBlock(uint8_t tag);
    void WriteStringField(uint8_t tag, const KString& s);
    // Closes the innermost open block and writes its length. A close without
    // an open block, or a 16-bit block of more than 65,535 bytes, sets the
    // error flag.
    void EndBlock();

    int32_t OpenBlocks() const { return stack_.count; }
    // True when the body is complete and sound: no error and every block
    // closed.
    bool IsComplete() const { return !HasError() && stack_.count == 0; }

  private:
    struct OpenBlock {
        int32_t position;  // output length right after the placeholder
        uint32_t kind;
    };
    void Push(uint32_t kind);

    GrowableArray stack_;  // of OpenBlock
};

// Parses one response or one field of it; a nested parser is a new
// NeskResponseParser over a view of the field's bytes.
class NeskResponseParser : public DataInputStream {
  public:
    explicit NeskResponseParser(const GrowableArray* source) : DataInputStream(source) {}
};
