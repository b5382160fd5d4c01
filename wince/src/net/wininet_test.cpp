// The Internet functions against real loopback servers: an HTTP server for
// normal exchanges and a raw-socket server for faults.
#include <gtest/gtest.h>
#include <httplib.h>

#include <cstdlib>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include "connect_to.h"
#include "netutil.h"
#include "testservers.h"
#include "wince/testing/hostlog.h"
#include "wince/wininet.h"
#include "wince/testing/net.h"

namespace {

using nettest::RawServer;
using nettest::Reply;
using wince::net::FromUtf8;
using wince::net::ToUtf8;

std::u16string U(const std::string& s) {
    return FromUtf8(s);
}

struct Handles {
    HINTERNET root = nullptr, connect = nullptr, request = nullptr;
    ~Handles() {
        if (request)
            InternetCloseHandle(request);
        if (connect)
            InternetCloseHandle(connect);
        if (root)
            InternetCloseHandle(root);
    }
};

// Opens root, connect and request handles for `verb` `path` on 127.0.0.1:port.
void OpenRequest(Handles& h, int port, const char16_t* verb, const char16_t* path,
                 DWORD access = INTERNET_OPEN_TYPE_DIRECT, const char16_t* proxy = nullptr,
                 const char16_t* host = u"127.0.0.1") {
    h.root = InternetOpenW(u"WINM-TEST-USER-AGENT", access, proxy, nullptr, 0);
    ASSERT_NE(h.root, nullptr);
    h.connect = InternetConnectW(h.root, host, static_cast<INTERNET_PORT>(port), nullptr, nullptr,
                                 INTERNET_SERVICE_HTTP, 0, 0);
    ASSERT_NE(h.connect, nullptr);
    h.request = HttpOpenRequestW(h.connect, verb, path, nullptr, nullptr, nullptr,
                                 INTERNET_FLAG_NO_CACHE_WRITE | INTERNET_FLAG_KEEP_CONNECTION, 0);
    ASSERT_NE(h.request, nullptr);
}

// Reads to the end; returns 0 at a normal end, else the read's error.
DWORD ReadAll(HINTERNET request, std::string* body, std::vector<DWORD>* sizes = nullptr) {
    char buffer[8192];
    for (;;) {
        DWORD n = 0;
        if (!InternetReadFile(request, buffer, sizeof(buffer), &n))
            return GetLastError();
        if (n == 0)
            return 0;
        if (sizes)
            sizes->push_back(n);
        body->append(buffer, n);
    }
}

DWORD StatusCode(HINTERNET request) {
    DWORD status = 0, length = sizeof(status), index = 0;
    if (!HttpQueryInfoW(request, HTTP_QUERY_STATUS_CODE | HTTP_QUERY_FLAG_NUMBER, &status, &length,
                        &index))
        return 0;
    return status;
}

class HttpServer {
  public:
    HttpServer() {
        server_.Post("/echo", [this](const httplib::Request& req, httplib::Response& res) {
            Record(req);
            res.set_content(req.body, "application/octet-stream");
        });
        server_.Get("/big", [this](const httplib::Request& req, httplib::Response& res) {
            Record(req);
            res.set_content(Pattern(20000), "application/octet-stream");
        });
        server_.Get("/chunked", [this](const httplib::Request& req, httplib::Response& res) {
            Record(req);
            res.set_chunked_content_provider(
                "text/plain", [](size_t offset, httplib::DataSink& sink) {
                    if (offset >= 30000) {
                        sink.done();
                        return true;
                    }
                    std::string piece = Pattern(30000).substr(offset, 7000);
                    return sink.write(piece.data(), piece.size());
                });
        });
        port_ = server_.bind_to_any_port("127.0.0.1");
        thread_ = std::thread([this] { server_.listen_after_bind(); });
    }
    ~HttpServer() {
        server_.stop();
        thread_.join();
    }
    int port() const { return port_; }
    httplib::Headers lastHeaders() {
        std::lock_guard<std::mutex> lock(mutex_);
        return last_;
    }
    static std::string Pattern(std::size_t n) {
        std::string s(n, '\0');
        for (std::size_t i = 0; i < n; ++i)
            s[i] = static_cast<char>('a' + (i * 7 + i / 251) % 26);
        return s;
    }

