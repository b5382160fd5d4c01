// The Internet functions over libcurl: the Win32 entry points. The handle
// objects live in inet_handles, the transfer in transfer, header queries in
// http_query.
#include <curl/curl.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>

#include "inet_handles.h"
#include "netutil.h"
#include "transfer.h"
#include "wince/wininet.h"

namespace {

using wince::net::CloseTree;
using wince::net::Connect;
using wince::net::g_connectTimeout;
using wince::net::g_receiveTimeout;
using wince::net::g_sendTimeout;
using wince::net::Handle;
using wince::net::Kind;
using wince::net::Lookup;
using wince::net::LookupAs;
using wince::net::Pump;
using wince::net::Register;
using wince::net::Request;
using wince::net::Route;
using wince::net::SendAndWait;
using wince::net::Session;
using wince::net::ToUtf8;

void GlobalInit() {
    static std::once_flag once;
    std::call_once(once, [] { curl_global_init(CURL_GLOBAL_ALL); });
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

}  // namespace

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
            session->route.bypassGiven = bypass != nullptr;
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
    {
        std::lock_guard<std::mutex> lock(connect->credentialMutex);
        request->proxyUser = connect->proxyUser;
        request->proxyPassword = connect->proxyPassword;
    }
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
BOOL WINAPI InternetCloseHandle(HINTERNET h) {
    std::shared_ptr<Handle> handle = wince::net::Remove(h);
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
    if (option == INTERNET_OPTION_PROXY_USERNAME || option == INTERNET_OPTION_PROXY_PASSWORD) {
        // Text options: the length counts characters, a terminator within
        // it ends the text. Kept by connections and requests only.
        if (!handle || handle->kind == Kind::Session) {
            SetLastError(handle ? ERROR_INTERNET_INCORRECT_HANDLE_TYPE : ERROR_INVALID_HANDLE);
            return FALSE;
        }
        if (buffer == nullptr && bufferLength != 0) {
            SetLastError(ERROR_INVALID_PARAMETER);
            return FALSE;
        }
        const WCHAR* text = static_cast<const WCHAR*>(buffer);
        std::size_t length = 0;
        while (length < bufferLength && text[length] != 0)
            ++length;
        std::lock_guard<std::mutex> lock(handle->credentialMutex);
        (option == INTERNET_OPTION_PROXY_USERNAME ? handle->proxyUser : handle->proxyPassword) =
            ToUtf8(text, length);
        SetLastError(ERROR_SUCCESS);
        return TRUE;
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
