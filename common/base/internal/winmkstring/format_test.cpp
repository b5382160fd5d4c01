#include <gtest/gtest.h>

#include <climits>
#include <string>

#include "common/base/internal/winmkstring/kstring.h"
#include "common/base/log.h"

namespace {

// Element by element: WCHAR is wchar_t on Windows.
std::u16string Wide(const KString& s) {
    return std::u16string(s.WideChars(), s.WideChars() + s.Length());
}

TEST(Format, Integers) {
    EXPECT_EQ(u"-5|-2147483648|0", Wide(KString::Format("%d|%d|%d", -5, INT_MIN, 0)));
    EXPECT_EQ(u"4294967295", Wide(KString::Format("%u", 4294967295u)));
    EXPECT_EQ(u"0x00000000 0xffffffff 0x000000ff",
              Wide(KString::Format("%x %x %x", 0u, 0xFFFFFFFFu, 255u)));
    EXPECT_EQ(u"0x0000000000000001", Wide(KString::Format("%X", static_cast<uint64_t>(1))));
    EXPECT_EQ(u"18446744073709551615", Wide(KString::Format("%U", UINT64_MAX)));
    EXPECT_EQ(u"-9223372036854775808", Wide(KString::Format("%D", INT64_MIN)));
    KString hex;
    hex.AppendHex(0xABC, 40);
    EXPECT_EQ(u"0x0000000000000000000000000000000000000abc", Wide(hex));
    KString longer;
    longer.AppendHex(0x123456789, 2);
    EXPECT_EQ(u"0x123456789", Wide(longer));
}

TEST(Format, TextAndOddConversions) {
    KString winm("winm");
    EXPECT_EQ(u"[] [caf\u00E9] [winm]",
              Wide(KString::Format("[%s] [%s] [%S]", static_cast<const char*>(nullptr),
                                   "caf\xC3\xA9", &winm)));
    EXPECT_EQ(u"a\r\nb", Wide(KString::Format("a\nb")));
    EXPECT_EQ(u"d", Wide(KString::Format("%5d")));
    EXPECT_EQ(u"100%", Wide(KString::Format("100%%")));
    EXPECT_EQ(u"end", Wide(KString::Format("end%")));
    EXPECT_EQ(u"%S-%S", Wide(KString::Format("%%S-%%S")));
    KString a("a"), b("b"), c("c");
    EXPECT_EQ(u"a-b-c", Wide(KString::Format("%S-%S-%S", &a, &b, &c)));

    KString shared("x");
    KString copy(shared);
    copy.AppendFormat("");
    EXPECT_EQ(shared.Storage(), copy.Storage());
}

int g_lines = 0;
std::u16string g_last;

void Sink(const KString& line) {
    ++g_lines;
    g_last = Wide(line);
}

TEST(Log, LevelGatesComposition) {
    SetLogSink(Sink);
    g_lines = 0;
    LogLevel = 0;
    // At level 0 the arguments are never read: a bad %S pointer is harmless.
    LogWarning("%S", reinterpret_cast<const KString*>(16));
    LogDebug("%S", reinterpret_cast<const KString*>(16));
    EXPECT_EQ(0, g_lines);

    LogLevel = 1;
    LogWarning("Could not allocate %d bytes for a %s", 12, "Thing");
    EXPECT_EQ(u"**W: Could not allocate 12 bytes for a Thing", g_last);
    LogDebug("ignored");
    EXPECT_EQ(1, g_lines);

    LogLevel = 3;
    LogDebug("RequestAdapter %s %d: start", "Zel", 4);
    EXPECT_EQ(u"  D: RequestAdapter Zel 4: start", g_last);
    EXPECT_EQ(2, g_lines);

    LogLevel = 0;
    SetLogSink(nullptr);
}

std::string g_text;
void TextSink(const char* line) {
    g_text = line;
}

// Quoted text cannot break a line or reach a terminal raw, on either path.
TEST(Log, ControlCharactersBecomeEscapes) {
    SetLogSink(Sink);
    SetLogTextSink(TextSink);
    LogLevel = 3;
    g_lines = 0;
    const KString code(
        "a\n**W: forged\r\t\x1b[31m\x7f\xC2\x85\xC2\xA0"
        "\xC3\xA9\\");
    LogDebug("answered: \"%S\"", &code);
    EXPECT_EQ(1, g_lines);
    EXPECT_EQ(u"  D: answered: \"a\\n**W: forged\\r\\t\\x1b[31m\\x7f\\x85\u00a0\u00e9\\\"", g_last);
    LogWarning("plain %s", "text");
    EXPECT_EQ(u"**W: plain text", g_last);

    LogWarningText("cut: %s", "x\ny\x01\xC2\x9b");
    EXPECT_EQ("**W: cut: x\\ny\\x01\\x9b", g_text);
    const std::string controls(300, '\x1b');
    LogWarningText("%s", controls.c_str());
    EXPECT_EQ(5 + 62 * 4, static_cast<int>(g_text.size()));  // whole escapes only
    EXPECT_EQ(std::string::npos, g_text.find('\x1b'));

    LogLevel = 0;
    SetLogTextSink(nullptr);
    SetLogSink(nullptr);
}

}  // namespace