  private:
    void Record(const httplib::Request& req) {
        std::lock_guard<std::mutex> lock(mutex_);
        last_ = req.headers;
    }
    httplib::Server server_;
    int port_ = 0;
    std::thread thread_;
    std::mutex mutex_;
    httplib::Headers last_;
};

TEST(WinInetExchange, PostSendsBodyAndHeadersAndReadsTheAnswer) {
    HttpServer server;
    Handles h;
    OpenRequest(h, server.port(), u"POST", u"/echo");
    std::string body = "\x01\x02 binary \x00 body";
    body.push_back('\0');
    std::u16string headers = u"X-One: 1\r\nX-Two: two";
    ASSERT_TRUE(HttpSendRequestW(h.request, headers.c_str(), static_cast<DWORD>(headers.size()),
                                 body.data(), static_cast<DWORD>(body.size())));
    EXPECT_EQ(StatusCode(h.request), 200u);
    std::string received;
    EXPECT_EQ(ReadAll(h.request, &received), 0u);
    EXPECT_EQ(received, body);

    auto seen = server.lastHeaders();
    auto value = [&](const char* name) {
        auto it = seen.find(name);
        return it == seen.end() ? std::string("<none>") : it->second;
    };
    EXPECT_EQ(value("User-Agent"), "WINM-TEST-USER-AGENT");
    EXPECT_EQ(value("X-One"), "1");
    EXPECT_EQ(value("X-Two"), "two");
    EXPECT_EQ(value("Content-Type"), "<none>");  // nothing the caller did not ask for
    EXPECT_EQ(value("Host"), "127.0.0.1:" + std::to_string(server.port()));
}

TEST(WinInetExchange, GetThroughUrlReadsTwentyThousandBytesInPieces) {
    HttpServer server;
    HINTERNET root = InternetOpenW(u"agent", INTERNET_OPEN_TYPE_DIRECT, nullptr, nullptr, 0);
    std::u16string url = U("http://127.0.0.1:" + std::to_string(server.port()) + "/big");
    HINTERNET request = InternetOpenUrlW(root, url.c_str(), u"X-A: b", static_cast<DWORD>(-1),
                                         INTERNET_FLAG_NO_CACHE_WRITE, 0);
    ASSERT_NE(request, nullptr) << GetLastError();
    EXPECT_EQ(server.lastHeaders().find("X-A")->second, "b");
    std::string body;
    std::vector<DWORD> sizes;
    EXPECT_EQ(ReadAll(request, &body, &sizes), 0u);
    EXPECT_EQ(body, HttpServer::Pattern(20000));
    EXPECT_EQ(sizes, (std::vector<DWORD>{8192, 8192, 3616}));
    DWORD length = 0, size = sizeof(length);
    ASSERT_TRUE(HttpQueryInfoW(request, HTTP_QUERY_CONTENT_LENGTH | HTTP_QUERY_FLAG_NUMBER, &length,
                               &size, nullptr));
    EXPECT_EQ(length, 20000u);
    EXPECT_TRUE(InternetCloseHandle(request));
    EXPECT_TRUE(InternetCloseHandle(root));
}

TEST(WinInetExchange, ChunkedBodyIsDecoded) {
    HttpServer server;
    Handles h;
    OpenRequest(h, server.port(), u"GET", u"/chunked");
    ASSERT_TRUE(HttpSendRequestW(h.request, nullptr, 0, nullptr, 0));
    std::string body;
    EXPECT_EQ(ReadAll(h.request, &body), 0u);
    EXPECT_EQ(body, HttpServer::Pattern(30000));
    DWORD length = 0, size = sizeof(length);
    EXPECT_FALSE(HttpQueryInfoW(h.request, HTTP_QUERY_CONTENT_LENGTH | HTTP_QUERY_FLAG_NUMBER,
                                &length, &size, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_HTTP_HEADER_NOT_FOUND));
}

TEST(WinInetQuery, StatusRawHeadersAndIndexedLengthBehaveAsOnWindows) {
    RawServer server(
        Reply("HTTP/1.1 200 Fine\r\nContent-Length: 3\r\nX-Dup: a\r\nX-Dup: b\r\nConnection: "
              "close\r\n\r\nabc"));
    Handles h;
    OpenRequest(h, server.port(), u"POST", u"/q");
    ASSERT_TRUE(HttpSendRequestW(h.request, nullptr, 0, const_cast<char*>("x"), 1));

    char buffer[1024];
    DWORD length = sizeof(buffer), index = 0;
    ASSERT_TRUE(HttpQueryInfoW(h.request, HTTP_QUERY_STATUS_CODE | HTTP_QUERY_FLAG_NUMBER, buffer,
                               &length, &index));
    EXPECT_EQ(length, 4u);
    EXPECT_EQ(*reinterpret_cast<DWORD*>(buffer), 200u);
    // Any buffer of at least a DWORD takes a number (Wine's WinINet wants
    // exactly 4 bytes; Windows does not).
    length = sizeof(buffer);
    index = 0;
    ASSERT_TRUE(HttpQueryInfoW(h.request, HTTP_QUERY_CONTENT_LENGTH | HTTP_QUERY_FLAG_NUMBER,
                               buffer, &length, &index));
    EXPECT_EQ(length, 4u);
    EXPECT_EQ(*reinterpret_cast<DWORD*>(buffer), 3u);

    const std::u16string expected =
        u"HTTP/1.1 200 Fine\r\nContent-Length: 3\r\nX-Dup: a\r\nX-Dup: b\r\nConnection: "
        u"close\r\n\r\n";
    WCHAR small[10];
    length = sizeof(small);
    EXPECT_FALSE(HttpQueryInfoW(h.request, HTTP_QUERY_RAW_HEADERS_CRLF, small, &length, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
    EXPECT_EQ(length, (expected.size() + 1) * 2);
    std::vector<WCHAR> raw(length / 2);
    ASSERT_TRUE(
        HttpQueryInfoW(h.request, HTTP_QUERY_RAW_HEADERS_CRLF, raw.data(), &length, nullptr));
    EXPECT_EQ(length, expected.size() * 2);
    EXPECT_EQ(std::u16string(raw.data()), expected);

    // Occurrences by index; the index moves on with each success.
    WCHAR text[16] = u"X-Dup";
    index = 1;
    length = sizeof(text);
    ASSERT_TRUE(HttpQueryInfoW(h.request, HTTP_QUERY_CUSTOM, text, &length, &index));
    EXPECT_EQ(std::u16string(text), u"b");
    EXPECT_EQ(index, 2u);
    DWORD number = 0;
    length = sizeof(number);
    index = 1;
    EXPECT_FALSE(HttpQueryInfoW(h.request, HTTP_QUERY_CONTENT_LENGTH | HTTP_QUERY_FLAG_NUMBER,
                                &number, &length, &index));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_HTTP_HEADER_NOT_FOUND));
    EXPECT_EQ(index, 1u);
    index = 0;
    ASSERT_TRUE(HttpQueryInfoW(h.request, HTTP_QUERY_CONTENT_LENGTH | HTTP_QUERY_FLAG_NUMBER,
                               &number, &length, &index));
    EXPECT_EQ(number, 3u);
    EXPECT_EQ(index, 1u);
}

TEST(WinInetFaults, ErrorStatusesKeepTheirBodies) {
    for (const char* status : {"404 Not Found", "500 Internal Server Error"}) {
        RawServer server(
            Reply(std::string("HTTP/1.1 ") + status + "\r\nContent-Length: 9\r\n\r\nerror txt"));
        Handles h;
        OpenRequest(h, server.port(), u"POST", u"/");
        ASSERT_TRUE(HttpSendRequestW(h.request, nullptr, 0, const_cast<char*>("x"), 1));
        EXPECT_EQ(StatusCode(h.request), static_cast<DWORD>(std::atoi(status)));
        std::string body;
        EXPECT_EQ(ReadAll(h.request, &body), 0u);
        EXPECT_EQ(body, "error txt");
    }
}

TEST(WinInetFaults, RefusedPortCannotConnect) {
    Handles h;
    OpenRequest(h, nettest::UnusedPort(), u"POST", u"/");
    EXPECT_FALSE(HttpSendRequestW(h.request, nullptr, 0, const_cast<char*>("x"), 1));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INTERNET_CANNOT_CONNECT));
    DWORD status = 0, length = sizeof(status);
    EXPECT_FALSE(HttpQueryInfoW(h.request, HTTP_QUERY_STATUS_CODE | HTTP_QUERY_FLAG_NUMBER, &status,
                                &length, nullptr));
}

