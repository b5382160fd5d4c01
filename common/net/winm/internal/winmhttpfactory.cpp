#include "common/net/winm/internal/winmhttpfactory.h"

#include <cstring>

#include "common/base/winm/internal/winmlib.h"
#include "common/net/winm/internal/winmhttprequest.h"

namespace {

// The Internet destination network and the proxy provider of the
// Connection Manager.
constexpr GUID kDestNetInternet = {
    0x436EF144, 0xB4FB, 0x4863, {0xA0, 0x41, 0x8F, 0x90, 0x5A, 0x62, 0xC5, 0x72}};
constexpr GUID kConnPrvProxyExtension = {
    0xAF96B0BD, 0xA481, 0x482C, {0xA0, 0x94, 0xA8, 0x44, 0x87, 0x67, 0xA0, 0xC0}};

// The table's Connection Manager entries, or null when any of those the
// factory calls is missing (the library could not be loaded).
const WinmLib* ConnectionManager() {
    const WinmLib* lib = g_winmLib;
    if (lib == nullptr || lib->ConnMgrEstablishConnectionSync == nullptr ||
        lib->ConnMgrConnectionStatus == nullptr || lib->ConnMgrReleaseConnection == nullptr ||
        lib->ConnMgrProviderMessage == nullptr) {
        return nullptr;
    }
    return lib;
}

}  // namespace

WinmHttpRequestFactory::WinmHttpRequestFactory(WinmAppEventHandler* eventQueue)
    : eventQueue(eventQueue), message(eventQueue->AddHandler(this)), destination(kDestNetInternet) {
    InitializeCriticalSection(&lock);
}

WinmHttpRequestFactory::~WinmHttpRequestFactory() {
    if (connection != nullptr) {
        if (g_winmLib != nullptr && g_winmLib->ConnMgrReleaseConnection != nullptr) {
            g_winmLib->ConnMgrReleaseConnection(connection, 1);
        }
        connection = nullptr;
    }
    DeleteCriticalSection(&lock);
    eventQueue->RemoveHandler(this);
}

HttpRequestInterface* WinmHttpRequestFactory::CreateGetRequest(const KString& url,
                                                               GrowableArray* responseBody,
                                                               TransportError* error) {
    return WINM_NEW(WinmHttpRequest)(this, url, nullptr, responseBody, eventQueue, error);
}

HttpRequestInterface* WinmHttpRequestFactory::CreateRequest(const KString& url,
                                                            const GrowableArray* requestBody,
                                                            GrowableArray* responseBody,
                                                            TransportError* error) {
    return WINM_NEW(WinmHttpRequest)(this, url, requestBody, responseBody, eventQueue, error);
}

int32_t WinmHttpRequestFactory::GetConnectionState() {
    return connectionState;
}

void WinmHttpRequestFactory::HandleEvent(HWND, UINT eventMessage, WPARAM wParam, LPARAM) {
    if (eventMessage != message)
        return;
    if (wParam == CONNMGR_STATUS_UNKNOWN) {
        connectionState = 1;
    } else if (wParam == CONNMGR_STATUS_WAITINGCONNECTION) {
        connectionState = 2;
    } else {
        connectionState = 0;
    }
}

namespace {

// A copy of the characters: string storage is not shared across threads.
KString Copy(const KString& text) {
    return text.IsEmpty() ? KString() : KString::FromWide(text.WideChars(), text.Length());
}

// Bounded even if the provider left the text unterminated.
template <int kUnits>
KString FieldText(const WCHAR (&field)[kUnits]) {
    int length = 0;
    while (length < kUnits && field[length] != 0)
        ++length;
    return length == 0 ? KString() : KString::FromWide(field, length);
}

}  // namespace

bool WinmHttpRequestFactory::EnsureConnection(KString& proxy, KString& user, KString& password) {
    const WinmLib* lib = ConnectionManager();
    if (lib == nullptr) {
        SetLastError(ERROR_PROC_NOT_FOUND);
        return false;
    }
    EnterCriticalSection(&lock);
    bool usable = false;
    if (connection != nullptr) {
        DWORD status = 0;
        if (lib->ConnMgrConnectionStatus(connection, &status) == S_OK &&
            status == CONNMGR_STATUS_CONNECTED) {
            usable = true;
        } else {
            lib->ConnMgrReleaseConnection(connection, 0);
            connection = nullptr;
        }
    }
    if (!usable)
        usable = EstablishConnection();
    if (usable) {
        proxy = Copy(proxyServer);
        user = Copy(proxyUser);
        password = Copy(proxyPassword);
    }
    DWORD error = GetLastError();
    LeaveCriticalSection(&lock);
    SetLastError(error);
    return usable;
}

bool WinmHttpRequestFactory::EstablishConnection() {
    const WinmLib* lib = g_winmLib;
    CONNMGR_CONNECTIONINFO info;
    std::memset(&info, 0, sizeof info);
    info.cbSize = sizeof info;
    info.dwParams = CONNMGR_PARAM_GUIDDESTNET;
    info.dwFlags = CONNMGR_FLAG_PROXY_HTTP;
    info.dwPriority = CONNMGR_PRIORITY_USERINTERACTIVE;
    info.bExclusive = FALSE;
    info.bDisabled = FALSE;
    info.guidDestNet = destination;
    info.hWnd = eventQueue->GetWindow();
    info.uMsg = message;
    info.lParam = reinterpret_cast<LPARAM>(this);

    // Posted, never sent: the window thread may be waiting for this worker.
    PostMessageW(eventQueue->GetWindow(), message, CONNMGR_STATUS_UNKNOWN,
                 reinterpret_cast<LPARAM>(this));

    DWORD status = 0;
    lib->ConnMgrEstablishConnectionSync(&info, &connection, kConnectTimeoutMs, &status);
    if (status != CONNMGR_STATUS_CONNECTED) {
        // A handle the call stored stays and is released by the next call.
        return false;
    }

    PROXY_CONFIG config;
    std::memset(&config, 0, sizeof config);
    if (lib->ConnMgrProviderMessage(connection, &kConnPrvProxyExtension, nullptr, 0, 0,
                                    reinterpret_cast<BYTE*>(&config), sizeof config) == S_OK) {
        proxyServer = FieldText(config.szProxyServer);
        proxyUser = FieldText(config.szUsername);
        proxyPassword = FieldText(config.szPassword);
    } else {
        proxyServer = KString();
        proxyUser = KString();
        proxyPassword = KString();
    }
    everConnected.store(true);
    return true;
}

void WinmHttpRequestFactory::DropConnection() {
    EnterCriticalSection(&lock);
    if (connection != nullptr) {
        if (g_winmLib != nullptr && g_winmLib->ConnMgrReleaseConnection != nullptr) {
            g_winmLib->ConnMgrReleaseConnection(connection, 0);
        }
        connection = nullptr;
    }
    LeaveCriticalSection(&lock);
}
