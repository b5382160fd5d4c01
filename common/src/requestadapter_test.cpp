#include "common/src/requestadapter.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "common/base/log.h"
#include "common/src/protocoltestsupport.h"

using protocoltest::ScriptedHttpFactory;
using protocoltest::ScriptedHttpRequest;
using protocoltest::Utf8;
using ::testing::_;
using ::testing::StrictMock;

namespace {

class MockRequester : public RequesterInterface {
  public:
    MOCK_METHOD(void, OnComplete, (RequestInterface*), (override));
    MOCK_METHOD(void, OnFailed, (RequestInterface*), (override));
    MOCK_METHOD(void, OnData, (RequestInterface*), (override));
};

// An adapter whose hooks the test scripts.
class TestAdapter : public RequestAdapter {
  public:
    explicit TestAdapter(int* destroyed) : RequestAdapter("test_request"), destroyed_(destroyed) {}
    ~TestAdapter() override { ++*destroyed_; }

    void OnInnerComplete() override {
        ++completeHooks;
        if (onComplete)
            onComplete(*this);
    }
    void OnInnerFailed() override {
        ++failedHooks;
        if (onFailed)
            onFailed(*this);
    }

    using RequestAdapter::SetInnerRequest;
    using RequestAdapter::StartInner;
    void SetSucceeded(bool v) { succeeded_ = v; }

    std::function<void(TestAdapter&)> onComplete;
    std::function<void(TestAdapter&)> onFailed;
    int completeHooks = 0;
    int failedHooks = 0;

  private:
    int* destroyed_;
};

class RequestAdapterTest : public ::testing::Test {
  protected:
    TestAdapter* MakeStarted() {
        auto* adapter = new TestAdapter(&destroyed);
        adapter->SetInnerRequest(NewInner());
        adapter->Start(&requester);
        return adapter;
    }
    HttpRequestInterface* NewInner() {
        return factory.CreateRequest("http://x/", nullptr, &response, &error);
    }

