#include "tests/e2eharness.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

extern char** environ;

namespace e2e {

namespace {

using Clock = std::chrono::steady_clock;

const char kPluginKey[] = "HKLM\\SOFTWARE\\Ambrel\\SearchPlugin";

// Variables of the caller that would change what a child does.
bool IsControlledVariable(const std::string& name) {
    static const char* const kNames[] = {"LC_ALL",     "LC_MESSAGES", "LANG",        "http_proxy",
                                         "HTTP_PROXY", "https_proxy", "HTTPS_PROXY", "no_proxy",
                                         "NO_PROXY",   "all_proxy",   "ALL_PROXY"};
    for (const char* n : kNames) {
        if (name == n) {
            return true;
        }
    }
    return name.rfind("WINM_", 0) == 0 || name.rfind("XDG_", 0) == 0;
}

void PollPause() {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
}

}  // namespace

Process::Process(const std::vector<std::string>& argv, const Environment& environment,
                 const std::string& outputPath, const std::string& errorPath) {
    std::vector<char*> args;
    for (const std::string& a : argv) {
        args.push_back(const_cast<char*>(a.c_str()));
    }
    args.push_back(nullptr);
    std::vector<std::string> envStrings;
    for (const auto& [name, value] : environment) {
        envStrings.push_back(name + "=" + value);
    }
    std::vector<char*> envp;
    for (std::string& e : envStrings) {
        envp.push_back(e.data());
    }
    envp.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, outputPath.c_str(), O_WRONLY | O_CREAT | O_APPEND,
                                     0644);
    posix_spawn_file_actions_addopen(&actions, 2, errorPath.c_str(), O_WRONLY | O_CREAT | O_APPEND,
                                     0644);
    pid_t pid = -1;
    int error = posix_spawn(&pid, args[0], &actions, nullptr, args.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    if (error == 0) {
        pid_ = pid;
    } else {
        ADD_FAILURE() << "cannot start " << argv[0] << ": " << std::strerror(error);
    }
}

Process::~Process() {
    if (pid_ > 0 && status_ < 0) {
        kill(pid_, SIGKILL);
        int status = 0;
        waitpid(pid_, &status, 0);
    }
}

Process::Process(Process&& other) noexcept : pid_(other.pid_), status_(other.status_) {
    other.pid_ = -1;
}

Process& Process::operator=(Process&& other) noexcept {
    if (this != &other) {
        this->~Process();
        pid_ = other.pid_;
        status_ = other.status_;
        other.pid_ = -1;
    }
    return *this;
}

int Process::Wait(std::chrono::milliseconds timeout) {
    if (pid_ <= 0) {
        return -1;
    }
    Clock::time_point deadline = Clock::now() + timeout;
    while (status_ < 0) {
        int status = 0;
        pid_t done = waitpid(pid_, &status, WNOHANG);
        if (done == pid_) {
            status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            break;
        }
        if (Clock::now() >= deadline) {
            return -1;
        }
        PollPause();
    }
    return status_;
}

bool Process::Running() {
    return Wait(std::chrono::milliseconds(0)) < 0 && pid_ > 0;
}

void Process::Signal(int signal) {
    if (pid_ > 0 && status_ < 0) {
        kill(pid_, signal);
    }
}

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

std::vector<std::string> ReadLines(const std::string& path) {
    std::vector<std::string> lines;
    std::istringstream in(ReadFile(path));
    std::string line;
    while (std::getline(in, line)) {
        if (!line.empty()) {
            lines.push_back(line);
        }
    }
    return lines;
}

int FreePort() {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = 0;
    socklen_t length = sizeof(address);
    int port = -1;
    if (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0 &&
        getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0) {
        port = ntohs(address.sin_port);
    }
    close(fd);
    return port;
}

bool WaitForText(const std::string& path, const std::string& text,
                 std::chrono::milliseconds timeout) {
    Clock::time_point deadline = Clock::now() + timeout;
    for (;;) {
        if (ReadFile(path).find(text) != std::string::npos) {
            return true;
        }
        if (Clock::now() >= deadline) {
            return false;
        }
        PollPause();
    }
}

Sandbox::Sandbox() {
    const char* tmp = std::getenv("TMPDIR");
    std::string pattern =
        std::string(tmp != nullptr && *tmp != 0 ? tmp : "/tmp") + "/winm-e2e-XXXXXX";
    std::vector<char> buffer(pattern.begin(), pattern.end());
    buffer.push_back(0);
    if (mkdtemp(buffer.data()) == nullptr) {
        ADD_FAILURE() << "mkdtemp failed";
    }
    dir_ = buffer.data();
    mkdir(Path("run").c_str(), 0700);

    for (char** e = environ; *e != nullptr; ++e) {
        std::string entry = *e;
        size_t equals = entry.find('=');
        if (equals == std::string::npos) {
            continue;
        }
        std::string name = entry.substr(0, equals);
        if (!IsControlledVariable(name)) {
            env_[name] = entry.substr(equals + 1);
        }
    }
    env_["WINM_REGISTRY"] = Path("registry.sqlite3");
    env_["XDG_RUNTIME_DIR"] = Path("run");
    env_["XDG_STATE_HOME"] = Path("state");
    env_["WINM_PLATFORM_TYPE"] = "SmartPhone";
    env_["WINM_OEM_INFO"] = "TestOEM";
    env_["LANG"] = "en_US.UTF-8";
    env_["WINM_LOG_LEVEL"] = "3";
}

Sandbox::~Sandbox() {
    if (::testing::Test::HasFailure()) {
        std::fprintf(stderr, "e2e: kept %s for inspection\n", dir_.c_str());
        return;
    }
    std::error_code ignored;
    std::filesystem::remove_all(dir_, ignored);
}

int Sandbox::Winmreg(const std::vector<std::string>& args, std::string* output) {
    std::vector<std::string> argv = {WINM_WINMREG_PATH};
    argv.insert(argv.end(), args.begin(), args.end());
    std::string outPath = Path("winmreg.out");
    std::remove(outPath.c_str());
    Process process(argv, env_, outPath, Path("winmreg.err"));
    int status = process.Wait(std::chrono::seconds(30));
    if (output != nullptr) {
        *output = ReadFile(outPath);
    }
    return status;
}

std::map<std::string, RegistryValue> Sandbox::PluginValues() {
    std::map<std::string, RegistryValue> values;
    std::string output;
    if (Winmreg({"query", kPluginKey}, &output) != 0) {
        return values;
    }
    // "    NAME    TYPE    DATA", as the reg command prints values.
    std::istringstream in(output);
    std::string line;
    const std::string gap = "    ";
    while (std::getline(in, line)) {
        if (line.rfind(gap, 0) != 0) {
            continue;
        }
        line = line.substr(gap.size());
        size_t typeAt = line.find(gap + "REG_");
        if (typeAt == std::string::npos) {
            continue;
        }
        std::string name = line.substr(0, typeAt);
        std::string rest = line.substr(typeAt + gap.size());
        size_t dataAt = rest.find(gap);
        RegistryValue value;
        value.type = rest.substr(0, dataAt);
        if (dataAt != std::string::npos) {
            value.data = rest.substr(dataAt + gap.size());
        }
        values[name] = value;
    }
    return values;
}

void Sandbox::SetPluginText(const std::string& name, const std::string& data) {
    ASSERT_EQ(Winmreg({"add", kPluginKey, "/v", name, "/t", "REG_SZ", "/d", data, "/f"}), 0)
        << ReadFile(Path("winmreg.err"));
}

Service::Service(Sandbox& sandbox, const std::vector<std::string>& options,
                 const std::string& name) {
    std::string portFile = sandbox.Path(name + ".port");
    logPath_ = sandbox.Path(name + ".jsonl");
    std::vector<std::string> argv = {WINM_SERVICE_PATH, "--port", "0",     "--port-file",
                                     portFile,          "--log",  logPath_};
    argv.insert(argv.end(), options.begin(), options.end());
    process_ =
        Process(argv, sandbox.env(), sandbox.Path(name + ".out"), sandbox.Path(name + ".err"));
    Clock::time_point deadline = Clock::now() + std::chrono::seconds(30);
    while (Clock::now() < deadline && process_.Running()) {
        std::string text = ReadFile(portFile);
        if (!text.empty()) {
            port_ = std::atoi(text.c_str());
            break;
        }
        PollPause();
    }
    EXPECT_GT(port_, 0) << "the service did not start: " << ReadFile(sandbox.Path(name + ".err"));
}

Service::~Service() {
    Stop();
}

void Service::Stop() {
    if (process_.started() && process_.Running()) {
        process_.Signal(SIGTERM);
        EXPECT_EQ(process_.Wait(std::chrono::seconds(30)), 0);
    }
}

std::vector<std::string> Service::Requests() const {
    return ReadLines(logPath_);
}

bool Service::WaitForRequests(size_t n, std::chrono::milliseconds timeout) const {
    Clock::time_point deadline = Clock::now() + timeout;
    while (Requests().size() < n) {
        if (Clock::now() >= deadline) {
            return false;
        }
        PollPause();
    }
    return true;
}

std::string ConnectTo(int port) {
    return std::string(WINM_SERVICE_HOSTPORT) + ":127.0.0.1:" + std::to_string(port);
}

Process StartUpdater(Sandbox& sandbox, const std::string& name, const Environment& extra,
                     const std::string& program) {
    Environment env = sandbox.env();
    for (const auto& [key, value] : extra) {
        env[key] = value;
    }
    return Process({program.empty() ? std::string(WINM_UPDATER_PATH) : program}, env,
                   sandbox.Path(name + ".out"), sandbox.Path(name + ".err"));
}

RunResult RunUpdater(Sandbox& sandbox, const Environment& extra, std::chrono::milliseconds timeout,
                     const std::string& program) {
    static int runs = 0;
    std::string name = "updater" + std::to_string(++runs);
    Clock::time_point start = Clock::now();
    Process process = StartUpdater(sandbox, name, extra, program);
    RunResult result;
    result.exitCode = process.Wait(timeout);
    result.elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start);
    result.errors = ReadFile(sandbox.Path(name + ".err"));
    return result;
}

