// HTTP requests for the protocol code, and the process's one data connection.
//
// The factory creates WinmHttpRequest objects and owns the data connection
// obtained from the Connection Manager: request workers ask it for a usable
// connection before each exchange (EnsureConnection), and it establishes one
// on demand, checks a held one and drops one that has gone bad. With the
// connection it learns the proxy the workers must use. It also receives the
// Connection Manager's status reports on the window thread.
#pragma once

#include <atomic>
#include <cstdint>

#include "common/base/internal/winmkstring/kstring.h"
#include "common/base/trackedalloc.h"
#include "common/base/winm/internal/winmappeventhandler.h"
#include "common/src/httprequestinterface.h"
#include "wince.h"

class WinmHttpRequestFactory : public HttpRequestFactory, public WinmEventHandlerInterface {
  public:
    WINM_TRACKED_ALLOCATION;

    // Longest wait for the Connection Manager to bring a connection up.
    static constexpr DWORD kConnectTimeoutMs = 60000;

    // Window thread; registers with eventQueue, which must outlive the
    // factory, and the factory must outlive every request it creates.
    explicit WinmHttpRequestFactory(WinmAppEventHandler* eventQueue);
    // Releases a held connection, allowing the Connection Manager to cache it.
    ~WinmHttpRequestFactory() override;

    WinmHttpRequestFactory(const WinmHttpRequestFactory&) = delete;
    WinmHttpRequestFactory& operator=(const WinmHttpRequestFactory&) = delete;

    HttpRequestInterface* CreateGetRequest(const KString& url, GrowableArray* responseBody,
                                           TransportError* error) override;
    HttpRequestInterface* CreateRequest(const KString& url, const GrowableArray* requestBody,
                                        GrowableArray* responseBody,
                                        TransportError* error) override;
    // 0: no attempt in progress or settled; 1: an attempt is starting; 2: the
    // Connection Manager waits for the connection. Window thread.
    virtual int32_t GetConnectionState();

    // The Connection Manager's status reports (and the factory's own notice
    // that an attempt starts) arrive here on the window thread.
    void HandleEvent(HWND window, UINT message, WPARAM wParam, LPARAM lParam) override;

    // Worker threads. True when a connection is usable; proxy then receives
    // the proxy server to use (empty for none), and the user name and
    // password the proxy takes (empty for none), in storage of their own. On
    // false the thread's last error says why.
    bool EnsureConnection(KString& proxy, KString& proxyUser, KString& proxyPassword);
    // Releases the held connection without caching (it has gone bad).
    void DropConnection();
    bool HasEverConnected() const { return everConnected.load(); }

    UINT MessageNumber() const { return message; }

  private:
    bool EstablishConnection();

    WinmAppEventHandler* eventQueue;
    UINT message;
    HANDLE connection = nullptr;
    std::atomic<bool> everConnected{false};
    int32_t connectionState = 0;
    KString proxyServer;
    KString proxyUser;
    KString proxyPassword;
    CRITICAL_SECTION lock;
    GUID destination;
};
