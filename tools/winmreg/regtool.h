// winmreg: the command-line registry tool over the host registry.
#pragma once

#include <ostream>
#include <string>
#include <vector>

namespace winmreg {

// Runs one command line (without the program name); returns the exit code:
// 0 on success, 1 on any failure (message on err).
int Run(const std::vector<std::string>& args, std::ostream& out, std::ostream& err);

}  // namespace winmreg
