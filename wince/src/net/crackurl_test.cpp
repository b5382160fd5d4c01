#include <gtest/gtest.h>

#include <string>

#include "wince/wininet.h"

namespace {

std::u16string Part(const WCHAR* p, DWORD n) {
    return p ? std::u16string(p, n) : u"<null>";
}

URL_COMPONENTSW PointerRequest(bool withExtra = false) {
    URL_COMPONENTSW parts{};
    parts.dwStructSize = sizeof(parts);
    parts.dwHostNameLength = static_cast<DWORD>(-1);
    parts.dwUrlPathLength = static_cast<DWORD>(-1);
    if (withExtra)
        parts.dwExtraInfoLength = static_cast<DWORD>(-1);
    return parts;
}

TEST(CrackUrl, PointsIntoTheCallersUrl) {
    const std::u16string url = u"http://update.example:8080/m/appreq/x?a=1#f";
    URL_COMPONENTSW parts = PointerRequest();
    ASSERT_TRUE(InternetCrackUrlW(url.c_str(), 0, 0, &parts));
    EXPECT_EQ(parts.nScheme, INTERNET_SCHEME_HTTP);
    EXPECT_EQ(parts.nPort, 8080);
    EXPECT_EQ(parts.lpszHostName, url.c_str() + 7);
    EXPECT_EQ(Part(parts.lpszHostName, parts.dwHostNameLength), u"update.example");
    // Without a request for the extra information, the path carries it.
    EXPECT_EQ(Part(parts.lpszUrlPath, parts.dwUrlPathLength), u"/m/appreq/x?a=1#f");
    EXPECT_EQ(parts.lpszScheme, nullptr);  // not asked for
    EXPECT_EQ(parts.dwSchemeLength, 0u);

    parts = PointerRequest(true);
    ASSERT_TRUE(InternetCrackUrlW(url.c_str(), static_cast<DWORD>(url.size()), 0, &parts));
    EXPECT_EQ(Part(parts.lpszUrlPath, parts.dwUrlPathLength), u"/m/appreq/x");
    EXPECT_EQ(Part(parts.lpszExtraInfo, parts.dwExtraInfoLength), u"?a=1#f");
}

TEST(CrackUrl, DefaultPortsEmptyPathsAndUserInfo) {
    struct Case {
        const char16_t* url;
        INTERNET_SCHEME scheme;
        INTERNET_PORT port;
        const char16_t* host;
        const char16_t* path;
    } cases[] = {
        {u"http://h", INTERNET_SCHEME_HTTP, 80, u"h", u""},
        {u"HTTPS://h/p", INTERNET_SCHEME_HTTPS, 443, u"h", u"/p"},
        {u"http://u:pw@h:81/p", INTERNET_SCHEME_HTTP, 81, u"h", u"/p"},
        {u"http://[::1]:8580/m", INTERNET_SCHEME_HTTP, 8580, u"::1", u"/m"},
    };
    for (const Case& c : cases) {
        URL_COMPONENTSW parts = PointerRequest();
        ASSERT_TRUE(InternetCrackUrlW(c.url, 0, 0, &parts)) << std::string(c.url, c.url + 4);
        EXPECT_EQ(parts.nScheme, c.scheme);
        EXPECT_EQ(parts.nPort, c.port);
        EXPECT_EQ(Part(parts.lpszHostName, parts.dwHostNameLength), c.host);
        EXPECT_EQ(Part(parts.lpszUrlPath, parts.dwUrlPathLength), c.path);
    }
}

TEST(CrackUrl, CopiesIntoBuffersAndReportsShortOnes) {
    WCHAR host[5], path[64];
    URL_COMPONENTSW parts{};
    parts.dwStructSize = sizeof(parts);
    parts.lpszHostName = host;
    parts.dwHostNameLength = 5;
    parts.lpszUrlPath = path;
    parts.dwUrlPathLength = 64;
    EXPECT_FALSE(InternetCrackUrlW(u"http://longhost/p", 0, 0, &parts));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
    EXPECT_EQ(parts.dwHostNameLength, 9u);  // characters needed, terminator included
    parts.dwHostNameLength = 5;
    ASSERT_TRUE(InternetCrackUrlW(u"http://host/p", 0, 0, &parts));
    EXPECT_EQ(std::u16string(host), u"host");
    EXPECT_EQ(parts.dwHostNameLength, 4u);
    EXPECT_EQ(std::u16string(path), u"/p");
}

TEST(CrackUrl, RejectsWhatIsNotAUrl) {
    struct Case {
        const char16_t* url;
        DWORD error;
    } cases[] = {
        {u"nourl", ERROR_INTERNET_UNRECOGNIZED_SCHEME},
        {u"gopher://h/", ERROR_INTERNET_UNRECOGNIZED_SCHEME},
        {u"http:/h", ERROR_INTERNET_INVALID_URL},
        {u"http://h:99999/", ERROR_INTERNET_INVALID_URL},
        {u"http://h:8a/", ERROR_INTERNET_INVALID_URL},
        {u"http://:80/", ERROR_INTERNET_INVALID_URL},
        {u"http://[::1/", ERROR_INTERNET_INVALID_URL},
    };
    for (const Case& c : cases) {
        URL_COMPONENTSW parts = PointerRequest();
        EXPECT_FALSE(InternetCrackUrlW(c.url, 0, 0, &parts));
        EXPECT_EQ(GetLastError(), c.error);
    }
    URL_COMPONENTSW wrongSize = PointerRequest();
    wrongSize.dwStructSize = 4;
    EXPECT_FALSE(InternetCrackUrlW(u"http://h/", 0, 0, &wrongSize));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
}

}  // namespace
