// Loopback servers for the network tests: a raw-socket server whose replies
// the test writes byte by byte (for faults), and a real HTTP proxy
// (tinyproxy) run as a child process.
#pragma once

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "wince/testing/spawn.h"

extern char** environ;

namespace nettest {

inline int ListenLoopback(int backlog = 16) {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int one = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one));
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = 0;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0 ||
        ::listen(fd, backlog) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

inline int PortOf(int fd) {
    sockaddr_in addr{};
    socklen_t len = sizeof(addr);
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
    return ntohs(addr.sin_port);
}

// A port that nothing listens on (bound, then released).
inline int UnusedPort() {
    int fd = ListenLoopback();
    int port = PortOf(fd);
    ::close(fd);
    return port;
}

inline bool SendAll(int fd, const std::string& data) {
    std::size_t sent = 0;
    while (sent < data.size()) {
        ssize_t n = ::send(fd, data.data() + sent, data.size() - sent, MSG_NOSIGNAL);
        if (n <= 0)
            return false;
        sent += static_cast<std::size_t>(n);
    }
    return true;
}

// Closes with a TCP reset instead of an orderly shutdown.
inline void ResetConnection(int fd) {
    linger l{1, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &l, sizeof(l));
    ::close(fd);
}

// Serves one scripted reply per connection, one connection at a time. The
// script gets the socket and the request as read (headers and, when a
// Content-Length is given, the body); it owns the socket and must close it.
class RawServer {
  public:
    using Script = std::function<void(int fd, const std::string& request, RawServer& server)>;

    explicit RawServer(Script script, bool readRequest = true)
        : script_(std::move(script)), readRequest_(readRequest) {
        listener_ = ListenLoopback();
        port_ = PortOf(listener_);
        thread_ = std::thread([this] { Run(); });
    }
    ~RawServer() { Stop(); }

    int port() const { return port_; }
    std::string url(const std::string& path = "/") const {
        return "http://127.0.0.1:" + std::to_string(port_) + path;
    }

    void Stop() {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (stopping_)
                return;
            stopping_ = true;
        }
        changed_.notify_all();
        ::shutdown(listener_, SHUT_RDWR);
        if (thread_.joinable())
            thread_.join();
        ::close(listener_);
    }

    // Blocks a script until Stop() (a peer that stalls), or at most `limit`.
    void StallUntilStopped(std::chrono::milliseconds limit = std::chrono::seconds(60)) {
        std::unique_lock<std::mutex> lock(mutex_);
        changed_.wait_for(lock, limit, [this] { return stopping_; });
    }

    // Waits until `count` connections have been accepted.
    bool WaitForConnections(int count, std::chrono::milliseconds limit = std::chrono::seconds(20)) {
        std::unique_lock<std::mutex> lock(mutex_);
        return changed_.wait_for(lock, limit, [&] { return accepted_ >= count; });
    }

    std::vector<std::string> requests() {
        std::lock_guard<std::mutex> lock(mutex_);
        return requests_;
    }

    // Reads one request: the header block, then a Content-Length body.
    static std::string ReadRequest(int fd) {
        std::string data;
        char buf[65536];
        std::size_t headerEnd = std::string::npos;
        std::size_t want = 0;
        for (;;) {
            if (headerEnd == std::string::npos) {
                headerEnd = data.find("\r\n\r\n");
                if (headerEnd != std::string::npos) {
                    headerEnd += 4;
                    std::string head = data.substr(0, headerEnd);
                    for (auto& c : head)
                        c = static_cast<char>(std::tolower(c));
                    auto at = head.find("\r\ncontent-length:");
                    if (at != std::string::npos)
                        want = std::strtoul(head.c_str() + at + 17, nullptr, 10);
                }
            }
            if (headerEnd != std::string::npos && data.size() >= headerEnd + want)
                return data;
            pollfd p{fd, POLLIN, 0};
            if (::poll(&p, 1, 20000) <= 0)
                return data;
            ssize_t n = ::recv(fd, buf, sizeof(buf), 0);
            if (n <= 0)
                return data;
            data.append(buf, static_cast<std::size_t>(n));
        }
    }

  private:
    void Run() {
        for (;;) {
            int fd = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
            if (fd < 0)
                return;
            std::string request = readRequest_ ? ReadRequest(fd) : std::string();
            {
                std::lock_guard<std::mutex> lock(mutex_);
                ++accepted_;
                requests_.push_back(request);
            }
            changed_.notify_all();
            script_(fd, request, *this);
            std::lock_guard<std::mutex> lock(mutex_);
            if (stopping_)
                return;
        }
    }

    Script script_;
    bool readRequest_;
    int listener_ = -1;
    int port_ = 0;
    std::thread thread_;
    std::mutex mutex_;
    std::condition_variable changed_;
    bool stopping_ = false;
    int accepted_ = 0;
    std::vector<std::string> requests_;
};

