// Feeds arbitrary bytes, one LF-ended line at a time as libcurl hands header
// lines over, to the response head collector, and asks the finished head
// the HttpQueryInfoW levels. Every answer is made of the head's own bytes:
// the status parts come from the status line, a header's value from one of
// its lines, trimmed, and the index walks each matching line exactly once.
// The raw CR LF form, fed back in, collects the same head.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "netutil.h"
#include "response_head.h"

namespace {

using wince::net::HeadAnswer;
using wince::net::QueryResponseHead;
using wince::net::ResponseHeadParser;

bool IsSpace(char c) {
    return c == ' ' || c == '\t';
}

bool InLine(const std::vector<std::string>& lines, const std::string& value) {
    for (const auto& line : lines)
        if (line.find(value) != std::string::npos)
            return true;
    return false;
}

void CheckLines(const std::vector<std::string>& lines, size_t size) {
    size_t total = 0;
    for (const auto& line : lines) {
        if (line.empty() || line.back() == '\r' || line.find('\n') != std::string::npos)
            std::abort();
        total += line.size();
    }
    if (total > size)
        std::abort();
}

// Asks for one header by index until it is not found; every line holding it
// answers once, in order. Each query scans the whole head, so the walk stops
// after kMaxIndex answers to keep long heads of one header fast to fuzz.
constexpr DWORD kMaxIndex = 32;

void WalkHeader(const std::vector<std::string>& lines, DWORD level, std::string_view name) {
    for (DWORD index = 0; index < kMaxIndex; ++index) {
        HeadAnswer a = QueryResponseHead(lines, level, false, name, index);
        if (a.error == ERROR_HTTP_HEADER_NOT_FOUND || a.error == ERROR_HTTP_INVALID_QUERY_REQUEST) {
            if (a.header || !a.value.empty())
                std::abort();
            break;
        }
        if (a.error != 0 || !a.header || index >= lines.size())
            std::abort();
        if (!a.value.empty() &&
            (IsSpace(a.value.front()) || IsSpace(a.value.back()) || !InLine(lines, a.value)))
            std::abort();
    }
}

void Query(const std::vector<std::string>& lines, uint8_t selector, std::string_view customName) {
    const std::string status = lines.empty() ? std::string() : lines.front();
    for (DWORD level : {HTTP_QUERY_STATUS_CODE, HTTP_QUERY_STATUS_TEXT, HTTP_QUERY_VERSION}) {
        HeadAnswer a = QueryResponseHead(lines, level, false, {}, 0);
        if (a.error != 0 || a.header || status.find(a.value) == std::string::npos)
            std::abort();
    }
    size_t total = 0;
    for (const auto& line : lines)
        total += line.size();
    HeadAnswer crlf = QueryResponseHead(lines, HTTP_QUERY_RAW_HEADERS_CRLF, false, {}, 0);
    HeadAnswer nul = QueryResponseHead(lines, HTTP_QUERY_RAW_HEADERS, false, {}, 0);
    if (crlf.error != 0 || crlf.value.size() != total + 2 * lines.size() + 2 || nul.error != 0 ||
        nul.value.size() != total + lines.size() ||
        QueryResponseHead(lines, HTTP_QUERY_RAW_HEADERS, true, {}, 0).error == 0)
        std::abort();
    // One named level per input (asking all of them every time would cost
    // most of the run); which one comes from the input.
    DWORD level = selector % 128;
    while (wince::net::HeaderName(level) == nullptr)
        level = (level + 1) % 128;
    WalkHeader(lines, level, {});
    WalkHeader(lines, HTTP_QUERY_CUSTOM, customName);
}

std::vector<std::string> Collect(std::string_view bytes, bool* done) {
    ResponseHeadParser parser;
    std::vector<std::string> finished;
    size_t i = 0;
    while (i < bytes.size()) {
        size_t lf = bytes.find('\n', i);
        size_t end = lf == std::string_view::npos ? bytes.size() : lf + 1;
        const bool wasDone = parser.Done();
        const bool completed = parser.Feed(bytes.substr(i, end - i));
        if (completed != (!wasDone && parser.Done()))
            std::abort();
        if (completed)
            finished = parser.Lines();
        else if (wasDone && parser.Lines() != finished)
            std::abort();  // a finished head never changes
        i = end;
    }
    *done = parser.Done();
    return parser.Lines();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0 || size > (1u << 16))
        return 0;
    // The first line of the input names the custom header to ask for.
    std::string_view input(reinterpret_cast<const char*>(data), size);
    size_t first = input.find('\n');
    std::string_view customName = input.substr(0, first == input.npos ? input.size() : first);
    std::string_view head = first == input.npos ? std::string_view() : input.substr(first + 1);

    bool done = false;
    std::vector<std::string> lines = Collect(head, &done);
    CheckLines(lines, head.size());
    if (!done)
        return 0;
    Query(lines, data[0], customName);

    HeadAnswer raw = QueryResponseHead(lines, HTTP_QUERY_RAW_HEADERS_CRLF, false, {}, 0);
    bool again = false;
    if (Collect(raw.value, &again) != lines || !again)
        std::abort();
    return 0;
}
