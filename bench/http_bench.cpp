// One POST exchange through the whole platform layer (factory, data
// connection, worker thread, event queue, window thread) against the same
// exchange made directly with libcurl on the calling thread. Both talk to the
// same loopback server and open a fresh connection per exchange; over plain
// HTTP, and over verified TLS with a throwaway CA made at start.
#include <benchmark/benchmark.h>
#include <curl/curl.h>
#include <httplib.h>
#include <stdlib.h>

#include <algorithm>
#include <filesystem>
#include <iterator>
#include <string>
#include <thread>

#include "common/base/winm/internal/testing/testwindow.h"
#include "common/base/winm/internal/winmlib.h"
#include "common/net/winm/internal/testing/loopbackserver.h"
#include "common/net/winm/internal/winmhttpfactory.h"
#include "common/src/answersignature.h"

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

// The TLS server: cpp-httplib with a localhost certificate of a CA made
// for the run; SSL_CERT_FILE makes the layer trust that CA alone.
struct TlsServer {
    TlsServer() {
        std::string pattern =
            (std::filesystem::temp_directory_path() / "winm-bench-ca-XXXXXX").string();
        if (mkdtemp(pattern.data()) == nullptr)
            return;
        dir = pattern;
        std::string command =
            std::string("'") + WINM_MAKE_TEST_CA + "' '" + dir + "/ca' >/dev/null 2>&1";
        if (std::system(command.c_str()) != 0)
            return;
        ca = dir + "/ca/ca.pem";
        setenv("SSL_CERT_FILE", ca.c_str(), 1);
        unsetenv("CURL_CA_BUNDLE");
        unsetenv("SSL_CERT_DIR");
        server = std::make_unique<httplib::SSLServer>((dir + "/ca/good.pem").c_str(),
                                                      (dir + "/ca/good.key").c_str());
        // Without it the answer's second TLS record waits for a delayed ACK
        // (40 ms), which would hide what the layer costs.
        server->set_tcp_nodelay(true);
        server->Post("/m/appreq/mobilesearchapp",
                     [](const httplib::Request&, httplib::Response& response) {
                         response.set_content(kAnswer, "application/octet-stream");
                     });
        int port = server->bind_to_any_port("127.0.0.1");
        if (port <= 0)
            return;
        url = "https://localhost:" + std::to_string(port) + "/m/appreq/mobilesearchapp";
        thread = std::thread([this] { server->listen_after_bind(); });
    }
    ~TlsServer() {
        if (thread.joinable()) {
            server->stop();
            thread.join();
        }
        std::error_code ignored;
        std::filesystem::remove_all(dir, ignored);
    }
    std::string dir, ca, url;
    std::unique_ptr<httplib::SSLServer> server;
    std::thread thread;
};

TlsServer& Tls() {
    static TlsServer server;
    return server;
}

void PostThroughTheLayer(benchmark::State& state, const std::string& target) {
    if (target.empty()) {
        state.SkipWithError("no server");
        return;
    }
    g_winmLib = WINM_NEW(WinmLib)();
    g_winmLib->Load();
    {
        TestWindow window;
        WinmAppEventHandler queue(window.Handle());
        window.SetQueue(&queue);
        auto* factory = WINM_NEW(WinmHttpRequestFactory)(&queue);
        KString url(target.c_str());
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
void BM_PostThroughTheLayer(benchmark::State& state) {
    PostThroughTheLayer(state, Server().Url());
}
BENCHMARK(BM_PostThroughTheLayer)->Unit(benchmark::kMicrosecond)->UseRealTime();

void BM_HttpsPostThroughTheLayer(benchmark::State& state) {
    PostThroughTheLayer(state, Tls().url);
}
BENCHMARK(BM_HttpsPostThroughTheLayer)->Unit(benchmark::kMicrosecond)->UseRealTime();

size_t Collect(char* data, size_t size, size_t count, void* target) {
    static_cast<std::string*>(target)->append(data, size * count);
    return size * count;
}

void PostWithLibcurl(benchmark::State& state, const std::string& url, const std::string& ca) {
    if (url.empty()) {
        state.SkipWithError("no server");
        return;
    }
    for (auto _ : state) {
        CURL* curl = curl_easy_init();
        std::string answer;
        curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
        if (!ca.empty()) {
            curl_easy_setopt(curl, CURLOPT_CAINFO, ca.c_str());
            curl_easy_setopt(curl, CURLOPT_CAPATH, nullptr);
            curl_easy_setopt(curl, CURLOPT_SSLVERSION, static_cast<long>(CURL_SSLVERSION_TLSv1_2));
        }
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
void BM_PostWithLibcurl(benchmark::State& state) {
    PostWithLibcurl(state, Server().Url(), "");
}
BENCHMARK(BM_PostWithLibcurl)->Unit(benchmark::kMicrosecond)->UseRealTime();

void BM_HttpsPostWithLibcurl(benchmark::State& state) {
    PostWithLibcurl(state, Tls().url, Tls().ca);
}
BENCHMARK(BM_HttpsPostWithLibcurl)->Unit(benchmark::kMicrosecond)->UseRealTime();

}  // namespace

// What a build with an answer key adds to an exchange: SHA-256 of both
// bodies and one ECDSA P-256 verification, through the host's CNG. The
// signature does not verify, which costs the same as one that does; the
// response body runs up to the 16 MiB cap.
void BM_CheckAnswerSignature(benchmark::State& state) {
    AnswerKey key{};
    key.id = 7;
    // A point on the curve (the P-256 generator).
    const uint8_t gx[32] = {0x6b, 0x17, 0xd1, 0xf2, 0xe1, 0x2c, 0x42, 0x47, 0xf8, 0xbc, 0xe6,
                            0xe5, 0x63, 0xa4, 0x40, 0xf2, 0x77, 0x03, 0x7d, 0x81, 0x2d, 0xeb,
                            0x33, 0xa0, 0xf4, 0xa1, 0x39, 0x45, 0xd8, 0x98, 0xc2, 0x96};
    const uint8_t gy[32] = {0x4f, 0xe3, 0x42, 0xe2, 0xfe, 0x1a, 0x7f, 0x9b, 0x8e, 0xe7, 0xeb,
                            0x4a, 0x7c, 0x0f, 0x9e, 0x16, 0x2b, 0xce, 0x33, 0x57, 0x6b, 0x31,
                            0x5e, 0xce, 0xcb, 0xb6, 0x40, 0x68, 0x37, 0xbf, 0x51, 0xf5};
    std::copy(std::begin(gx), std::end(gx), key.x);
    std::copy(std::begin(gy), std::end(gy), key.y);
    GrowableArray request(1), response(1), value(1);
    request.InsertAt(request.End(), static_cast<int>(kRequest.size()), kRequest.data());
    response.SetCount(static_cast<int>(state.range(0)));
    std::fill(response.Bytes(), response.Bytes() + response.count, uint8_t{'r'});
    const std::string signature = "7:" + std::string(128, '1');
    value.InsertAt(value.End(), static_cast<int>(signature.size()), signature.data());
    AnswerSignature check(key);
    if (!check.Begin()) {
        state.SkipWithError("no CNG");
        return;
    }
    for (auto _ : state) {
        if (check.Check(1, value, request, response) != SignatureVerdict::kDoesNotVerify) {
            state.SkipWithError("unexpected verdict");
            break;
        }
    }
    state.SetBytesProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_CheckAnswerSignature)
    ->Arg(43)
    ->Arg(1 << 20)
    ->Arg(16 << 20)
    ->Unit(benchmark::kMicrosecond)
    ->UseRealTime();

BENCHMARK_MAIN();
