// Test support: a scripted HTTP server on a loopback port and a real HTTP
// proxy (tinyproxy) started and stopped by the test.
#pragma once

#ifdef _WIN32
// Before windows.h pulls in the old Winsock (the tests build with
// WIN32_LEAN_AND_MEAN, so it does not).
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#ifndef _WIN32
#include "wince/testing/spawn.h"

extern char** environ;
#endif

namespace winmtest {

// The few socket calls the helpers make, on Winsock and on POSIX sockets.
#ifdef _WIN32
using Socket = SOCKET;
using SocketLength = int;
constexpr int kShutWrite = SD_SEND;
constexpr int kShutBoth = SD_BOTH;
inline Socket OpenSocket() {
    static const bool started = [] {
        WSADATA data;
        return WSAStartup(MAKEWORD(2, 2), &data) == 0;
    }();
    return started ? ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP) : INVALID_SOCKET;
}
inline void CloseSocket(Socket s) {
    ::closesocket(s);
}
inline long SendSome(Socket s, const char* data, size_t size) {
    return ::send(s, data, static_cast<int>(size), 0);
}
inline long ReceiveSome(Socket s, char* buffer, size_t size) {
    return ::recv(s, buffer, static_cast<int>(size), 0);
}
inline void SetNonBlocking(Socket s) {
    u_long on = 1;
    ::ioctlsocket(s, FIONBIO, &on);
}
// True when s became writable (a connect completed) within ms.
inline bool WritableWithin(Socket s, int ms) {
    WSAPOLLFD p{s, POLLOUT, 0};
    return ::WSAPoll(&p, 1, ms) > 0;
}
#else
using Socket = int;
using SocketLength = socklen_t;
constexpr int kShutWrite = SHUT_WR;
constexpr int kShutBoth = SHUT_RDWR;
inline Socket OpenSocket() {
    return ::socket(AF_INET, SOCK_STREAM, 0);
}
inline void CloseSocket(Socket s) {
    ::close(s);
}
inline long SendSome(Socket s, const char* data, size_t size) {
    return ::send(s, data, size, MSG_NOSIGNAL);
}
inline long ReceiveSome(Socket s, char* buffer, size_t size) {
    return ::recv(s, buffer, size, 0);
}
inline void SetNonBlocking(Socket s) {
    ::fcntl(s, F_SETFL, ::fcntl(s, F_GETFL) | O_NONBLOCK);
}
inline bool WritableWithin(Socket s, int ms) {
    pollfd p{s, POLLOUT, 0};
    return ::poll(&p, 1, ms) > 0;
}
#endif

struct ReceivedRequest {
    std::string method;
    std::string path;
    std::map<std::string, std::string> headers;  // names in lower case
    std::string body;
};

inline std::string Lower(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return text;
}

// One accepted connection, handed to the server's script after the request
// has been read.
class Connection {
  public:
    Connection(Socket fd, std::atomic<bool>* stopping, std::mutex* mutex,
               std::condition_variable* cv)
        : fd(fd), stopping(stopping), mutex(mutex), cv(cv) {}

    bool Send(const std::string& bytes) {
        size_t sent = 0;
        while (sent < bytes.size()) {
            long n = SendSome(fd, bytes.data() + sent, bytes.size() - sent);
            if (n <= 0)
                return false;
            sent += static_cast<size_t>(n);
        }
        return true;
    }
    // Blocks until the server stops (or the peer goes away): a stalled server.
    void Stall() {
        std::unique_lock<std::mutex> hold(*mutex);
        cv->wait(hold, [this] { return stopping->load(); });
    }
    // Sends bytes one at a time, pausing between them, until all are sent,
    // the server stops or the peer goes away: a peer that drips its answer.
    void Drip(const std::string& bytes, int pauseMs) {
        for (char byte : bytes) {
            if (!Send(std::string(1, byte)))
                return;
            std::unique_lock<std::mutex> hold(*mutex);
            if (cv->wait_for(hold, std::chrono::milliseconds(pauseMs),
                             [this] { return stopping->load(); }))
                return;
        }
    }
    // Closes the connection at once with a reset.
    void Reset() {
        linger l{1, 0};
        setsockopt(fd, SOL_SOCKET, SO_LINGER, reinterpret_cast<const char*>(&l), sizeof l);
        ::shutdown(fd, kShutBoth);
    }

    ReceivedRequest request;
    Socket fd;

  private:
    std::atomic<bool>* stopping;
    std::mutex* mutex;
    std::condition_variable* cv;
};

// A loopback HTTP/1.1 server: reads each request whole (headers and a
// Content-Length body), records it and runs the script on the connection;
// the connection is closed when the script returns.
class LoopbackServer {
  public:
    using Script = std::function<void(Connection&)>;

