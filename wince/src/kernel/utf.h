// UTF-16 <-> UTF-8 for file contents, environment text and the command line.
#pragma once

#include <string>

namespace wince {

// Malformed input (unpaired surrogates, invalid UTF-8 sequences) becomes
// U+FFFD, so text from outside never stops a caller.
std::string ToUtf8(const std::u16string& text);
std::u16string FromUtf8(const std::string& text);

}  // namespace wince