TEST(WinInetFaults, UnknownNameIsNotResolved) {
    Handles h;
    OpenRequest(h, 80, u"GET", u"/", INTERNET_OPEN_TYPE_DIRECT, nullptr, u"no-such-host.invalid");
    EXPECT_FALSE(HttpSendRequestW(h.request, nullptr, 0, nullptr, 0));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INTERNET_NAME_NOT_RESOLVED));
}

TEST(WinInetFaults, ResetMidBodyHandsOverWhatArrivedThenFails) {
    RawServer server([](int fd, const std::string&, RawServer&) {
        nettest::SendAll(fd,
                         "HTTP/1.1 200 OK\r\nContent-Length: 1000\r\n\r\n" + std::string(100, 'r'));
        nettest::ResetConnection(fd);
    });
    Handles h;
    OpenRequest(h, server.port(), u"POST", u"/");
    ASSERT_TRUE(HttpSendRequestW(h.request, nullptr, 0, const_cast<char*>("x"), 1));
    std::string body;
    EXPECT_EQ(ReadAll(h.request, &body), static_cast<DWORD>(ERROR_INTERNET_CONNECTION_RESET));
    EXPECT_LE(body.size(), 100u);
}

TEST(WinInetFaults, PeerClosingBeforeAnswerAborts) {
    RawServer server([](int fd, const std::string&, RawServer&) { ::close(fd); });
    Handles h;
    OpenRequest(h, server.port(), u"POST", u"/");
    EXPECT_FALSE(HttpSendRequestW(h.request, nullptr, 0, const_cast<char*>("x"), 1));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INTERNET_CONNECTION_ABORTED));
}

