#include "transfer.h"

#include <curl/curl.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string_view>

#include <unistd.h>

#include "connect_to.h"
#include "wince/src/base/hostlog.h"
#include "curl_errors.h"
#include "netutil.h"
#include "noproxy.h"
#include "proxy_list.h"
#include "wince/testing/net.h"

namespace wince::net {
namespace {

// ---- libcurl callbacks (run on the thread that drives the transfer) -------

std::size_t OnHeader(char* data, std::size_t size, std::size_t count, void* user) {
    auto* r = static_cast<Request*>(user);
    const std::size_t length = size * count;
    r->Touch();
    if (r->headersDone)
        return length;  // trailers of a chunked body
    if (r->head.Feed(std::string_view(data, length))) {
        {
            std::lock_guard<std::mutex> lock(r->headerMutex);
            r->headerLines = r->head.Lines();
            r->headersFinal = true;
        }
        r->headersDone = true;
    }
    return length;
}

std::size_t OnBody(char* data, std::size_t size, std::size_t count, void* user) {
    auto* r = static_cast<Request*>(user);
    const std::size_t length = size * count;
    if (r->Unread() >= kBufferCap) {
        r->paused = true;
        return CURL_WRITEFUNC_PAUSE;
    }
    r->Touch();
    if (r->pendingPos == r->pending.size()) {
        r->pending.clear();
        r->pendingPos = 0;
    }
    r->pending.append(data, length);
    return length;
}

int OnProgress(void* user, curl_off_t, curl_off_t, curl_off_t, curl_off_t uploaded) {
    auto* r = static_cast<Request*>(user);
    if (uploaded != r->lastUp) {
        r->lastUp = uploaded;
        r->Touch();
    }
    if (static_cast<std::size_t>(uploaded) >= r->body.size())
        r->uploadDone = true;
    return 0;
}

int OnConnected(void* user, char*, char*, int, int) {
    auto* r = static_cast<Request*>(user);
    r->connected = true;
    r->Touch();
    return CURL_PREREQFUNC_OK;
}

// ---- Driving a transfer ---------------------------------------------------

// Ends the transfer with `why` (a time-out or a close) unless it has ended.
void Abandon(Request& r, DWORD why) {
    if (!r.ended) {
        r.ended = true;
        r.failure = why;
    }
}

// Calls inside Pump, for tests that must act while a call is blocked.
std::atomic<int> g_callsWaiting{0};

}  // namespace

// Drives the transfer until `ready()` holds, the transfer ends, or the
// handle is closed. A peer that stays silent past the send or receive
// time-out ends the transfer with ERROR_INTERNET_TIMEOUT.
void Pump(Request& r, const std::function<bool()>& ready) {
    struct Waiting {
        Waiting() { g_callsWaiting.fetch_add(1); }
        ~Waiting() { g_callsWaiting.fetch_sub(1); }
    } waiting;
    r.Touch();
    for (;;) {
        if (r.closed.load())
            return;
        if (ready() || r.ended)
            return;
        int running = 0;
        if (curl_multi_perform(r.multi, &running) != CURLM_OK) {
            Abandon(r, ERROR_INTERNET_INTERNAL_ERROR);
            return;
        }
        int queued = 0;
        while (CURLMsg* msg = curl_multi_info_read(r.multi, &queued)) {
            if (msg->msg != CURLMSG_DONE || msg->easy_handle != r.easy || r.ended)
                continue;
            r.ended = true;
            CURLcode code = msg->data.result;
            curl_off_t length = -1;
            curl_easy_getinfo(r.easy, CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &length);
            if (code == CURLE_PARTIAL_FILE && r.headersDone && length >= 0) {
                // A body shorter than its Content-Length ends like any body;
                // the reader sees the count that arrived.
                code = CURLE_OK;
            }
            r.failure = MapCurlError(r.easy, r.errorText, code);
        }
        if (ready() || r.ended || r.closed.load())
            continue;

        long waitMs = 1000;
        if (r.connected && !r.paused) {
            const DWORD limit = r.uploadDone ? Effective(r.receiveTimeout, g_receiveTimeout)
                                             : Effective(r.sendTimeout, g_sendTimeout);
            if (limit != 0 && limit != INFINITE) {
                auto idle = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() -
                                                                                  r.lastActivity)
                                .count();
                if (idle >= static_cast<long long>(limit)) {
                    Abandon(r, ERROR_INTERNET_TIMEOUT);
                    return;
                }
                waitMs = std::min<long>(waitMs, static_cast<long>(limit - idle));
            }
        }
        curl_multi_poll(r.multi, nullptr, 0, static_cast<int>(std::max<long>(waitMs, 1)), nullptr);
    }
}

