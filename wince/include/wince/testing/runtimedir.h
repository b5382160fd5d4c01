// Test support: points WINM_REGISTRY and XDG_RUNTIME_DIR into a private
// temporary directory for the whole test process, so the single-instance
// lock files that windows create (beside the registry file) go there and
// not beside the user's real registry. Tests that set WINM_REGISTRY
// themselves move the locks with it.
//
// Include it in any test binary that creates windows. The directory is made
// during static initialisation (before any window exists) and removed when
// the process exits normally. Child processes inherit the environment and
// so share the parent's directory; only the process that made it removes it.
#pragma once

#include <stdlib.h>
#include <sys/stat.h>

#include <filesystem>
#include <string>
#include <system_error>

class WinceTestRuntimeDir {
  public:
    WinceTestRuntimeDir() {
        // Inherited from the test process that made it: share it, leave it.
        if (std::getenv(kOwnerVar) != nullptr)
            return;
        char path[] = "/tmp/wince-test-run-XXXXXX";
        if (mkdtemp(path) == nullptr)
            return;  // the lock code then uses the default registry's directory
        chmod(path, 0700);
        dir_ = path;
        setenv("XDG_RUNTIME_DIR", path, 1);
        setenv("WINM_REGISTRY", (dir_ + "/registry.sqlite3").c_str(), 1);
        setenv(kOwnerVar, path, 1);
    }
    ~WinceTestRuntimeDir() {
        if (dir_.empty())
            return;
        std::error_code ignored;
        std::filesystem::remove_all(dir_, ignored);
    }
    WinceTestRuntimeDir(const WinceTestRuntimeDir&) = delete;
    WinceTestRuntimeDir& operator=(const WinceTestRuntimeDir&) = delete;

  private:
    static constexpr const char* kOwnerVar = "WINCE_TEST_RUNTIME_DIR";
    std::string dir_;
};

// One per process, however many files include this.
inline WinceTestRuntimeDir g_winceTestRuntimeDir;
