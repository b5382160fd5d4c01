#include "netutil.h"

#include "wince/src/base/hostlog.h"

#include <cstdlib>

namespace wince::net {

std::size_t WideLength(const WCHAR* s) {
    if (s == nullptr)
        return 0;
    std::size_t n = 0;
    while (s[n] != 0)
        ++n;
    return n;
}

namespace {
void AppendUtf8(std::string& out, char32_t c) {
    if (c < 0x80) {
        out += static_cast<char>(c);
    } else if (c < 0x800) {
        out += static_cast<char>(0xC0 | (c >> 6));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        out += static_cast<char>(0xE0 | (c >> 12));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (c >> 18));
        out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    }
}

bool IsHexDigit(char c) {
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

// A host name (letters, digits, '-', '.', '_') or a bracketed IPv6 address.
bool IsHost(std::string_view host) {
    if (host.empty())
        return false;
    if (host.front() == '[') {
        if (host.size() < 3 || host.back() != ']')
            return false;
        for (char c : host.substr(1, host.size() - 2))
            if (!IsHexDigit(c) && c != ':' && c != '.')
                return false;
        return true;
    }
    for (char c : host) {
        bool letter = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
        if (!letter && !(c >= '0' && c <= '9') && c != '-' && c != '.' && c != '_')
            return false;
    }
    return true;
}

char Lower(char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}
}  // namespace

std::string ToUtf8(const WCHAR* s, std::size_t count) {
    std::string out;
    if (s == nullptr)
        return out;
    out.reserve(count);
    for (std::size_t i = 0; i < count; ++i) {
        char32_t c = static_cast<char16_t>(s[i]);
        if (c >= 0xD800 && c <= 0xDBFF && i + 1 < count) {
            char32_t low = static_cast<char16_t>(s[i + 1]);
            if (low >= 0xDC00 && low <= 0xDFFF) {
                AppendUtf8(out, 0x10000 + ((c - 0xD800) << 10) + (low - 0xDC00));
                ++i;
                continue;
            }
        }
        if (c >= 0xD800 && c <= 0xDFFF)
            c = 0xFFFD;
        AppendUtf8(out, c);
    }
    return out;
}

std::string ToUtf8(std::u16string_view s) {
    return ToUtf8(s.data(), s.size());
}

std::u16string FromUtf8(std::string_view s) {
    std::u16string out;
    out.reserve(s.size());
    std::size_t i = 0;
    while (i < s.size()) {
        auto b = static_cast<unsigned char>(s[i]);
        char32_t c = 0xFFFD;
        std::size_t len = 1;
        std::size_t need = b < 0x80         ? 0
                           : (b >> 5) == 6  ? 1
                           : (b >> 4) == 14 ? 2
                           : (b >> 3) == 30 ? 3
                                            : 9;
        if (need == 0) {
            c = b;
        } else if (need <= 3) {
            char32_t v = b & (0x3F >> need);
            bool ok = true;
            for (std::size_t k = 1; k <= need; ++k) {
                if (i + k >= s.size() || (static_cast<unsigned char>(s[i + k]) & 0xC0) != 0x80) {
                    ok = false;
                    break;
                }
                v = (v << 6) | (static_cast<unsigned char>(s[i + k]) & 0x3F);
            }
            static constexpr char32_t kMin[] = {0, 0x80, 0x800, 0x10000};
            if (ok && v >= kMin[need] && v <= 0x10FFFF && !(v >= 0xD800 && v <= 0xDFFF)) {
                c = v;
                len = need + 1;
            }
        }
        if (c >= 0x10000) {
            out += static_cast<char16_t>(0xD800 + ((c - 0x10000) >> 10));
            out += static_cast<char16_t>(0xDC00 + ((c - 0x10000) & 0x3FF));
        } else {
            out += static_cast<char16_t>(c);
        }
        i += len;
    }
    return out;
}

std::u16string FromLatin1(std::string_view s) {
    std::u16string out;
    out.reserve(s.size());
    for (char c : s)
        out += static_cast<char16_t>(static_cast<unsigned char>(c));
    return out;
}

bool EqualsNoCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size())
        return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (Lower(a[i]) != Lower(b[i]))
            return false;
    return true;
}

bool StartsWithNoCase(std::string_view s, std::string_view prefix) {
    return s.size() >= prefix.size() && EqualsNoCase(s.substr(0, prefix.size()), prefix);
}

std::vector<std::string_view> SplitList(std::string_view list, std::string_view separators) {
    std::vector<std::string_view> entries;
    std::size_t i = 0;
    while (i < list.size()) {
        std::size_t j = list.find_first_of(separators, i);
        if (j == std::string_view::npos)
            j = list.size();
        if (j > i)
            entries.push_back(list.substr(i, j - i));
        i = j + 1;
    }
    return entries;
}

