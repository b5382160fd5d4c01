// Level-1 warnings of the host layer, for failures the program cannot see
// through the Win32 calls (a refused lock directory, an unusable registry
// file, an environment variable that cannot be read). They follow the
// program's own log: shown when WINM_LOG_LEVEL is a decimal number of 1 or
// more, as one "**W: " line on stderr, written in one call.
#pragma once

#include <string>

namespace wince {

// Writes the warning unless the same text was already written by this
// process, so a cause met on every call is told once per run.
void HostWarning(const std::string& text);

}  // namespace wince
