#include "common/net/winm/internal/winmhttprequest.h"

#include <gtest/gtest.h>

#include "common/net/winm/internal/testing/httptestsupport.h"
#ifndef _WIN32
#include "wince/testing/kernel.h"
#endif

namespace {

using winmtest::Connection;
using winmtest::Exchange;
using winmtest::LoopbackServer;
using winmtest::Response;

const auto* const kEnvironment =
    ::testing::AddGlobalTestEnvironment(new winmtest::PlatformEnvironment);

class HttpRequestTest : public winmtest::HttpFixture {};

TEST_F(HttpRequestTest, PostDeliversTheAnswerWithDataBeforeCompletion) {
    LoopbackServer server(
        [](Connection& c) { c.Send(Response(200, "answer-bytes", "X-Time: 12:00:00\r\n")); });
    Exchange e(std::string("\x00\x01\x02 binary \xff", 13));
    ASSERT_NE(e.Post(factory, server.Url()), nullptr);
    GrowableArray name(1), value(1);
    winmtest::SetBytes(name, "X-Client");
    winmtest::SetBytes(value, "one");
    e.request->AddHeader(name, value);
    winmtest::SetBytes(name, "X-Other");
    winmtest::SetBytes(value, "two");
    e.request->AddHeader(name, value);
    EXPECT_EQ(e.request->GetStatusCode(), 0);
    e.request->Start(&e);
    ASSERT_TRUE(Run(e));

    EXPECT_EQ(e.completes, 1);
    EXPECT_EQ(e.Body(), "answer-bytes");
    ASSERT_FALSE(e.sizesAtData.empty());
    EXPECT_EQ(e.sizesAtData.back(), 12);
    EXPECT_EQ(e.status, 200);
    ASSERT_GE(e.headers.size(), 3u);
    EXPECT_EQ(e.headers.front().first, "HTTP/1.1 200 OK\r\n");
    EXPECT_EQ(e.headers.back().first, "\r\n");
    bool sawTime = false;
    for (auto& [n, v] : e.headers)
        sawTime |= n == "X-Time" && v == "12:00:00";
    EXPECT_TRUE(sawTime);

    auto requests = server.Requests();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].method, "POST");
    EXPECT_EQ(requests[0].path, "/m/appreq/mobilesearchapp");
    EXPECT_EQ(requests[0].body, e.requestText);
    EXPECT_EQ(requests[0].headers["user-agent"], "WINM-TEST-USER-AGENT");
    EXPECT_EQ(requests[0].headers["x-client"], "one");
    EXPECT_EQ(requests[0].headers["x-other"], "two");
}

TEST_F(HttpRequestTest, GetFetchesTheUrl) {
    LoopbackServer server([](Connection& c) { c.Send(Response(200, "got " + c.request.path)); });
    Exchange e;
    ASSERT_NE(e.Get(factory, server.Url("/some/path")), nullptr);
    e.request->Start(&e);
    ASSERT_TRUE(Run(e));
    EXPECT_EQ(e.completes, 1);
    EXPECT_EQ(e.Body(), "got /some/path");
    EXPECT_EQ(server.Requests().at(0).method, "GET");
}

TEST_F(HttpRequestTest, ResponseIsAppendedAfterWhatTheBodyAlreadyHolds) {
    LoopbackServer server([](Connection& c) { c.Send(Response(200, "tail")); });
    Exchange e;
    winmtest::SetBytes(e.responseBody, "head-");
    e.Post(factory, server.Url());
    e.request->Start(&e);
    ASSERT_TRUE(Run(e));
    EXPECT_EQ(e.Body(), "head-tail");
}

TEST_F(HttpRequestTest, ErrorStatusWithABodyIsReadThenFails) {
    LoopbackServer server([](Connection& c) { c.Send(Response(404, "not here")); });
    Exchange e;
    e.Post(factory, server.Url());
    e.request->Start(&e);
    ASSERT_TRUE(Run(e));
    EXPECT_EQ(e.fails, 1);
    EXPECT_EQ(e.status, 404);
    EXPECT_EQ(e.Body(), "not here");
    EXPECT_FALSE(e.sizesAtData.empty());
    EXPECT_EQ(e.error.code, 0);
    EXPECT_EQ(e.ErrorText(), "wininetReadError [0]");
}