namespace {

// Splits header text into lines for libcurl. A line "Name:" with nothing
// after it is sent as an empty header (libcurl would drop the header).
curl_slist* HeaderList(const std::string& text, curl_slist* list) {
    std::size_t i = 0;
    while (i < text.size()) {
        std::size_t j = text.find_first_of("\r\n", i);
        if (j == std::string::npos)
            j = text.size();
        std::string line = text.substr(i, j - i);
        i = j + 1;
        if (wince::net::Trim(line).empty())
            continue;
        std::string_view trimmed = wince::net::Trim(line);
        if (!trimmed.empty() && trimmed.back() == ':') {
            line = std::string(trimmed.substr(0, trimmed.size() - 1)) + ";";
        }
        if (curl_slist* next = curl_slist_append(list, line.c_str()))
            list = next;
    }
    return list;
}

bool HasHeader(const curl_slist* list, const char* name) {
    const std::size_t n = std::strlen(name);
    for (; list != nullptr; list = list->next) {
        std::string_view line(list->data);
        if (line.size() >= n && EqualsNoCase(line.substr(0, n), name) &&
            (line.size() == n || line[n] == ':' || line[n] == ';'))
            return true;
    }
    return false;
}

// WINM_CONNECT_TO, as a libcurl list (NULL when unset or empty). It redirects
// direct connections only: through a proxy it is ignored, and an entry that
// cannot be read fails the request rather than send it somewhere unintended.
bool ConnectToList(const std::string& proxy, curl_slist** list) {
    *list = nullptr;
    const char* value = std::getenv("WINM_CONNECT_TO");
    if (value == nullptr || Trim(value).empty())
        return true;
    if (!proxy.empty()) {
        // A proxy from the environment may carry user:password@: never shown.
        std::string shown = proxy;
        const std::size_t start =
            shown.find("://") == std::string::npos ? 0 : shown.find("://") + 3;
        const std::size_t at = shown.rfind('@');
        if (at != std::string::npos && at >= start)
            shown.erase(start, at + 1 - start);
        HostWarning("WINM_CONNECT_TO is ignored: the request goes through the proxy " + shown);
        return true;
    }
    std::string bad;
    auto rules = ParseConnectToRules(value, &bad);
    if (!rules) {
        HostWarning("WINM_CONNECT_TO rule \"" + bad +
                    "\" cannot be read (HOST:PORT:CONNECT-TO-HOST:CONNECT-TO-PORT); the "
                    "request fails");
        return false;
    }
    for (const std::string& rule : *rules) {
        if (curl_slist* next = curl_slist_append(*list, rule.c_str()))
            *list = next;
    }
    return true;
}

// The proxy the environment names for a request, by libcurl's rules.
std::string EnvironmentProxy(bool secure) {
    static const char* const kHttp[] = {"http_proxy", "all_proxy", "ALL_PROXY", nullptr};
    static const char* const kHttps[] = {"https_proxy", "HTTPS_PROXY", "all_proxy", "ALL_PROXY",
                                         nullptr};
    for (const char* const* name = secure ? kHttps : kHttp; *name != nullptr; ++name) {
        const char* value = std::getenv(*name);
        if (value != nullptr && value[0] != 0)
            return value;
    }
    return {};
}

// A path from the environment as a warning may show it: control bytes
// replaced, bounded.
std::string Printable(const char* text) {
    std::string out;
    for (const char* p = text; *p != 0 && out.size() < 256; ++p)
        out += static_cast<unsigned char>(*p) < 0x20 || *p == 0x7F ? '?' : *p;
    return out;
}

// TLS for an https URL: the peer's certificate chain and host name are
// always checked (only the caller's own Win32 flag skips the name), TLS 1.2
// at least. The trust anchors are the system's, unless the variables curl
// and OpenSSL programs read name others: CURL_CA_BUNDLE, else SSL_CERT_FILE
// and SSL_CERT_DIR. A named file that cannot be read fails the request with
// a warning instead of falling back to the system's anchors.
bool SetUpTls(CURL* e, DWORD flags) {
    curl_easy_setopt(e, CURLOPT_SSL_VERIFYPEER, 1L);
    curl_easy_setopt(e, CURLOPT_SSL_VERIFYHOST,
                     (flags & INTERNET_FLAG_IGNORE_CERT_CN_INVALID) != 0 ? 0L : 2L);
    curl_easy_setopt(e, CURLOPT_SSLVERSION, static_cast<long>(CURL_SSLVERSION_TLSv1_2));
    auto variable = [](const char* name) -> const char* {
        const char* value = std::getenv(name);
        return value != nullptr && value[0] != 0 ? value : nullptr;
    };
    const char* file = variable("CURL_CA_BUNDLE");
    const char* fileName = "CURL_CA_BUNDLE";
    const char* dir = nullptr;
    if (file == nullptr) {
        file = variable("SSL_CERT_FILE");
        fileName = "SSL_CERT_FILE";
        dir = variable("SSL_CERT_DIR");
    }
    if (file == nullptr && dir == nullptr)
        return true;
    if (file != nullptr && access(file, R_OK) != 0) {
        HostWarning(std::string(fileName) + " names a certificate file that cannot be read (" +
                    std::strerror(errno) + "): " + Printable(file) + "; the request fails");
        return false;
    }
    // What is named replaces the defaults, the one not named included.
    curl_easy_setopt(e, CURLOPT_CAINFO, file);
    curl_easy_setopt(e, CURLOPT_CAPATH, dir);
    return true;
}

}  // namespace

