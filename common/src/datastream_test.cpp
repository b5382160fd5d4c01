#include "common/src/datastream.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>

#include "common/src/neskstream.h"
#include "common/src/protocoltestsupport.h"

using protocoltest::Bytes;
using protocoltest::ToBytes;
using protocoltest::Utf8;
using ::testing::ElementsAre;

namespace {

Bytes Varint(uint32_t v) {
    GrowableArray a(1);
    EncodeVarint(v, a);
    return ToBytes(a);
}

GrowableArray ViewOf(const Bytes& b) {
    return GrowableArray::View(b.data(), static_cast<int>(b.size()), 1);
}

TEST(EncodeVarint, GroupsOfSevenBitsLowFirst) {
    EXPECT_THAT(Varint(0), ElementsAre(0x00));
    EXPECT_THAT(Varint(127), ElementsAre(0x7F));
    EXPECT_THAT(Varint(128), ElementsAre(0x80, 0x01));
    EXPECT_THAT(Varint(300), ElementsAre(0xAC, 0x02));
    EXPECT_THAT(Varint(16383), ElementsAre(0xFF, 0x7F));
    EXPECT_THAT(Varint(16384), ElementsAre(0x80, 0x80, 0x01));
    EXPECT_THAT(Varint(0xFFFFFFFFu), ElementsAre(0xFF, 0xFF, 0xFF, 0xFF, 0x0F));
    // The array is emptied first.
    GrowableArray a(1);
    EncodeVarint(0xFFFFFFFFu, a);
    EncodeVarint(1, a);
    EXPECT_THAT(ToBytes(a), ElementsAre(0x01));
}

TEST(DataOutputStream, PrimitivesAreBigEndian) {
    GrowableArray out(1);
    DataOutputStream s(&out);
    s.WriteByte(0xAB);
    s.WriteShort(0x12345678);  // only the low 16 bits
    s.WriteLong(0x0102030405060708ull);
    s.WriteRawString("h\xC3\xA9");
    s.WriteString("ab");
    s.WriteString("");
    EXPECT_THAT(ToBytes(out), ElementsAre(0xAB, 0x56, 0x78, 1, 2, 3, 4, 5, 6, 7, 8, 'h', 0xC3, 0xA9,
                                          0, 2, 'a', 'b', 0, 0));
    EXPECT_FALSE(s.HasError());
}

TEST(DataOutputStream, StringLongerThanItsLengthFieldIsRefused) {
    std::string max(65535, 'x');
    GrowableArray out(1);
    DataOutputStream s(&out);
    s.WriteString(KString(max.c_str()));
    EXPECT_FALSE(s.HasError());
    EXPECT_EQ(out.count, 65537);
    EXPECT_EQ(out.Bytes()[0], 0xFF);
    EXPECT_EQ(out.Bytes()[1], 0xFF);

    std::string tooLong(65536, 'x');
    GrowableArray out2(1);
    DataOutputStream s2(&out2);
    s2.WriteString(KString(tooLong.c_str()));
    EXPECT_TRUE(s2.HasError());
    EXPECT_EQ(out2.count, 0);  // no wrapped length, no bytes
    s2.WriteShort(1);
    EXPECT_TRUE(s2.HasError());  // sticky
}

TEST(NeskRequestBuilder, FixedLengthBlocksCountTheirContent) {
    GrowableArray out(1);
    NeskRequestBuilder b(&out);
    b.BeginBlock32();
    b.WriteShort(1);
    b.BeginBlock16();
    b.WriteRawString("abc");
    b.EndBlock();
    b.EndBlock();
    EXPECT_TRUE(b.IsComplete());
    EXPECT_THAT(ToBytes(out), ElementsAre(0, 0, 0, 7, 0, 1, 0, 3, 'a', 'b', 'c'));
}

TEST(NeskRequestBuilder, StringFieldsAndVarintLengthsAcrossOneByte) {
    GrowableArray out(1);
    NeskRequestBuilder b(&out);
    b.WriteStringField(0x12, "");
    EXPECT_THAT(ToBytes(out), ElementsAre(0x12, 0x00));

    for (int n : {127, 128, 300, 16384}) {
        GrowableArray o(1);
        NeskRequestBuilder bb(&o);
        bb.WriteByte(0xEE);  // something before the block
        std::string text(n, 'q');
        bb.WriteStringField(0x0A, KString(text.c_str()));
        bb.WriteByte(0xDD);  // and after it
        ASSERT_TRUE(bb.IsComplete());
        Bytes got = ToBytes(o);
        Bytes want{0xEE, 0x0A};
        Bytes len = Varint(static_cast<uint32_t>(n));
        want.insert(want.end(), len.begin(), len.end());
        want.insert(want.end(), text.begin(), text.end());
        want.push_back(0xDD);
        EXPECT_EQ(got, want) << n;
    }
}

TEST(NeskRequestBuilder, InnerVarintGrowthIsCountedInOuterBlocks) {
    // Inner content 126 + 2 header bytes = 128 for the outer: the outer
    // needs two bytes only because the inner length itself grew.
    for (int inner : {125, 126, 127, 128}) {
        GrowableArray o(1);
        NeskRequestBuilder b(&o);
        b.BeginBlock32();
        b.BeginVarintBlock(0x0A);
        std::string text(inner, 'z');
        b.WriteStringField(0x12, KString(text.c_str()));
        b.EndBlock();
        b.EndBlock();
        ASSERT_TRUE(b.IsComplete());
        const int innerLenBytes = inner > 127 ? 2 : 1;
        const uint32_t outer = static_cast<uint32_t>(1 + innerLenBytes + inner);
        Bytes want;
        protocoltest::PutInt(want, static_cast<uint32_t>(1 + Varint(outer).size() + outer));
        want.push_back(0x0A);
        Bytes ol = Varint(outer);
        want.insert(want.end(), ol.begin(), ol.end());
        want.push_back(0x12);
        Bytes il = Varint(static_cast<uint32_t>(inner));
        want.insert(want.end(), il.begin(), il.end());
        want.insert(want.end(), text.begin(), text.end());
        EXPECT_EQ(ToBytes(o), want) << inner;

        // And the parser reads the nesting back.
        GrowableArray view = GrowableArray::View(o.data, o.count, 1);
        DataInputStream r(&view);
        EXPECT_EQ(r.ReadInt(), static_cast<uint32_t>(o.count - 4));
        EXPECT_EQ(r.ReadByte(), 0x0A);
        GrowableArray nested = r.ReadBytes(r.ReadVarint());
        EXPECT_TRUE(r.AtEnd());
        DataInputStream n(&nested);
        EXPECT_EQ(n.ReadByte(), 0x12);
        EXPECT_EQ(Utf8(n.ReadVarintString()), text);
        EXPECT_TRUE(n.AtEnd());
        EXPECT_FALSE(n.HasError());
    }
}

TEST(NeskRequestBuilder, UnsoundBodiesAreFlagged) {
    GrowableArray o(1);
    NeskRequestBuilder unbalanced(&o);
    unbalanced.BeginBlock32();
    EXPECT_FALSE(unbalanced.IsComplete());  // still open

    GrowableArray o2(1);
    NeskRequestBuilder extra(&o2);
    extra.EndBlock();  // nothing open
    EXPECT_TRUE(extra.HasError());

    GrowableArray o3(1);
    NeskRequestBuilder big(&o3);
    big.BeginBlock16();
    std::string text(65536, 'b');
    big.WriteRawString(KString(text.c_str()));
    big.EndBlock();
    EXPECT_TRUE(big.HasError());
}

TEST(DataInputStream, ShortReadsYieldZeroAndStickyError) {
    Bytes one{0x12};
    GrowableArray v = ViewOf(one);
    DataInputStream s(&v);
    EXPECT_EQ(s.ReadShort(), 0x1200);
    EXPECT_TRUE(s.HasError());
    EXPECT_TRUE(s.AtEnd());

    Bytes three{1, 2, 3};
    GrowableArray v3 = ViewOf(three);
    DataInputStream i(&v3);
    EXPECT_EQ(i.ReadInt(), 0x01020300u);
    EXPECT_TRUE(i.HasError());

    Bytes none;
    GrowableArray v0 = ViewOf(none);
    DataInputStream e(&v0);
    EXPECT_EQ(e.ReadByte(), 0);
    EXPECT_TRUE(e.HasError());

    // Once set, the flag stays, and even well-formed data reads as empty.
    Bytes str{0, 2, 'h', 'i'};
    GrowableArray vs = ViewOf(str);
    DataInputStream sticky(&vs);
    sticky.ReadBytes(5);
    EXPECT_TRUE(sticky.HasError());
    EXPECT_TRUE(sticky.AtEnd());
    EXPECT_EQ(sticky.ReadBytes(0).count, 0);
    EXPECT_TRUE(sticky.ReadString().IsEmpty());
    EXPECT_TRUE(sticky.HasError());
}

TEST(DataInputStream, EveryTruncationOfAStringFieldFailsCleanly) {
    const Bytes full{0x00, 0x05, 'h', 'e', 'l', 'l', 'o'};
    for (size_t cut = 0; cut < full.size(); ++cut) {
        Bytes part(full.begin(), full.begin() + static_cast<long>(cut));
        GrowableArray v = ViewOf(part);
        DataInputStream s(&v);
        EXPECT_TRUE(s.ReadString().IsEmpty()) << cut;
        EXPECT_TRUE(s.HasError()) << cut;
        EXPECT_TRUE(s.AtEnd()) << cut;
    }
    GrowableArray v = ViewOf(full);
    DataInputStream s(&v);
    EXPECT_EQ(Utf8(s.ReadString()), "hello");
    EXPECT_FALSE(s.HasError());
}

TEST(DataInputStream, LengthsPastTheDataNeverReachBeyondIt) {
    // A field claims 0xFFFFFFFF bytes (negative as a signed count).
    Bytes b{0xFF, 0xFF, 0xFF, 0xFF, 0x0F, 'a', 'b'};
    GrowableArray v = ViewOf(b);
    DataInputStream s(&v);
    GrowableArray got = s.ReadBytes(s.ReadVarint());
    EXPECT_EQ(got.count, 0);
    EXPECT_EQ(got.capacity, 0);
    EXPECT_TRUE(s.HasError());
    EXPECT_TRUE(s.AtEnd());

    Bytes c{0x03, 'a', 'b'};
    GrowableArray vc = ViewOf(c);
    DataInputStream t(&vc);
    EXPECT_TRUE(t.ReadVarintString().IsEmpty());
    EXPECT_TRUE(t.HasError());
}

TEST(DataInputStream, ReadBytesIsAViewIntoTheSource) {
    Bytes b{1, 2, 3, 4};
    GrowableArray v = ViewOf(b);
    DataInputStream s(&v);
    s.ReadByte();
    GrowableArray got = s.ReadBytes(2);
    EXPECT_EQ(got.data, b.data() + 1);
    EXPECT_EQ(got.capacity, 0);
    EXPECT_EQ(got.count, 2);
    EXPECT_EQ(s.Position(), 3);
    EXPECT_EQ(s.ReadBytes(0).count, 0);
    s.ReadByte();
    EXPECT_EQ(s.ReadBytes(0).count, 0);  // at the end, still no error
    EXPECT_FALSE(s.HasError());
}

TEST(DataInputStream, Varints) {
    struct Case {
        Bytes bytes;
        uint32_t value;
        bool error;
        int position;
    };
    const Case cases[] = {
        {{0x00}, 0, false, 1},
        {{0xAC, 0x02, 0x99}, 300, false, 2},
        {{0xFF, 0xFF, 0xFF, 0xFF, 0x7F}, 0xFFFFFFFFu, false, 5},        // high bits dropped
        {{0x80, 0x80}, 0, true, 2},                                     // ends mid-varint
        {{0x81, 0x81, 0x81, 0x81, 0x81, 0x01}, 0x10204081u, false, 5},  // stops at five
        {{}, 0, false, 0},  // nothing left: zero, no error
    };
    for (const Case& c : cases) {
        GrowableArray v = ViewOf(c.bytes);
        DataInputStream s(&v);
        EXPECT_EQ(s.ReadVarint(), c.value);
        EXPECT_EQ(s.HasError(), c.error);
        EXPECT_EQ(s.Position(), c.position);
    }
    Bytes ten{0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x01, 0x42};
    GrowableArray v = ViewOf(ten);
    DataInputStream s(&v);
    EXPECT_EQ(s.ReadVarint64(), 0xFFFFFFFFFFFFFFFFull);
    EXPECT_EQ(s.ReadByte(), 0x42);
    EXPECT_FALSE(s.HasError());
}

}  // namespace
