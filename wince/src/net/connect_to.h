// The rules of WINM_CONNECT_TO, which sends connections for a host and port
// to another one (so that tests and staging setups reach local servers under
// the real names). Parsing only: the caller reads the variable.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace wince::net {

// Parses the variable's text, "HOST:PORT:CONNECT-TO-HOST:CONNECT-TO-PORT"
// rules separated by commas, into rules in libcurl's CURLOPT_CONNECT_TO
// form. Entries are trimmed and empty ones skipped. A host is a name, an
// IPv4 address or a bracketed IPv6 address; a port is 1 to 65535; either
// may be empty (any host or port; keep the host or port). nullopt when an
// entry is not such a rule; `badRule` then receives that entry.
std::optional<std::vector<std::string>> ParseConnectToRules(std::string_view text,
                                                            std::string* badRule = nullptr);

}  // namespace wince::net