TEST(WinInetFaults, BodyLengthMismatchesEndTheReadNormally) {
    // Shorter: the read ends at the close with what arrived; the caller
    // compares with the Content-Length. Longer: the body is what the
    // Content-Length frames.
    RawServer shortServer(
        Reply("HTTP/1.1 200 OK\r\nContent-Length: 100\r\n\r\n" + std::string(90, 's')));
    RawServer longServer(
        Reply("HTTP/1.1 200 OK\r\nContent-Length: 10\r\n\r\n" + std::string(50, 'l')));
    for (auto [server, expected] : {std::pair{&shortServer, 90u}, std::pair{&longServer, 10u}}) {
        Handles h;
        OpenRequest(h, server->port(), u"POST", u"/");
        ASSERT_TRUE(HttpSendRequestW(h.request, nullptr, 0, const_cast<char*>("x"), 1));
        std::string body;
        EXPECT_EQ(ReadAll(h.request, &body), 0u);
        EXPECT_EQ(body.size(), expected);
    }
}

TEST(WinInetFaults, TruncatedChunkedBodyAborts) {
    RawServer server(
        Reply("HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n10\r\n0123456789"));
    Handles h;
    OpenRequest(h, server.port(), u"POST", u"/");
    ASSERT_TRUE(HttpSendRequestW(h.request, nullptr, 0, const_cast<char*>("x"), 1));
    std::string body;
    EXPECT_EQ(ReadAll(h.request, &body), static_cast<DWORD>(ERROR_INTERNET_CONNECTION_ABORTED));
}

class ReceiveTimeout : public ::testing::Test {
  protected:
    void SetUp() override { Set(300); }
    void TearDown() override { Set(60000); }
    static void Set(DWORD ms) {
        ASSERT_TRUE(
            InternetSetOptionW(nullptr, INTERNET_OPTION_DATA_RECEIVE_TIMEOUT, &ms, sizeof(ms)));
    }
};

TEST_F(ReceiveTimeout, SilentPeerTimesOutWaitingForTheAnswerAndMidBody) {
    RawServer silent([](int fd, const std::string&, RawServer& s) {
        s.StallUntilStopped();
        ::close(fd);
    });
    Handles a;
    OpenRequest(a, silent.port(), u"POST", u"/");
    EXPECT_FALSE(HttpSendRequestW(a.request, nullptr, 0, const_cast<char*>("x"), 1));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INTERNET_TIMEOUT));
    silent.Stop();

    RawServer stalls([](int fd, const std::string&, RawServer& s) {
        nettest::SendAll(fd, "HTTP/1.1 200 OK\r\nContent-Length: 100\r\n\r\n0123456789");
        s.StallUntilStopped();
        ::close(fd);
    });
    Handles b;
    OpenRequest(b, stalls.port(), u"POST", u"/");
    ASSERT_TRUE(HttpSendRequestW(b.request, nullptr, 0, const_cast<char*>("x"), 1));
    std::string body;
    EXPECT_EQ(ReadAll(b.request, &body), static_cast<DWORD>(ERROR_INTERNET_TIMEOUT));
    EXPECT_EQ(body, "0123456789");
}

