// Process entry: the host's main() starts the program's WinMain as Windows
// CE would, with the instance handle, the command line after the program
// name (wide) and SW_SHOW.
#include <string>

#include "../kernel/utf.h"
#include "wince/loader.h"
#include "wince/window.h"

namespace {

// Quotes an argument the way Windows splits command lines back into
// arguments: backslashes are literal unless they precede a quote.
std::string Quote(const std::string& arg) {
    if (!arg.empty() && arg.find_first_of(" \t\n\v\"") == std::string::npos)
        return arg;
    std::string out = "\"";
    std::size_t backslashes = 0;
    for (char c : arg) {
        if (c == '\\') {
            ++backslashes;
            continue;
        }
        if (c == '"')
            backslashes = backslashes * 2 + 1;
        out.append(backslashes, '\\');
        backslashes = 0;
        out.push_back(c);
    }
    out.append(backslashes * 2, '\\');
    out.push_back('"');
    return out;
}

}  // namespace

int main(int argc, char** argv) {
    std::string line;
    for (int i = 1; i < argc; ++i) {
        if (i > 1)
            line.push_back(' ');
        line += Quote(argv[i]);
    }
    std::u16string commandLine = wince::FromUtf8(line);
    return WinMain(GetModuleHandleW(nullptr), nullptr, commandLine.data(), SW_SHOW);
}
