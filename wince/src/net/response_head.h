// The head of a received HTTP response: collecting it from the header lines
// as they arrive, and answering HttpQueryInfoW levels from it. Pure byte
// handling, no transfer and no Win32 buffers, so it can be fed bytes directly.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "wince/wininet.h"

namespace wince::net {

// Collects the final response head from header lines as libcurl hands them
// over, one line per call, CR LF included or not. The head of an interim 1xx
// response is dropped; lines after the final head (trailers of a chunked
// body) are ignored.
class ResponseHeadParser {
  public:
    // Takes one line; true when it completed the final head.
    bool Feed(std::string_view data);
    bool Done() const { return done_; }
    // The status line first, then the header lines, without CR LF; the
    // final head once Done().
    const std::vector<std::string>& Lines() const { return lines_; }

  private:
    std::vector<std::string> lines_;
    long status_ = 0;  // of the response being received
    bool done_ = false;
};

// What a query of a response head found.
struct HeadAnswer {
    DWORD error = 0;      // a Win32 error code; 0 when `value` holds the answer
    std::string value;    // header bytes
    bool header = false;  // a header line answered: the caller's index moves on
};

// Answers an HttpQueryInfoW level (modifier flags removed) from the lines of
// a final head. `number` is HTTP_QUERY_FLAG_NUMBER; `customName` names the
// header for HTTP_QUERY_CUSTOM; `index` picks among headers of one name.
HeadAnswer QueryResponseHead(const std::vector<std::string>& lines, DWORD level, bool number,
                             std::string_view customName, DWORD index);

// The header name of a query level; NULL for levels that name no header.
const char* HeaderName(DWORD level);

}  // namespace wince::net
