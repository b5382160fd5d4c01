#include "common/base/trackedalloc.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "common/base/internal/winmkstring/kstring.h"
#include "common/base/log.h"

namespace {

std::vector<const TrackedBlockHeader*> LiveHeaders() {
    std::vector<const TrackedBlockHeader*> all;
    ForEachLiveBlock(
        [](const TrackedBlockHeader* h, void* c) {
            static_cast<std::vector<const TrackedBlockHeader*>*>(c)->push_back(h);
        },
        &all);
    return all;
}

TEST(TrackedAlloc, ListKeepsAllocationOrderAndStampsRelease) {
    int before = LiveBlockCount();
    void* a = AllocTracked(16, "A", "a.cpp", 1);
    void* b = AllocTracked(0, "B", "b.cpp", 2);
    void* c = AllocTracked(32, "C", "c.cpp", 3);
    ASSERT_TRUE(a && b && c);
    EXPECT_EQ(before + 3, LiveBlockCount());
    const TrackedBlockHeader* hb = TrackedHeaderOf(b);
    EXPECT_EQ(kTrackedStampLive, hb->stamp);
    EXPECT_STREQ("B", hb->className);
    EXPECT_STREQ("b.cpp", hb->file);
    EXPECT_EQ(2, hb->line);

    FreeTracked(b);
    EXPECT_EQ(before + 2, LiveBlockCount());
    auto live = LiveHeaders();
    ASSERT_GE(live.size(), 2u);
    EXPECT_EQ(TrackedHeaderOf(a), live[live.size() - 2]);
    EXPECT_EQ(TrackedHeaderOf(c), live.back());
    EXPECT_EQ(TrackedHeaderOf(c), TrackedHeaderOf(a)->next);
    EXPECT_EQ(TrackedHeaderOf(a), TrackedHeaderOf(c)->prev);
    FreeTracked(a);
    FreeTracked(c);
    FreeTracked(nullptr);
    EXPECT_EQ(before, LiveBlockCount());
}

TEST(TrackedAlloc, FailureReturnsNullAndLeavesListAlone) {
    int before = LiveBlockCount();
    SetAllocatorFailureForTesting(true);
    EXPECT_EQ(nullptr, AllocTracked(24, "Widget", __FILE__, __LINE__));
    SetAllocatorFailureForTesting(false);
    EXPECT_EQ(before, LiveBlockCount());

    SetAllocatorFailureCountdownForTesting(1);
    void* first = AllocTracked(8, "X", "", 0);
    EXPECT_NE(nullptr, first);
    EXPECT_EQ(nullptr, AllocTracked(8, "X", "", 0));
    SetAllocatorFailureCountdownForTesting(-1);
    FreeTracked(first);
    EXPECT_EQ(before, LiveBlockCount());
}

KString g_lastLine;
int g_lines = 0;

TEST(TrackedAlloc, FailureIsReportedAsAWarning) {
    SetLogSink([](const KString& line) {
        ++g_lines;
        g_lastLine = line;
    });
    LogLevel = 1;
    int before = LiveBlockCount();
    // A size that cancels the header out is refused without asking malloc.
    const int size = -static_cast<int>(sizeof(TrackedBlockHeader));
    EXPECT_EQ(nullptr, AllocTracked(size, "Widget", "", 0));
    EXPECT_EQ(before, LiveBlockCount());
    LogLevel = 0;
    SetLogSink(nullptr);
    EXPECT_EQ(1, g_lines);
    EXPECT_TRUE(
        g_lastLine.Equals(KString::Format("**W: Could not allocate %d bytes for a Widget", size)));
    g_lastLine = KString();
}

std::string g_textLine;
int g_textLines = 0;

TEST(TrackedAlloc, FailureWarnsWithoutAllocating) {
    // A KString line would need tracked memory, which is failing here: the
    // warning takes the text sink, and the line sink is never asked.
    g_lines = 0;
    SetLogSink([](const KString&) { ++g_lines; });
    SetLogTextSink([](const char* line) {
        ++g_textLines;
        g_textLine = line;
    });
    LogLevel = 1;
    SetAllocatorFailureForTesting(true);
    EXPECT_EQ(nullptr, AllocTracked(24, "Widget", "", 0));
    SetAllocatorFailureForTesting(false);
    LogLevel = 0;
    SetLogTextSink(nullptr);
    SetLogSink(nullptr);
    EXPECT_EQ(0, g_lines);
    EXPECT_EQ(1, g_textLines);
    EXPECT_EQ("**W: Could not allocate 24 bytes for a Widget", g_textLine);

    // A class name too long for the line is cut, never overrun.
    SetLogTextSink([](const char* line) { g_textLine = line; });
    LogLevel = 1;
    std::string longName(1000, 'n');
    SetAllocatorFailureForTesting(true);
    EXPECT_EQ(nullptr, AllocTracked(8, longName.c_str(), "", 0));
    SetAllocatorFailureForTesting(false);
    LogLevel = 0;
    SetLogTextSink(nullptr);
    EXPECT_EQ(static_cast<size_t>(kLogTextBytes), g_textLine.size());
    EXPECT_EQ(0u, g_textLine.find("**W: Could not allocate 8 bytes for a nnn"));
}

struct Tracked {
    WINM_TRACKED_ALLOCATION;
    explicit Tracked(int v) : value(v) { ++constructed; }
    virtual ~Tracked() = default;
    int value;
    static inline int constructed = 0;
};

struct Derived : Tracked {
    Derived() : Tracked(7) {}
    char payload[40] = {};
};

TEST(TrackedAlloc, NewMacroTagsObjectsAndNullSkipsConstructor) {
    int before = LiveBlockCount();
    Tracked* t = WINM_NEW(Tracked)(5);
    ASSERT_NE(nullptr, t);
    EXPECT_EQ(5, t->value);
    EXPECT_STREQ("Tracked", TrackedHeaderOf(t)->className);
    Tracked* d = WINM_NEW(Derived)();
    EXPECT_STREQ("Derived", TrackedHeaderOf(d)->className);
    EXPECT_EQ(before + 2, LiveBlockCount());
    delete d;  // through the base: released with FreeTracked
    delete t;
    EXPECT_EQ(before, LiveBlockCount());

    int constructed = Tracked::constructed;
    SetAllocatorFailureForTesting(true);
    Tracked* none = WINM_NEW(Tracked)(1);
    SetAllocatorFailureForTesting(false);
    EXPECT_EQ(nullptr, none);
    EXPECT_EQ(constructed, Tracked::constructed);
}

}  // namespace
