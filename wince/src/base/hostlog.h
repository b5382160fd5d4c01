// Level-1 warnings of the host layer, for failures the program cannot see
// through the Win32 calls (no usable lock directory, an unusable registry
// file, an environment variable that cannot be used), and level-3 debug
// lines. They follow the program's own log: shown when WINM_LOG_LEVEL is a
// decimal number of 1 (warnings) or 3 (also debug lines) or more, as one
// "**W: " or "  D: " line on stderr, written in one call.
#pragma once

#include <string>

namespace wince {

// Writes the warning unless the same text was already written by this
// process, so a cause met on every call is told once per run.
void HostWarning(const std::string& text);
// The same for a debug line, such as a refusal that the next choice cures.
void HostDebug(const std::string& text);

}  // namespace wince
