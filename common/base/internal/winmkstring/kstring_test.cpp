#include "common/base/internal/winmkstring/kstring.h"

#include <gtest/gtest.h>

#include <string>

#include "common/base/internal/winmkstring/winmkstringstorage.h"
#include "common/base/trackedalloc.h"

namespace {

// Element by element: WCHAR is wchar_t on Windows.
std::u16string Wide(const KString& s) {
    return std::u16string(s.WideChars(), s.WideChars() + s.Length());
}

std::string Utf8(const KString& s) {
    GrowableArray out(1);
    s.ToUtf8(out);
    return std::string(static_cast<const char*>(out.data), static_cast<std::size_t>(out.count));
}

TEST(KString, EmptyValuesShareOneStorage) {
    KString a;
    KString b(nullptr);
    KString c("");
    GrowableArray none(1);
    KString d = KString::FromUtf8Bytes(none);
    EXPECT_EQ(a.Storage(), b.Storage());
    EXPECT_EQ(a.Storage(), c.Storage());
    EXPECT_EQ(a.Storage(), d.Storage());
    EXPECT_EQ(a.Storage(), SharedEmptyStorageForTesting());
    EXPECT_EQ(0, a.Length());
    EXPECT_TRUE(a.IsEmpty());
    EXPECT_EQ(0, a.WideChars()[0]);

    // Wide text always gets a storage of its own.
    KString w = KString::FromWide(nullptr);
    EXPECT_NE(a.Storage(), w.Storage());
    EXPECT_EQ(0, w.Length());
}

TEST(KString, WritingAnUnsharedEmptyStringTakesItOver) {
    KString a;
    KStringStorage* shared = a.Storage();
    ASSERT_EQ(1, shared->refCount.load());  // no other empty string is alive
    a.AppendUtf8("x");
    EXPECT_EQ(shared, a.Storage());
    EXPECT_EQ(nullptr, SharedEmptyStorageForTesting());
    EXPECT_EQ(nullptr, DefaultStorageInstanceForTesting());
    {
        KString next;
        EXPECT_NE(shared, next.Storage());
        KString again;  // the factory hands out its empty storage again
        EXPECT_EQ(next.Storage(), again.Storage());
    }
    KString b;
    KString c(b);
    c.AppendUtf8("y");  // shared: c gets a copy, b keeps the empty storage
    EXPECT_NE(b.Storage(), c.Storage());
    EXPECT_TRUE(b.IsEmpty());
    EXPECT_EQ(u"y", Wide(c));
}

TEST(KString, CopyOnWriteAndSelfAppend) {
    KString a("ab");
    KString b;
    b = a;
    EXPECT_EQ(a.Storage(), b.Storage());
    EXPECT_EQ(2, a.Storage()->refCount.load());
    b.AppendUtf8("c");
    EXPECT_EQ(u"ab", Wide(a));
    EXPECT_EQ(u"abc", Wide(b));
    EXPECT_NE(a.Storage(), b.Storage());

    a.Append(a);
    EXPECT_EQ(u"abab", Wide(a));
    KString sharer(a);
    a.Append(sharer);  // another value on the same storage
    EXPECT_EQ(u"abababab", Wide(a));
    EXPECT_EQ(u"abab", Wide(sharer));

    KString empty;
    empty.Append(b);  // nothing copied: the two share
    EXPECT_EQ(b.Storage(), empty.Storage());
    empty.AppendUtf8("!");
    EXPECT_EQ(u"abc", Wide(b));
    EXPECT_EQ(u"abc!", Wide(empty));

    KString self("s");
    KStringStorage* before = self.Storage();
    const KString& alias = self;  // what a generic caller's a = b can be
    self = alias;
    EXPECT_EQ(before, self.Storage());
    EXPECT_EQ(1, before->refCount.load());

    KString shared(b);
    KStringStorage* s = b.Storage();
    shared.AppendUtf8(nullptr);
    shared.AppendUtf8("");
    EXPECT_EQ(s, shared.Storage());
}

TEST(KString, StoragesAreTrackedAndReleased) {
    int before = LiveBlockCount();
    {
        KString a = KString::FromWide(TEXT("tracked"));
        KString b(a);
        EXPECT_EQ(before + 1, LiveBlockCount());
        EXPECT_STREQ("WinmKStringStorage", TrackedHeaderOf(a.Storage())->className);
        b.AppendUtf8("!");
        EXPECT_EQ(before + 2, LiveBlockCount());
    }
    EXPECT_EQ(before, LiveBlockCount());
}

TEST(KString, FromWideDropsTrailingNulsOnly) {
    const WCHAR abNul[] = {u'a', u'b', 0};
    const WCHAR aNulB[] = {u'a', 0, u'b'};
    EXPECT_EQ(u"ab", Wide(KString::FromWide(abNul, 3)));
    KString embedded = KString::FromWide(aNulB, 3);
    EXPECT_EQ(3, embedded.Length());
    EXPECT_EQ(u'b', embedded.CharAt(2));
    EXPECT_EQ(0, KString::FromWide(TEXT("abc"), -4).Length());
}

TEST(KString, Utf8InAndOut) {
    KString byMinusOne;
    byMinusOne.MakeWritable()->AppendUtf8("h\xC3\xA9", -1);
    KString byCount;
    byCount.MakeWritable()->AppendUtf8("h\xC3\xA9", 3);
    EXPECT_TRUE(byMinusOne.Equals(byCount));
    EXPECT_EQ(u"h\u00E9", Wide(byCount));
    EXPECT_EQ("h\xC3\xA9", Utf8(byCount));

    KString oneNul;
    oneNul.MakeWritable()->AppendUtf8("ab\0", 3);
    EXPECT_EQ(u"ab", Wide(oneNul));
    KString twoNuls;
    twoNuls.MakeWritable()->AppendUtf8("ab\0\0", 4);
    EXPECT_EQ(3, twoNuls.Length());
    twoNuls.AppendUtf8("c");
    EXPECT_EQ(u"abc", Wide(twoNuls));

    GrowableArray bytes = GrowableArray::View("x\xE2\x82\xACy", 5, 1);
    KString decoded = KString::FromUtf8Bytes(bytes);
    EXPECT_EQ(u"x\u20ACy", Wide(decoded));
    EXPECT_EQ(5, static_cast<int>(Utf8(decoded).size()));
    EXPECT_EQ(u"\uFFFD", Wide(KString("\xFF")));  // malformed input is replaced
}

TEST(KString, EqualsComparesEveryCodeUnit) {
    const WCHAR x[] = {u'a', 0, u'x'};
    const WCHAR y[] = {u'a', 0, u'y'};
    EXPECT_FALSE(KString::FromWide(x, 3).Equals(KString::FromWide(y, 3)));
    EXPECT_TRUE(KString::FromWide(x, 3).Equals(KString::FromWide(x, 3)));
    EXPECT_FALSE(KString("a").Equals(KString("ab")));
    EXPECT_FALSE(KString("a").Storage()->Equals(nullptr));
}

TEST(KString, ReadOperations) {
    KString s("Hello");
    EXPECT_EQ(2, s.IndexOf(KString("ll")));
    EXPECT_EQ(-1, s.IndexOf(KString("xyz")));
    EXPECT_EQ(0, s.IndexOf(KString()));
    EXPECT_EQ(4, s.IndexOfChar(u'o'));
    EXPECT_EQ(-1, s.IndexOfChar(u'z'));
    EXPECT_EQ(5, s.IndexOfChar(0));
    EXPECT_EQ(u'H', s.CharAt(0));

    EXPECT_EQ(0, s.CompareIgnoreCase(KString("hELLO")));
    EXPECT_FALSE(s.Equals(KString("hELLO")));
    EXPECT_LT(KString("abc").CompareIgnoreCase(KString("ABCD")), 0);
    EXPECT_GT(KString("b").CompareIgnoreCase(KString("A")), 0);
    EXPECT_EQ(1, s.Storage()->CompareIgnoreCase(nullptr));

    EXPECT_EQ(u"hello", Wide(s.ToLowerCase()));
    EXPECT_EQ(KString().Storage(), KString().ToLowerCase().Storage());

    EXPECT_EQ(u"ell", Wide(s.Substring(1, 4)));
    KString whole = s.Substring(0, 5);
    EXPECT_TRUE(whole.Equals(s));
    EXPECT_NE(whole.Storage(), s.Storage());
    EXPECT_EQ(KString().Storage(), s.Substring(2, 2).Storage());
    EXPECT_EQ(s.Storage(), s.SubstringFrom(0).Storage());
    EXPECT_EQ(KString().Storage(), s.SubstringFrom(5).Storage());
    EXPECT_EQ(u"lo", Wide(s.SubstringFrom(3)));
}

TEST(KString, WriteOperations) {
    KString s("hello");
    WinmKStringStorage* w = static_cast<WinmKStringStorage*>(s.MakeWritable());
    w->Erase(3, 3);
    EXPECT_EQ(u"hello", Wide(s));
    w->Erase(1, 100);
    EXPECT_EQ(u"h", Wide(s));
    w->Insert(1, KString("ey"));
    w->Insert(0, KString(">"));
    EXPECT_EQ(u">hey", Wide(s));
    w->Insert(4, s);  // its own content: inserted from a copy
    EXPECT_EQ(u">hey>hey", Wide(s));
    w->ReplaceChar(u'>', u'<');
    w->ReplaceCodeUnit(u'h', u'H');
    EXPECT_EQ(u"<Hey<Hey", Wide(s));
    w->AppendNewline();
    EXPECT_EQ(u"<Hey<Hey\r\n", Wide(s));
    EXPECT_EQ(0, s.WideChars()[s.Length()]);
}

TEST(KStringDeathTest, OutOfMemoryStopsTheProcess) {
    KString keep("x");
    EXPECT_DEATH(
        {
            SetAllocatorFailureForTesting(true);
            KString copy = KString::FromWide(TEXT("abc"));
        },
        "could not allocate .+ bytes for a WinmKStringStorage");
}

}  // namespace
