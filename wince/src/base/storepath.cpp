// Where the registry file lives. Kept apart from the store so that the
// window manager can put its single-instance locks beside that file.
#include <cstdlib>
#include <string>

#include "wince/registry.h"

std::string WinceRegistryStorePath() {
    const char* explicitPath = std::getenv("WINM_REGISTRY");
    if (explicitPath != nullptr && explicitPath[0] != 0)
        return explicitPath;
    const char* state = std::getenv("XDG_STATE_HOME");
    std::string base;
    if (state != nullptr && state[0] == '/') {
        base = state;
    } else {
        const char* home = std::getenv("HOME");
        if (home == nullptr || home[0] != '/')
            return std::string();
        base = std::string(home) + "/.local/state";
    }
    return base + "/winm/registry.sqlite3";
}
