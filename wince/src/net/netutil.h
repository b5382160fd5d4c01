// Text helpers shared by the Internet functions and the Connection Manager.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "wince/types.h"

namespace wince::net {

// Length of a NUL-terminated wide string; 0 for NULL.
std::size_t WideLength(const WCHAR* s);

// UTF-16 to UTF-8; unpaired surrogates become U+FFFD.
std::string ToUtf8(const WCHAR* s, std::size_t count);
inline std::string ToUtf8(const WCHAR* s) {
    return ToUtf8(s, WideLength(s));
}
std::string ToUtf8(std::u16string_view s);

// UTF-8 to UTF-16; malformed sequences become U+FFFD.
std::u16string FromUtf8(std::string_view s);

// Header bytes to wide text, one code unit per byte, as the platform turns
// header text of its ANSI code page into wide text.
std::u16string FromLatin1(std::string_view s);

bool EqualsNoCase(std::string_view a, std::string_view b);
bool StartsWithNoCase(std::string_view s, std::string_view prefix);
std::string_view Trim(std::string_view s);
// The non-empty entries of `list` between any of the `separators`, in order.
std::vector<std::string_view> SplitList(std::string_view list, std::string_view separators);

// A proxy given as "http://[user[:password]@]host:port[/]" or "host:port".
struct ProxyAddress {
    std::string server;  // "host:port" (or "host"), as the proxy server string of a connection
    std::string user;
    std::string password;
    std::string variable;  // the environment variable it came from, if any
};

// Parses a proxy variable's value; nullopt for an empty value, another
// scheme than http, or a value that does not name a host. For a value that
// is not empty, refusal (when given) then receives why, in words that never
// quote the user name or password.
std::optional<ProxyAddress> ParseProxyVariable(std::string_view value,
                                               std::string* refusal = nullptr);

// The proxy the environment asks for: http_proxy, then HTTP_PROXY. A value
// that is set but cannot be used warns, naming the variable and why.
std::optional<ProxyAddress> ProxyFromEnvironment();

}  // namespace wince::net
