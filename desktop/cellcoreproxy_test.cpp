#include "desktop/cellcoreproxy.h"

#include <gtest/gtest.h>

#include <cwchar>
#include <string>

namespace {

// The server a ProxyServer value names for plain HTTP, or "<none>".
std::wstring Server(const wchar_t* value, bool secure = false) {
    WCHAR server[CMPROXY_PROXYSERVER_MAXSIZE];
    if (!HttpProxyFromSetting(value, std::wcslen(value), server, CMPROXY_PROXYSERVER_MAXSIZE,
                              secure))
        return L"<none>";
    return server;
}

TEST(CellcoreProxy, TheHttpServerOfAWinInetProxySetting) {
    EXPECT_EQ(Server(L"127.0.0.1:3128"), L"127.0.0.1:3128");
    EXPECT_EQ(Server(L" proxy.example:8080 "), L"proxy.example:8080");
    EXPECT_EQ(Server(L"http://proxy.example:8080/"), L"proxy.example:8080");
    EXPECT_EQ(Server(L"proxy.example"), L"proxy.example");
    EXPECT_EQ(Server(L"[::1]:3128"), L"[::1]:3128");
    // A list: the http= entry, wherever it stands; no entry for HTTP: none.
    EXPECT_EQ(Server(L"https=a:1;HTTP=b:2;ftp=c:3"), L"b:2");
    EXPECT_EQ(Server(L"https=a:1;socks=c:3"), L"<none>");
    // An HTTPS endpoint: the https= entry first, else the http= or bare one.
    EXPECT_EQ(Server(L"http=b:2;https=a:1", true), L"a:1");
    EXPECT_EQ(Server(L"https=a:1;HTTP=b:2", true), L"a:1");
    EXPECT_EQ(Server(L"http=b:2;ftp=c:3", true), L"b:2");
    EXPECT_EQ(Server(L"c:3", true), L"c:3");
    EXPECT_EQ(Server(L"https=:1", true), L"<none>");

    // Malformed: no proxy rather than a guess.
    for (const wchar_t* bad :
         {L"", L";", L"http=", L"http=:80", L"host:0", L"host:65536", L"host:80x", L"host:123456",
          L"ho st:80", L"[::1", L"[]:80", L"host:", L"user@host:80"}) {
        EXPECT_EQ(Server(bad), L"<none>") << bad;
    }
    WCHAR small[8];
    EXPECT_FALSE(HttpProxyFromSetting(L"proxy.example:8080", 18, small, 8));
    EXPECT_EQ(small[0], 0);
}

}  // namespace