TEST_F(HttpRequestTest, RedirectStatusCountsAsSuccessAndIsNotFollowed) {
    LoopbackServer target([](Connection& c) { c.Send(Response(200, "followed")); });
    const std::string location = "Location: " + target.Url() + "\r\n";
    LoopbackServer server([&](Connection& c) { c.Send(Response(302, "moved", location)); });
    Exchange e;
    e.Post(factory, server.Url());
    e.request->Start(&e);
    ASSERT_TRUE(Run(e));
    EXPECT_EQ(e.completes, 1);
    EXPECT_EQ(e.status, 302);
    EXPECT_EQ(e.Body(), "moved");
    EXPECT_TRUE(target.Requests().empty());
}

TEST_F(HttpRequestTest, BodyShorterThanItsContentLengthFails) {
    // Chunked framing ends the body cleanly after 90 bytes while the header
    // still announces 100: only the length check can catch it.
    LoopbackServer server([](Connection& c) {
        std::string body(90, 'b');
        c.Send(
            "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\nContent-Length: 100\r\n"
            "Connection: close\r\n\r\n5a\r\n" +
            body + "\r\n0\r\n\r\n");
    });
    Exchange e;
    e.Post(factory, server.Url());
    e.request->Start(&e);
    ASSERT_TRUE(Run(e));
    EXPECT_EQ(e.fails, 1);
    EXPECT_EQ(e.Body(), std::string(90, 'b'));
    EXPECT_EQ(e.error.code, 0);
    EXPECT_EQ(e.ErrorText(), "wininetReadError [0]");
}

TEST_F(HttpRequestTest, ConnectionClosedBeforeTheAnnouncedLengthFails) {
    LoopbackServer server([](Connection& c) {
        c.Send("HTTP/1.1 200 OK\r\nContent-Length: 100\r\n\r\n" + std::string(90, 'c'));
    });
    Exchange e;
    e.Post(factory, server.Url());
    e.request->Start(&e);
    ASSERT_TRUE(Run(e));
    EXPECT_EQ(e.fails, 1);
    EXPECT_EQ(e.Body(), std::string(90, 'c'));
    EXPECT_EQ(e.error.code, 0);
    EXPECT_EQ(e.ErrorText().rfind("wininetReadError [", 0), 0u) << e.ErrorText();
}

TEST_F(HttpRequestTest, LargeBodyWithoutLengthArrivesInPiecesAndInOrder) {
    std::string body;
    for (int i = 0; i < 20000; ++i)
        body += static_cast<char>('a' + i % 26);
    LoopbackServer server([&](Connection& c) {
        c.Send("HTTP/1.1 200 OK\r\nConnection: close\r\n\r\n");
        for (size_t at = 0; at < body.size(); at += 3000)
            c.Send(body.substr(at, 3000));
    });
    Exchange e;
    e.Post(factory, server.Url());
    e.request->Start(&e);
    ASSERT_TRUE(Run(e));
    EXPECT_EQ(e.completes, 1);
    EXPECT_EQ(e.Body(), body);
    ASSERT_FALSE(e.sizesAtData.empty());
    // At least three reads of at most 8,192 bytes, each handed over; several
    // may arrive in one event.
    for (size_t i = 1; i < e.sizesAtData.size(); ++i)
        EXPECT_GT(e.sizesAtData[i], e.sizesAtData[i - 1]);
    EXPECT_EQ(e.sizesAtData.back(), 20000);
}

TEST_F(HttpRequestTest, AbsurdContentLengthReservesLittleAndFails) {
    LoopbackServer server([](Connection& c) {
        c.Send("HTTP/1.1 200 OK\r\nContent-Length: 4000000000\r\n\r\n0123456789");
    });
    Exchange e;
    e.Post(factory, server.Url());
    e.request->Start(&e);
    ASSERT_TRUE(Run(e));
    EXPECT_EQ(e.fails, 1);
    EXPECT_EQ(e.Body(), "0123456789");
    EXPECT_LE(e.responseBody.capacity, WinmHttpRequest::kMaxReserve);
    EXPECT_EQ(e.error.code, 0);
}

