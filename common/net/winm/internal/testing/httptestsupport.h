// Test support for the platform HTTP layer: the platform library table for
// the test process, a fixture with a real hidden window, event queue and
// factory, and a requester that records what reaches it.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "common/base/trackedalloc.h"
#include "common/base/winm/internal/testing/testwindow.h"
#include "common/base/winm/internal/winmappeventhandler.h"
#include "common/base/winm/internal/winmlib.h"
#include "common/net/winm/internal/testing/loopbackserver.h"
#include "common/net/winm/internal/winmhttpfactory.h"
#include "common/net/winm/internal/winmhttprequest.h"
#ifndef _WIN32
#include "wince/testing/net.h"
#endif

namespace winmtest {

// Loads the platform table once for the test process.
class PlatformEnvironment : public ::testing::Environment {
  public:
    void SetUp() override {
        g_winmLib = WINM_NEW(WinmLib)();
        g_winmLib->Load();
    }
    void TearDown() override {
        g_winmLib->Unload();
        delete g_winmLib;
        g_winmLib = nullptr;
    }
};

inline std::string ToStd(const KString& text) {
    GrowableArray bytes(1);
    text.ToUtf8(bytes);
    return std::string(static_cast<const char*>(bytes.data), static_cast<size_t>(bytes.count));
}

inline std::string Bytes(const GrowableArray& array) {
    return std::string(static_cast<const char*>(array.data), static_cast<size_t>(array.count));
}

inline void SetBytes(GrowableArray& array, const std::string& text) {
    array.SetCount(0);
    if (!text.empty())
        array.InsertAt(array.End(), static_cast<int>(text.size()), text.data());
}

// One exchange as its requester sees it.
class Exchange : public RequesterInterface {
  public:
    explicit Exchange(std::string body = "request-body") : requestText(std::move(body)) {
        SetBytes(requestBody, requestText);
    }
    ~Exchange() override {
        if (request != nullptr)
            request->Cancel();
    }

    HttpRequestInterface* Post(WinmHttpRequestFactory* factory, const std::string& url) {
        request = factory->CreateRequest(KString(url.c_str()), &requestBody, &responseBody, &error);
        return request;
    }
    HttpRequestInterface* Get(WinmHttpRequestFactory* factory, const std::string& url) {
        request = factory->CreateGetRequest(KString(url.c_str()), &responseBody, &error);
        return request;
    }
    void Cancel() {
        HttpRequestInterface* r = request;
        request = nullptr;
        r->Cancel();
    }

    void OnData(RequestInterface* r) override {
        EXPECT_EQ(r, request);
        EXPECT_FALSE(Done()) << "data after the outcome";
        sizesAtData.push_back(responseBody.count);
    }
    void OnComplete(RequestInterface* r) override { Outcome(r, true); }
    void OnFailed(RequestInterface* r) override { Outcome(r, false); }

    bool Done() const { return completes + fails > 0; }
    std::string Body() const { return Bytes(responseBody); }
    std::string ErrorText() const { return ToStd(error.text); }

    std::string requestText;
    GrowableArray requestBody{1};
    GrowableArray responseBody{1};
    TransportError error;
    HttpRequestInterface* request = nullptr;
    int completes = 0;
    int fails = 0;
    std::vector<int> sizesAtData;
    int status = 0;
    std::vector<std::pair<std::string, std::string>> headers;

  private:
    void Outcome(RequestInterface* r, bool ok) {
        EXPECT_EQ(r, request);
        EXPECT_FALSE(Done()) << "second outcome";
        (ok ? completes : fails)++;
        status = request->GetStatusCode();
        if (ok) {
            HeaderFieldIteratorInterface* it = request->CreateHeaderFieldIterator();
            for (; !it->IsDone(); it->Next())
                headers.emplace_back(Bytes(*it->GetName()), Bytes(*it->GetValue()));
            delete it;
        }
        request = nullptr;  // it destroys itself after this call
    }
};

// A real hidden window with its message loop, the event queue and the
// factory, torn down in the framework's order; every tracked block is
// released by the end of each test.
class HttpFixture : public ::testing::Test {
  protected:
    void SetUp() override {
#ifndef _WIN32
        WinceConnMgrResetForTesting();
        // Direct unless a test says otherwise, whatever proxy the machine's
        // environment names. (On Windows the Connection Manager is the
        // desktop one: direct unless the Internet Settings name a proxy.)
        WinceConnMgrSetProxy(WinceConnMgrProxyMode::Fixed, u"");
#endif
        baseline = LiveBlockCount();
        window = std::make_unique<TestWindow>();
        queue = WINM_NEW(WinmAppEventHandler)(window->Handle());
        window->SetQueue(queue);
        factory = WINM_NEW(WinmHttpRequestFactory)(queue);
    }
    void TearDown() override {
        delete factory;
        window->Drain();
        window->SetQueue(nullptr);
        delete queue;
        window.reset();
        EXPECT_EQ(LiveBlockCount(), baseline) << "tracked blocks leaked";
#ifndef _WIN32
        WinceConnMgrResetForTesting();
#endif
    }

    bool Run(Exchange& e, int timeoutMs = 60000) {
        return window->RunUntil([&] { return e.Done(); }, timeoutMs);
    }

    std::unique_ptr<TestWindow> window;
    WinmAppEventHandler* queue = nullptr;
    WinmHttpRequestFactory* factory = nullptr;
    int baseline = 0;
};

}  // namespace winmtest
