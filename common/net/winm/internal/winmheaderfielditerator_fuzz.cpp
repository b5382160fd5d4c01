// Walks arbitrary bytes as a response header block. Every field must come
// from the block's own bytes, in order, and the walk must end after at most
// one field per byte. The first input byte picks how many of the remaining
// bytes form the block, so the bytes past the count must never matter.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "common/net/winm/internal/winmheaderfielditerator.h"

namespace {

using Field = std::pair<std::string, std::string>;

std::string Text(const GrowableArray* bytes) {
    if (bytes->count < 0 || (bytes->count > 0 && bytes->data == nullptr))
        std::abort();
    return std::string(static_cast<const char*>(bytes->data), static_cast<size_t>(bytes->count));
}

bool IsBlank(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

std::vector<Field> Walk(const uint8_t* bytes, int count) {
    WinmHeaderFieldIterator it(bytes, count);
    const std::string block(reinterpret_cast<const char*>(bytes), static_cast<size_t>(count));
    std::vector<Field> fields;
    size_t from = 0;  // where the next field's line can start at the earliest
    for (; !it.IsDone(); it.Next()) {
        if (fields.size() >= static_cast<size_t>(count))
            std::abort();  // every line holds at least one byte
        Field f{Text(it.GetName()), Text(it.GetValue())};
        // The name is the start of a line and never holds a colon; the value
        // follows it in the same block, without leading blanks.
        size_t at = block.find(f.first, from);
        if (at == std::string::npos || f.first.find(':') != std::string::npos)
            std::abort();
        if (!f.second.empty() && (IsBlank(f.second.front()) ||
                                  block.find(f.second, at + f.first.size()) == std::string::npos))
            std::abort();
        from = at + (f.first.empty() ? 0 : 1);
        fields.push_back(std::move(f));
    }
    if (count > 0 && fields.empty())
        std::abort();
    // Done stays done, and First starts the same walk again.
    it.Next();
    if (!it.IsDone())
        std::abort();
    it.First();
    for (const Field& f : fields) {
        if (it.IsDone() || Text(it.GetName()) != f.first || Text(it.GetValue()) != f.second)
            std::abort();
        it.Next();
    }
    if (!it.IsDone())
        std::abort();
    return fields;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0 || size > (1u << 20))
        return 0;
    const uint8_t* block = data + 1;
    const int available = static_cast<int>(size - 1);
    const int count = data[0] == 0xFF ? available : available * data[0] / 255;
    std::vector<Field> withTail = Walk(block, count);
    // The same count of bytes on their own, so a read past them would show
    // either as a different walk or as an ASan report.
    std::vector<uint8_t> exact(block, block + count);
    if (Walk(exact.data(), count) != withTail)
        std::abort();
    return 0;
}
