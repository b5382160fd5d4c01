#include "response_head.h"

#include <cstdlib>

#include "netutil.h"

namespace wince::net {

bool ResponseHeadParser::Feed(std::string_view data) {
    if (done_)
        return false;  // trailers of a chunked body
    std::string line(data);
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r'))
        line.pop_back();
    if (line.compare(0, 5, "HTTP/") == 0) {
        // A new response starts (after an interim 1xx one, say).
        lines_.clear();
        lines_.push_back(line);
        auto space = line.find(' ');
        status_ =
            space == std::string::npos ? 0 : std::strtol(line.c_str() + space + 1, nullptr, 10);
        return false;
    }
    if (!line.empty()) {
        lines_.push_back(line);
        return false;
    }
    if (lines_.empty())
        return false;  // no status line yet: nothing to end
    if (status_ >= 100 && status_ < 200) {
        lines_.clear();
        return false;
    }
    done_ = true;
    return true;
}

HeadAnswer QueryResponseHead(const std::vector<std::string>& lines, DWORD level, bool number,
                             std::string_view customName, DWORD index) {
    HeadAnswer answer;
    const std::string statusLine = lines.empty() ? std::string() : lines.front();
    auto firstSpace = statusLine.find(' ');
    std::string version = statusLine.substr(0, firstSpace);
    std::string code, reason;
    if (firstSpace != std::string::npos) {
        auto second = statusLine.find(' ', firstSpace + 1);
        code = statusLine.substr(firstSpace + 1, second == std::string::npos
                                                     ? std::string::npos
                                                     : second - firstSpace - 1);
        if (second != std::string::npos)
            reason = statusLine.substr(second + 1);
    }

    switch (level) {
        case HTTP_QUERY_STATUS_CODE:
            answer.value = code;
            return answer;
        case HTTP_QUERY_STATUS_TEXT:
            answer.value = reason;
            return answer;
        case HTTP_QUERY_VERSION:
            answer.value = version;
            return answer;
        case HTTP_QUERY_RAW_HEADERS_CRLF:
        case HTTP_QUERY_RAW_HEADERS: {
            if (number) {
                answer.error = ERROR_HTTP_INVALID_QUERY_REQUEST;
                return answer;
            }
            const bool crlf = level == HTTP_QUERY_RAW_HEADERS_CRLF;
            std::string text;
            for (const auto& line : lines) {
                text += line;
                text += crlf ? std::string("\r\n") : std::string(1, '\0');
            }
            // CRLF form ends with an empty line; the NUL-separated form with
            // an empty string (the terminator makes the second NUL).
            if (crlf)
                text += "\r\n";
            answer.value = text;
            return answer;
        }
        default:
            break;
    }

    std::string_view name;
    if (level == HTTP_QUERY_CUSTOM) {
        name = customName;
    } else if (const char* known = HeaderName(level)) {
        name = known;
    } else {
        answer.error = ERROR_HTTP_INVALID_QUERY_REQUEST;
        return answer;
    }
    DWORD seen = 0;
    for (std::size_t i = 1; i < lines.size(); ++i) {
        const std::string& line = lines[i];
        auto colon = line.find(':');
        if (colon == std::string::npos)
            continue;
        if (!EqualsNoCase(Trim(std::string_view(line).substr(0, colon)), name))
            continue;
        if (seen++ != index)
            continue;
        answer.value = std::string(Trim(std::string_view(line).substr(colon + 1)));
        answer.header = true;
        return answer;
    }
    answer.error = ERROR_HTTP_HEADER_NOT_FOUND;
    return answer;
}

const char* HeaderName(DWORD level) {
    switch (level) {
        case HTTP_QUERY_MIME_VERSION:
            return "MIME-Version";
        case HTTP_QUERY_CONTENT_TYPE:
            return "Content-Type";
        case HTTP_QUERY_CONTENT_TRANSFER_ENCODING:
            return "Content-Transfer-Encoding";
        case HTTP_QUERY_CONTENT_ID:
            return "Content-ID";
        case HTTP_QUERY_CONTENT_DESCRIPTION:
            return "Content-Description";
        case HTTP_QUERY_CONTENT_LENGTH:
            return "Content-Length";
        case HTTP_QUERY_CONTENT_LANGUAGE:
            return "Content-Language";
        case HTTP_QUERY_ALLOW:
            return "Allow";
        case HTTP_QUERY_PUBLIC:
            return "Public";
        case HTTP_QUERY_DATE:
            return "Date";
        case HTTP_QUERY_EXPIRES:
            return "Expires";
        case HTTP_QUERY_LAST_MODIFIED:
            return "Last-Modified";
        case HTTP_QUERY_MESSAGE_ID:
            return "Message-ID";
        case HTTP_QUERY_URI:
            return "URI";
        case HTTP_QUERY_DERIVED_FROM:
            return "Derived-From";
        case HTTP_QUERY_COST:
            return "Cost";
        case HTTP_QUERY_LINK:
            return "Link";
        case HTTP_QUERY_PRAGMA:
            return "Pragma";
        case HTTP_QUERY_CONNECTION:
            return "Connection";
        case HTTP_QUERY_ACCEPT:
            return "Accept";
        case HTTP_QUERY_ACCEPT_CHARSET:
            return "Accept-Charset";
        case HTTP_QUERY_ACCEPT_ENCODING:
            return "Accept-Encoding";
        case HTTP_QUERY_ACCEPT_LANGUAGE:
            return "Accept-Language";
        case HTTP_QUERY_AUTHORIZATION:
            return "Authorization";
        case HTTP_QUERY_CONTENT_ENCODING:
            return "Content-Encoding";
        case HTTP_QUERY_FORWARDED:
            return "Forwarded";
        case HTTP_QUERY_FROM:
            return "From";
        case HTTP_QUERY_IF_MODIFIED_SINCE:
            return "If-Modified-Since";
        case HTTP_QUERY_LOCATION:
            return "Location";
        case HTTP_QUERY_ORIG_URI:
            return "Orig-URI";
        case HTTP_QUERY_REFERER:
            return "Referer";
        case HTTP_QUERY_RETRY_AFTER:
            return "Retry-After";
        case HTTP_QUERY_SERVER:
            return "Server";
        case HTTP_QUERY_TITLE:
            return "Title";
        case HTTP_QUERY_USER_AGENT:
            return "User-Agent";
        case HTTP_QUERY_WWW_AUTHENTICATE:
            return "WWW-Authenticate";
        case HTTP_QUERY_PROXY_AUTHENTICATE:
            return "Proxy-Authenticate";
        case HTTP_QUERY_ACCEPT_RANGES:
            return "Accept-Ranges";
        case HTTP_QUERY_SET_COOKIE:
            return "Set-Cookie";
        case HTTP_QUERY_COOKIE:
            return "Cookie";
        case HTTP_QUERY_REFRESH:
            return "Refresh";
        case HTTP_QUERY_CONTENT_DISPOSITION:
            return "Content-Disposition";
        case HTTP_QUERY_AGE:
            return "Age";
        case HTTP_QUERY_CACHE_CONTROL:
            return "Cache-Control";
        case HTTP_QUERY_CONTENT_BASE:
            return "Content-Base";
        case HTTP_QUERY_CONTENT_LOCATION:
            return "Content-Location";
        case HTTP_QUERY_CONTENT_MD5:
            return "Content-MD5";
        case HTTP_QUERY_CONTENT_RANGE:
            return "Content-Range";
        case HTTP_QUERY_ETAG:
            return "ETag";
        case HTTP_QUERY_HOST:
            return "Host";
        case HTTP_QUERY_IF_MATCH:
            return "If-Match";
        case HTTP_QUERY_IF_NONE_MATCH:
            return "If-None-Match";
        case HTTP_QUERY_IF_RANGE:
            return "If-Range";
        case HTTP_QUERY_IF_UNMODIFIED_SINCE:
            return "If-Unmodified-Since";
        case HTTP_QUERY_MAX_FORWARDS:
            return "Max-Forwards";
        case HTTP_QUERY_PROXY_AUTHORIZATION:
            return "Proxy-Authorization";
        case HTTP_QUERY_RANGE:
            return "Range";
        case HTTP_QUERY_TRANSFER_ENCODING:
            return "Transfer-Encoding";
        case HTTP_QUERY_UPGRADE:
            return "Upgrade";
        case HTTP_QUERY_VARY:
            return "Vary";
        case HTTP_QUERY_VIA:
            return "Via";
        case HTTP_QUERY_WARNING:
            return "Warning";
        case HTTP_QUERY_EXPECT:
            return "Expect";
        case HTTP_QUERY_PROXY_CONNECTION:
            return "Proxy-Connection";
        case HTTP_QUERY_UNLESS_MODIFIED_SINCE:
            return "Unless-Modified-Since";
        default:
            return nullptr;
    }
}

}  // namespace wince::net
