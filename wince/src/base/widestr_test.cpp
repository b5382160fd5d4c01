#include "wince.h"

#include <gtest/gtest.h>

#include <string>

namespace {

std::u16string Decode(const std::string& in, DWORD flags = 0, int* error = nullptr) {
    int n = MultiByteToWideChar(CP_UTF8, flags, in.data(), static_cast<int>(in.size()), nullptr, 0);
    if (error)
        *error = n == 0 ? static_cast<int>(GetLastError()) : 0;
    std::u16string out(static_cast<std::size_t>(n), u'\0');
    if (n > 0) {
        EXPECT_EQ(n, MultiByteToWideChar(CP_UTF8, flags, in.data(), static_cast<int>(in.size()),
                                         out.data(), n));
    }
    return out;
}

std::string Encode(const std::u16string& in, DWORD flags = 0) {
    int n = WideCharToMultiByte(CP_UTF8, flags, in.data(), static_cast<int>(in.size()), nullptr, 0,
                                nullptr, nullptr);
    std::string out(static_cast<std::size_t>(n), '\0');
    if (n > 0) {
        EXPECT_EQ(n, WideCharToMultiByte(CP_UTF8, flags, in.data(), static_cast<int>(in.size()),
                                         out.data(), n, nullptr, nullptr));
    }
    return out;
}

TEST(Utf8Conversion, CountsIncludeTerminatorOnlyForMinusOne) {
    EXPECT_EQ(4, MultiByteToWideChar(CP_UTF8, 0, "abc", -1, nullptr, 0));
    EXPECT_EQ(3, MultiByteToWideChar(CP_UTF8, 0, "abc", 3, nullptr, 0));
    WCHAR out[4] = {u'x', u'x', u'x', u'x'};
    EXPECT_EQ(4, MultiByteToWideChar(CP_UTF8, 0, "abc", -1, out, 4));
    EXPECT_EQ(std::u16string(u"abc"), std::u16string(out));
    EXPECT_EQ(4, WideCharToMultiByte(CP_UTF8, 0, u"abc", -1, nullptr, 0, nullptr, nullptr));
}

TEST(Utf8Conversion, RoundTripsEveryLengthOfSequence) {
    const std::string utf8 = "a\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80";  // a, e-acute, euro, emoji
    const std::u16string wide = u"a\u00E9\u20AC\U0001F600";
    EXPECT_EQ(wide, Decode(utf8));
    EXPECT_EQ(utf8, Encode(wide));
    EXPECT_EQ(std::string("\xEF\xBF\xBF", 3), Encode(u"\uFFFF"));
}

TEST(Utf8Conversion, MalformedInputIsReplacedOrRejected) {
    struct Case {
        std::string in;
        std::u16string replaced;
    } cases[] = {
        {"a\x80z", u"a\uFFFDz"},                            // stray continuation byte
        {"\xC0\xAF", u"\uFFFD\uFFFD"},                      // overlong
        {"\xED\xA0\x80", u"\uFFFD\uFFFD\uFFFD"},            // encoded surrogate
        {"\xF4\x90\x80\x80", u"\uFFFD\uFFFD\uFFFD\uFFFD"},  // above U+10FFFF
        {"\xE2\x82", u"\uFFFD"},                            // truncated: one replacement
        {"\xE2\x82z", u"\uFFFDz"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(c.replaced, Decode(c.in)) << c.in.size();
        int error = 0;
        EXPECT_EQ(u"", Decode(c.in, MB_ERR_INVALID_CHARS, &error));
        EXPECT_EQ(ERROR_NO_UNICODE_TRANSLATION, error);
    }
    // Lone surrogates on the way out.
    EXPECT_EQ("a\xEF\xBF\xBD", Encode(std::u16string(u"a") + char16_t(0xD800)));
    std::u16string lone = {char16_t(0xDC00)};
    EXPECT_EQ(0, WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, lone.data(), 1, nullptr, 0,
                                     nullptr, nullptr));
    EXPECT_EQ(static_cast<DWORD>(ERROR_NO_UNICODE_TRANSLATION), GetLastError());
}

TEST(Utf8Conversion, TooSmallOutputAndBadArguments) {
    WCHAR w[2];
    EXPECT_EQ(0, MultiByteToWideChar(CP_UTF8, 0, "abc", 3, w, 2));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER), GetLastError());
    char b[3];
    EXPECT_EQ(0, WideCharToMultiByte(CP_UTF8, 0, u"\u20AC", 1, b, 2, nullptr, nullptr));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER), GetLastError());

    EXPECT_EQ(0, MultiByteToWideChar(CP_UTF8, 0, "abc", 0, nullptr, 0));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER), GetLastError());
    EXPECT_EQ(0, MultiByteToWideChar(CP_UTF8, 0, nullptr, 3, nullptr, 0));
    EXPECT_EQ(0, MultiByteToWideChar(1252, 0, "abc", 3, nullptr, 0));
    EXPECT_EQ(0, MultiByteToWideChar(CP_UTF8, 0, "abc", 3, w, -1));
    BOOL used = FALSE;
    EXPECT_EQ(0, WideCharToMultiByte(CP_UTF8, 0, u"a", 1, nullptr, 0, nullptr, &used));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER), GetLastError());
}

