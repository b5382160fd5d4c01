// Parses arbitrary bytes as an http_proxy value. What is accepted names a
// host made only of printable characters, taken from the value itself, with
// a port in range when there is one; written back in the long form (user
// name and password percent-encoded) it parses to the same proxy. The parts then go through the
// UTF-8 conversion the Connection Manager applies and come back unchanged, and the server, handed
// on as an InternetOpenW proxy list, is the proxy that list picks. The same bytes read as a proxy
// list pick one of the list's own servers.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "netutil.h"
#include "proxy_list.h"

namespace {

using wince::net::ParseProxyVariable;
using wince::net::ProxyAddress;

bool Same(const ProxyAddress& a, const ProxyAddress& b) {
    return a.server == b.server && a.user == b.user && a.password == b.password;
}

void CheckServer(const std::string& server) {
    if (server.empty() || server.front() == ':')
        std::abort();
    for (char c : server) {
        auto u = static_cast<unsigned char>(c);
        if (u <= 0x20 || u >= 0x7F || c == '/' || c == '?' || c == '#' || c == '@')
            std::abort();
    }
    auto colon = server.rfind(':');
    auto bracket = server.rfind(']');
    if (colon == std::string::npos || (bracket != std::string::npos && bracket > colon))
        return;
    const std::string port = server.substr(colon + 1);
    if (port.empty() || port.size() > 5 || port.find_first_not_of("0123456789") != port.npos)
        std::abort();
    unsigned long n = std::stoul(port);
    if (n == 0 || n > 65535)
        std::abort();
}

void CheckUtf8(const std::string& text) {
    std::u16string wide = wince::net::FromUtf8(text);
    if (wide.size() > text.size())
        std::abort();
    std::string back = wince::net::ToUtf8(wide);
    if (wince::net::FromUtf8(back) != wide)
        std::abort();
}

std::string PercentEncoded(const std::string& text) {
    static const char kHex[] = "0123456789ABCDEF";
    std::string out;
    for (char c : text) {
        auto u = static_cast<unsigned char>(c);
        if ((u >= 'a' && u <= 'z') || (u >= 'A' && u <= 'Z') || (u >= '0' && u <= '9') ||
            c == '-' || c == '.' || c == '_' || c == '~') {
            out += c;
        } else {
            out += '%';
            out += kHex[u >> 4];
            out += kHex[u & 15];
        }
    }
    return out;
}

void CheckList(const std::string& list) {
    for (bool secure : {false, true}) {
        std::string url = wince::net::ProxyFor(list, secure);
        if (url.empty())
            continue;
        std::string_view server = url;
        if (list.find(url) == std::string::npos) {
            const std::string_view added =
                url.compare(0, 9, "socks4://") == 0 ? "socks4://" : "http://";
            if (url.compare(0, added.size(), added) != 0)
                std::abort();
            server.remove_prefix(added.size());
        }
        if (server.empty() || server.find_first_of(" ;") != std::string_view::npos ||
            list.find(server) == std::string::npos)
            std::abort();
    }
    wince::net::Bypassed(list, "updates.example");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > 4096)
        return 0;
    const std::string_view value(reinterpret_cast<const char*>(data), size);
    CheckList(std::string(value));
    auto proxy = ParseProxyVariable(value);
    if (!proxy)
        return 0;
    CheckServer(proxy->server);
    // Decoding only shortens; without a '%' the parts are the value's own.
    const bool escaped = value.find('%') != value.npos;
    if (value.find(proxy->server) == value.npos ||
        proxy->user.size() + proxy->password.size() + proxy->server.size() > size ||
        (!escaped &&
         (value.find(proxy->user) == value.npos || value.find(proxy->password) == value.npos)) ||
        proxy->user.find('\0') != std::string::npos ||
        proxy->password.find('\0') != std::string::npos)
        std::abort();

    std::string longForm = "http://";
    if (!proxy->user.empty() || !proxy->password.empty()) {
        longForm += PercentEncoded(proxy->user);
        if (!proxy->password.empty())
            longForm += ":" + PercentEncoded(proxy->password);
        longForm += "@";
    }
    longForm += proxy->server + "/";
    auto again = ParseProxyVariable(longForm);
    if (!again || !Same(*again, *proxy))
        std::abort();
    auto bare = ParseProxyVariable(proxy->server);
    if (!bare || bare->server != proxy->server || !bare->user.empty() || !bare->password.empty())
        std::abort();

    CheckUtf8(proxy->server);
    CheckUtf8(proxy->user);
    CheckUtf8(proxy->password);
    for (bool secure : {false, true})
        if (wince::net::ProxyFor(proxy->server, secure) != "http://" + proxy->server)
            std::abort();
    return 0;
}
