// InternetCloseHandle from another thread unblocks a call waiting in
// connect, send or read. The time-outs stay at 60 s, so only the close can
// end the calls within the tests' bounds.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <string>
#include <vector>

#include "testservers.h"
#include "wince/testing/net.h"
#include "wince/wininet.h"

namespace {

using namespace std::chrono_literals;
using nettest::RawServer;

struct Result {
    BOOL ok = FALSE;
    DWORD error = 0;
};

struct Opened {
    HINTERNET root = nullptr, connect = nullptr, request = nullptr;
};

Opened Open(int port) {
    Opened o;
    o.root = InternetOpenW(u"agent", INTERNET_OPEN_TYPE_DIRECT, nullptr, nullptr, 0);
    o.connect = InternetConnectW(o.root, u"127.0.0.1", static_cast<INTERNET_PORT>(port), nullptr,
                                 nullptr, INTERNET_SERVICE_HTTP, 0, 0);
    o.request = HttpOpenRequestW(o.connect, u"POST", u"/", nullptr, nullptr, nullptr, 0, 0);
    return o;
}

std::future<Result> SendAsync(HINTERNET request, const std::string* body) {
    return std::async(std::launch::async, [request, body] {
        Result r;
        r.ok = HttpSendRequestW(request, nullptr, 0, const_cast<char*>(body->data()),
                                static_cast<DWORD>(body->size()));
        r.error = GetLastError();
        return r;
    });
}

// Waits until the call started on another thread is blocked inside the
// platform, so that a close cannot come before the call has the handle.
void LetItBlock() {
    const auto deadline = std::chrono::steady_clock::now() + 30s;
    while (WinceInternetCallsWaiting() != 1) {
        ASSERT_LT(std::chrono::steady_clock::now(), deadline) << "the call never blocked";
        std::this_thread::sleep_for(1ms);
    }
}

void ExpectCancelled(std::future<Result>& call) {
    ASSERT_EQ(call.wait_for(10s), std::future_status::ready)
        << "the close did not unblock the call";
    Result r = call.get();
    EXPECT_FALSE(r.ok);
    EXPECT_EQ(r.error, static_cast<DWORD>(ERROR_INTERNET_OPERATION_CANCELLED));
}

RawServer::Script Stall() {
    return [](int fd, const std::string&, RawServer& s) {
        s.StallUntilStopped();
        ::close(fd);
    };
}

TEST(WinInetCancel, CloseUnblocksConnect) {
    // A listener whose accept queue is full drops further SYNs, so a connect
    // to it waits.
    int listener = nettest::ListenLoopback(0);
    const int port = nettest::PortOf(listener);
    std::vector<int> fillers;
    for (int i = 0; i < 4; ++i) {
        int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        addr.sin_port = htons(static_cast<uint16_t>(port));
        ::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr));
        fillers.push_back(fd);
    }
    Opened o = Open(port);
    std::string body = "x";
    auto call = SendAsync(o.request, &body);
    LetItBlock();
    EXPECT_TRUE(InternetCloseHandle(o.request));
    ExpectCancelled(call);
    InternetCloseHandle(o.root);
    for (int fd : fillers)
        ::close(fd);
    ::close(listener);
}

TEST(WinInetCancel, CloseUnblocksSendOfABodyThePeerDoesNotRead) {
    RawServer server(Stall(), /*readRequest=*/false);
    Opened o = Open(server.port());
    std::string body(48 << 20, 'b');
    auto call = SendAsync(o.request, &body);
    ASSERT_TRUE(server.WaitForConnections(1));
    LetItBlock();
    EXPECT_TRUE(InternetCloseHandle(o.request));
    ExpectCancelled(call);
    InternetCloseHandle(o.root);
}

TEST(WinInetCancel, CloseUnblocksRead) {
    RawServer server([](int fd, const std::string&, RawServer& s) {
        nettest::SendAll(fd, "HTTP/1.1 200 OK\r\nContent-Length: 100\r\n\r\n0123");
        s.StallUntilStopped();
        ::close(fd);
    });
    Opened o = Open(server.port());
    ASSERT_TRUE(HttpSendRequestW(o.request, nullptr, 0, const_cast<char*>("x"), 1));
    auto call = std::async(std::launch::async, [&] {
        char buffer[100];
        DWORD n = 0;
        Result r;
        r.ok = InternetReadFile(o.request, buffer, sizeof(buffer), &n);
        r.error = GetLastError();
        return r;
    });
    LetItBlock();
    EXPECT_TRUE(InternetCloseHandle(o.request));
    ExpectCancelled(call);
    InternetCloseHandle(o.root);
}

TEST(WinInetCancel, ClosingTheRootUnblocksOpenUrl) {
    RawServer server(Stall());
    HINTERNET root = InternetOpenW(u"agent", INTERNET_OPEN_TYPE_DIRECT, nullptr, nullptr, 0);
    std::u16string url;
    for (char c : server.url("/x"))
        url += static_cast<char16_t>(c);
    auto call = std::async(std::launch::async, [&] {
        HINTERNET request = InternetOpenUrlW(root, url.c_str(), nullptr, 0, 0, 0);
        return Result{request != nullptr, GetLastError()};
    });
    ASSERT_TRUE(server.WaitForConnections(1));
    EXPECT_TRUE(InternetCloseHandle(root));
    ExpectCancelled(call);
}

// Closes land at every stage of an exchange; none may crash, leak or race.
TEST(WinInetCancel, ClosesAtRandomMomentsAreSafe) {
    RawServer server([](int fd, const std::string&, RawServer&) {
        nettest::SendAll(
            fd, "HTTP/1.1 200 OK\r\nContent-Length: 5000\r\n\r\n" + std::string(1000, 'z'));
        ::close(fd);
    });
    for (int round = 0; round < 40; ++round) {
        Opened o = Open(server.port());
        std::atomic<bool> started{false};
        auto call = std::async(std::launch::async, [&] {
            started = true;
            Result r;
            r.ok = HttpSendRequestW(o.request, nullptr, 0, const_cast<char*>("x"), 1);
            char buffer[512];
            DWORD n = 0;
            while (r.ok && InternetReadFile(o.request, buffer, sizeof(buffer), &n) && n != 0) {
            }
            r.error = GetLastError();
            return r;
        });
        while (!started)
            std::this_thread::yield();
        std::this_thread::sleep_for(std::chrono::microseconds(round * 50));
        InternetCloseHandle(round % 2 ? o.request : o.root);
        ASSERT_EQ(call.wait_for(10s), std::future_status::ready);
        InternetCloseHandle(o.root);
    }
}

}  // namespace
