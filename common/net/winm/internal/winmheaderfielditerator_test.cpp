#include "common/net/winm/internal/winmheaderfielditerator.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

namespace {

std::string Text(const GrowableArray* bytes) {
    return std::string(static_cast<const char*>(bytes->data), static_cast<size_t>(bytes->count));
}

using Fields = std::vector<std::pair<std::string, std::string>>;

Fields Walk(const std::string& block) {
    WinmHeaderFieldIterator it(reinterpret_cast<const uint8_t*>(block.data()),
                               static_cast<int>(block.size()));
    Fields fields;
    for (; !it.IsDone(); it.Next())
        fields.emplace_back(Text(it.GetName()), Text(it.GetValue()));
    return fields;
}

TEST(HeaderFieldIteratorTest, EmptyBlockIsDoneAtOnce) {
    WinmHeaderFieldIterator it(nullptr, 0);
    EXPECT_TRUE(it.IsDone());
    EXPECT_EQ(it.GetName()->count, 0);
    EXPECT_EQ(it.GetValue()->count, 0);
    it.Next();
    EXPECT_TRUE(it.IsDone());
}

TEST(HeaderFieldIteratorTest, WalksARawHeaderBlock) {
    Fields fields = Walk(
        "HTTP/1.1 200 OK\r\n"
        "Content-Type: text/plain\r\n"
        "Date: Mon, 07 Dec 2026 12:00:00 GMT\r\n"
        "X-Empty:\r\n"
        "X-Spaces:  \t padded  \r\n"
        "\r\n");
    Fields expected = {
        {"HTTP/1.1 200 OK\r\n", ""},
        {"Content-Type", "text/plain"},
        {"Date", "Mon, 07 Dec 2026 12:00:00 GMT"},
        {"X-Empty", ""},
        {"X-Spaces", "padded  "},
        {"\r\n", ""},
    };
    EXPECT_EQ(fields, expected);
}

TEST(HeaderFieldIteratorTest, LastLineWithoutCrLfRunsToTheEnd) {
    Fields fields = Walk("A: 1\r\nB: two words");
    Fields expected = {{"A", "1"}, {"B", "two words"}};
    EXPECT_EQ(fields, expected);
}

TEST(HeaderFieldIteratorTest, ZeroBytesBetweenCrAndLfStillEndALine) {
    std::string block("A: 1\r\0\nB: 2\r\n", 13);
    Fields fields = Walk(block);
    ASSERT_EQ(fields.size(), 2u);
    EXPECT_EQ(fields[0].first, "A");
    // The value stops before the byte that precedes the LF.
    EXPECT_EQ(fields[0].second, std::string("1\r", 2));
    EXPECT_EQ(fields[1], (std::pair<std::string, std::string>{"B", "2"}));
}

TEST(HeaderFieldIteratorTest, BareLfOrCrDoesNotEndALine) {
    Fields fields = Walk("A: 1\nB: 2\rC: 3\r\nD: 4");
    Fields expected = {{"A", "1\nB: 2\rC: 3"}, {"D", "4"}};
    EXPECT_EQ(fields, expected);
}

TEST(HeaderFieldIteratorTest, FirstRestartsAndNextAtTheEndKeepsTheLastField) {
    std::string block = "A: 1\r\nB: 2\r\n";
    WinmHeaderFieldIterator it(reinterpret_cast<const uint8_t*>(block.data()),
                               static_cast<int>(block.size()));
    it.Next();
    it.Next();
    EXPECT_TRUE(it.IsDone());
    EXPECT_EQ(Text(it.GetName()), "B");
    it.Next();
    EXPECT_TRUE(it.IsDone());
    EXPECT_EQ(Text(it.GetValue()), "2");
    it.First();
    EXPECT_FALSE(it.IsDone());
    EXPECT_EQ(Text(it.GetName()), "A");
    EXPECT_EQ(Text(it.GetValue()), "1");
}

TEST(HeaderFieldIteratorTest, ReadsOnlyTheGivenBytes) {
    // Bytes past count are not part of the block, even without a terminator.
    std::string block = "A: 1\r\nB: 2\r\n";
    Fields fields;
    WinmHeaderFieldIterator it(reinterpret_cast<const uint8_t*>(block.data()), 8);
    for (; !it.IsDone(); it.Next())
        fields.emplace_back(Text(it.GetName()), Text(it.GetValue()));
    Fields expected = {{"A", "1"}, {"B", ""}};
    EXPECT_EQ(fields, expected);
}

}  // namespace
