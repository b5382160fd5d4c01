// The Connection Manager on a host that has its network up: a connection to
// the Internet is there at once, and its proxy is the one the environment
// names. Tests script other outcomes through wince/testing/net.h.
//
// Each connection is an object in a table keyed by its handle value. An
// attempt that settles later (a scripted delay) has a timer thread of its own
// that is woken and joined when the connection is released.
#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <memory>
#include <mutex>
#include <thread>
#include <unordered_map>

#include "netutil.h"
#include "wince/src/base/hostlog.h"
#include "wince/connmgr.h"
#include "wince/testing/net.h"
#include "wince/window.h"

namespace {

using Clock = std::chrono::steady_clock;

// HRESULT_FROM_WIN32(ERROR_TIMEOUT): the attempt had not settled in time.
constexpr HRESULT kTimedOut = static_cast<HRESULT>(0x800705B4u);

struct Connection {
    std::uintptr_t id = 0;
    HWND window = nullptr;
    UINT message = 0;
    LPARAM lParam = 0;
    DWORD status = CONNMGR_STATUS_UNKNOWN;
    DWORD finalStatus = CONNMGR_STATUS_UNKNOWN;
    bool settled = false;
    bool released = false;
    bool announced = false;  // Start has posted the statuses before the last
    Clock::time_point settleAt;
    std::thread timer;
};

struct State {
    std::mutex mutex;
    std::condition_variable changed;
    std::unordered_map<std::uintptr_t, std::shared_ptr<Connection>> connections;
    std::uintptr_t nextId = 0xC0440;
    WinceConnMgrScript defaultScript;
    std::deque<WinceConnMgrScript> queued;
    WinceConnMgrProxyMode proxyMode = WinceConnMgrProxyMode::Environment;
    std::u16string fixedProxy;
    WinceConnMgrCounters counters;
};

State& S() {
    static State* state = new State;  // never destroyed: timer threads may outlive statics
    return *state;
}

void Post(const Connection& c, DWORD status) {
    if (c.window != nullptr)
        PostMessageW(c.window, c.message, status, c.lParam);
}

// Settles a connection (under the lock); returns whether it changed.
bool SettleLocked(Connection& c) {
    if (c.settled || c.released)
        return false;
    c.settled = true;
    c.status = c.finalStatus;
    return true;
}

void TimerMain(std::shared_ptr<Connection> c) {
    State& s = S();
    std::unique_lock<std::mutex> lock(s.mutex);
    s.changed.wait_until(lock, c->settleAt, [&] { return c->released; });
    if (!SettleLocked(*c))
        return;
    s.changed.notify_all();
    // The last status must not overtake the ones Start posts.
    s.changed.wait(lock, [&] { return c->announced; });
    const DWORD status = c->status;
    lock.unlock();
    Post(*c, status);
}

std::shared_ptr<Connection> Find(HANDLE h) {
    State& s = S();
    auto it = s.connections.find(reinterpret_cast<std::uintptr_t>(h));
    return it == s.connections.end() ? nullptr : it->second;
}

// Creates a connection for an attempt, starts it and posts its statuses up
// to the last, which its timer posts if it settles later.
HRESULT Start(CONNMGR_CONNECTIONINFO* info, HANDLE* handle, std::shared_ptr<Connection>* out) {
    if (info == nullptr || handle == nullptr || info->cbSize != sizeof(CONNMGR_CONNECTIONINFO))
        return E_INVALIDARG;
    State& s = S();
    WinceConnMgrScript script;
    std::shared_ptr<Connection> c = std::make_shared<Connection>();
    std::vector<DWORD> posts;
    {
        std::lock_guard<std::mutex> lock(s.mutex);
        const bool queued = !s.queued.empty();
        if (queued) {
            script = s.queued.front();
            s.queued.pop_front();
        } else {
            script = s.defaultScript;
        }
        if (script.statuses.empty())
            script.statuses.push_back(CONNMGR_STATUS_CONNECTED);
        // The host knows one destination network, the Internet.
        if ((info->dwParams & CONNMGR_PARAM_GUIDDESTNET) != 0 &&
            !(info->guidDestNet == IID_DestNetInternet)) {
            script.statuses = {CONNMGR_STATUS_NOPATHTODESTINATION};
            script.settleAfterMs = 0;
        }
        c->id = s.nextId;
        s.nextId += 4;
        c->window = info->hWnd;
        c->message = info->uMsg;
        c->lParam = info->lParam;
        c->finalStatus = script.statuses.back();
        posts.assign(script.statuses.begin(), script.statuses.end() - 1);
        c->status = posts.empty() ? CONNMGR_STATUS_WAITINGCONNECTION : posts.back();
        c->settleAt = Clock::now() + std::chrono::milliseconds(script.settleAfterMs);
        if (script.settleAfterMs == 0) {
            SettleLocked(*c);
            posts.push_back(c->status);
        } else {
            // The timer waits for the lock, and then for `announced`.
            try {
                c->timer = std::thread(TimerMain, c);
            } catch (...) {
                // No thread: the attempt never starts, so its script is
                // left for the next one.
                if (queued)
                    s.queued.push_front(script);
                return E_OUTOFMEMORY;
            }
        }
        s.connections.emplace(c->id, c);
        ++s.counters.attempts;
        ++s.counters.openConnections;
        s.counters.lastRequest = *info;
        *handle = reinterpret_cast<HANDLE>(c->id);
    }
    for (DWORD status : posts)
        Post(*c, status);
    {
        std::lock_guard<std::mutex> lock(s.mutex);
        c->announced = true;
        s.changed.notify_all();
    }
    *out = c;
    return S_OK;
}

bool Usable(DWORD status) {
    return status == CONNMGR_STATUS_CONNECTED;
}

void CopyWide(WCHAR* to, std::size_t capacity, const std::u16string& from) {
    std::size_t n = std::min(from.size(), capacity - 1);
    std::memcpy(to, from.data(), n * sizeof(WCHAR));
    to[n] = 0;
}

}  // namespace