    explicit LoopbackServer(Script script, int backlog = 64) : script(std::move(script)) {
        listener = OpenSocket();
#ifndef _WIN32
        // (On Windows the option would let another socket take the port.)
        int one = 1;
        setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
#endif
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        address.sin_port = 0;
        ::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address);
        ::listen(listener, backlog);
        SocketLength length = sizeof address;
        getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length);
        port = ntohs(address.sin_port);
        if (backlog > 0)
            acceptor = std::thread([this] { AcceptLoop(); });
    }
    ~LoopbackServer() {
        Stop();
    }

    void Stop() {
        {
            // Set under the mutex: a script between its check of the flag
            // and its wait in Stall() would otherwise miss the wake-up, and
            // the join below would wait for it forever.
            std::lock_guard<std::mutex> hold(mutex);
            if (stopping.exchange(true))
                return;
        }
        cv.notify_all();
        ::shutdown(listener, kShutBoth);
#ifdef _WIN32
        // Winsock's shutdown does not end a blocked accept; closing does.
        CloseSocket(listener);
        listener = INVALID_SOCKET;
#endif
        if (acceptor.joinable())
            acceptor.join();
        std::vector<std::thread> running;
        {
            std::lock_guard<std::mutex> hold(mutex);
            for (Socket fd : openFds)
                ::shutdown(fd, kShutBoth);
            running.swap(workers);
        }
        for (auto& t : running)
            t.join();
#ifndef _WIN32
        CloseSocket(listener);
#endif
    }

    int Port() const {
        return port;
    }
    std::string Url(const std::string& path = "/m/appreq/mobilesearchapp") const {
        return "http://127.0.0.1:" + std::to_string(port) + path;
    }

    // Waits (bounded) until at least n requests have been read.
    bool WaitForRequests(size_t n, int timeoutMs = 30000) {
        std::unique_lock<std::mutex> hold(mutex);
        return cv.wait_for(hold, std::chrono::milliseconds(timeoutMs),
                           [&] { return received.size() >= n; });
    }
    std::vector<ReceivedRequest> Requests() {
        std::lock_guard<std::mutex> hold(mutex);
        return received;
    }
    int Connections() const {
        return connections.load();
    }

  private:
    void AcceptLoop() {
        for (;;) {
            Socket fd = ::accept(listener, nullptr, nullptr);
#ifdef _WIN32
            if (fd == INVALID_SOCKET)
                return;
#else
            if (fd < 0)
                return;
#endif
            if (stopping.load()) {
                CloseSocket(fd);
                return;
            }
            connections.fetch_add(1);
            std::lock_guard<std::mutex> hold(mutex);
            openFds.push_back(fd);
            workers.emplace_back([this, fd] { Serve(fd); });
        }
    }

    static bool ReadRequest(Connection& c) {
        std::string data;
        char buffer[4096];
        size_t headerEnd;
        while ((headerEnd = data.find("\r\n\r\n")) == std::string::npos) {
            long n = ReceiveSome(c.fd, buffer, sizeof buffer);
            if (n <= 0)
                return false;
            data.append(buffer, static_cast<size_t>(n));
        }
        std::string head = data.substr(0, headerEnd);
        size_t lineEnd = head.find("\r\n");
        std::string requestLine = head.substr(0, lineEnd);
        size_t sp1 = requestLine.find(' ');
        size_t sp2 = requestLine.find(' ', sp1 + 1);
        c.request.method = requestLine.substr(0, sp1);
        c.request.path = requestLine.substr(sp1 + 1, sp2 - sp1 - 1);
        size_t pos = lineEnd == std::string::npos ? head.size() : lineEnd + 2;
        while (pos < head.size()) {
            size_t end = head.find("\r\n", pos);
            if (end == std::string::npos)
                end = head.size();
            std::string line = head.substr(pos, end - pos);
            size_t colon = line.find(':');
            if (colon != std::string::npos) {
                std::string value = line.substr(colon + 1);
                value.erase(0, value.find_first_not_of(" \t"));
                c.request.headers[Lower(line.substr(0, colon))] = value;
            }
            pos = end + 2;
        }
        size_t expected = 0;
        auto cl = c.request.headers.find("content-length");
        if (cl != c.request.headers.end())
            expected = std::stoul(cl->second);
        auto expect = c.request.headers.find("expect");
        if (expect != c.request.headers.end() && Lower(expect->second) == "100-continue") {
            c.Send("HTTP/1.1 100 Continue\r\n\r\n");
        }
        c.request.body = data.substr(headerEnd + 4);
        while (c.request.body.size() < expected) {
            long n = ReceiveSome(c.fd, buffer, sizeof buffer);
            if (n <= 0)
                return false;
            c.request.body.append(buffer, static_cast<size_t>(n));
        }
        return true;
    }

    void Serve(Socket fd) {
        Connection c(fd, &stopping, &mutex, &cv);
        if (ReadRequest(c)) {
            {
                std::lock_guard<std::mutex> hold(mutex);
                received.push_back(c.request);
            }
            cv.notify_all();
            script(c);
        }
        std::lock_guard<std::mutex> hold(mutex);
        openFds.erase(std::find(openFds.begin(), openFds.end(), fd));
        ::shutdown(fd, kShutWrite);
        CloseSocket(fd);
    }

    Script script;
    Socket listener;
    int port = 0;
    std::atomic<bool> stopping{false};
    std::atomic<int> connections{0};
    std::mutex mutex;
    std::condition_variable cv;
    std::vector<ReceivedRequest> received;
    std::vector<Socket> openFds;
    std::vector<std::thread> workers;
    std::thread acceptor;
};