// A reply with the given status line, headers and body, closed afterwards.
inline RawServer::Script Reply(std::string response) {
    return [response](int fd, const std::string&, RawServer&) {
        SendAll(fd, response);
        ::shutdown(fd, SHUT_WR);
        char c;
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, 2000) > 0)
            (void)::recv(fd, &c, 1, 0);
        ::close(fd);
    };
}

// tinyproxy on a loopback port, logging to a file of its own.
class Tinyproxy {
  public:
    Tinyproxy() {
        char dirTemplate[] = "/tmp/winm-proxy-XXXXXX";
        dir_ = ::mkdtemp(dirTemplate);
        ::chmod(dir_.c_str(), 0777);
        // The port is picked before tinyproxy binds it; another process may
        // take it meanwhile, so a proxy that exits at once is started again.
        for (int attempt = 0; attempt < 5 && !ready_; ++attempt)
            Start();
    }
    ~Tinyproxy() {
        if (pid_ > 0) {
            ::kill(pid_, SIGTERM);
            int status = 0;
            ::waitpid(pid_, &status, 0);
        }
        std::error_code ignored;
        std::filesystem::remove_all(dir_, ignored);
    }
    bool ready() const { return ready_; }
    int port() const { return port_; }
    std::string log() const {
        std::ifstream in(dir_ + "/tinyproxy.log");
        std::stringstream ss;
        ss << in.rdbuf();
        return ss.str();
    }

  private:
    void Start() {
        if (pid_ > 0) {
            // A previous try that never became ready.
            ::kill(pid_, SIGKILL);
            int status = 0;
            ::waitpid(pid_, &status, 0);
            pid_ = -1;
        }
        port_ = UnusedPort();
        const std::string conf = dir_ + "/tinyproxy.conf";
        std::ofstream out(conf);
        out << "Port " << port_ << "\n"
            << "Listen 127.0.0.1\n"
            << "Timeout 60\n"
            << "MaxClients 16\n"
            << "LogFile \"" << dir_ << "/tinyproxy.log\"\n"
            << "LogLevel Info\n"
            << "PidFile \"" << dir_ << "/tinyproxy.pid\"\n"
            << "Allow 127.0.0.1\n"
            << "ViaProxyName \"winmtestproxy\"\n";
        // No User line: it stays this process's user, as a change of user
        // would clear the signal that stops it when the test dies.
        out.close();
        std::vector<std::string> args = {"/usr/bin/tinyproxy", "-d", "-c", conf};
        std::vector<char*> argv;
        for (auto& a : args)
            argv.push_back(a.data());
        argv.push_back(nullptr);
        pid_ = WinceSpawnTiedToParent(argv[0], argv.data());
        if (pid_ < 0)
            return;
        // Ready once it accepts connections.
        auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        while (std::chrono::steady_clock::now() < deadline) {
            int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
            sockaddr_in addr{};
            addr.sin_family = AF_INET;
            addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            addr.sin_port = htons(static_cast<uint16_t>(port_));
            bool ok = ::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) == 0;
            ::close(fd);
            if (ok) {
                ready_ = true;
                return;
            }
            int status = 0;
            if (::waitpid(pid_, &status, WNOHANG) == pid_) {
                pid_ = -1;
                return;
            }
            pollfd none{-1, 0, 0};
            ::poll(&none, 0, 20);  // until the next connect attempt
        }
    }

    std::string dir_;
    int port_ = 0;
    pid_t pid_ = -1;
    bool ready_ = false;
};

}  // namespace nettest
