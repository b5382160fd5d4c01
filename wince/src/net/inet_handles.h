// The handle objects of the Internet functions and the table that maps
// HINTERNET values to them.
//
// Every HINTERNET is an id in one process-wide table of handle objects (a
// session from InternetOpenW, a connection from InternetConnectW, a request
// from HttpOpenRequestW or InternetOpenUrlW). A call looks its handle up and
// keeps the object alive with a shared reference for the length of the call,
// so InternetCloseHandle from another thread only marks the object closed and
// wakes the call; the libcurl handles are freed by whoever lets go last.
#pragma once

#include <curl/curl.h>

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "response_head.h"
#include "wince/wininet.h"

namespace wince::net {

using Clock = std::chrono::steady_clock;

constexpr std::int64_t kUnset = -1;

// Process-wide time-outs (InternetSetOptionW on the NULL handle).
extern std::atomic<DWORD> g_connectTimeout;
extern std::atomic<DWORD> g_sendTimeout;
extern std::atomic<DWORD> g_receiveTimeout;

enum class Kind { Session, Connect, Request };

// How a request reaches its server.
struct Route {
    enum class Mode { Direct, Proxy, Environment } mode = Mode::Direct;
    std::string proxyList;   // the InternetOpenW proxy argument, UTF-8
    std::string bypassList;  // the InternetOpenW bypass argument, UTF-8
    // Whether the caller gave a bypass list: an empty one bypasses nothing;
    // only NULL leaves the machine's (no_proxy) in force.
    bool bypassGiven = false;
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
    // The proxy's credentials (connections and requests), UTF-8.
    std::mutex credentialMutex;
    std::string proxyUser, proxyPassword;

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
    explicit Request(DWORD_PTR ctx);
    ~Request() override;
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
    ResponseHeadParser head;  // the response being received
    std::string pending;      // body bytes not yet read
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

inline HINTERNET ToHandle(std::uintptr_t id) {
    return reinterpret_cast<HINTERNET>(id);
}

std::shared_ptr<Handle> Lookup(HINTERNET h);

// Takes a handle out of the table; NULL when it is not there.
std::shared_ptr<Handle> Remove(HINTERNET h);

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
HINTERNET Register(const std::shared_ptr<Handle>& handle, Handle* parent);

// Closes a handle and everything opened from it, waking calls that wait.
void CloseTree(const std::shared_ptr<Handle>& handle);

// A handle's own time-out, or the process-wide one when it has none.
DWORD Effective(const std::atomic<std::int64_t>& own, const std::atomic<DWORD>& global);

}  // namespace wince::net