std::string_view Trim(std::string_view s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t'))
        s.remove_prefix(1);
    while (!s.empty() &&
           (s.back() == ' ' || s.back() == '\t' || s.back() == '\r' || s.back() == '\n'))
        s.remove_suffix(1);
    return s;
}

namespace {

// A URL's user name or password as curl reads it: "%XX" is the byte XX, so
// that '@', ':', '/' and '%' can be part of them. Anything else stays.
std::string PercentDecoded(std::string_view s) {
    auto value = [](char c) { return c <= '9' ? c - '0' : (c | 0x20) - 'a' + 10; };
    std::string out;
    out.reserve(s.size());
    for (std::size_t i = 0; i < s.size(); ++i) {
        if (s[i] == '%' && i + 2 < s.size() && IsHexDigit(s[i + 1]) && IsHexDigit(s[i + 2])) {
            out += static_cast<char>(value(s[i + 1]) * 16 + value(s[i + 2]));
            i += 2;
        } else {
            out += s[i];
        }
    }
    return out;
}

}  // namespace

std::optional<ProxyAddress> ParseProxyVariable(std::string_view value, std::string* refusal) {
    auto refuse = [refusal](std::string why) -> std::optional<ProxyAddress> {
        if (refusal != nullptr)
            *refusal = std::move(why);
        return std::nullopt;
    };
    value = Trim(value);
    if (value.empty())
        return std::nullopt;
    auto scheme = value.find("://");
    if (scheme != std::string_view::npos) {
        std::string_view name = value.substr(0, scheme);
        if (!EqualsNoCase(name, "http")) {
            // A scheme is letters, digits and "+-."; anything else is not
            // repeated, since it may be part of a password.
            const bool plain = !name.empty() && name.size() <= 16 &&
                               name.find_first_not_of(
                                   "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ"
                                   "0123456789+-.") == std::string_view::npos;
            return refuse(plain ? "only http:// proxies are supported, not " + std::string(name) +
                                      "://"
                                : std::string("only http:// proxies are supported"));
        }
        value.remove_prefix(scheme + 3);
    }
    // Everything after the authority (a path, usually just "/") is ignored.
    auto end = value.find_first_of("/?#");
    if (end != std::string_view::npos)
        value = value.substr(0, end);
    ProxyAddress proxy;
    auto at = value.rfind('@');
    if (at != std::string_view::npos) {
        std::string_view userinfo = value.substr(0, at);
        value.remove_prefix(at + 1);
        auto colon = userinfo.find(':');
        proxy.user = PercentDecoded(userinfo.substr(0, colon));
        if (colon != std::string_view::npos)
            proxy.password = PercentDecoded(userinfo.substr(colon + 1));
        // A NUL would end the credential where WinInet reads it.
        if (proxy.user.find('\0') != std::string::npos ||
            proxy.password.find('\0') != std::string::npos)
            return refuse("its user name or password holds %00");
    }
    // The host is a name or a bracketed IPv6 address, a port, when given, a
    // number in range. Nothing else may pass: the server goes on as an
    // InternetOpenW proxy list, where ';', '=' and blanks have a meaning.
    auto bracket = value.rfind(']');
    auto colon = value.rfind(':');
    const bool hasPort =
        colon != std::string_view::npos && (bracket == std::string_view::npos || colon > bracket);
    std::string_view host = hasPort ? value.substr(0, colon) : value;
    if (!IsHost(host))
        return refuse("it names no host");
    if (hasPort) {
        std::string_view port = value.substr(colon + 1);
        bool digits = !port.empty() && port.size() <= 5;
        unsigned long n = 0;
        for (char c : port) {
            if (c < '0' || c > '9')
                digits = false;
            else if (digits)
                n = n * 10 + static_cast<unsigned long>(c - '0');
        }
        if (!digits || n == 0 || n > 65535)
            return refuse("its port is not a number from 1 to 65535");
    }
    proxy.server = std::string(value);
    return proxy;
}

std::optional<ProxyAddress> ProxyFromEnvironment() {
    const char* name = "http_proxy";
    const char* value = std::getenv(name);
    if (value == nullptr || *value == 0) {
        name = "HTTP_PROXY";
        value = std::getenv(name);
    }
    if (value == nullptr)
        return std::nullopt;
    std::string refusal;
    auto proxy = ParseProxyVariable(value, &refusal);
    if (!proxy && !refusal.empty())
        HostWarning(std::string(name) + " is ignored: " + refusal + "; no proxy is used");
    if (proxy)
        proxy->variable = name;
    return proxy;
}

}  // namespace wince::net
