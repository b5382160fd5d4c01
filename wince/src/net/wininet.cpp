// The Internet functions over libcurl.
//
// Every HINTERNET is an id in one process-wide table of handle objects (a
// session from InternetOpenW, a connection from InternetConnectW, a request
// from HttpOpenRequestW or InternetOpenUrlW). A call looks its handle up and
// keeps the object alive with a shared reference for the length of the call,
// so InternetCloseHandle from another thread only marks the object closed and
// wakes the call; the libcurl handles are freed by whoever lets go last.
//
// A request owns one easy handle in a multi handle of its own. The calls that
// wait (HttpSendRequestW, InternetOpenUrlW, InternetReadFile) drive the
// transfer themselves with curl_multi_perform / curl_multi_poll until they
// have what they need, so nothing runs in the background and the body is
// pulled as the caller reads it: the write callback pauses the transfer when
// more than kBufferCap bytes wait unread.
#include <curl/curl.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

#include "netutil.h"
#include "wince/testing/net.h"
#include "wince/wininet.h"

namespace {

using Clock = std::chrono::steady_clock;
using wince::net::EqualsNoCase;
using wince::net::ToUtf8;

constexpr std::size_t kBufferCap = 256 * 1024;
constexpr DWORD kDefaultTimeoutMs = 60000;
constexpr std::int64_t kUnset = -1;

// Process-wide time-outs (InternetSetOptionW on the NULL handle).
std::atomic<DWORD> g_connectTimeout{kDefaultTimeoutMs};
std::atomic<DWORD> g_sendTimeout{kDefaultTimeoutMs};
std::atomic<DWORD> g_receiveTimeout{kDefaultTimeoutMs};

void GlobalInit() {
    static std::once_flag once;
    std::call_once(once, [] { curl_global_init(CURL_GLOBAL_ALL); });
}

enum class Kind { Session, Connect, Request };

// How a request reaches its server.
struct Route {
    enum class Mode { Direct, Proxy, Environment } mode = Mode::Direct;
    std::string proxyList;   // the InternetOpenW proxy argument, UTF-8
    std::string bypassList;  // the InternetOpenW bypass argument, UTF-8
};

struct Handle {
    Handle(Kind k, DWORD_PTR ctx) : kind(k), context(ctx) {}
    virtual ~Handle() = default;
    // Wakes a call that waits on this handle; it then sees `closed`.
    virtual void Wake() {}

    const Kind kind;
    const DWORD_PTR context;
    std::uintptr_t id = 0;
    std::atomic<bool> closed{false};
    std::atomic<INTERNET_STATUS_CALLBACK> callback{nullptr};
    // Per-handle time-outs in ms, kUnset to use the process-wide ones.
    std::atomic<std::int64_t> connectTimeout{kUnset};
    std::atomic<std::int64_t> sendTimeout{kUnset};
    std::atomic<std::int64_t> receiveTimeout{kUnset};

    std::mutex childMutex;  // guards children; also taken when closing
    std::vector<std::weak_ptr<Handle>> children;
};

struct Session : Handle {
    using Handle::Handle;
    std::string agent;
    Route route;
};

struct Connect : Handle {
    using Handle::Handle;
    std::string agent;
    Route route;
    std::string host;  // as given, without brackets
    INTERNET_PORT port = 0;
    std::string user, password;
};

struct Request : Handle {
    Request(DWORD_PTR ctx) : Handle(Kind::Request, ctx) { multi = curl_multi_init(); }
    ~Request() override {
        if (easy != nullptr) {
            curl_multi_remove_handle(multi, easy);
            curl_easy_cleanup(easy);
        }
        if (multi != nullptr)
            curl_multi_cleanup(multi);
        curl_slist_free_all(headerList);
        curl_slist_free_all(connectTo);
    }
    void Wake() override {
        if (multi != nullptr)
            curl_multi_wakeup(multi);
    }

    // Settings, fixed at creation.
    std::string agent;
    Route route;
    std::string url;  // absolute, UTF-8, escaped
    std::string host;
    std::string verb = "GET";
    std::string referrer;
    std::string accept;  // "Accept" header value, empty for none
    std::string user, password;
    bool http10 = false;
    DWORD flags = 0;

    // The transfer; used only by the call that holds opMutex.
    std::mutex opMutex;
    CURLM* multi = nullptr;
    CURL* easy = nullptr;
    curl_slist* headerList = nullptr;
    curl_slist* connectTo = nullptr;
    std::string body;
    bool sent = false;
    bool connected = false;
    bool uploadDone = false;
    bool ended = false;  // the transfer is over (completed, failed or abandoned)
    DWORD failure = 0;   // why it ended badly; 0 for a complete transfer
    bool headersDone = false;
    long status = 0;
    std::vector<std::string> collecting;  // header lines of the response being received
    std::string pending;                  // body bytes not yet read
    std::size_t pendingPos = 0;
    bool paused = false;
    Clock::time_point lastActivity;
    curl_off_t lastUp = 0;
    char errorText[CURL_ERROR_SIZE] = {};

