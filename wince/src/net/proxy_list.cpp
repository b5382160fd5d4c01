#include "proxy_list.h"

#include <string_view>

#include "netutil.h"

namespace wince::net {

std::string ProxyFor(const std::string& list, bool secure) {
    std::string bare, specific, socks;
    for (std::string_view listed : SplitList(list, " ;")) {
        std::string entry(listed);
        auto eq = entry.find('=');
        if (eq == std::string::npos) {
            if (bare.empty())
                bare = entry;
            continue;
        }
        std::string scheme = entry.substr(0, eq), server = entry.substr(eq + 1);
        if (EqualsNoCase(scheme, secure ? "https" : "http"))
            specific = server;
        if (EqualsNoCase(scheme, "socks"))
            socks = server;
    }
    std::string chosen = !specific.empty() ? specific : bare;
    if (chosen.empty())
        return socks.empty() ? std::string() : "socks4://" + socks;
    if (chosen.find("://") == std::string::npos)
        chosen = "http://" + chosen;
    return chosen;
}

// True when `host` matches the InternetOpenW bypass list: exact names,
// "*"-wildcards at the start ("*.example") and "<local>" for names without a
// dot.
bool Bypassed(const std::string& list, const std::string& host) {
    for (std::string_view listed : SplitList(list, " ;,")) {
        std::string entry(listed);
        if (entry == "<local>") {
            if (host.find('.') == std::string::npos && host.find(':') == std::string::npos)
                return true;
        } else if (entry[0] == '*') {
            std::string tail = entry.substr(1);
            if (host.size() >= tail.size() &&
                EqualsNoCase(std::string_view(host).substr(host.size() - tail.size()), tail))
                return true;
        } else if (EqualsNoCase(entry, host)) {
            return true;
        }
    }
    return false;
}

}  // namespace wince::net