int Configure(Sandbox& sandbox, const std::vector<std::string>& definitions, std::string* output) {
    static int builds = 0;
    std::string command = std::string(WINM_CMAKE_PATH) + " -S " + sandbox.dir() + " -B " +
                          sandbox.Path("build" + std::to_string(++builds));
    for (const std::string& definition : definitions)
        command += " '-D" + definition + "'";
    command += " >" + sandbox.Path("cmake.out") + " 2>&1";
    const int status = std::system(command.c_str());
    *output = ReadFile(sandbox.Path("cmake.out"));
    for (size_t at; (at = output->find("\n  ")) != std::string::npos;)
        output->replace(at, 3, " ");
    return status;
}

const std::vector<std::string> kAnswers = {
    "--zel",      "zel-first",        "--notification", "7",
    "--message",  "Version 2 is out", "--url",          "http://example.test/zpm.cab",
    "--deadline", "1893456000999"};

Environment To(const Service& service) {
    return {{"WINM_CONNECT_TO", ConnectTo(service.port())}};
}

void ExpectCleanRun(const RunResult& run) {
    EXPECT_EQ(run.exitCode, 0) << run.errors;
    // WINM_LOG_LEVEL=3 makes the updater report its tracked allocations.
    EXPECT_NE(run.errors.find("tracked blocks live at exit: 0"), std::string::npos) << run.errors;
}

uint32_t Dword(const RegistryValue& value) {
    EXPECT_EQ(value.type, "REG_DWORD");
    return static_cast<uint32_t>(std::strtoul(value.data.c_str(), nullptr, 16));
}

}  // namespace e2e
