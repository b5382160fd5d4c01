#include <unistd.h>

#include <cstdlib>
#include <iostream>
#include <string>
#include <vector>

#include "tools/winmreg/regtool.h"
#include "wince/registry.h"

int main(int argc, char** argv) {
    // winmreg reports a store it cannot use as its error; the host layer's
    // warning about it would only repeat that.
    unsetenv("WINM_LOG_LEVEL");
    std::vector<std::string> args(argv + 1, argv + argc);
    int code = winmreg::Run(args, std::cout, std::cerr, isatty(STDOUT_FILENO) == 1);
    // The last close folds the store's journal into its file (see the
    // updater's entry).
    WinceRegistryCloseStore();
    return code;
}
