// Strings, the shared empty storage and tracked blocks used from several
// threads at once; run under ThreadSanitizer as well.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "common/base/internal/winmkstring/kstring.h"
#include "common/base/trackedalloc.h"

namespace {

constexpr int kThreads = 4;
constexpr int kRounds = 2000;

TEST(KStringThreads, SharedCopiesAndEmptyStringsAcrossThreads) {
    const int before = LiveBlockCount();
    std::atomic<int> bad{0};
    {
        KString common("common text");
        std::vector<std::thread> threads;
        for (int t = 0; t < kThreads; ++t) {
            threads.emplace_back([&, t] {
                for (int i = 0; i < kRounds; ++i) {
                    // Copies of one value on every thread: counts only.
                    KString copy(common);
                    KString other;
                    other = copy;
                    // Default strings: the shared empty storage is picked
                    // up, taken over and dropped by all threads together.
                    KString empty;
                    if (!empty.IsEmpty())
                        ++bad;
                    if (i % 3 == t % 3)
                        empty.AppendFormat("t%d-%d", t, i);
                    KString expected = KString::Format("t%d-%d", t, i);
                    if (i % 3 == t % 3 && !empty.Equals(expected))
                        ++bad;
                    // Writing to a copy never shows in the original.
                    other.AppendUtf8("!");
                    if (!copy.Equals(common) || other.Length() != common.Length() + 1)
                        ++bad;
                    // Raw tracked blocks alongside.
                    void* block = AllocTracked(16 + i % 7, "ThreadBlock", __FILE__, __LINE__);
                    FreeTracked(block);
                }
            });
        }
        for (std::thread& th : threads)
            th.join();
        EXPECT_EQ(11, common.Length());
        EXPECT_EQ(1, common.Storage()->refCount.load());
    }
    EXPECT_EQ(0, bad.load());
    // Whatever storages remain are the shared empty one (at most one).
    EXPECT_LE(LiveBlockCount() - before, 1);
}

}  // namespace
