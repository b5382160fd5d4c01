#include "common/src/updatecheckrequest/updatechecker.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "common/base/trackedalloc.h"
#include "common/src/mockplatform.h"
#include "common/src/protocoltestsupport.h"

using namespace protocoltest;
using ::testing::_;
using ::testing::StrictMock;

namespace {

// The answer fields as ReadAnswer leaves them, starting from recognisable
// values so that "unchanged" can be told from "emptied".
struct Answer {
    int32_t notification = -7;
    KString message = "old-message";
    KString address = "old-address";
    PackedDateTime deadline = PackedDateTime::Make(2001, 2, 3, 4, 5, 6);
    bool whole = false;  // what ReadAnswer returned
};

Answer Read(const Bytes& message) {
    FixedIdentity identity;
    ScriptedHttpFactory factory;
    Answer a;
    auto* request = WINM_NEW(UpdateCheckRequest)(&identity, &factory);
    request->SetAnswerFields(&a.notification, &a.message, &a.address, &a.deadline);
    GrowableArray view = GrowableArray::View(message.data(), static_cast<int>(message.size()), 1);
    NeskResponseParser parser(&view);
    a.whole = request->ReadAnswer(parser);
    request->Cancel();
    return a;
}

Bytes Field(uint8_t tag, const std::string& text) {
    Bytes b{tag};
    GrowableArray len(1);
    EncodeVarint(static_cast<uint32_t>(text.size()), len);
    Append(b, ToBytes(len));
    b.insert(b.end(), text.begin(), text.end());
    return b;
}

bool SameDate(const PackedDateTime& a, const PackedDateTime& b) {
    return a.dateWord == b.dateWord && a.timeWord == b.timeWord;
}

TEST(UpdateCheckAnswer, NotificationAlone) {
    Answer a = Read({0x08, 0x01});
    EXPECT_EQ(a.notification, 1);
    EXPECT_EQ(Utf8(a.message), "old-message");
    EXPECT_EQ(Utf8(a.address), "old-address");
    EXPECT_TRUE(SameDate(a.deadline, Answer().deadline));
}

TEST(UpdateCheckAnswer, EmptyStringFieldIsStored) {
    Answer a = Read({0x08, 0x00, 0x12, 0x02, 0x68, 0x69, 0x1A, 0x00});
    EXPECT_EQ(a.notification, 0);
    EXPECT_EQ(Utf8(a.message), "hi");
    EXPECT_EQ(Utf8(a.address), "");
}

TEST(UpdateCheckAnswer, FieldsInEveryOrder) {
    std::vector<Bytes> fields = {
        Field(0x12, "msg"),
        Field(0x1A, "http://u/"),
        Field(0x22, "1262304000000"),
        {0x28, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x01}};
    std::vector<int> order = {0, 1, 2, 3};
    int permutations = 0;
    do {
        Bytes m = {0x08, 0xAC, 0x02};  // 300
        for (int i : order)
            Append(m, fields[i]);
        Answer a = Read(m);
        EXPECT_EQ(a.notification, 300);
        EXPECT_EQ(Utf8(a.message), "msg");
        EXPECT_EQ(Utf8(a.address), "http://u/");
        EXPECT_EQ(a.deadline.dateWord, 0x5000u);
        EXPECT_EQ(a.deadline.timeWord, 0u);
        ++permutations;
    } while (std::next_permutation(order.begin(), order.end()));
    EXPECT_EQ(permutations, 24);
}

TEST(UpdateCheckAnswer, RepeatsOverwriteAndUnknownTagsEnd) {
    Answer a = Read([] {
        Bytes m = {0x08, 0x02};
        Append(m, Field(0x12, "first"));
        Append(m, Field(0x12, "second"));
        Append(m, Field(0x30, "x"));  // unknown: the rest is ignored
        Append(m, Field(0x1A, "late"));
        return m;
    }());
    EXPECT_EQ(Utf8(a.message), "second");
    EXPECT_EQ(Utf8(a.address), "old-address");
}

TEST(UpdateCheckAnswer, AnyFirstTagIsTheNotification) {
    EXPECT_EQ(Read({0x99, 0x05}).notification, 5);
    EXPECT_EQ(Read({0x08, 0xFF, 0xFF, 0xFF, 0xFF, 0x0F}).notification, -1);
}

// A message cut inside a field, or right after a field's tag, is no answer:
// every value stays. A message that ends between fields was read whole.
TEST(UpdateCheckAnswer, EveryTruncationPoint) {
    struct Piece {
        Bytes bytes;
        int kind;  // 0 message, 1 address, 2 deadline, 3 skipped varint
    };
    const std::vector<Piece> pieces = {{Field(0x12, "hello"), 0},
                                       {{0x28, 0x80, 0x80, 0x01}, 3},
                                       {Field(0x22, "1262304000000"), 2},
                                       {Field(0x1A, "/x"), 1}};
    Bytes full = {0x08, 0x03};
    for (const Piece& p : pieces)
        Append(full, p.bytes);

    for (size_t cut = 0; cut <= full.size(); ++cut) {
        const Answer a = Read(Bytes(full.begin(), full.begin() + static_cast<long>(cut)));
        Answer want;
        bool whole = cut == 2;
        size_t at = 2;
        for (const Piece& p : pieces) {
            const size_t end = at + p.bytes.size();
            whole = whole || cut == end;
            at = end;
        }
        if (whole) {
            want.notification = 3;
            at = 2;
            for (const Piece& p : pieces) {
                at += p.bytes.size();
                if (cut < at)
                    break;
                if (p.kind == 0)
                    want.message = "hello";
                if (p.kind == 1)
                    want.address = "/x";
                if (p.kind == 2)
                    want.deadline = PackedDateTime::Make(2010, 1, 1, 0, 0, 0);
            }
        }
        EXPECT_EQ(a.whole, whole) << cut;
        EXPECT_EQ(a.notification, want.notification) << cut;
        EXPECT_EQ(Utf8(a.message), Utf8(want.message)) << cut;
        EXPECT_EQ(Utf8(a.address), Utf8(want.address)) << cut;
        EXPECT_TRUE(SameDate(a.deadline, want.deadline)) << cut;
    }
}

TEST(Deadline, MillisecondsToCalendarSeconds) {
    struct Case {
        const char* text;
        bool valid;
        PackedDateTime date;
    };
    const Case cases[] = {
        {"1262304000000", true, PackedDateTime::Make(2010, 1, 1, 0, 0, 0)},
        {"1262304000999.5", true, PackedDateTime::Make(2010, 1, 1, 0, 0, 0)},
        {"-", true, PackedDateTime::Make(1970, 1, 1, 0, 0, 0)},
        {".25", true, PackedDateTime::Make(1970, 1, 1, 0, 0, 0)},
        {"-0", true, PackedDateTime::Make(1970, 1, 1, 0, 0, 0)},
        {"951827445000", true, PackedDateTime::Make(2000, 2, 29, 12, 30, 45)},
        {"1.x", true, PackedDateTime::Make(1970, 1, 1, 0, 0, 0)},  // fraction ignored
        // Past 2038: the count is unsigned, not wrapped to a negative one.
        {"2147483648000", true, PackedDateTime::Make(2038, 1, 19, 3, 14, 8)},
        {"4294967295999", true, PackedDateTime::Make(2106, 2, 7, 6, 28, 15)},
        {"4294967296000", false, {}},
        {"99999999999999999999999999999", false, {}},  // would wrap a 64-bit count
        {"-1000", false, {}},
        {"-1", false, {}},
        {"12a", false, {}},
        {"+5", false, {}},
        {" 5", false, {}},
    };
    for (const Case& c : cases) {
        PackedDateTime d = PackedDateTime::Make(2001, 2, 3, 4, 5, 6);
        const PackedDateTime before = d;
        EXPECT_EQ(ParseDeadline(c.text, d), c.valid) << c.text;
        EXPECT_TRUE(SameDate(d, c.valid ? c.date : before)) << c.text;
    }
}

TEST(Deadline, InvalidTextInAnAnswerKeepsThePreviousDeadline) {
    Bytes m = {0x08, 0x01};
    Append(m, Field(0x22, "1262304000000"));
    Append(m, Field(0x22, "-5000"));
    Append(m, Field(0x22, ""));
    Append(m, Field(0x22, "12a"));
    EXPECT_EQ(Read(m).deadline.dateWord, 0x5000u);
}

class UpdateCheckerTest : public ::testing::Test {
  protected:
    FixedIdentity identity;
    ScriptedHttpFactory factory;
    StrictMock<MockPlatform> listener;
};

TEST_F(UpdateCheckerTest, AnswerWithDefaultFieldsIsStillAnAnswer) {
    UpdateChecker checker(&listener, &factory, &identity);
    EXPECT_CALL(listener, UpdateCheckCompleted(0, _, _, _))
        .WillOnce([](int32_t, const KString& m, const KString& u, const PackedDateTime& d) {
            EXPECT_TRUE(m.IsEmpty());
            EXPECT_TRUE(u.IsEmpty());
            EXPECT_EQ(d.dateWord, 0u);
            EXPECT_EQ(d.timeWord, 0u);
        });
    factory.Last()->Complete(AnswerResponse(RequestIdOf(factory.Last()), {0x08, 0x00}));
}

// A captive portal's page or another protocol must not overwrite a stored
// answer with defaults: without an answer for this request the check fails.
TEST_F(UpdateCheckerTest, CompletionWithoutItsOwnAnswerFails) {
    const std::string html = "<html><body>Sign in to the hotel network</body></html>";
    for (int c = 0; c < 7; ++c) {
        SCOPED_TRACE(c);
        WarningLog log;
        UpdateChecker checker(&listener, &factory, &identity);
        const uint16_t id = RequestIdOf(factory.Last());
        Bytes body;
        if (c == 0)
            body = Response({});
        if (c == 1)
            body = AnswerResponse(static_cast<uint16_t>(id + 1), {0x08, 0x01});
        if (c == 2) {
            body = AnswerResponse(id, {0x08, 0x01});
            body[1] = 2;  // envelope version 2
        }
        if (c == 3)
            body.assign(html.begin(), html.end());
        // Its own answer, cut inside a field: a number that never ends, a
        // string longer than the message, a message longer than the block.
        if (c == 4)
            body = AnswerResponse(id, {0x08, 0xFF});
        if (c == 5)
            body = AnswerResponse(id, {0x08, 0x01, 0x12, 0x7F, 0x41});
        if (c == 6) {
            body = Response({Block(0x8100, [&] {
                Bytes data = AnswerBlockData(id, {0x08, 0x01});
                data.pop_back();
                return data;
            }())});
        }
        EXPECT_CALL(listener, UpdateCheckFailed());
        factory.Last()->Complete(body);
        EXPECT_THAT(WarningLog::lines(),
                    ::testing::ElementsAre(
                        "**W: update check failed: the service's answer could not be read"));
    }
}

TEST_F(UpdateCheckerTest, ACutAnswerAfterAWholeOneChangesNothing) {
    UpdateChecker checker(&listener, &factory, &identity);
    const uint16_t id = RequestIdOf(factory.Last());
    Bytes whole = {0x08, 0x02};
    Append(whole, Field(0x12, "kept"));
    Bytes cut = {0x08, 0x05};
    Append(cut, Field(0x12, "lost"));
    cut.pop_back();
    EXPECT_CALL(listener, UpdateCheckCompleted(2, _, _, _))
        .WillOnce([](int32_t, const KString& m, const KString&, const PackedDateTime&) {
            EXPECT_EQ(Utf8(m), "kept");
        });
    factory.Last()->Complete(Response(
        {Block(0x8100, AnswerBlockData(id, whole)), Block(0x8100, AnswerBlockData(id, cut))}));
}

TEST_F(UpdateCheckerTest, TransportFailureReportsFailedOnly) {
    UpdateChecker checker(&listener, &factory, &identity);
    EXPECT_CALL(listener, UpdateCheckFailed());
    factory.Last()->Fail(0, "wininetHttpError [404 0]");
    EXPECT_FALSE(checker.IsRunning());
}

TEST_F(UpdateCheckerTest, DeletingTheCheckerCancelsSilently) {
    auto* checker = WINM_NEW(UpdateChecker)(&listener, &factory, &identity);
    ASSERT_NE(checker, nullptr);
    EXPECT_TRUE(checker->IsRunning());
    delete checker;
    EXPECT_EQ(factory.cancelled, 1);
    EXPECT_TRUE(factory.live.empty());
}

TEST_F(UpdateCheckerTest, ReportsForOtherRequestsAreIgnored) {
    UpdateChecker checker(&listener, &factory, &identity);
    GrowableArray body(1);
    TransportError error;
    auto* stray = factory.CreateRequest("http://x/", nullptr, &body, &error);
    checker.OnComplete(stray);
    checker.OnFailed(stray);
    checker.OnComplete(nullptr);
    EXPECT_TRUE(checker.IsRunning());
    stray->Cancel();
    EXPECT_CALL(listener, UpdateCheckFailed());
    factory.Last()->Fail(2, "x");
}

TEST_F(UpdateCheckerTest, ObjectsCarryTheirClassNames) {
    auto* checker = WINM_NEW(UpdateChecker)(&listener, &factory, &identity);
    std::vector<std::string> names;
    ForEachLiveBlock(
        [](const TrackedBlockHeader* h, void* ctx) {
            static_cast<std::vector<std::string>*>(ctx)->push_back(h->className);
        },
        &names);
    EXPECT_NE(std::find(names.begin(), names.end(), "UpdateChecker"), names.end());
    EXPECT_NE(std::find(names.begin(), names.end(), "UpdateCheckRequest"), names.end());
    const int live = LiveBlockCount();
    delete checker;
    EXPECT_LT(LiveBlockCount(), live - 1);
}

TEST_F(UpdateCheckerTest, ListenerMayDeleteTheCheckerFromItsCallback) {
    auto* checker = WINM_NEW(UpdateChecker)(&listener, &factory, &identity);
    EXPECT_CALL(listener, UpdateCheckCompleted(0, _, _, _))
        .WillOnce([&](int32_t, const KString&, const KString&, const PackedDateTime&) {
            delete checker;
        });
    factory.Last()->Complete(AnswerResponse(RequestIdOf(factory.Last()), {0x08, 0x00}));
    EXPECT_TRUE(factory.live.empty());
}

TEST_F(UpdateCheckerTest, RequestThatCannotBeAllocatedFails) {
    EXPECT_CALL(listener, UpdateCheckFailed());
    const KString keepSharedEmptyAlive;  // the checker's own strings need no memory
    SetAllocatorFailureForTesting(true);
    UpdateChecker checker(&listener, &factory, &identity);
    SetAllocatorFailureForTesting(false);
    EXPECT_FALSE(checker.IsRunning());
    EXPECT_EQ(factory.created, 0);
}

}  // namespace