TEST_F(HttpRequestTest, EndlessBodyIsCutOffAtTheLimit) {
    LoopbackServer server([](Connection& c) {
        c.Send("HTTP/1.1 200 OK\r\nConnection: close\r\n\r\n");
        std::string piece(1 << 20, 'e');
        for (int i = 0; i <= WinmHttpRequest::kMaxResponseBytes / (1 << 20); ++i) {
            if (!c.Send(piece))
                return;
        }
    });
    Exchange e;
    e.Post(factory, server.Url());
    e.request->Start(&e);
    ASSERT_TRUE(Run(e));
    EXPECT_EQ(e.fails, 1);
    EXPECT_LE(e.responseBody.count, WinmHttpRequest::kMaxResponseBytes);
    EXPECT_EQ(e.error.code, 0);
    EXPECT_EQ(e.ErrorText(), "wininetReadError [8]");
}

TEST_F(HttpRequestTest, RefusedConnectionFailsWithoutStatus) {
    int port = winmtest::FreeLoopbackPort();
    Exchange e;
    e.Post(factory, "http://127.0.0.1:" + std::to_string(port) + "/x");
    e.request->Start(&e);
    ASSERT_TRUE(Run(e));
    EXPECT_EQ(e.fails, 1);
    EXPECT_EQ(e.status, 0);
    EXPECT_EQ(e.error.code, 0);
    EXPECT_EQ(e.ErrorText(), "wininetHttpError [0 12029]");
}

TEST_F(HttpRequestTest, UnresolvableHostFailsWithCode2) {
    Exchange e;
    e.Post(factory, "http://no-such-host.invalid/x");
    e.request->Start(&e);
    ASSERT_TRUE(Run(e));
    EXPECT_EQ(e.fails, 1);
    EXPECT_EQ(e.error.code, 2);
    EXPECT_EQ(e.ErrorText(), "wininetHttpError [0 12007]");
}

TEST_F(HttpRequestTest, PeerResetDuringTheBodyFails) {
    LoopbackServer server([](Connection& c) {
        c.Send("HTTP/1.1 200 OK\r\nContent-Length: 5000\r\n\r\n" + std::string(100, 'r'));
        c.Reset();
    });
    Exchange e;
    e.Post(factory, server.Url());
    e.request->Start(&e);
    ASSERT_TRUE(Run(e));
    EXPECT_EQ(e.fails, 1);
    EXPECT_EQ(e.error.code, 0);
    EXPECT_EQ(e.ErrorText().rfind("wininetReadError [", 0), 0u) << e.ErrorText();
}

TEST_F(HttpRequestTest, SecondStartReplacesTheRequesterAndStartsNothing) {
    LoopbackServer server([](Connection& c) { c.Send(Response(200, "once")); });
    Exchange first;
    Exchange second;
    first.Post(factory, server.Url());
    second.request = first.request;
    first.request->Start(&first);
    first.request->Start(&second);
    first.request = nullptr;
    ASSERT_TRUE(Run(second));
    EXPECT_EQ(second.completes, 1);
    EXPECT_FALSE(first.Done());
    EXPECT_TRUE(first.sizesAtData.empty());
    EXPECT_EQ(server.Connections(), 1);
    // The second requester's own body was not used; the first one's was.
    EXPECT_EQ(first.Body(), "once");
}

