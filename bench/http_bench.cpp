// One POST exchange through the whole platform layer (factory, data
// connection, worker thread, event queue, window thread) against the same
// exchange made directly with libcurl on the calling thread. Both talk to the
// same loopback server and open a fresh connection per exchange.
#include <benchmark/benchmark.h>
#include <curl/curl.h>

#include <string>

#include "common/base/winm/internal/testing/testwindow.h"
#include "common/base/winm/internal/winmlib.h"
#include "common/net/winm/internal/testing/loopbackserver.h"
#include "common/net/winm/internal/winmhttpfactory.h"

namespace {

const std::string kRequest(146, 'q');
const std::string kAnswer(43, 'a');

winmtest::LoopbackServer& Server() {
    static winmtest::LoopbackServer server(
        [](winmtest::Connection& c) { c.Send(winmtest::Response(200, kAnswer)); });
    return server;
}

class Requester : public RequesterInterface {
  public:
    void OnComplete(RequestInterface*) override { done = ok = true; }
    void OnFailed(RequestInterface*) override { done = true; }
    bool done = false;
    bool ok = false;
};

void BM_PostThroughTheLayer(benchmark::State& state) {
    g_winmLib = WINM_NEW(WinmLib)();
    g_winmLib->Load();
    {
        TestWindow window;
        WinmAppEventHandler queue(window.Handle());
        window.SetQueue(&queue);
        auto* factory = WINM_NEW(WinmHttpRequestFactory)(&queue);
        KString url(Server().Url().c_str());
        GrowableArray body(1);
        body.InsertAt(body.End(), static_cast<int>(kRequest.size()), kRequest.data());
        for (auto _ : state) {
            GrowableArray answer(1);
            TransportError error;
            Requester requester;
            HttpRequestInterface* request = factory->CreateRequest(url, &body, &answer, &error);
            request->Start(&requester);
            window.RunUntil([&] { return requester.done; });
            if (!requester.ok || answer.count != static_cast<int>(kAnswer.size())) {
                state.SkipWithError("exchange failed");
                break;
            }
        }
        delete factory;
        window.Drain();
    }
    g_winmLib->Unload();
    delete g_winmLib;
    g_winmLib = nullptr;
}
BENCHMARK(BM_PostThroughTheLayer)->Unit(benchmark::kMicrosecond)->UseRealTime();

size_t Collect(char* data, size_t size, size_t count, void* target) {
    static_cast<std::string*>(target)->append(data, size * count);
    return size * count;
}

void BM_PostWithLibcurl(benchmark::State& state) {
    std::string url = Server().Url();
    for (auto _ : state) {
        CURL* curl = curl_easy_init();
        std::string answer;
        curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
        curl_easy_setopt(curl, CURLOPT_PROXY, "");
        curl_easy_setopt(curl, CURLOPT_USERAGENT, "WINM-TEST-USER-AGENT");
        curl_easy_setopt(curl, CURLOPT_POSTFIELDS, kRequest.data());
        curl_easy_setopt(curl, CURLOPT_POSTFIELDSIZE, static_cast<long>(kRequest.size()));
        curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, &Collect);
        curl_easy_setopt(curl, CURLOPT_WRITEDATA, &answer);
        CURLcode result = curl_easy_perform(curl);
        curl_easy_cleanup(curl);
        if (result != CURLE_OK || answer.size() != kAnswer.size()) {
            state.SkipWithError("exchange failed");
            break;
        }
    }
}
BENCHMARK(BM_PostWithLibcurl)->Unit(benchmark::kMicrosecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
