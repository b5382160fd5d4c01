#include "common/net/winm/internal/winmheaderfielditerator.h"

namespace {

constexpr uint8_t kCr = 13;
constexpr uint8_t kLf = 10;

// Finds the first LF in [from, end) whose nearest non-zero predecessor
// (looking no further back than from) is CR; null when there is none. Zero
// bytes between the CR and the LF do not break the pair.
const uint8_t* FindCrLf(const uint8_t* from, const uint8_t* end) {
    uint8_t previous = 0;
    for (const uint8_t* p = from; p < end; ++p) {
        if (*p == kLf && previous == kCr)
            return p;
        if (*p != 0)
            previous = *p;
    }
    return nullptr;
}

void Fill(GrowableArray& target, const uint8_t* from, const uint8_t* to) {
    target.SetCount(0);
    int n = static_cast<int>(to - from);
    if (n > 0)
        target.InsertAt(target.End(), n, from);
}

}  // namespace

WinmHeaderFieldIterator::WinmHeaderFieldIterator(const uint8_t* bytes, int count)
    : block(GrowableArray::View(bytes, bytes != nullptr && count > 0 ? count : 0, 1)),
      lineStart(block.Bytes()),
      cursor(block.Bytes()),
      name(1),
      value(1) {
    First();
}

WinmHeaderFieldIterator::~WinmHeaderFieldIterator() {
    name.FreeIfOwned();
    value.FreeIfOwned();
}

const uint8_t* WinmHeaderFieldIterator::LineEnd(const uint8_t* from) const {
    const uint8_t* lf = FindCrLf(from, BlockEnd());
    return lf != nullptr ? lf + 1 : BlockEnd();
}

void WinmHeaderFieldIterator::ParseField() {
    const uint8_t* colon = lineStart;
    while (colon < cursor && *colon != ':')
        ++colon;
    // Without a colon the whole line, CR LF included, is the name.
    Fill(name, lineStart, colon);

    const uint8_t* start = colon < cursor ? colon + 1 : cursor;
    while (start < cursor && (*start == '\t' || *start == kLf || *start == kCr || *start == ' ')) {
        ++start;
    }
    // The value stops at the byte before the LF of the line's CR LF (the CR
    // itself); trailing spaces before it are kept.
    const uint8_t* lf = FindCrLf(start, cursor);
    Fill(value, start, lf != nullptr ? lf - 1 : cursor);
}

void WinmHeaderFieldIterator::First() {
    lineStart = cursor = block.Bytes();
    if (block.count > 0)
        cursor = LineEnd(lineStart);
    ParseField();
}

void WinmHeaderFieldIterator::Next() {
    lineStart = cursor;
    if (IsDone())
        return;
    cursor = LineEnd(lineStart);
    ParseField();
}

bool WinmHeaderFieldIterator::IsDone() const {
    return lineStart == BlockEnd();
}