    ScriptedHttpFactory factory;
    GrowableArray response{1};
    TransportError error;
    StrictMock<MockRequester> requester;
    int destroyed = 0;
};

TEST_F(RequestAdapterTest, OneOutcomeThenSelfDestruction) {
    auto* adapter = MakeStarted();
    ScriptedHttpRequest* inner = factory.Last();
    ASSERT_TRUE(inner->started());
    EXPECT_EQ(inner->requester(), static_cast<RequesterInterface*>(adapter));

    EXPECT_CALL(requester, OnComplete(static_cast<RequestInterface*>(adapter)));
    inner->Complete();
    EXPECT_EQ(destroyed, 1);
    EXPECT_TRUE(factory.live.empty());
}

TEST_F(RequestAdapterTest, FailureReachesTheRequesterOnce) {
    MakeStarted();
    EXPECT_CALL(requester, OnFailed(_));
    factory.Last()->Fail(2, "down");
    EXPECT_EQ(destroyed, 1);
}

TEST_F(RequestAdapterTest, CancelReportsNothingAndCancelsTheInnerRequest) {
    auto* adapter = MakeStarted();
    adapter->Cancel();
    EXPECT_EQ(destroyed, 1);
    EXPECT_EQ(factory.cancelled, 1);
    EXPECT_TRUE(factory.live.empty());
}

TEST_F(RequestAdapterTest, DataIsForwardedWithTheAdapterAsRequest) {
    auto* adapter = MakeStarted();
    EXPECT_CALL(requester, OnData(static_cast<RequestInterface*>(adapter))).Times(2);
    factory.Last()->Deliver({1, 2});
    factory.Last()->Deliver({3});
    EXPECT_CALL(requester, OnComplete(_));
    factory.Last()->Complete();
}

TEST_F(RequestAdapterTest, ForeignOrLateReportsAreIgnored) {
    auto* adapter = MakeStarted();
    ScriptedHttpRequest* inner = factory.Last();
    auto* foreign = static_cast<ScriptedHttpRequest*>(NewInner());
    foreign->Start(adapter);  // reports to the adapter but is not its inner request
    foreign->Deliver({9});
    foreign->Complete();
    adapter->OnFailed(nullptr);
    EXPECT_EQ(destroyed, 0);
    EXPECT_EQ(adapter->innerRequest(), static_cast<RequestInterface*>(inner));
    EXPECT_EQ(adapter->completeHooks, 0);

    EXPECT_CALL(requester, OnFailed(_));
    inner->Fail(0, "x");
}

TEST_F(RequestAdapterTest, HooksDecideTheOutcome) {
    auto* a = MakeStarted();
    a->onComplete = [](TestAdapter& self) { self.SetSucceeded(false); };
    EXPECT_CALL(requester, OnFailed(_));
    factory.Last()->Complete();

    auto* b = MakeStarted();
    b->onFailed = [](TestAdapter& self) { self.SetSucceeded(true); };
    EXPECT_CALL(requester, OnComplete(_));
    factory.Last()->Fail(2, "x");
    EXPECT_EQ(destroyed, 2);
}

TEST_F(RequestAdapterTest, ChainedInnerRequestDecidesTheOutcome) {
    auto* adapter = MakeStarted();
    adapter->onFailed = [this](TestAdapter& self) {
        if (self.failedHooks == 1)
            self.StartInner(NewInner());
    };
    factory.Last()->Fail(2, "first");
    EXPECT_EQ(destroyed, 0);
    ASSERT_EQ(factory.live.size(), 1u);
    EXPECT_TRUE(factory.Last()->started());

    EXPECT_CALL(requester, OnComplete(_));
    factory.Last()->Complete();
    EXPECT_EQ(destroyed, 1);
}

TEST_F(RequestAdapterTest, ChainedRequestReportingAtOnceIsReportedOnce) {
    // The chained request answers inside its own Start, that is inside the
    // hook: the adapter must survive until the hook returns and then report
    // exactly once.
    auto* adapter = MakeStarted();
    adapter->onFailed = [this](TestAdapter& self) {
        if (self.failedHooks == 1) {
            factory.answer = ScriptedHttpFactory::Answer::CompleteAtStart;
            self.StartInner(NewInner());
        }
    };
    EXPECT_CALL(requester, OnComplete(_));
    factory.Last()->Fail(2, "first");
    EXPECT_EQ(destroyed, 1);
    (void)adapter;
}

TEST_F(RequestAdapterTest, InnerReportingInsideStartIsReportedOnce) {
    factory.answer = ScriptedHttpFactory::Answer::FailAtStart;
    EXPECT_CALL(requester, OnFailed(_));
    MakeStarted();
    EXPECT_EQ(destroyed, 1);
}

TEST_F(RequestAdapterTest, AdapterWithoutInnerRequestFailsAtStart) {
    auto* adapter = new TestAdapter(&destroyed);
    EXPECT_CALL(requester, OnFailed(static_cast<RequestInterface*>(adapter)));
    adapter->Start(&requester);
    EXPECT_EQ(destroyed, 1);
    EXPECT_EQ(factory.created, 0);
}

std::vector<std::string>* g_lines = nullptr;
void CollectLine(const KString& line) {
    g_lines->push_back(Utf8(line));
}

TEST_F(RequestAdapterTest, DebugLinesNameTheAdapter) {
    std::vector<std::string> lines;
    g_lines = &lines;
    SetLogSink(&CollectLine);
    LogLevel = 3;

    auto* adapter = MakeStarted();
    const std::string id = std::to_string(static_cast<int>(static_cast<uint32_t>(
        reinterpret_cast<uintptr_t>(static_cast<RequestInterface*>(adapter)))));
    EXPECT_CALL(requester, OnComplete(_));
    factory.Last()->Complete();
    MakeStarted()->Cancel();

    LogLevel = 0;
    SetLogSink(nullptr);
    g_lines = nullptr;
    ASSERT_GE(lines.size(), 4u);
    EXPECT_EQ(lines[0], "  D: RequestAdapter test_request " + id + ": start");
    EXPECT_EQ(lines[1], "  D: RequestAdapter test_request " + id + ": inner request complete");
    EXPECT_EQ(lines[2], "  D: RequestAdapter test_request " + id + ": complete");
    EXPECT_THAT(lines.back(), ::testing::EndsWith(": cancel"));
}

}  // namespace
