// The environment's list of hosts that are reached without the proxy.
#pragma once

#include <string>
#include <string_view>

namespace wince::net {

// True when `list`, read as curl reads no_proxy, names `host`: the list "*"
// (exactly) names every host; otherwise, between commas or blanks, a host
// name or domain names itself and every name under it ("example.com" and
// ".example.com" both cover "www.example.com", never "myexample.com"),
// case-insensitively and ignoring trailing dots, and port numbers are not
// understood; an IPv4 or IPv6 address (never bracketed) names that address,
// with "/bits" a whole network ("/0": the address alone). An address host
// (which may be bracketed) is named only by addresses, never by a domain
// suffix.
bool NoProxyNames(std::string_view list, std::string_view host);

// The value of no_proxy, else NO_PROXY; empty when neither is set.
std::string NoProxyFromEnvironment();

}  // namespace wince::net