TEST_F(HttpRequestTest, UrlParts) {
    Exchange a;
    Exchange b;
    a.Post(factory, "http://example.test:8080/a/b?q=1");
    b.Post(factory, "http://example.test/c");
    auto* ra = static_cast<WinmHttpRequest*>(a.request);
    auto* rb = static_cast<WinmHttpRequest*>(b.request);
    EXPECT_EQ(ra->GetPort(), 8080);
    EXPECT_EQ(winmtest::ToStd(ra->GetHost()), "example.test");
    EXPECT_EQ(rb->GetPort(), 80);
    EXPECT_EQ(winmtest::ToStd(rb->GetPath()), "/c");
    EXPECT_FALSE(ra->IsSecure());
    // https: TLS, on 443 unless the URL names a port.
    for (const auto& [url, port] : {std::pair<const char*, int>{"https://example.test/d", 443},
                                    {"https://example.test:8443/d", 8443}}) {
        Exchange c;
        c.Post(factory, url);
        auto* rc = static_cast<WinmHttpRequest*>(c.request);
        EXPECT_TRUE(rc->IsSecure()) << url;
        EXPECT_EQ(rc->GetPort(), port) << url;
    }
}

TEST_F(HttpRequestTest, HeaderLinesAreJoinedWithoutATrailingLineEnd) {
    Exchange e;
    e.Post(factory, "http://example.test/");
    GrowableArray empty(1), x(1), name(1);
    winmtest::SetBytes(x, "x");
    winmtest::SetBytes(name, "N");
    e.request->AddHeader(empty, x);
    e.request->AddHeader(name, empty);
    auto* r = static_cast<WinmHttpRequest*>(e.request);
    EXPECT_EQ(winmtest::ToStd(r->GetExtraHeaders()), ": x\r\nN: ");
}

// Only the host layer can be made to fail CreateThread on purpose.
#ifndef _WIN32
TEST_F(HttpRequestTest, FailedWorkerCreationIsReportedOnTheWindowThread) {
    Exchange e;
    e.Post(factory, "http://127.0.0.1:1/");
    WinceKernelFailThreadCreation(1);
    e.request->Start(&e);
    WinceKernelFailThreadCreation(0);
    EXPECT_FALSE(e.Done());  // never from inside Start
    ASSERT_TRUE(Run(e));
    EXPECT_EQ(e.fails, 1);
    EXPECT_EQ(e.error.code, 2);
    EXPECT_EQ(e.ErrorText(), "threadError [8]");
}
#endif

// The platform table with chosen entries missing.
class MissingEntryTest : public HttpRequestTest {
  protected:
    void SetUp() override {
        saved = *g_winmLib;
        HttpRequestTest::SetUp();
    }
    void TearDown() override {
        HttpRequestTest::TearDown();
        *g_winmLib = saved;
    }
    WinmLib saved;
};

TEST_F(MissingEntryTest, MissingConnectionManagerMeansNoDataConnection) {
    g_winmLib->ConnMgrEstablishConnectionSync = nullptr;
    Exchange e;
    e.Post(factory, "http://127.0.0.1:1/");
    e.request->Start(&e);
    ASSERT_TRUE(Run(e));
    EXPECT_EQ(e.fails, 1);
    EXPECT_EQ(e.error.code, 2);
    EXPECT_EQ(e.ErrorText(), "connectError [127]");
#ifndef _WIN32
    EXPECT_EQ(WinceConnMgrGetCounters().attempts, 0);  // the host layer counts attempts
#endif
}

TEST_F(MissingEntryTest, MissingInternetFunctionFailsLikeAnExchangeWithoutStatus) {
    g_winmLib->InternetReadFile = nullptr;
    Exchange e;
    e.Post(factory, "http://127.0.0.1:1/");
    e.request->Start(&e);
    ASSERT_TRUE(Run(e));
    EXPECT_EQ(e.fails, 1);
    EXPECT_EQ(e.error.code, 2);
    EXPECT_EQ(e.ErrorText(), "wininetHttpError [0 127]");
}

TEST_F(MissingEntryTest, NoTableAtAll) {
    WinmLib* table = g_winmLib;
    Exchange e;
    e.Post(factory, "http://127.0.0.1:1/");
    g_winmLib = nullptr;
    e.request->Start(&e);
    bool ran = Run(e);
    g_winmLib = table;
    ASSERT_TRUE(ran);
    EXPECT_EQ(e.error.code, 2);
    EXPECT_EQ(e.ErrorText(), "connectError [127]");
}

}  // namespace
