// Reads arbitrary bytes as a host (the first line) and a no_proxy value (the
// rest). Whatever the list, a host it names stays named when more entries
// are added, and so does every name under a named host name; a host is
// named by itself, and the answer does not depend on letter case. Both come
// from C strings (the environment, the connection's host name), so inputs
// holding a NUL byte are skipped.
#include <cctype>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "netutil.h"
#include "noproxy.h"

namespace {

using wince::net::NoProxyNames;

bool IsAddress(std::string_view host) {
    // Names only get the suffix rule; an address keeps its own rules. (Two
    // halves: "/0" is the address alone.)
    return NoProxyNames("0.0.0.0/1,128.0.0.0/1,::/1,8000::/1", host);
}

std::string Upper(std::string_view text) {
    std::string out(text);
    for (char& c : out)
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > 4096)
        return 0;
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    if (input.find('\0') != input.npos)
        return 0;
    const size_t lf = input.find('\n');
    const std::string_view host = input.substr(0, lf);
    const std::string_view list = lf == input.npos ? std::string_view() : input.substr(lf + 1);

    const bool named = NoProxyNames(list, host);
    if (NoProxyNames(list, Upper(host)) != named || NoProxyNames(Upper(list), host) != named)
        std::abort();
    if (named && list != "*") {
        const std::string more = std::string(list) + ",other.example";
        const std::string before = "other.example," + std::string(list);
        if (!NoProxyNames(more, host) || !NoProxyNames(before, host))
            std::abort();
        if (!IsAddress(host) && !NoProxyNames(list, "www." + std::string(host)))
            std::abort();
    }
    // A plain entry (no comma or blank, not bracketed) names itself.
    if (!host.empty() && host.find_first_of(", \t") == host.npos && host.front() != '[' &&
        host.find_first_not_of('.') != host.npos && !NoProxyNames(host, host))
        std::abort();
    return 0;
}
