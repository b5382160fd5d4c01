// winmreg: the command-line registry tool over the host registry.
#pragma once

#include <ostream>
#include <string>
#include <vector>

namespace winmreg {

// Runs one command line (without the program name); returns the exit code:
// 0 on success, 1 on any failure (message on err). With terminal set (out
// is a terminal), `query` shows control characters in names and data as
// escapes; otherwise it prints them as stored, as `ls` does with file names.
int Run(const std::vector<std::string>& args, std::ostream& out, std::ostream& err,
        bool terminal = false);

}  // namespace winmreg