HRESULT WINAPI ConnMgrEstablishConnection(CONNMGR_CONNECTIONINFO* info, HANDLE* handle) {
    std::shared_ptr<Connection> c;
    return Start(info, handle, &c);
}

HRESULT WINAPI ConnMgrEstablishConnectionSync(CONNMGR_CONNECTIONINFO* info, HANDLE* handle,
                                              DWORD timeout, DWORD* status) {
    if (status == nullptr)
        return E_INVALIDARG;
    std::shared_ptr<Connection> c;
    HRESULT hr = Start(info, handle, &c);
    if (FAILED(hr))
        return hr;
    State& s = S();
    std::unique_lock<std::mutex> lock(s.mutex);
    auto settled = [&] { return c->settled || c->released; };
    if (timeout == INFINITE) {
        s.changed.wait(lock, settled);
    } else {
        s.changed.wait_for(lock, std::chrono::milliseconds(timeout), settled);
    }
    *status = c->status;
    if (!c->settled)
        return kTimedOut;
    return Usable(c->status) ? S_OK : E_FAIL;
}

HRESULT WINAPI ConnMgrConnectionStatus(HANDLE handle, DWORD* status) {
    if (status == nullptr)
        return E_INVALIDARG;
    State& s = S();
    std::lock_guard<std::mutex> lock(s.mutex);
    ++s.counters.statusQueries;
    auto c = Find(handle);
    if (c == nullptr)
        return E_INVALIDARG;
    *status = c->status;
    return S_OK;
}

HRESULT WINAPI ConnMgrReleaseConnection(HANDLE handle, LONG cache) {
    State& s = S();
    std::shared_ptr<Connection> c;
    {
        std::lock_guard<std::mutex> lock(s.mutex);
        c = Find(handle);
        if (c == nullptr)
            return E_INVALIDARG;
        s.connections.erase(c->id);
        c->released = true;
        ++s.counters.releases;
        if (cache != 0)
            ++s.counters.cachedReleases;
        --s.counters.openConnections;
        s.changed.notify_all();
    }
    if (c->timer.joinable())
        c->timer.join();
    return S_OK;
}

