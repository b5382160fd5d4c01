// Choosing a proxy from the lists given to InternetOpenW.
#pragma once

#include <string>

namespace wince::net {

// Picks the proxy for a scheme from an InternetOpenW proxy list
// ("host:port", "http=host:port https=host:port", "socks=host:port", with
// optional "http://" prefixes), as a libcurl proxy URL; empty for none.
std::string ProxyFor(const std::string& list, bool secure);

// True when `host` matches the InternetOpenW bypass list: exact names,
// "*"-wildcards at the start ("*.example") and "<local>" for names without a
// dot.
bool Bypassed(const std::string& list, const std::string& host);

}  // namespace wince::net
