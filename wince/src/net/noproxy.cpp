#include "noproxy.h"

#include <arpa/inet.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "netutil.h"

namespace wince::net {
namespace {

// An address in network byte order; family 0 when `text` is no address.
struct Address {
    int family = 0;
    unsigned char bytes[16] = {};
};

// A host may come bracketed ("[::1]", as in a URL); a list entry may not,
// as curl reads it.
Address ParseAddress(std::string_view text, bool bracketed) {
    Address a;
    if (bracketed && !text.empty() && text.front() == '[' && text.back() == ']')
        text = text.substr(1, text.size() - 2);
    if (text.empty() || text.size() >= INET6_ADDRSTRLEN)
        return a;
    char buffer[INET6_ADDRSTRLEN];
    std::memcpy(buffer, text.data(), text.size());
    buffer[text.size()] = 0;
    if (::inet_pton(AF_INET, buffer, a.bytes) == 1)
        a.family = AF_INET;
    else if (::inet_pton(AF_INET6, buffer, a.bytes) == 1)
        a.family = AF_INET6;
    return a;
}

// `entry` is "address" or "address/bits"; bits beyond the address's length
// or unreadable match nothing, and "/0" names the address alone (as curl
// reads it, not every address).
bool AddressMatches(const Address& host, std::string_view entry) {
    std::size_t slash = entry.find('/');
    Address net = ParseAddress(entry.substr(0, slash), false);
    if (net.family != host.family)
        return false;
    const unsigned total = host.family == AF_INET ? 32 : 128;
    unsigned bits = total;
    if (slash != std::string_view::npos) {
        std::string_view digits = entry.substr(slash + 1);
        if (digits.empty() || digits.size() > 3)
            return false;
        bits = 0;
        for (char c : digits) {
            if (c < '0' || c > '9')
                return false;
            bits = bits * 10 + static_cast<unsigned>(c - '0');
        }
        if (bits > total)
            return false;
        if (bits == 0)
            bits = total;
    }
    const unsigned whole = bits / 8, rest = bits % 8;
    if (std::memcmp(host.bytes, net.bytes, whole) != 0)
        return false;
    if (rest == 0)
        return true;
    const unsigned char mask = static_cast<unsigned char>(0xFF00u >> rest);
    return (host.bytes[whole] & mask) == (net.bytes[whole] & mask);
}

bool NameMatches(std::string_view host, std::string_view entry) {
    if (!entry.empty() && entry.back() == '.')
        entry.remove_suffix(1);
    if (!entry.empty() && entry.front() == '.')
        entry.remove_prefix(1);
    if (entry.empty() || entry.size() > host.size())
        return false;
    if (entry.size() == host.size())
        return EqualsNoCase(entry, host);
    return host[host.size() - entry.size() - 1] == '.' &&
           EqualsNoCase(host.substr(host.size() - entry.size()), entry);
}

}  // namespace

bool NoProxyNames(std::string_view list, std::string_view host) {
    if (list == "*")
        return true;
    const Address address = ParseAddress(host, true);
    if (address.family == 0 && !host.empty() && host.back() == '.')
        host.remove_suffix(1);
    if (host.empty())
        return false;
    // Commas and blanks both separate entries.
    for (std::string_view entry : SplitList(list, ", \t")) {
        if (address.family != 0 ? AddressMatches(address, entry) : NameMatches(host, entry))
            return true;
    }
    return false;
}

std::string NoProxyFromEnvironment() {
    const char* value = std::getenv("no_proxy");
    if (value == nullptr || *value == 0)
        value = std::getenv("NO_PROXY");
    return value == nullptr ? std::string() : std::string(value);
}

}  // namespace wince::net