HRESULT WINAPI ConnMgrProviderMessage(HANDLE handle, const GUID* provider, DWORD*, DWORD, DWORD,
                                      BYTE* params, ULONG paramSize) {
    State& s = S();
    WinceConnMgrProxyMode mode;
    std::u16string fixed;
    {
        std::lock_guard<std::mutex> lock(s.mutex);
        ++s.counters.proxyQueries;
        if (Find(handle) == nullptr)
            return E_INVALIDARG;
        mode = s.proxyMode;
        fixed = s.fixedProxy;
    }
    if (provider == nullptr || !(*provider == IID_ConnPrv_IProxyExtension))
        return E_NOTIMPL;
    if (params == nullptr || paramSize < sizeof(PROXY_CONFIG))
        return E_INVALIDARG;
    PROXY_CONFIG config{};
    switch (mode) {
        case WinceConnMgrProxyMode::ProviderError:
            return E_FAIL;
        case WinceConnMgrProxyMode::Fixed:
            CopyWide(config.szProxyServer, CMPROXY_PROXYSERVER_MAXSIZE, fixed);
            break;
        case WinceConnMgrProxyMode::Environment: {
            auto proxy = wince::net::ProxyFromEnvironment();
            // No proxy: the connection needs none, and the provider says so.
            if (!proxy)
                return E_FAIL;
            std::u16string server = wince::net::FromUtf8(proxy->server);
            std::u16string user = wince::net::FromUtf8(proxy->user);
            std::u16string password = wince::net::FromUtf8(proxy->password);
            // A value that does not fit the record is not cut short into
            // another server's name.
            if (server.size() >= CMPROXY_PROXYSERVER_MAXSIZE ||
                user.size() >= CMPROXY_USERNAME_MAXSIZE ||
                password.size() >= CMPROXY_PASSWORD_MAXSIZE) {
                const char* part = server.size() >= CMPROXY_PROXYSERVER_MAXSIZE ? "server"
                                   : user.size() >= CMPROXY_USERNAME_MAXSIZE    ? "user name"
                                                                                : "password";
                const std::size_t limit = server.size() >= CMPROXY_PROXYSERVER_MAXSIZE
                                              ? CMPROXY_PROXYSERVER_MAXSIZE - 1
                                              : CMPROXY_USERNAME_MAXSIZE - 1;
                wince::HostWarning(proxy->variable + " is ignored: its " + part + " is over " +
                                   std::to_string(limit) + " characters; no proxy is used");
                return E_FAIL;
            }
            CopyWide(config.szProxyServer, CMPROXY_PROXYSERVER_MAXSIZE, server);
            CopyWide(config.szUsername, CMPROXY_USERNAME_MAXSIZE, user);
            CopyWide(config.szPassword, CMPROXY_PASSWORD_MAXSIZE, password);
            break;
        }
    }
    config.dwType = CONNMGR_FLAG_PROXY_HTTP;
    config.dwEnable = config.szProxyServer[0] != 0 ? 1 : 0;
    std::memcpy(params, &config, sizeof(config));
    return S_OK;
}

// ---- Test control -------------------------------------------------------------

void WinceConnMgrSetDefaultScript(const WinceConnMgrScript& script) {
    std::lock_guard<std::mutex> lock(S().mutex);
    S().defaultScript = script;
}

void WinceConnMgrQueueScript(const WinceConnMgrScript& script) {
    std::lock_guard<std::mutex> lock(S().mutex);
    S().queued.push_back(script);
}

void WinceConnMgrDropConnections(DWORD status) {
    State& s = S();
    std::vector<std::shared_ptr<Connection>> dropped;
    {
        std::lock_guard<std::mutex> lock(s.mutex);
        for (auto& [id, c] : s.connections) {
            if (c->settled && c->status == CONNMGR_STATUS_CONNECTED) {
                c->status = status;
                dropped.push_back(c);
            }
        }
    }
    for (auto& c : dropped)
        Post(*c, status);
}

void WinceConnMgrSetProxy(WinceConnMgrProxyMode mode, const std::u16string& server) {
    std::lock_guard<std::mutex> lock(S().mutex);
    S().proxyMode = mode;
    S().fixedProxy = server;
}

WinceConnMgrCounters WinceConnMgrGetCounters() {
    std::lock_guard<std::mutex> lock(S().mutex);
    return S().counters;
}

void WinceConnMgrResetForTesting() {
    std::vector<HANDLE> open;
    {
        std::lock_guard<std::mutex> lock(S().mutex);
        for (auto& [id, c] : S().connections)
            open.push_back(reinterpret_cast<HANDLE>(id));
    }
    for (HANDLE h : open)
        ConnMgrReleaseConnection(h, 0);
    std::lock_guard<std::mutex> lock(S().mutex);
    State& s = S();
    s.defaultScript = WinceConnMgrScript{};
    s.queued.clear();
    s.proxyMode = WinceConnMgrProxyMode::Environment;
    s.fixedProxy.clear();
    s.counters = WinceConnMgrCounters{};
}
