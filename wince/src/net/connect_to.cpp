#include "connect_to.h"

#include <utility>

#include "netutil.h"

namespace wince::net {
namespace {

bool IsNameChar(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' ||
           c == '.' || c == '_';
}

bool IsIpv6Char(char c) {
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F') || c == ':' ||
           c == '.';
}

// Takes one host field off the front of `rest`, up to its ':'.
bool TakeHost(std::string_view& rest) {
    std::size_t end = 0;
    if (!rest.empty() && rest[0] == '[') {
        end = rest.find(']');
        if (end == std::string_view::npos || end == 1)
            return false;
        for (std::size_t i = 1; i < end; ++i)
            if (!IsIpv6Char(rest[i]))
                return false;
        ++end;
    } else {
        while (end < rest.size() && IsNameChar(rest[end]))
            ++end;
    }
    if (end >= rest.size() || rest[end] != ':')
        return false;
    rest.remove_prefix(end + 1);
    return true;
}

bool IsPort(std::string_view text) {
    if (text.empty())
        return true;
    if (text.size() > 5)
        return false;
    unsigned value = 0;
    for (char c : text) {
        if (c < '0' || c > '9')
            return false;
        value = value * 10 + static_cast<unsigned>(c - '0');
    }
    return value >= 1 && value <= 65535;
}

bool IsRule(std::string_view rule) {
    if (!TakeHost(rule))
        return false;
    std::size_t colon = rule.find(':');
    if (colon == std::string_view::npos || !IsPort(rule.substr(0, colon)))
        return false;
    rule.remove_prefix(colon + 1);
    if (!TakeHost(rule))
        return false;
    return IsPort(rule);
}

}  // namespace

std::optional<std::vector<std::string>> ParseConnectToRules(std::string_view text,
                                                            std::string* badRule) {
    std::vector<std::string> rules;
    std::size_t i = 0;
    while (i <= text.size()) {
        std::size_t j = text.find(',', i);
        if (j == std::string_view::npos)
            j = text.size();
        std::string entry(Trim(text.substr(i, j - i)));
        i = j + 1;
        if (entry.empty())
            continue;
        if (!IsRule(entry)) {
            if (badRule != nullptr)
                *badRule = std::move(entry);
            return std::nullopt;
        }
        rules.push_back(std::move(entry));
    }
    return rules;
}

}  // namespace wince::net