TEST(WideStrings, ComparisonAndSearch) {
    EXPECT_EQ(3u, wcslen(u"abc"));
    EXPECT_EQ(0u, wcslen(u""));
    EXPECT_LT(wcscmp(u"abc", u"abd"), 0);
    EXPECT_GT(wcscmp(u"ab", u"a"), 0);
    EXPECT_GT(wcscmp(u"\uFFFF", u"a"), 0);  // unsigned code units
    EXPECT_EQ(0, wcsncmp(u"abcX", u"abcY", 3));
    EXPECT_EQ(0, _wcsicmp(u"HeLLo \u00C9", u"hello \u00E9"));
    EXPECT_LT(_wcsicmp(u"apple", u"BANANA"), 0);
    EXPECT_EQ(0, _wcsnicmp(u"ABCdef", u"abcXYZ", 3));
    EXPECT_NE(0, _wcsnicmp(u"ABCdef", u"abcXYZ", 4));

    const WCHAR* s = u"hello world";
    EXPECT_EQ(s + 4, wcschr(s, u'o'));
    EXPECT_EQ(s + 11, wcschr(s, u'\0'));
    EXPECT_EQ(nullptr, wcschr(s, u'z'));
    EXPECT_EQ(s + 7, wcsrchr(s, u'o'));
    EXPECT_EQ(s + 6, wcsstr(s, u"world"));
    EXPECT_EQ(s, wcsstr(s, u""));
    EXPECT_EQ(nullptr, wcsstr(s, u"worlds"));
}

TEST(WideStrings, CopyAndCaseMapping) {
    WCHAR buf[8];
    EXPECT_EQ(std::u16string(u"abc"), std::u16string(wcscpy(buf, u"abc")));
    wcscat(buf, u"de");
    EXPECT_EQ(std::u16string(u"abcde"), std::u16string(buf));
    WCHAR pad[6] = {u'x', u'x', u'x', u'x', u'x', u'x'};
    wcsncpy(pad, u"ab", 5);
    EXPECT_EQ(u'b', pad[1]);
    EXPECT_EQ(0, pad[2]);
    EXPECT_EQ(0, pad[4]);
    EXPECT_EQ(u'x', pad[5]);

    WCHAR text[] = u"Mixed \u00C0\u00D7\u00FF\u0178 \u0416";
    EXPECT_EQ(std::u16string(u"mixed \u00E0\u00D7\u00FF\u00FF \u0416"),
              std::u16string(_wcslwr(text)));
    EXPECT_EQ(std::u16string(u"MIXED \u00C0\u00D7\u0178\u0178 \u0416"),
              std::u16string(_wcsupr(text)));
    EXPECT_EQ(u'a', towlower(u'A'));
    EXPECT_EQ(u'Z', towupper(u'z'));
    EXPECT_EQ(u'1', towupper(u'1'));
}

}  // namespace
