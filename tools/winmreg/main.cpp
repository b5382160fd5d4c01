#include <iostream>
#include <string>
#include <vector>

#include "tools/winmreg/regtool.h"

int main(int argc, char** argv) {
    std::vector<std::string> args(argv + 1, argv + argc);
    return winmreg::Run(args, std::cout, std::cerr);
}
