#include "common/base/growablearray.h"

#include <gtest/gtest.h>

#include <cstring>

namespace {

TEST(GrowableArray, GrowsByDoublingAndShrinksAtHalf) {
    GrowableArray a(4);
    a.SetCount(1);
    EXPECT_EQ(1, a.capacity);
    a.SetCount(2);
    EXPECT_EQ(2, a.capacity);
    a.SetCount(3);
    EXPECT_EQ(4, a.capacity);
    a.SetCount(5);
    EXPECT_EQ(8, a.capacity);
    a.SetCount(8);
    a.SetCount(5);
    EXPECT_EQ(8, a.capacity);
    a.SetCount(4);
    EXPECT_EQ(4, a.capacity);
    EXPECT_EQ(4, a.count);
    a.SetCount(20);
    EXPECT_EQ(20, a.capacity);  // straight past double
    a.SetCount(0);
    EXPECT_EQ(nullptr, a.data);
    EXPECT_EQ(0, a.capacity);
    EXPECT_EQ(0, a.count);
}

TEST(GrowableArray, InsertAtShiftsAndCopies) {
    GrowableArray a(1);
    a.InsertAt(a.End(), 3, "cde");
    a.InsertAt(a.Bytes(), 2, "ab");
    EXPECT_EQ(0, std::memcmp(a.data, "abcde", 5));
    uint8_t* gap = static_cast<uint8_t*>(a.InsertAt(a.Bytes() + 1, 2, nullptr));
    EXPECT_EQ(a.Bytes() + 1, gap);
    // The gap is not cleared: it still holds what was there before the move.
    EXPECT_EQ(0, std::memcmp(a.data, "abcbcde", 7));
    a.InsertAt(a.End(), 1, "f");
    EXPECT_EQ(8, a.count);
    EXPECT_EQ(0, std::memcmp(a.data, "abcbcdef", 8));
}

TEST(GrowableArray, ViewsAreNeverFreedOrResizedInPlace) {
    char text[] = "hello";
    GrowableArray view = GrowableArray::View(text, 5, 1);
    EXPECT_TRUE(view.IsView());
    EXPECT_EQ(0, view.capacity);
    view.FreeIfOwned();  // only dropped
    EXPECT_STREQ("hello", text);

    GrowableArray grown = GrowableArray::View(text, 5, 1);
    grown.InsertAt(grown.End(), 1, "!");
    EXPECT_NE(static_cast<void*>(text), grown.data);
    EXPECT_EQ(0, std::memcmp(grown.data, "hello!", 6));
    EXPECT_STREQ("hello", text);

    GrowableArray emptied = GrowableArray::View(text, 5, 1);
    emptied.SetCount(0);
    EXPECT_EQ(nullptr, emptied.data);
    EXPECT_STREQ("hello", text);
}

TEST(GrowableArray, MoveLeavesSourceEmpty) {
    GrowableArray a(2);
    a.SetCount(3);
    void* data = a.data;
    GrowableArray b(std::move(a));
    EXPECT_EQ(data, b.data);
    EXPECT_EQ(3, b.count);
    EXPECT_EQ(nullptr, a.data);
    EXPECT_EQ(0, a.count);
    GrowableArray c(2);
    c.SetCount(1);
    c = std::move(b);
    EXPECT_EQ(data, c.data);
    EXPECT_EQ(0, b.capacity);
}

TEST(GrowableArrayDeathTest, FailedGrowthStopsTheProcess) {
    GrowableArray a(4);
    a.SetCount(3);
    EXPECT_DEATH(
        {
            GrowableArray::SetAllocationFailureForTesting(true);
            a.SetCount(5);
        },
        "could not allocate 24 bytes for a GrowableArray");
}

}  // namespace