TEST(WinInetHandles, BadHandlesFailWithoutCrashing) {
    const int open = WinceInternetOpenHandles();
    DWORD n = 0;
    char buffer[4];
    EXPECT_FALSE(InternetReadFile(nullptr, buffer, sizeof(buffer), &n));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    HINTERNET root = InternetOpenW(u"a", INTERNET_OPEN_TYPE_DIRECT, nullptr, nullptr, 0);
    ASSERT_NE(root, nullptr);
    // A root handle is not a request or a connection.
    EXPECT_FALSE(InternetReadFile(root, buffer, sizeof(buffer), &n));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    EXPECT_EQ(HttpOpenRequestW(root, u"GET", u"/", nullptr, nullptr, nullptr, 0, 0), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    HINTERNET connect =
        InternetConnectW(root, u"127.0.0.1", 80, nullptr, nullptr, INTERNET_SERVICE_HTTP, 0, 0);
    HINTERNET request = HttpOpenRequestW(connect, u"GET", u"/", nullptr, nullptr, nullptr, 0, 0);
    ASSERT_NE(request, nullptr);
    EXPECT_FALSE(InternetReadFile(request, buffer, sizeof(buffer), &n));  // not sent yet
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INTERNET_INCORRECT_HANDLE_STATE));
    EXPECT_EQ(WinceInternetOpenHandles(), open + 3);
    // Closing the root closes what was opened from it.
    EXPECT_TRUE(InternetCloseHandle(root));
    EXPECT_EQ(WinceInternetOpenHandles(), open);
    EXPECT_FALSE(InternetCloseHandle(root));
    EXPECT_FALSE(HttpSendRequestW(request, nullptr, 0, nullptr, 0));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    EXPECT_FALSE(InternetCloseHandle(connect));
}

std::vector<std::pair<DWORD_PTR, DWORD>> g_statusReports;
void OnStatus(HINTERNET, DWORD_PTR context, DWORD status, LPVOID, DWORD) {
    g_statusReports.emplace_back(context, status);
}

TEST(WinInetHandles, StatusCallbackIsInheritedAndHearsClosing) {
    g_statusReports.clear();
    HINTERNET root = InternetOpenW(u"a", INTERNET_OPEN_TYPE_DIRECT, nullptr, nullptr, 0);
    EXPECT_EQ(InternetSetStatusCallbackW(root, OnStatus), nullptr);
    HINTERNET connect =
        InternetConnectW(root, u"127.0.0.1", 80, nullptr, nullptr, INTERNET_SERVICE_HTTP, 0, 7);
    ASSERT_NE(connect, nullptr);
    EXPECT_TRUE(InternetCloseHandle(root));
    // Only handles with a context report; the root has none.
    EXPECT_EQ(g_statusReports,
              (std::vector<std::pair<DWORD_PTR, DWORD>>{{7, INTERNET_STATUS_HANDLE_CLOSING}}));
    EXPECT_EQ(InternetSetStatusCallbackW(root, OnStatus), INTERNET_INVALID_STATUS_CALLBACK);
}

TEST(WinInetOptions, TimeoutsTakeFourByteValuesOnly) {
    DWORD ms = 1000;
    EXPECT_FALSE(InternetSetOptionW(nullptr, INTERNET_OPTION_DATA_SEND_TIMEOUT, &ms, 2));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INTERNET_BAD_OPTION_LENGTH));
    EXPECT_FALSE(InternetSetOptionW(nullptr, 9999, &ms, sizeof(ms)));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INTERNET_INVALID_OPTION));
    ms = 60000;
    EXPECT_TRUE(InternetSetOptionW(nullptr, INTERNET_OPTION_DATA_SEND_TIMEOUT, &ms, sizeof(ms)));
}