    // The final response's header lines, without CR LF; written once by the
    // transfer, read by HttpQueryInfoW from any thread.
    std::mutex headerMutex;
    std::vector<std::string> headerLines;
    bool headersFinal = false;

    std::size_t Unread() const { return pending.size() - pendingPos; }
    void Touch() { lastActivity = Clock::now(); }
};

std::mutex g_tableMutex;
std::unordered_map<std::uintptr_t, std::shared_ptr<Handle>> g_table;
std::uintptr_t g_nextId = 0xCC0004;

HINTERNET ToHandle(std::uintptr_t id) {
    return reinterpret_cast<HINTERNET>(id);
}

std::shared_ptr<Handle> Lookup(HINTERNET h) {
    std::lock_guard<std::mutex> lock(g_tableMutex);
    auto it = g_table.find(reinterpret_cast<std::uintptr_t>(h));
    if (it == g_table.end())
        return nullptr;
    return it->second;
}

template <typename T>
std::shared_ptr<T> LookupAs(HINTERNET h, Kind kind) {
    auto handle = Lookup(h);
    if (handle == nullptr || handle->kind != kind) {
        SetLastError(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    return std::static_pointer_cast<T>(handle);
}

// Enters a new handle in the table as a child of `parent` (NULL for a
// session); fails when the parent has been closed meanwhile.
HINTERNET Register(const std::shared_ptr<Handle>& handle, Handle* parent) {
    if (parent != nullptr) {
        handle->callback.store(parent->callback.load());
        handle->connectTimeout.store(parent->connectTimeout.load());
        handle->sendTimeout.store(parent->sendTimeout.load());
        handle->receiveTimeout.store(parent->receiveTimeout.load());
    }
    std::unique_lock<std::mutex> parentLock;
    if (parent != nullptr) {
        parentLock = std::unique_lock<std::mutex>(parent->childMutex);
        if (parent->closed.load()) {
            SetLastError(ERROR_INVALID_HANDLE);
            return nullptr;
        }
        parent->children.push_back(handle);
    }
    std::lock_guard<std::mutex> lock(g_tableMutex);
    handle->id = g_nextId;
    g_nextId += 4;
    g_table.emplace(handle->id, handle);
    return ToHandle(handle->id);
}

// Closes a handle and everything opened from it, waking calls that wait.
void CloseTree(const std::shared_ptr<Handle>& handle) {
    std::vector<std::weak_ptr<Handle>> children;
    {
        std::lock_guard<std::mutex> lock(handle->childMutex);
        if (handle->closed.exchange(true))
            return;
        children.swap(handle->children);
    }
    handle->Wake();
    for (auto& weak : children) {
        auto child = weak.lock();
        if (child == nullptr)
            continue;
        {
            std::lock_guard<std::mutex> lock(g_tableMutex);
            g_table.erase(child->id);
        }
        CloseTree(child);
    }
    INTERNET_STATUS_CALLBACK callback = handle->callback.load();
    if (callback != nullptr && handle->context != 0) {
        HINTERNET h = ToHandle(handle->id);
        callback(h, handle->context, INTERNET_STATUS_HANDLE_CLOSING, &h, sizeof(h));
    }
}

DWORD Effective(const std::atomic<std::int64_t>& own, const std::atomic<DWORD>& global) {
    std::int64_t v = own.load();
    return v == kUnset ? global.load() : static_cast<DWORD>(v);
}

// ---- Proxy selection ------------------------------------------------------

// Picks the proxy for a scheme from an InternetOpenW proxy list
// ("host:port", "http=host:port https=host:port", "socks=host:port", with
// optional "http://" prefixes), as a libcurl proxy URL; empty for none.
std::string ProxyFor(const std::string& list, bool secure) {
    std::string bare, specific, socks;
    std::size_t i = 0;
    while (i < list.size()) {
        std::size_t j = list.find_first_of(" ;", i);
        if (j == std::string::npos)
            j = list.size();
        std::string entry = list.substr(i, j - i);
        i = j + 1;
        if (entry.empty())
            continue;
        auto eq = entry.find('=');
        if (eq == std::string::npos) {
            if (bare.empty())
                bare = entry;
            continue;
        }
        std::string scheme = entry.substr(0, eq), server = entry.substr(eq + 1);
        if (EqualsNoCase(scheme, secure ? "https" : "http"))
            specific = server;
        if (EqualsNoCase(scheme, "socks"))
            socks = server;
    }
    std::string chosen = !specific.empty() ? specific : bare;
    if (chosen.empty())
        return socks.empty() ? std::string() : "socks4://" + socks;
    if (chosen.find("://") == std::string::npos)
        chosen = "http://" + chosen;
    return chosen;
}

// True when `host` matches the InternetOpenW bypass list: exact names,
// "*"-wildcards at the start ("*.example") and "<local>" for names without a
// dot.
bool Bypassed(const std::string& list, const std::string& host) {
    std::size_t i = 0;
    while (i < list.size()) {
        std::size_t j = list.find_first_of(" ;,", i);
        if (j == std::string::npos)
            j = list.size();
        std::string entry = list.substr(i, j - i);
        i = j + 1;
        if (entry.empty())
            continue;
        if (entry == "<local>") {
            if (host.find('.') == std::string::npos && host.find(':') == std::string::npos)
                return true;
        } else if (entry[0] == '*') {
            std::string tail = entry.substr(1);
            if (host.size() >= tail.size() &&
                EqualsNoCase(std::string_view(host).substr(host.size() - tail.size()), tail))
                return true;
        } else if (EqualsNoCase(entry, host)) {
            return true;
        }
    }
    return false;
}

// ---- Error mapping ----------------------------------------------------------

bool LooksLikeReset(CURL* easy, const char* text) {
    long osErrno = 0;
    curl_easy_getinfo(easy, CURLINFO_OS_ERRNO, &osErrno);
    if (osErrno == ECONNRESET)
        return true;
    return std::strstr(text, "reset") != nullptr || std::strstr(text, "Reset") != nullptr;
}

DWORD MapCurlError(Request& r, CURLcode code) {
    switch (code) {
        case CURLE_OK:
            return 0;
        case CURLE_COULDNT_RESOLVE_HOST:
        case CURLE_COULDNT_RESOLVE_PROXY:
            return ERROR_INTERNET_NAME_NOT_RESOLVED;
        case CURLE_COULDNT_CONNECT:
        case CURLE_PROXY:
            return ERROR_INTERNET_CANNOT_CONNECT;
        case CURLE_OPERATION_TIMEDOUT:
            return ERROR_INTERNET_TIMEOUT;
        case CURLE_RECV_ERROR:
        case CURLE_SEND_ERROR:
            return LooksLikeReset(r.easy, r.errorText) ? ERROR_INTERNET_CONNECTION_RESET
                                                       : ERROR_INTERNET_CONNECTION_ABORTED;
        case CURLE_PARTIAL_FILE:
        case CURLE_GOT_NOTHING:
            return ERROR_INTERNET_CONNECTION_ABORTED;
        case CURLE_WEIRD_SERVER_REPLY:
        case CURLE_BAD_CONTENT_ENCODING:
        case CURLE_HTTP2:
        case CURLE_HTTP2_STREAM:
            return ERROR_HTTP_INVALID_SERVER_RESPONSE;
        case CURLE_URL_MALFORMAT:
            return ERROR_INTERNET_INVALID_URL;
        case CURLE_UNSUPPORTED_PROTOCOL:
            return ERROR_INTERNET_UNRECOGNIZED_SCHEME;
        case CURLE_PEER_FAILED_VERIFICATION:
            return ERROR_INTERNET_INVALID_CA;
        case CURLE_SSL_CONNECT_ERROR:
        case CURLE_SSL_CERTPROBLEM:
        case CURLE_SSL_CIPHER:
        case CURLE_SSL_CACERT_BADFILE:
        case CURLE_SSL_ENGINE_NOTFOUND:
        case CURLE_SSL_ENGINE_SETFAILED:
        case CURLE_USE_SSL_FAILED:
            return ERROR_INTERNET_SECURITY_CHANNEL_ERROR;
        case CURLE_OUT_OF_MEMORY:
            return ERROR_NOT_ENOUGH_MEMORY;
        default:
            return ERROR_INTERNET_INTERNAL_ERROR;
    }
}

// ---- libcurl callbacks (run on the thread that drives the transfer) -------

std::size_t OnHeader(char* data, std::size_t size, std::size_t count, void* user) {
    auto* r = static_cast<Request*>(user);
    const std::size_t length = size * count;
    r->Touch();
    if (r->headersDone)
        return length;  // trailers of a chunked body
    std::string line(data, length);
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r'))
        line.pop_back();
    if (line.compare(0, 5, "HTTP/") == 0) {
        // A new response starts (after an interim 1xx one, say).
        r->collecting.clear();
        r->collecting.push_back(line);
        auto space = line.find(' ');
        r->status =
            space == std::string::npos ? 0 : std::strtol(line.c_str() + space + 1, nullptr, 10);
        return length;
    }
    if (!line.empty()) {
        r->collecting.push_back(line);
        return length;
    }
    if (r->collecting.empty())
        return length;  // no status line yet: nothing to end
    if (r->status >= 100 && r->status < 200) {
        r->collecting.clear();
        return length;
    }
    {
        std::lock_guard<std::mutex> lock(r->headerMutex);
        r->headerLines = r->collecting;
        r->headersFinal = true;
    }
    r->headersDone = true;
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
            r.failure = MapCurlError(r, code);
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

std::string EscapeUrlBytes(const std::string& s) {
    static const char* hex = "0123456789ABCDEF";
    std::string out;
    for (char c : s) {
        auto u = static_cast<unsigned char>(c);
        if (u <= 0x20 || u >= 0x7F) {
            out += '%';
            out += hex[u >> 4];
            out += hex[u & 15];
        } else {
            out += c;
        }
    }
    return out;
}

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

// WINM_CONNECT_TO: "HOST:PORT:CONNECT-TO-HOST:CONNECT-TO-PORT[,...]".
curl_slist* ConnectToList() {
    const char* value = std::getenv("WINM_CONNECT_TO");
    if (value == nullptr)
        return nullptr;
    std::string text(value);
    curl_slist* list = nullptr;
    std::size_t i = 0;
    while (i <= text.size()) {
        std::size_t j = text.find(',', i);
        if (j == std::string::npos)
            j = text.size();
        std::string entry(wince::net::Trim(std::string_view(text).substr(i, j - i)));
        i = j + 1;
        if (entry.empty())
            continue;
        if (curl_slist* next = curl_slist_append(list, entry.c_str()))
            list = next;
    }
    return list;
}

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
    r.status = 0;
    r.lastUp = 0;
    r.collecting.clear();
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
    if ((r.flags & INTERNET_FLAG_IGNORE_CERT_CN_INVALID) != 0)
        curl_easy_setopt(e, CURLOPT_SSL_VERIFYHOST, 0L);

    switch (r.route.mode) {
        case Route::Mode::Direct:
            curl_easy_setopt(e, CURLOPT_PROXY, "");
            break;
        case Route::Mode::Proxy: {
            const bool secure = r.url.compare(0, 8, "https://") == 0;
            std::string proxy = Bypassed(r.route.bypassList, r.host)
                                    ? std::string()
                                    : ProxyFor(r.route.proxyList, secure);
            curl_easy_setopt(e, CURLOPT_PROXY, proxy.c_str());
            break;
        }
        case Route::Mode::Environment:
            break;  // libcurl reads http_proxy / https_proxy / no_proxy itself
    }
    r.connectTo = ConnectToList();
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

// ---- Header queries ---------------------------------------------------------

const char* HeaderName(DWORD level) {
    switch (level) {
        case HTTP_QUERY_MIME_VERSION:
            return "MIME-Version";
        case HTTP_QUERY_CONTENT_TYPE:
            return "Content-Type";
        case HTTP_QUERY_CONTENT_TRANSFER_ENCODING:
            return "Content-Transfer-Encoding";
        case HTTP_QUERY_CONTENT_ID:
            return "Content-ID";
        case HTTP_QUERY_CONTENT_DESCRIPTION:
            return "Content-Description";
        case HTTP_QUERY_CONTENT_LENGTH:
            return "Content-Length";
        case HTTP_QUERY_CONTENT_LANGUAGE:
            return "Content-Language";
        case HTTP_QUERY_ALLOW:
            return "Allow";
        case HTTP_QUERY_PUBLIC:
            return "Public";
        case HTTP_QUERY_DATE:
            return "Date";
        case HTTP_QUERY_EXPIRES:
            return "Expires";
        case HTTP_QUERY_LAST_MODIFIED:
            return "Last-Modified";
        case HTTP_QUERY_MESSAGE_ID:
            return "Message-ID";
        case HTTP_QUERY_URI:
            return "URI";
        case HTTP_QUERY_DERIVED_FROM:
            return "Derived-From";
        case HTTP_QUERY_COST:
            return "Cost";
        case HTTP_QUERY_LINK:
            return "Link";
        case HTTP_QUERY_PRAGMA:
            return "Pragma";
        case HTTP_QUERY_CONNECTION:
            return "Connection";
        case HTTP_QUERY_ACCEPT:
            return "Accept";
        case HTTP_QUERY_ACCEPT_CHARSET:
            return "Accept-Charset";
        case HTTP_QUERY_ACCEPT_ENCODING:
            return "Accept-Encoding";
        case HTTP_QUERY_ACCEPT_LANGUAGE:
            return "Accept-Language";
        case HTTP_QUERY_AUTHORIZATION:
            return "Authorization";
        case HTTP_QUERY_CONTENT_ENCODING:
            return "Content-Encoding";
        case HTTP_QUERY_FORWARDED:
            return "Forwarded";
        case HTTP_QUERY_FROM:
            return "From";
        case HTTP_QUERY_IF_MODIFIED_SINCE:
            return "If-Modified-Since";
        case HTTP_QUERY_LOCATION:
            return "Location";
        case HTTP_QUERY_ORIG_URI:
            return "Orig-URI";
        case HTTP_QUERY_REFERER:
            return "Referer";
        case HTTP_QUERY_RETRY_AFTER:
            return "Retry-After";
        case HTTP_QUERY_SERVER:
            return "Server";
        case HTTP_QUERY_TITLE:
            return "Title";
        case HTTP_QUERY_USER_AGENT:
            return "User-Agent";
        case HTTP_QUERY_WWW_AUTHENTICATE:
            return "WWW-Authenticate";
        case HTTP_QUERY_PROXY_AUTHENTICATE:
            return "Proxy-Authenticate";
        case HTTP_QUERY_ACCEPT_RANGES:
            return "Accept-Ranges";
        case HTTP_QUERY_SET_COOKIE:
            return "Set-Cookie";
        case HTTP_QUERY_COOKIE:
            return "Cookie";
        case HTTP_QUERY_REFRESH:
            return "Refresh";
        case HTTP_QUERY_CONTENT_DISPOSITION:
            return "Content-Disposition";
        case HTTP_QUERY_AGE:
            return "Age";
        case HTTP_QUERY_CACHE_CONTROL:
            return "Cache-Control";
        case HTTP_QUERY_CONTENT_BASE:
            return "Content-Base";
        case HTTP_QUERY_CONTENT_LOCATION:
            return "Content-Location";
        case HTTP_QUERY_CONTENT_MD5:
            return "Content-MD5";
        case HTTP_QUERY_CONTENT_RANGE:
            return "Content-Range";
        case HTTP_QUERY_ETAG:
            return "ETag";
        case HTTP_QUERY_HOST:
            return "Host";
        case HTTP_QUERY_IF_MATCH:
            return "If-Match";
        case HTTP_QUERY_IF_NONE_MATCH:
            return "If-None-Match";
        case HTTP_QUERY_IF_RANGE:
            return "If-Range";
        case HTTP_QUERY_IF_UNMODIFIED_SINCE:
            return "If-Unmodified-Since";
        case HTTP_QUERY_MAX_FORWARDS:
            return "Max-Forwards";
        case HTTP_QUERY_PROXY_AUTHORIZATION:
            return "Proxy-Authorization";
        case HTTP_QUERY_RANGE:
            return "Range";
        case HTTP_QUERY_TRANSFER_ENCODING:
            return "Transfer-Encoding";
        case HTTP_QUERY_UPGRADE:
            return "Upgrade";
        case HTTP_QUERY_VARY:
            return "Vary";
        case HTTP_QUERY_VIA:
            return "Via";
        case HTTP_QUERY_WARNING:
            return "Warning";
        case HTTP_QUERY_EXPECT:
            return "Expect";
        case HTTP_QUERY_PROXY_CONNECTION:
            return "Proxy-Connection";
        case HTTP_QUERY_UNLESS_MODIFIED_SINCE:
            return "Unless-Modified-Since";
        default:
            return nullptr;
    }
}

// Writes a text result as WinInet does: the byte count without the
// terminator on success; ERROR_INSUFFICIENT_BUFFER with the bytes needed,
// terminator included, when the buffer is short.
BOOL WriteText(const std::u16string& text, LPVOID buffer, LPDWORD length) {
    const DWORD needed = static_cast<DWORD>((text.size() + 1) * sizeof(WCHAR));
    if (buffer == nullptr || *length < needed) {
        *length = needed;
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
    }
    std::memcpy(buffer, text.data(), text.size() * sizeof(WCHAR));
    static_cast<WCHAR*>(buffer)[text.size()] = 0;
    *length = static_cast<DWORD>(text.size() * sizeof(WCHAR));
    return TRUE;
}

BOOL WriteNumber(std::string_view value, LPVOID buffer, LPDWORD length) {
    value = wince::net::Trim(value);
    if (value.empty() || value.size() > 10) {
        SetLastError(ERROR_HTTP_INVALID_HEADER);
        return FALSE;
    }
    std::uint64_t n = 0;
    for (char c : value) {
        if (c < '0' || c > '9') {
            SetLastError(ERROR_HTTP_INVALID_HEADER);
            return FALSE;
        }
        n = n * 10 + static_cast<std::uint64_t>(c - '0');
    }
    if (n > 0xFFFFFFFFull) {
        SetLastError(ERROR_HTTP_INVALID_HEADER);
        return FALSE;
    }
    if (buffer == nullptr || *length < sizeof(DWORD)) {
        *length = sizeof(DWORD);
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
    }
    const DWORD v = static_cast<DWORD>(n);
    std::memcpy(buffer, &v, sizeof(v));
    *length = sizeof(DWORD);
    return TRUE;
}

}  // namespace

int WinceInternetCallsWaiting() {
    return g_callsWaiting.load();
}

// ---- The Win32 functions ------------------------------------------------------

HINTERNET WINAPI InternetOpenW(LPCWSTR agent, DWORD accessType, LPCWSTR proxy, LPCWSTR bypass,
                               DWORD flags) {
    GlobalInit();
    if ((flags & INTERNET_FLAG_ASYNC) != 0) {
        // Only the blocking form of the calls exists on this host.
        SetLastError(ERROR_NOT_SUPPORTED);
        return nullptr;
    }
    auto session = std::make_shared<Session>(Kind::Session, 0);
    session->agent = ToUtf8(agent);
    switch (accessType) {
        case INTERNET_OPEN_TYPE_DIRECT:
            session->route.mode = Route::Mode::Direct;
            break;
        case INTERNET_OPEN_TYPE_PROXY:
            session->route.mode = Route::Mode::Proxy;
            session->route.proxyList = ToUtf8(proxy);
            session->route.bypassList = ToUtf8(bypass);
            if (wince::net::Trim(session->route.proxyList).empty()) {
                SetLastError(ERROR_INVALID_PARAMETER);
                return nullptr;
            }
            break;
        case INTERNET_OPEN_TYPE_PRECONFIG:
        case INTERNET_OPEN_TYPE_PRECONFIG_WITH_NO_AUTOPROXY:
            session->route.mode = Route::Mode::Environment;
            break;
        default:
            SetLastError(ERROR_INVALID_PARAMETER);
            return nullptr;
    }
    HINTERNET h = Register(session, nullptr);
    if (h != nullptr)
        SetLastError(ERROR_SUCCESS);
    return h;
}

HINTERNET WINAPI InternetConnectW(HINTERNET internet, LPCWSTR serverName, INTERNET_PORT port,
                                  LPCWSTR userName, LPCWSTR password, DWORD service, DWORD,
                                  DWORD_PTR context) {
    auto session = LookupAs<Session>(internet, Kind::Session);
    if (session == nullptr)
        return nullptr;
    if (service != INTERNET_SERVICE_HTTP || serverName == nullptr || *serverName == 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    auto connect = std::make_shared<Connect>(Kind::Connect, context);
    connect->agent = session->agent;
    connect->route = session->route;
    connect->host = ToUtf8(serverName);
    if (connect->host.size() > 2 && connect->host.front() == '[' && connect->host.back() == ']')
        connect->host = connect->host.substr(1, connect->host.size() - 2);
    connect->port = port;
    connect->user = ToUtf8(userName);
    connect->password = ToUtf8(password);
    HINTERNET h = Register(connect, session.get());
    if (h != nullptr)
        SetLastError(ERROR_SUCCESS);
    return h;
}

HINTERNET WINAPI HttpOpenRequestW(HINTERNET connectHandle, LPCWSTR verb, LPCWSTR objectName,
                                  LPCWSTR version, LPCWSTR referrer, LPCWSTR* acceptTypes,
                                  DWORD flags, DWORD_PTR context) {
    auto connect = LookupAs<Connect>(connectHandle, Kind::Connect);
    if (connect == nullptr)
        return nullptr;
    auto request = std::make_shared<Request>(context);
    if (request->multi == nullptr) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    request->agent = connect->agent;
    request->route = connect->route;
    request->host = connect->host;
    request->user = connect->user;
    request->password = connect->password;
    request->flags = flags;
    request->verb = (verb == nullptr || *verb == 0) ? "GET" : ToUtf8(verb);
    for (char c : request->verb) {
        if (c <= ' ' || c >= 0x7F) {
            SetLastError(ERROR_INVALID_PARAMETER);
            return nullptr;
        }
    }
    request->http10 = version != nullptr && ToUtf8(version) == "HTTP/1.0";
    request->referrer = ToUtf8(referrer);
    for (LPCWSTR* t = acceptTypes; t != nullptr && *t != nullptr; ++t) {
        if (!request->accept.empty())
            request->accept += ", ";
        request->accept += ToUtf8(*t);
    }
    const bool secure = (flags & INTERNET_FLAG_SECURE) != 0;
    INTERNET_PORT port = connect->port;
    if (port == INTERNET_INVALID_PORT_NUMBER)
        port = secure ? INTERNET_DEFAULT_HTTPS_PORT : INTERNET_DEFAULT_HTTP_PORT;
    std::string host =
        connect->host.find(':') != std::string::npos ? "[" + connect->host + "]" : connect->host;
    std::string object = ToUtf8(objectName);
    if (object.empty() || object.front() != '/')
        object.insert(object.begin(), '/');
    request->url = EscapeUrlBytes(std::string(secure ? "https://" : "http://") + host + ":" +
                                  std::to_string(port) + object);
    HINTERNET h = Register(request, connect.get());
    if (h != nullptr)
        SetLastError(ERROR_SUCCESS);
    return h;
}

BOOL WINAPI HttpSendRequestW(HINTERNET requestHandle, LPCWSTR headers, DWORD headersLength,
                             LPVOID optional, DWORD optionalLength) {
    auto request = LookupAs<Request>(requestHandle, Kind::Request);
    if (request == nullptr)
        return FALSE;
    std::string extra;
    if (headers != nullptr) {
        std::size_t n = headersLength == static_cast<DWORD>(-1) ? wince::net::WideLength(headers)
                                                                : headersLength;
        extra = ToUtf8(headers, n);
    }
    if (!SendAndWait(*request, extra, optional, optionalLength))
        return FALSE;
    SetLastError(ERROR_SUCCESS);
    return TRUE;
}

HINTERNET WINAPI InternetOpenUrlW(HINTERNET internet, LPCWSTR url, LPCWSTR headers,
                                  DWORD headersLength, DWORD flags, DWORD_PTR context) {
    auto session = LookupAs<Session>(internet, Kind::Session);
    if (session == nullptr)
        return nullptr;
    if (url == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    URL_COMPONENTSW parts{};
    parts.dwStructSize = sizeof(parts);
    parts.dwHostNameLength = static_cast<DWORD>(-1);
    if (!InternetCrackUrlW(url, 0, 0, &parts))
        return nullptr;
    if (parts.nScheme != INTERNET_SCHEME_HTTP && parts.nScheme != INTERNET_SCHEME_HTTPS) {
        SetLastError(ERROR_INTERNET_UNRECOGNIZED_SCHEME);
        return nullptr;
    }
    auto request = std::make_shared<Request>(context);
    if (request->multi == nullptr) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    request->agent = session->agent;
    request->route = session->route;
    request->host = ToUtf8(parts.lpszHostName, parts.dwHostNameLength);
    request->flags = flags;
    request->url = EscapeUrlBytes(ToUtf8(url));
    HINTERNET h = Register(request, session.get());
    if (h == nullptr)
        return nullptr;
    std::string extra;
    if (headers != nullptr) {
        std::size_t n = headersLength == static_cast<DWORD>(-1) ? wince::net::WideLength(headers)
                                                                : headersLength;
        extra = ToUtf8(headers, n);
    }
    if (!SendAndWait(*request, extra, nullptr, 0)) {
        DWORD error = GetLastError();
        InternetCloseHandle(h);
        SetLastError(error);
        return nullptr;
    }
    SetLastError(ERROR_SUCCESS);
    return h;
}

BOOL WINAPI InternetReadFile(HINTERNET file, LPVOID buffer, DWORD toRead, LPDWORD bytesRead) {
    auto request = LookupAs<Request>(file, Kind::Request);
    if (request == nullptr)
        return FALSE;
    if (bytesRead == nullptr || (buffer == nullptr && toRead != 0)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    *bytesRead = 0;
    Request& r = *request;
    std::lock_guard<std::mutex> op(r.opMutex);
    if (!r.sent || !r.headersDone) {
        SetLastError(ERROR_INTERNET_INCORRECT_HANDLE_STATE);
        return FALSE;
    }
    auto* out = static_cast<char*>(buffer);
    DWORD copied = 0;
    // Fill the whole buffer unless the body ends first, as the platform's
    // blocking read does; bytes that arrived before a failure are handed
    // out first and the failure is reported by the next read.
    for (;;) {
        if (r.closed.load()) {
            SetLastError(ERROR_INTERNET_OPERATION_CANCELLED);
            return FALSE;
        }
        std::size_t n = std::min<std::size_t>(r.Unread(), toRead - copied);
        if (n != 0) {
            std::memcpy(out + copied, r.pending.data() + r.pendingPos, n);
            r.pendingPos += n;
            copied += static_cast<DWORD>(n);
        }
        if (copied == toRead)
            break;
        if (r.paused) {
            r.paused = false;
            curl_easy_pause(r.easy, CURLPAUSE_CONT);
            continue;
        }
        if (r.ended) {
            if (copied == 0 && r.failure != 0) {
                SetLastError(static_cast<DWORD>(r.failure));
                return FALSE;
            }
            break;
        }
        Pump(r, [&r] { return r.Unread() != 0 || r.paused; });
    }
    *bytesRead = copied;
    SetLastError(ERROR_SUCCESS);
    return TRUE;
}

BOOL WINAPI HttpQueryInfoW(HINTERNET requestHandle, DWORD infoLevel, LPVOID buffer,
                           LPDWORD bufferLength, LPDWORD index) {
    auto request = LookupAs<Request>(requestHandle, Kind::Request);
    if (request == nullptr)
        return FALSE;
    if (bufferLength == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    const DWORD level = infoLevel & HTTP_QUERY_HEADER_MASK;
    const DWORD modifiers = infoLevel & HTTP_QUERY_MODIFIER_FLAGS_MASK;
    if ((modifiers & ~HTTP_QUERY_FLAG_NUMBER) != 0) {
        // Request headers, dates as SYSTEMTIME and coalescing are not offered.
        SetLastError(ERROR_HTTP_INVALID_QUERY_REQUEST);
        return FALSE;
    }
    const bool number = (modifiers & HTTP_QUERY_FLAG_NUMBER) != 0;
    std::vector<std::string> lines;
    {
        std::lock_guard<std::mutex> lock(request->headerMutex);
        if (!request->headersFinal) {
            SetLastError(ERROR_INTERNET_INCORRECT_HANDLE_STATE);
            return FALSE;
        }
        lines = request->headerLines;
    }
    const std::string& statusLine = lines.front();
    auto firstSpace = statusLine.find(' ');
    std::string version = statusLine.substr(0, firstSpace);
    std::string code, reason;
    if (firstSpace != std::string::npos) {
        auto second = statusLine.find(' ', firstSpace + 1);
        code = statusLine.substr(firstSpace + 1, second == std::string::npos
                                                     ? std::string::npos
                                                     : second - firstSpace - 1);
        if (second != std::string::npos)
            reason = statusLine.substr(second + 1);
    }

    auto whole = [&](const std::string& value) -> BOOL {
        if (number)
            return WriteNumber(value, buffer, bufferLength);
        return WriteText(wince::net::FromLatin1(value), buffer, bufferLength);
    };
    switch (level) {
        case HTTP_QUERY_STATUS_CODE:
            return whole(code);
        case HTTP_QUERY_STATUS_TEXT:
            return whole(reason);
        case HTTP_QUERY_VERSION:
            return whole(version);
        case HTTP_QUERY_RAW_HEADERS_CRLF:
        case HTTP_QUERY_RAW_HEADERS: {
            if (number) {
                SetLastError(ERROR_HTTP_INVALID_QUERY_REQUEST);
                return FALSE;
            }
            const bool crlf = level == HTTP_QUERY_RAW_HEADERS_CRLF;
            std::string text;
            for (const auto& line : lines) {
                text += line;
                text += crlf ? std::string("\r\n") : std::string(1, '\0');
            }
            // CRLF form ends with an empty line; the NUL-separated form with
            // an empty string (the terminator makes the second NUL).
            if (crlf)
                text += "\r\n";
            return WriteText(wince::net::FromLatin1(text), buffer, bufferLength);
        }
        default:
            break;
    }

    std::string name;
    if (level == HTTP_QUERY_CUSTOM) {
        if (buffer == nullptr) {
            SetLastError(ERROR_INVALID_PARAMETER);
            return FALSE;
        }
        const auto* w = static_cast<const WCHAR*>(buffer);
        std::size_t max = *bufferLength / sizeof(WCHAR), n = 0;
        while (n < max && w[n] != 0)
            ++n;
        name = ToUtf8(w, n);
        if (!name.empty() && name.back() == ':')
            name.pop_back();
    } else if (const char* known = HeaderName(level)) {
        name = known;
    } else {
        SetLastError(ERROR_HTTP_INVALID_QUERY_REQUEST);
        return FALSE;
    }
    const DWORD wanted = index != nullptr ? *index : 0;
    DWORD seen = 0;
    for (std::size_t i = 1; i < lines.size(); ++i) {
        const std::string& line = lines[i];
        auto colon = line.find(':');
        if (colon == std::string::npos)
            continue;
        if (!EqualsNoCase(wince::net::Trim(std::string_view(line).substr(0, colon)), name))
            continue;
        if (seen++ != wanted)
            continue;
        std::string value(wince::net::Trim(std::string_view(line).substr(colon + 1)));
        if (!whole(value))
            return FALSE;
        if (index != nullptr)
            ++*index;
        return TRUE;
    }
    SetLastError(ERROR_HTTP_HEADER_NOT_FOUND);
    return FALSE;
}

BOOL WINAPI InternetCloseHandle(HINTERNET h) {
    std::shared_ptr<Handle> handle;
    {
        std::lock_guard<std::mutex> lock(g_tableMutex);
        auto it = g_table.find(reinterpret_cast<std::uintptr_t>(h));
        if (it != g_table.end()) {
            handle = it->second;
            g_table.erase(it);
        }
    }
    if (handle == nullptr) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    CloseTree(handle);
    SetLastError(ERROR_SUCCESS);
    return TRUE;
}

BOOL WINAPI InternetSetOptionW(HINTERNET h, DWORD option, LPVOID buffer, DWORD bufferLength) {
    std::shared_ptr<Handle> handle;
    if (h != nullptr) {
        handle = Lookup(h);
        if (handle == nullptr) {
            SetLastError(ERROR_INVALID_HANDLE);
            return FALSE;
        }
    }
    std::atomic<DWORD>* global = nullptr;
    std::atomic<std::int64_t>* own = nullptr;
    switch (option) {
        case INTERNET_OPTION_CONNECT_TIMEOUT:
            global = &g_connectTimeout;
            if (handle)
                own = &handle->connectTimeout;
            break;
        case INTERNET_OPTION_SEND_TIMEOUT:
        case INTERNET_OPTION_DATA_SEND_TIMEOUT:
            global = &g_sendTimeout;
            if (handle)
                own = &handle->sendTimeout;
            break;
        case INTERNET_OPTION_RECEIVE_TIMEOUT:
        case INTERNET_OPTION_DATA_RECEIVE_TIMEOUT:
            global = &g_receiveTimeout;
            if (handle)
                own = &handle->receiveTimeout;
            break;
        default:
            SetLastError(ERROR_INTERNET_INVALID_OPTION);
            return FALSE;
    }
    if (buffer == nullptr || bufferLength != sizeof(DWORD)) {
        SetLastError(ERROR_INTERNET_BAD_OPTION_LENGTH);
        return FALSE;
    }
    DWORD value = 0;
    std::memcpy(&value, buffer, sizeof(value));
    if (own != nullptr) {
        own->store(value);
    } else {
        global->store(value);
    }
    SetLastError(ERROR_SUCCESS);
    return TRUE;
}

INTERNET_STATUS_CALLBACK WINAPI InternetSetStatusCallbackW(HINTERNET h,
                                                           INTERNET_STATUS_CALLBACK callback) {
    auto handle = Lookup(h);
    if (handle == nullptr) {
        SetLastError(ERROR_INVALID_HANDLE);
        return INTERNET_INVALID_STATUS_CALLBACK;
    }
    SetLastError(ERROR_SUCCESS);
    return handle->callback.exchange(callback);
}
