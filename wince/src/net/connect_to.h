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
// form. Entries are trimmed and empty ones skipped; an entry is otherwise
// taken as written, its fields unchecked. nullopt when the text is not a
// rule list (no text is refused yet).
std::optional<std::vector<std::string>> ParseConnectToRules(std::string_view text);

}  // namespace wince::net
