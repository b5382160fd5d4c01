// cellcore.dll for desktop Windows: the Connection Manager entries the
// program binds, for a desktop that is always online. A connection to the
// Internet is connected at once and its status is posted to the caller's
// window as on a device; the proxy provider gives the user's WinINet proxy.
#include <cstring>

#include "desktop/cellcoreproxy.h"
#include "wince.h"

namespace {

// One program holds one connection at a time; the table leaves room for
// callers that forget to release.
constexpr int kMaxConnections = 64;

#ifndef WINM_SERVICE_URL
#define WINM_SERVICE_URL "http://127.0.0.1:8580/m/appreq/mobilesearchapp"
#endif
// The program's requests are all to its one endpoint, so the proxy for its
// scheme is the one that counts.
constexpr bool kServiceIsSecure = WINM_SERVICE_URL[4] == 's' || WINM_SERVICE_URL[4] == 'S';

struct Connection {
    UINT_PTR id;  // 0: free slot
    DWORD status;
};

SRWLOCK g_lock = SRWLOCK_INIT;
Connection g_connections[kMaxConnections];
// Handle values are never reused, so a released handle stays invalid.
UINT_PTR g_nextId = 0xC0440;

Connection* FindLocked(HANDLE handle) {
    UINT_PTR id = reinterpret_cast<UINT_PTR>(handle);
    if (id == 0)
        return nullptr;
    for (Connection& c : g_connections) {
        if (c.id == id)
            return &c;
    }
    return nullptr;
}

HRESULT Start(CONNMGR_CONNECTIONINFO* info, HANDLE* handle, DWORD* status) {
    if (info == nullptr || handle == nullptr || info->cbSize != sizeof(CONNMGR_CONNECTIONINFO))
        return E_INVALIDARG;
    // The desktop knows one destination network, the Internet.
    DWORD reached = CONNMGR_STATUS_CONNECTED;
    if ((info->dwParams & CONNMGR_PARAM_GUIDDESTNET) != 0 &&
        !IsEqualGUID(info->guidDestNet, IID_DestNetInternet))
        reached = CONNMGR_STATUS_NOPATHTODESTINATION;

    AcquireSRWLockExclusive(&g_lock);
    Connection* slot = nullptr;
    for (Connection& c : g_connections) {
        if (c.id == 0) {
            slot = &c;
            break;
        }
    }
    if (slot == nullptr) {
        ReleaseSRWLockExclusive(&g_lock);
        return E_OUTOFMEMORY;
    }
    slot->id = g_nextId;
    g_nextId += 4;
    slot->status = reached;
    *handle = reinterpret_cast<HANDLE>(slot->id);
    ReleaseSRWLockExclusive(&g_lock);

    if (info->hWnd != nullptr)
        PostMessageW(info->hWnd, info->uMsg, reached, info->lParam);
    if (status != nullptr)
        *status = reached;
    return reached == CONNMGR_STATUS_CONNECTED ? S_OK : E_FAIL;
}

}  // namespace

extern "C" {

HRESULT WINAPI ConnMgrEstablishConnection(CONNMGR_CONNECTIONINFO* info, HANDLE* handle) {
    HRESULT hr = Start(info, handle, nullptr);
    // Asynchronous on a device: the outcome arrives as a status message.
    return hr == E_FAIL ? S_OK : hr;
}

HRESULT WINAPI ConnMgrEstablishConnectionSync(CONNMGR_CONNECTIONINFO* info, HANDLE* handle, DWORD,
                                              DWORD* status) {
    if (status == nullptr)
        return E_INVALIDARG;
    return Start(info, handle, status);
}

HRESULT WINAPI ConnMgrConnectionStatus(HANDLE handle, DWORD* status) {
    if (status == nullptr)
        return E_INVALIDARG;
    AcquireSRWLockShared(&g_lock);
    Connection* c = FindLocked(handle);
    if (c != nullptr)
        *status = c->status;
    ReleaseSRWLockShared(&g_lock);
    return c != nullptr ? S_OK : E_INVALIDARG;
}

HRESULT WINAPI ConnMgrReleaseConnection(HANDLE handle, LONG) {
    AcquireSRWLockExclusive(&g_lock);
    Connection* c = FindLocked(handle);
    if (c != nullptr)
        c->id = 0;
    ReleaseSRWLockExclusive(&g_lock);
    return c != nullptr ? S_OK : E_INVALIDARG;
}

HRESULT WINAPI ConnMgrProviderMessage(HANDLE handle, const GUID* provider, DWORD*, DWORD, DWORD,
                                      BYTE* params, ULONG paramSize) {
    AcquireSRWLockShared(&g_lock);
    bool known = FindLocked(handle) != nullptr;
    ReleaseSRWLockShared(&g_lock);
    if (!known)
        return E_INVALIDARG;
    if (provider == nullptr || !IsEqualGUID(*provider, IID_ConnPrv_IProxyExtension))
        return E_NOTIMPL;
    if (params == nullptr || paramSize < sizeof(PROXY_CONFIG))
        return E_INVALIDARG;
    PROXY_CONFIG config;
    std::memset(&config, 0, sizeof config);
    // No proxy: the connection needs none, and the provider says so.
    if (!UserHttpProxy(config.szProxyServer, CMPROXY_PROXYSERVER_MAXSIZE, kServiceIsSecure))
        return E_FAIL;
    config.dwType = CONNMGR_FLAG_PROXY_HTTP;
    config.dwEnable = 1;
    std::memcpy(params, &config, sizeof config);
    return S_OK;
}

}  // extern "C"