TEST(WinInetConnectTo, ReachesAnotherAddressWithTheUrlUnchanged) {
    RawServer server(Reply("HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok"));
    std::string rule = " , update.example:8580:127.0.0.1:" + std::to_string(server.port());
    ::setenv("WINM_CONNECT_TO", rule.c_str(), 1);
    HINTERNET root = InternetOpenW(u"agent", INTERNET_OPEN_TYPE_DIRECT, nullptr, nullptr, 0);
    HINTERNET request =
        InternetOpenUrlW(root, u"http://update.example:8580/m/path", nullptr, 0, 0, 0);
    ::unsetenv("WINM_CONNECT_TO");
    ASSERT_NE(request, nullptr) << GetLastError();
    std::string body;
    EXPECT_EQ(ReadAll(request, &body), 0u);
    EXPECT_EQ(body, "ok");
    ASSERT_TRUE(server.WaitForConnections(1));
    std::string seen = server.requests().at(0);
    EXPECT_EQ(seen.rfind("GET /m/path HTTP/1.1\r\n", 0), 0u) << seen;
    EXPECT_NE(seen.find("\r\nHost: update.example:8580\r\n"), std::string::npos) << seen;
    InternetCloseHandle(root);
}

TEST(WinInetConnectTo, RulesAreReadStrictly) {
    using wince::net::ParseConnectToRules;
    for (const char* good : {"a.example:80:127.0.0.1:8080", "::127.0.0.1:", ":80::8080",
                             "[::1]:443:[fe80::1]:1", "h_1:65535:h-2:1", " a:1:b:2 , ,c:2:d:3"})
        EXPECT_TRUE(ParseConnectToRules(good)) << good;
    for (const char* bad :
         {"garbage", "127.0.0.1:8580", "a:1:b:2:", "a:1:b", "a:0:b:2", "a:1:b:65536", "a:x:b:2",
          "[::1:80:b:2", "[]:80:b:2", "a b:1:c:2", "a:1:b:2x", "a:+1:b:2"}) {
        std::string rule;
        EXPECT_FALSE(ParseConnectToRules(std::string("a:1:b:2,") + bad, &rule)) << bad;
        EXPECT_EQ(rule, bad);
    }
}

std::vector<std::string> g_warnings;

TEST(WinInetConnectTo, UnreadableRuleFailsTheRequestAndIsQuoted) {
    RawServer server(Reply("HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok"));
    std::string port = std::to_string(server.port());
    HINTERNET root = InternetOpenW(u"agent", INTERNET_OPEN_TYPE_DIRECT, nullptr, nullptr, 0);
    std::u16string url = U(server.url("/"));
    // A rule for another host is not used; a rule that cannot be read fails.
    for (auto [value, bad] : {std::pair<std::string, std::string>{"other.example:80::1", ""},
                              {"garbage", "garbage"},
                              {"127.0.0.1:" + port, "127.0.0.1:" + port},
                              {"127.0.0.1:" + port + ":127.0.0.1:" + port + ",junk", "junk"},
                              {"127.0.0.1:" + port + ":127.0.0.1:notaport",
                               "127.0.0.1:" + port + ":127.0.0.1:notaport"},
                              // Control characters are escaped: the warning stays one line.
                              {"x\n**W: forged\x1b[2J\xc2\x9b", "x\\n**W: forged\\x1b[2J\\x9b"}}) {
        g_warnings.clear();
        WinceSetHostWarningSinkForTesting(
            [](const std::string& line) { g_warnings.push_back(line); });
        ::setenv("WINM_CONNECT_TO", value.c_str(), 1);
        HINTERNET request = InternetOpenUrlW(root, url.c_str(), nullptr, 0, 0, 0);
        ::unsetenv("WINM_CONNECT_TO");
        WinceSetHostWarningSinkForTesting(nullptr);
        EXPECT_EQ(request != nullptr, bad.empty()) << value;
        if (request == nullptr) {
            EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INTERNET_INTERNAL_ERROR)) << value;
            ASSERT_EQ(g_warnings.size(), 1u) << value;
            EXPECT_EQ(
                g_warnings[0].rfind("**W: WINM_CONNECT_TO rule \"" + bad + "\" cannot be read", 0),
                0u)
                << g_warnings[0];
        } else {
            EXPECT_TRUE(g_warnings.empty());
            InternetCloseHandle(request);
        }
    }
    InternetCloseHandle(root);
}

}  // namespace