// An answer with a status, extra header lines and a body with its length.
inline std::string Response(int status, const std::string& body,
                            const std::string& extraHeaders = "", bool withLength = true) {
    std::string text = "HTTP/1.1 " + std::to_string(status) + (status == 200 ? " OK" : " Status") +
                       "\r\nContent-Type: application/octet-stream\r\n" + extraHeaders;
    if (withLength)
        text += "Content-Length: " + std::to_string(body.size()) + "\r\n";
    text += "Connection: close\r\n\r\n" + body;
    return text;
}

inline int FreeLoopbackPort() {
    Socket fd = OpenSocket();
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
    socklen_t length = sizeof address;
    getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
    CloseSocket(fd);
    return ntohs(address.sin_port);
}

inline bool PortAccepts(int port) {
    Socket fd = OpenSocket();
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(static_cast<uint16_t>(port));
    bool ok = ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    CloseSocket(fd);
    return ok;
}

// A loopback port whose accept queue is full and never drained: a connect to
// it stays pending (the SYNs go unanswered) until the caller gives up.
class BlackHolePort {
  public:
    BlackHolePort() {
        listener = OpenSocket();
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address);
        ::listen(listener, 0);
        SocketLength length = sizeof address;
        getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length);
        port = ntohs(address.sin_port);
        // Fill the queue: connect until a connect no longer completes.
        for (int i = 0; i < 8 && !blocked; ++i) {
            Socket fd = OpenSocket();
            SetNonBlocking(fd);
            fillers.push_back(fd);
            if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0)
                continue;
            blocked = !WritableWithin(fd, 300);
        }
    }
    ~BlackHolePort() {
        for (Socket fd : fillers)
            CloseSocket(fd);
        CloseSocket(listener);
    }
    bool Blocked() const { return blocked; }
    std::string Url() const {
        return "http://127.0.0.1:" + std::to_string(port) + "/m/appreq/mobilesearchapp";
    }

  private:
    Socket listener;
    int port = 0;
    bool blocked = false;
    std::vector<Socket> fillers;
};

#ifndef _WIN32
// tinyproxy in the foreground on a free loopback port, with a configuration
// of its own; stopped (and reaped) by the destructor, and killed with the
// test process if that dies first.
class TinyProxy {
  public:
    // upstreamPort: forward every request to a proxy on that loopback port
    // (a LoopbackServer answers absolute-form requests like any other).
    explicit TinyProxy(int upstreamPort = 0) {
        char dir[] = "/tmp/winm-proxy-XXXXXX";
        directory = mkdtemp(dir);
        // The port is free when picked but released before tinyproxy binds
        // it; another process may take it meanwhile, so a proxy that does
        // not come up is started again on another port.
        for (int attempt = 0; attempt < 5 && !ready; ++attempt)
            Start(upstreamPort);
    }
    ~TinyProxy() {
        Stop();
        std::error_code ignored;
        std::filesystem::remove_all(directory, ignored);
    }
    bool Ready() const { return ready; }
    std::u16string Server() const {
        std::string text = "127.0.0.1:" + std::to_string(port);
        return std::u16string(text.begin(), text.end());
    }
    int Port() const { return port; }

  private:
    void Stop() {
        if (pid > 0) {
            kill(pid, SIGTERM);
            int status = 0;
            waitpid(pid, &status, 0);
            pid = -1;
        }
    }

    void Start(int upstreamPort) {
        Stop();  // a previous try that never became ready
        port = FreeLoopbackPort();
        std::string config = directory + "/tinyproxy.conf";
        FILE* f = std::fopen(config.c_str(), "w");
        std::fprintf(f,
                     "Port %d\nListen 127.0.0.1\nTimeout 60\nMaxClients 50\n"
                     "LogLevel Critical\nLogFile \"%s/tinyproxy.log\"\nPidFile \"%s/pid\"\n"
                     "Allow 127.0.0.1\nViaProxyName \"winmtestproxy\"\n",
                     port, directory.c_str(), directory.c_str());
        if (upstreamPort != 0)
            std::fprintf(f, "Upstream http 127.0.0.1:%d\n", upstreamPort);
        std::fclose(f);
        const char* argv[] = {"tinyproxy", "-d", "-c", config.c_str(), nullptr};
        pid = WinceSpawnTiedToParent("/usr/bin/tinyproxy", const_cast<char* const*>(argv));
        if (pid < 0)
            return;
        // Ready when it accepts connections; bounded.
        auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        while (!PortAccepts(port) && std::chrono::steady_clock::now() < deadline) {
            int status = 0;
            if (waitpid(pid, &status, WNOHANG) == pid) {
                pid = -1;
                return;
            }
            // Readiness poll of another process; nothing to wait on.
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        ready = PortAccepts(port);
    }

    pid_t pid = -1;
    int port = 0;
    bool ready = false;
    std::string directory;
};
#endif  // tinyproxy is a Linux program: the Windows build's tests go direct

}  // namespace winmtest
