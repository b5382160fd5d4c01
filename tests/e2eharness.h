// Real processes for the end-to-end tests: the built updater, the reference
// update service, winmreg and tinyproxy, each test with a registry file, a
// runtime directory and free loopback ports of its own.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace e2e {

using Environment = std::map<std::string, std::string>;

// A started child process; killed and reaped when still running at
// destruction.
class Process {
  public:
    Process() = default;
    Process(const std::vector<std::string>& argv, const Environment& environment,
            const std::string& outputPath, const std::string& errorPath);
    ~Process();
    Process(Process&& other) noexcept;
    Process& operator=(Process&& other) noexcept;

    bool started() const { return pid_ > 0; }
    // The exit status (0-255), 128 + signal for a killed process, or -1 when
    // it is still running after timeout (it is then left running).
    int Wait(std::chrono::milliseconds timeout);
    bool Running();
    void Signal(int signal);

  private:
    pid_t pid_ = -1;
    int status_ = -1;
};

std::string ReadFile(const std::string& path);
std::vector<std::string> ReadLines(const std::string& path);
// A loopback port that nothing listened on a moment ago.
int FreePort();

struct RegistryValue {
    std::string type;
    std::string data;
};

// A test's own world: temporary directory, registry file, environment.
class Sandbox {
  public:
    Sandbox();
    ~Sandbox();

    const std::string& dir() const { return dir_; }
    std::string Path(const std::string& name) const { return dir_ + "/" + name; }
    // The environment a child gets: the registry file, a runtime directory
    // of the test's own (the single-instance lock lives there), a fixed
    // device identity and locale, no proxy.
    Environment& env() { return env_; }

    // winmreg with the sandbox's registry; the exit status.
    int Winmreg(const std::vector<std::string>& args, std::string* output = nullptr);
    // The values under the plug-in key, by name (empty when the key is missing).
    std::map<std::string, RegistryValue> PluginValues();
    void SetPluginText(const std::string& name, const std::string& data);

  private:
    std::string dir_;
    Environment env_;
};

// The reference update service on a free port.
class Service {
  public:
    Service(Sandbox& sandbox, const std::vector<std::string>& options,
            const std::string& name = "service");
    ~Service();

    int port() const { return port_; }
    // The JSON lines logged so far, one per request.
    std::vector<std::string> Requests() const;
    // Waits until at least n requests were logged.
    bool WaitForRequests(size_t n, std::chrono::milliseconds timeout) const;
    void Stop();

  private:
    std::string logPath_;
    int port_ = 0;
    Process process_;
};

// Points the updater's fixed endpoint at a service port.
std::string ConnectTo(int port);

struct RunResult {
    int exitCode = -1;
    std::chrono::milliseconds elapsed{0};
    std::string errors;  // stderr
};

// Runs the updater to its end (killed after timeout, exitCode -1); another
// build of it when program is given.
RunResult RunUpdater(Sandbox& sandbox, const Environment& extra = {},
                     std::chrono::milliseconds timeout = std::chrono::seconds(90),
                     const std::string& program = {});
Process StartUpdater(Sandbox& sandbox, const std::string& name, const Environment& extra = {},
                     const std::string& program = {});

// Configures the CMakeLists.txt in the sandbox's directory into a fresh
// build directory with the -D settings given; *output gets what CMake
// printed, its wrapped message lines joined. Returns the exit status.
int Configure(Sandbox& sandbox, const std::vector<std::string>& definitions, std::string* output);

// The service options of a run that answers both requests.
extern const std::vector<std::string> kAnswers;

// The run's connections go to this service.
Environment To(const Service& service);

// Exit code 0 and, at WINM_LOG_LEVEL 3, no tracked block left.
void ExpectCleanRun(const RunResult& run);

// A REG_DWORD value's number.
uint32_t Dword(const RegistryValue& value);

// Waits until file contains text.
bool WaitForText(const std::string& path, const std::string& text,
                 std::chrono::milliseconds timeout);

}  // namespace e2e