// Starts the transfer and waits for the response headers. False with the
// failure code when there are none.
bool SendAndWait(Request& r, const std::string& extraHeaders, const void* body, DWORD bodyLength) {
    std::lock_guard<std::mutex> op(r.opMutex);
    if (r.closed.load()) {
        SetLastError(ERROR_INTERNET_OPERATION_CANCELLED);
        return false;
    }
    if (r.multi == nullptr) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return false;
    }
    // A request handle may be sent again; each send is a fresh exchange.
    if (r.easy != nullptr) {
        curl_multi_remove_handle(r.multi, r.easy);
        curl_easy_cleanup(r.easy);
        r.easy = nullptr;
    }
    curl_slist_free_all(r.headerList);
    r.headerList = nullptr;
    curl_slist_free_all(r.connectTo);
    r.connectTo = nullptr;
    r.body.assign(static_cast<const char*>(body), body == nullptr ? 0 : bodyLength);
    r.sent = true;
    r.connected = r.uploadDone = r.ended = r.headersDone = r.paused = false;
    r.failure = 0;
    r.head = ResponseHeadParser();
    r.lastUp = 0;
    r.pending.clear();
    r.pendingPos = 0;
    r.errorText[0] = 0;
    {
        std::lock_guard<std::mutex> lock(r.headerMutex);
        r.headerLines.clear();
        r.headersFinal = false;
    }

    CURL* e = curl_easy_init();
    if (e == nullptr) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return false;
    }
    r.easy = e;
    curl_easy_setopt(e, CURLOPT_URL, r.url.c_str());
    curl_easy_setopt(e, CURLOPT_NOSIGNAL, 1L);
    // A closed request must not wait for a name lookup in flight: the lookup
    // thread is left to finish on its own.
    curl_easy_setopt(e, CURLOPT_QUICK_EXIT, 1L);
    curl_easy_setopt(e, CURLOPT_FOLLOWLOCATION, 0L);
    curl_easy_setopt(e, CURLOPT_ERRORBUFFER, r.errorText);
    curl_easy_setopt(e, CURLOPT_HEADERFUNCTION, OnHeader);
    curl_easy_setopt(e, CURLOPT_HEADERDATA, &r);
    curl_easy_setopt(e, CURLOPT_WRITEFUNCTION, OnBody);
    curl_easy_setopt(e, CURLOPT_WRITEDATA, &r);
    curl_easy_setopt(e, CURLOPT_NOPROGRESS, 0L);
    curl_easy_setopt(e, CURLOPT_XFERINFOFUNCTION, OnProgress);
    curl_easy_setopt(e, CURLOPT_XFERINFODATA, &r);
    curl_easy_setopt(e, CURLOPT_PREREQFUNCTION, OnConnected);
    curl_easy_setopt(e, CURLOPT_PREREQDATA, &r);
    curl_easy_setopt(e, CURLOPT_SUPPRESS_CONNECT_HEADERS, 1L);
    curl_easy_setopt(e, CURLOPT_HTTP_VERSION,
                     r.http10 ? CURL_HTTP_VERSION_1_0 : CURL_HTTP_VERSION_1_1);
    const DWORD connectMs = Effective(r.connectTimeout, g_connectTimeout);
    if (connectMs != 0 && connectMs != INFINITE)
        curl_easy_setopt(e, CURLOPT_CONNECTTIMEOUT_MS, static_cast<long>(connectMs));
    if (!r.agent.empty())
        curl_easy_setopt(e, CURLOPT_USERAGENT, r.agent.c_str());
    if (!r.referrer.empty())
        curl_easy_setopt(e, CURLOPT_REFERER, r.referrer.c_str());
    if (!r.user.empty()) {
        curl_easy_setopt(e, CURLOPT_USERNAME, r.user.c_str());
        curl_easy_setopt(e, CURLOPT_PASSWORD, r.password.c_str());
    }
    const bool secure = r.url.compare(0, 8, "https://") == 0;
    if (secure && !SetUpTls(e, r.flags)) {
        SetLastError(ERROR_INTERNET_SECURITY_CHANNEL_ERROR);
        return false;
    }
    std::string proxy;
    switch (r.route.mode) {
        case Route::Mode::Direct:
            curl_easy_setopt(e, CURLOPT_PROXY, "");
            break;
        case Route::Mode::Proxy: {
            // Without a bypass list of the caller's own, the machine's one
            // (no_proxy) applies. The route is decided here alone: libcurl
            // must not consult no_proxy on top of it.
            const bool bypassed = r.route.bypassGiven
                                      ? Bypassed(r.route.bypassList, r.host)
                                      : NoProxyNames(NoProxyFromEnvironment(), r.host);
            proxy = bypassed ? std::string() : ProxyFor(r.route.proxyList, secure);
            curl_easy_setopt(e, CURLOPT_PROXY, proxy.c_str());
            curl_easy_setopt(e, CURLOPT_NOPROXY, "");
            break;
        }
        case Route::Mode::Environment:
            // The proxy variables and no_proxy as libcurl would read them,
            // decided here once and handed over explicitly, so that libcurl
            // and ConnectToList go the same way.
            proxy = NoProxyNames(NoProxyFromEnvironment(), r.host) ? std::string()
                                                                   : EnvironmentProxy(secure);
            curl_easy_setopt(e, CURLOPT_PROXY, proxy.c_str());
            curl_easy_setopt(e, CURLOPT_NOPROXY, "");
            break;
    }
    if (!proxy.empty()) {
        // WinInet answers a proxy's request for credentials with Basic; the
        // password goes to the proxy only, and never into a log line.
        std::lock_guard<std::mutex> lock(r.credentialMutex);
        if (!r.proxyUser.empty()) {
            curl_easy_setopt(e, CURLOPT_PROXYUSERNAME, r.proxyUser.c_str());
            curl_easy_setopt(e, CURLOPT_PROXYPASSWORD, r.proxyPassword.c_str());
            curl_easy_setopt(e, CURLOPT_PROXYAUTH, static_cast<long>(CURLAUTH_BASIC));
        }
    }
    if (!ConnectToList(proxy, &r.connectTo)) {
        SetLastError(ERROR_INTERNET_INTERNAL_ERROR);
        return false;
    }
    if (r.connectTo != nullptr)
        curl_easy_setopt(e, CURLOPT_CONNECT_TO, r.connectTo);

    curl_slist* headers = HeaderList(extraHeaders, nullptr);
    if (!r.accept.empty() && !HasHeader(headers, "Accept")) {
        std::string line = "Accept: " + r.accept;
        if (curl_slist* next = curl_slist_append(headers, line.c_str()))
            headers = next;
    }
    if ((r.flags & INTERNET_FLAG_PRAGMA_NOCACHE) != 0 && !HasHeader(headers, "Pragma")) {
        if (curl_slist* next = curl_slist_append(headers, "Pragma: no-cache"))
            headers = next;
    }

    const bool hasBody =
        body != nullptr || EqualsNoCase(r.verb, "POST") || EqualsNoCase(r.verb, "PUT");
    if (hasBody) {
        curl_easy_setopt(e, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(r.body.size()));
        curl_easy_setopt(e, CURLOPT_POSTFIELDS, r.body.data());
        // Send the body as it is: no form content type and no 100-continue
        // round trip that the caller did not ask for.
        if (!HasHeader(headers, "Content-Type")) {
            if (curl_slist* next = curl_slist_append(headers, "Content-Type:"))
                headers = next;
        }
        if (!HasHeader(headers, "Expect")) {
            if (curl_slist* next = curl_slist_append(headers, "Expect:"))
                headers = next;
        }
        if (!EqualsNoCase(r.verb, "POST"))
            curl_easy_setopt(e, CURLOPT_CUSTOMREQUEST, r.verb.c_str());
    } else {
        r.uploadDone = true;
        if (EqualsNoCase(r.verb, "HEAD")) {
            curl_easy_setopt(e, CURLOPT_NOBODY, 1L);
        } else {
            curl_easy_setopt(e, CURLOPT_HTTPGET, 1L);
            if (!EqualsNoCase(r.verb, "GET"))
                curl_easy_setopt(e, CURLOPT_CUSTOMREQUEST, r.verb.c_str());
        }
    }
    r.headerList = headers;
    if (headers != nullptr)
        curl_easy_setopt(e, CURLOPT_HTTPHEADER, headers);

    if (curl_multi_add_handle(r.multi, e) != CURLM_OK) {
        SetLastError(ERROR_INTERNET_INTERNAL_ERROR);
        return false;
    }
    Pump(r, [&r] { return r.headersDone; });
    if (r.closed.load()) {
        SetLastError(ERROR_INTERNET_OPERATION_CANCELLED);
        return false;
    }
    if (r.headersDone)
        return true;
    SetLastError(r.failure != 0 ? r.failure : ERROR_HTTP_INVALID_SERVER_RESPONSE);
    return false;
}

}  // namespace wince::net

int WinceInternetCallsWaiting() {
    return wince::net::g_callsWaiting.load();
}
