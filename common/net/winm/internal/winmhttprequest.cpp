#include "common/net/winm/internal/winmhttprequest.h"

#include <cstring>

#include "common/base/log.h"
#include "common/base/winm/internal/winmlib.h"
#include "common/net/winm/internal/winmheaderfielditerator.h"
#include "common/net/winm/internal/winmhttpfactory.h"

namespace {

// The table with every Internet entry the request calls, or null when the
// Internet library or one of them is missing.
const WinmLib* InternetLib() {
    const WinmLib* lib = g_winmLib;
    if (lib == nullptr || lib->InternetCrackUrlW == nullptr || lib->InternetOpenW == nullptr ||
        lib->InternetSetOptionW == nullptr || lib->InternetConnectW == nullptr ||
        lib->HttpOpenRequestW == nullptr || lib->HttpSendRequestW == nullptr ||
        lib->InternetOpenUrlW == nullptr || lib->HttpQueryInfoW == nullptr ||
        lib->InternetReadFile == nullptr || lib->InternetCloseHandle == nullptr) {
        return nullptr;
    }
    return lib;
}

// A deep copy: the worker reads these strings, so they share no storage with
// strings that the window thread keeps using.
KString OwnCopy(const KString& text) {
    return text.IsEmpty() ? KString() : KString::FromWide(text.WideChars(), text.Length());
}

// Header query results are capped so that a broken answer cannot make the
// request claim unbounded memory.
constexpr DWORD kMaxRawHeaderElements = 1 << 20;

DWORD g_timeLimitMs = WinmHttpRequest::kTimeLimitMs;
DWORD g_stopWaitMs = WinmHttpRequest::kStopWaitMs;

}  // namespace

WinmHttpRequest::WinmHttpRequest(WinmHttpRequestFactory* factory, const KString& url,
                                 const GrowableArray* requestBody, GrowableArray* responseBody,
                                 WinmAppEventHandler* eventQueue, TransportError* error)
    : WinmWorkerThread(eventQueue),
      url(OwnCopy(url)),
      requestBody(requestBody),
      bodyCopy(1),
      responseBody(responseBody),
      factory(factory),
      error(error),
      rawHeaders(static_cast<int>(sizeof(WCHAR))),
      headerBytes(1),
      pendingData(1) {
    ParseUrl();
}

WinmHttpRequest::~WinmHttpRequest() {
    StopThread();
}

void WinmHttpRequest::SetTimeLimitForTesting(DWORD limitMs, DWORD stopWaitMs) {
    g_timeLimitMs = limitMs != 0 ? limitMs : kTimeLimitMs;
    g_stopWaitMs = stopWaitMs != 0 ? stopWaitMs : kStopWaitMs;
}

void WinmHttpRequest::ParseUrl() {
    std::memset(&urlParts, 0, sizeof urlParts);
    urlParts.dwStructSize = sizeof urlParts;
    // Non-zero lengths ask for pointers into the URL instead of copies.
    urlParts.dwHostNameLength = static_cast<DWORD>(-1);
    urlParts.dwUrlPathLength = static_cast<DWORD>(-1);
    const WinmLib* lib = g_winmLib;
    bool parsed = lib != nullptr && lib->InternetCrackUrlW != nullptr &&
                  lib->InternetCrackUrlW(url.WideChars(), 0, 0, &urlParts);
    if (parsed) {
        DWORD limit = static_cast<DWORD>(url.Length());
        if (urlParts.lpszHostName != nullptr && urlParts.dwHostNameLength <= limit) {
            host = KString::FromWide(urlParts.lpszHostName,
                                     static_cast<int>(urlParts.dwHostNameLength));
        }
        if (urlParts.lpszUrlPath != nullptr && urlParts.dwUrlPathLength <= limit) {
            path =
                KString::FromWide(urlParts.lpszUrlPath, static_cast<int>(urlParts.dwUrlPathLength));
        }
        secure = urlParts.nScheme == INTERNET_SCHEME_HTTPS;
        port = urlParts.nPort != 0 ? urlParts.nPort
               : secure            ? INTERNET_DEFAULT_HTTPS_PORT
                                   : INTERNET_DEFAULT_HTTP_PORT;
    }
    // The record points into url; nothing reads it after this.
    urlParts.lpszHostName = nullptr;
    urlParts.lpszUrlPath = nullptr;
}

void WinmHttpRequest::Start(RequesterInterface* newRequester) {
    requester = newRequester;
    if (started)
        return;
    started = true;
    if (requestBody != nullptr && requestBody->count > 0) {
        bodyCopy.InsertAt(0, requestBody->count * requestBody->elementSize, requestBody->data);
    }
    const WinmLib* lib = InternetLib();
    if (lib != nullptr)
        inet = *lib;
    if (StartThread()) {
        // The bound runs on the window thread, so it holds whatever the
        // worker is stuck in. The timer's number is the request's own
        // message number, which no other live handler has.
        startTick = GetTickCount();
        timing = SetTimer(window, message, g_timeLimitMs, nullptr) != 0;
        if (!timing)
            LogWarning("no time limit for a request (error %u)",
                       static_cast<unsigned>(GetLastError()));
        return;
    }

    // No worker: report the failure through the event queue like any other,
    // so that the requester still hears exactly one outcome on the window
    // thread and never from inside Start.
    DWORD e = GetLastError();
    EnterCriticalSection(&lock);
    failureCode = 2;
    failureText = KString::Format("threadError [%d]", static_cast<int>(e));
    succeeded = false;
    done = true;
    LeaveCriticalSection(&lock);
    if (message != 0)
        PostEvent();
}

void WinmHttpRequest::Cancel() {
    if (StopWorker())
        delete this;
}

bool WinmHttpRequest::StopWorker() {
    EndTimeLimit();
    EnterCriticalSection(&lock);
    DWORD wait = connecting ? INFINITE : g_stopWaitMs;
    LeaveCriticalSection(&lock);
    return StopThreadWithin(wait) || !HandOverWorker();
}

bool WinmHttpRequest::HandOverWorker() {
    if (!HandOverToThread())
        return false;
    // The worker may still be inside WinInet when the process unloads its
    // libraries at exit; one more reference keeps the module mapped for as
    // long as the process lives.
    LoadLibraryW(TEXT("wininet"));
    return true;
}

void WinmHttpRequest::EndTimeLimit() {
    if (timing) {
        KillTimer(window, message);
        timing = false;
    }
}

void WinmHttpRequest::AddHeader(const GrowableArray& name, const GrowableArray& value) {
    if (hasExtraHeaders)
        extraHeaders.AppendUtf8("\r\n");
    if (name.count > 0)
        extraHeaders.Append(KString::FromUtf8Bytes(name));
    extraHeaders.AppendUtf8(": ");
    if (value.count > 0)
        extraHeaders.Append(KString::FromUtf8Bytes(value));
    hasExtraHeaders = true;
}

int32_t WinmHttpRequest::GetStatusCode() {
    EnterCriticalSection(&lock);
    int32_t status = statusCode;
    LeaveCriticalSection(&lock);
    return status;
}

HeaderFieldIteratorInterface* WinmHttpRequest::CreateHeaderFieldIterator() {
    KString text;
    EnterCriticalSection(&lock);
    if (rawHeaders.count > 0) {
        text = KString::FromWide(rawHeaders.As<const WCHAR>(), rawHeaders.count - 1);
    }
    LeaveCriticalSection(&lock);
    text.ToUtf8(headerBytes);
    return WINM_NEW(WinmHeaderFieldIterator)(headerBytes.Bytes(), headerBytes.count);
}

void WinmHttpRequest::Abort() {
    EnterCriticalSection(&lock);
    aborted = true;
    HINTERNET request = requestHandle;
    HINTERNET connect = connectHandle;
    HINTERNET root = rootHandle;
    requestHandle = connectHandle = rootHandle = nullptr;
    LeaveCriticalSection(&lock);
    // Closing makes a call the worker is blocked in fail at once. Handles
    // exist only when the table was complete at Start.
    if (request != nullptr)
        inet.InternetCloseHandle(request);
    if (connect != nullptr)
        inet.InternetCloseHandle(connect);
    if (root != nullptr)
        inet.InternetCloseHandle(root);
}

bool WinmHttpRequest::KeepHandle(HINTERNET* field, HINTERNET handle) {
    EnterCriticalSection(&lock);
    bool keep = !aborted;
    if (keep)
        *field = handle;
    LeaveCriticalSection(&lock);
    // Abort has already run and did not see this handle: close it here.
    if (!keep && handle != nullptr)
        inet.InternetCloseHandle(handle);
    return keep;
}

DWORD WinmHttpRequest::Run() {
    // 1. The data connection.
    KString proxy, proxyUser, proxyPassword;
    if (!factory->EnsureConnection(proxy, proxyUser, proxyPassword)) {
        DWORD e = GetLastError();
        ReportFailure(factory->HasEverConnected() ? 0 : 2,
                      KString::Format("connectError [%d]", static_cast<int>(e)));
        return 0;
    }
    // From here on the worker touches nothing of its caller's, nor the
    // factory: a stop may hand the request over to it.
    EnterCriticalSection(&lock);
    connecting = false;
    failureProxy = proxy;
    LeaveCriticalSection(&lock);
    if (StopRequested())
        return 0;
    const WinmLib* lib = inet.InternetCloseHandle != nullptr ? &inet : nullptr;
    if (lib == nullptr) {
        ReportFailure(2, KString::Format("wininetHttpError [%d %d]", 0,
                                         static_cast<int>(ERROR_PROC_NOT_FOUND)));
        return 0;
    }

    // 2. Root handle, through the connection's proxy when it has one.
    HINTERNET root = proxy.IsEmpty() ? lib->InternetOpenW(kUserAgent, INTERNET_OPEN_TYPE_DIRECT,
                                                          nullptr, nullptr, 0)
                                     : lib->InternetOpenW(kUserAgent, INTERNET_OPEN_TYPE_PROXY,
                                                          proxy.WideChars(), nullptr, 0);
    // The first failure of steps 2 to 5 is kept for step 7: the status query
    // that follows fails with an error of its own (the handle's wrong state)
    // that says nothing about why the exchange did not happen.
    DWORD sendError = root == nullptr ? GetLastError() : 0;
    if (!KeepHandle(&rootHandle, root))
        return 0;

    // 3. Process-wide time-outs.
    DWORD timeout = kTimeoutMs;
    lib->InternetSetOptionW(nullptr, INTERNET_OPTION_DATA_SEND_TIMEOUT, &timeout, sizeof timeout);
    lib->InternetSetOptionW(nullptr, INTERNET_OPTION_DATA_RECEIVE_TIMEOUT, &timeout,
                            sizeof timeout);

    // 4. Extra request headers.
    const WCHAR* headers = hasExtraHeaders ? extraHeaders.WideChars() : nullptr;
    DWORD headersLength = hasExtraHeaders ? static_cast<DWORD>(extraHeaders.Length()) : 0;

    // 5. Send. Failures here show up as a missing status below. A redirect
    // is never followed: a desktop WinInet would resend the POST as a GET to
    // wherever the answer points, and the host layer follows none. Nothing
    // relaxes the certificate checks of a secure request.
    const DWORD flags = INTERNET_FLAG_NO_CACHE_WRITE | INTERNET_FLAG_KEEP_CONNECTION |
                        INTERNET_FLAG_NO_AUTO_REDIRECT | (secure ? INTERNET_FLAG_SECURE : 0);
    const DWORD_PTR context = reinterpret_cast<DWORD_PTR>(this);
    HINTERNET request = nullptr;
    if (requestBody != nullptr) {
        HINTERNET connect = lib->InternetConnectW(root, host.WideChars(), port, nullptr, nullptr,
                                                  INTERNET_SERVICE_HTTP, 0, context);
        if (connect == nullptr && sendError == 0)
            sendError = GetLastError();
        if (!KeepHandle(&connectHandle, connect))
            return 0;
        if (StopRequested())
            return 0;
        request = lib->HttpOpenRequestW(connect, TEXT("POST"), path.WideChars(), nullptr, nullptr,
                                        nullptr, flags, context);
        if (request == nullptr && sendError == 0)
            sendError = GetLastError();
        if (!KeepHandle(&requestHandle, request))
            return 0;
        // The proxy's credentials, as WinInet takes them: it answers the
        // proxy's request for them (Basic) with these.
        if (request != nullptr && !proxy.IsEmpty() && !proxyUser.IsEmpty()) {
            lib->InternetSetOptionW(request, INTERNET_OPTION_PROXY_USERNAME,
                                    const_cast<WCHAR*>(proxyUser.WideChars()),
                                    static_cast<DWORD>(proxyUser.Length()));
            lib->InternetSetOptionW(request, INTERNET_OPTION_PROXY_PASSWORD,
                                    const_cast<WCHAR*>(proxyPassword.WideChars()),
                                    static_cast<DWORD>(proxyPassword.Length()));
        }
        if (StopRequested())
            return 0;
        if (!lib->HttpSendRequestW(request, headers, headersLength, bodyCopy.data,
                                   static_cast<DWORD>(bodyCopy.count)) &&
            sendError == 0) {
            sendError = GetLastError();
        }
    } else {
        request =
            lib->InternetOpenUrlW(root, url.WideChars(), headers, headersLength, flags, context);
        if (request == nullptr && sendError == 0)
            sendError = GetLastError();
        if (!KeepHandle(&requestHandle, request))
            return 0;
    }
    if (StopRequested())
        return 0;

    // 6. Status. Number queries get a buffer of exactly one DWORD: Win32
    // accepts a larger one, but some WinINets refuse anything but 4 bytes.
    DWORD number = 0;
    DWORD length = sizeof number;
    DWORD index = 0;
    int32_t status = 0;
    if (lib->HttpQueryInfoW(request, HTTP_QUERY_STATUS_CODE | HTTP_QUERY_FLAG_NUMBER, &number,
                            &length, &index)) {
        status = static_cast<int32_t>(number);
    }

    // 7. No status: the exchange never happened.
    if (status == 0) {
        DWORD e = sendError != 0 ? sendError : GetLastError();
        int32_t code = 2;
        if (e == ERROR_INTERNET_CANNOT_CONNECT) {
            // Dropped on the window thread, which owns the factory.
            EnterCriticalSection(&lock);
            dropConnection = true;
            LeaveCriticalSection(&lock);
            code = 0;
        }
        ReportFailure(code, KString::Format("wininetHttpError [%d %d]", static_cast<int>(status),
                                            static_cast<int>(e)));
        return 0;
    }
    EnterCriticalSection(&lock);
    statusCode = status;
    LeaveCriticalSection(&lock);
    // A secure exchange counts only with 200: a desktop WinInet hands a
    // proxy's refusal of the tunnel (its status and body, no TLS at all) to
    // the caller as if the service had answered. None of it is passed on.
    if (secure && status != 200) {
        ReportFailure(0, KString::Format("wininetHttpError [%d %d]", static_cast<int>(status),
                                         static_cast<int>(ERROR_HTTP_INVALID_SERVER_RESPONSE)));
        return 0;
    }

    // 8. Raw headers, growing the buffer to what the library asks for.
    GrowableArray raw(static_cast<int>(sizeof(WCHAR)));
    raw.SetCount(10);
    std::memset(raw.data, 0, 10 * sizeof(WCHAR));
    DWORD rawLength = 10;
    for (int attempt = 0;
         !lib->HttpQueryInfoW(request, HTTP_QUERY_RAW_HEADERS_CRLF, raw.data, &rawLength, nullptr);
         ++attempt) {
        if (GetLastError() != ERROR_INSUFFICIENT_BUFFER || attempt >= 8 ||
            rawLength > kMaxRawHeaderElements) {
            raw.SetCount(0);
            break;
        }
        raw.SetCount(static_cast<int>(rawLength));
        std::memset(raw.data, 0, static_cast<size_t>(rawLength) * sizeof(WCHAR));
    }
    EnterCriticalSection(&lock);
    rawHeaders = std::move(raw);
    LeaveCriticalSection(&lock);

    // 9. Expected length: the first Content-Length, 0 when unknown.
    number = 0;
    length = sizeof number;
    index = 0;
    uint32_t length32 = 0;
    if (lib->HttpQueryInfoW(request, HTTP_QUERY_CONTENT_LENGTH | HTTP_QUERY_FLAG_NUMBER, &number,
                            &length, &index)) {
        length32 = number;
    }
    // 10. The window thread reserves room for the body from this before it
    // appends the first piece.
    EnterCriticalSection(&lock);
    expected = length32;
    LeaveCriticalSection(&lock);

    // 11. Read the body in pieces, handing each over at once.
    GrowableArray chunk(1);
    chunk.SetCount(static_cast<int>(kReadChunk));
    std::memset(chunk.data, 0, kReadChunk);
    int64_t total = 0;
    DWORD e = 0;
    for (;;) {
        if (StopRequested())
            return 0;
        DWORD read = 0;
        if (!lib->InternetReadFile(request, chunk.data, kReadChunk, &read)) {
            e = GetLastError();
            break;
        }
        if (read == 0)
            break;
        if (read > kReadChunk)
            read = kReadChunk;
        total += read;
        if (total > kMaxResponseBytes) {
            e = ERROR_NOT_ENOUGH_MEMORY;
            break;
        }
        EnterCriticalSection(&lock);
        pendingData.InsertAt(pendingData.End(), static_cast<int>(read), chunk.data);
        LeaveCriticalSection(&lock);
        PostEvent();
    }
    chunk.FreeIfOwned();

    // 12. Outcome.
    bool ok = status >= 200 && status < 400 && e == 0 &&
              (length32 == 0 || static_cast<uint64_t>(total) == length32);
    if (!ok) {
        ReportFailure(0, KString::Format("wininetReadError [%d]", static_cast<int>(e)));
        return 0;
    }
    EnterCriticalSection(&lock);
    succeeded = true;
    done = true;
    LeaveCriticalSection(&lock);
    PostEvent();
    WaitForStop();
    // 13. The handles stay open until Abort closes them.
    return 0;
}

void WinmHttpRequest::ReportFailure(int32_t code, const KString& text) {
    LogDebug("Request failed with: %S [%d]", &text, static_cast<int>(code));
    EnterCriticalSection(&lock);
    failureCode = code;
    failureText = text;
    succeeded = false;
    done = true;
    LeaveCriticalSection(&lock);
    PostEvent();
    WaitForStop();
}

bool WinmHttpRequest::TakePending(bool* dataArrived, bool* success) {
    *dataArrived = false;
    EnterCriticalSection(&lock);
    if (pendingData.count > 0) {
        // Room for the whole body ahead, so appending does not reallocate
        // per piece; capped, since the length comes from the peer.
        int32_t room = expected > static_cast<uint32_t>(kMaxReserve)
                           ? kMaxReserve
                           : static_cast<int32_t>(expected);
        if (!responseBody->IsView() && room > responseBody->capacity) {
            int32_t count = responseBody->count;
            responseBody->SetCount(room);
            responseBody->count = count;
        }
        responseBody->InsertAt(responseBody->End(), pendingData.count, pendingData.data);
        pendingData.SetCount(0);
        *dataArrived = true;
    }
    bool finished = done;
    *success = succeeded;
    if (finished && !succeeded && error != nullptr) {
        error->code = failureCode;
        error->text = failureText;
        error->proxy = failureProxy;
    }
    bool drop = finished && dropConnection;
    dropConnection = false;
    LeaveCriticalSection(&lock);
    if (drop)
        factory->DropConnection();
    return finished;
}

void WinmHttpRequest::OnEvent(HWND, UINT message, WPARAM) {
    if (message == WM_TIMER) {
        OnTimeLimit();
        return;
    }
    bool dataArrived = false;
    bool success = false;
    bool finished = TakePending(&dataArrived, &success);
    if (dataArrived && requester != nullptr)
        requester->OnData(this);
    if (!finished)
        return;
    EndTimeLimit();
    if (requester != nullptr) {
        if (success) {
            requester->OnComplete(this);
        } else {
            requester->OnFailed(this);
        }
    }
    delete this;
}

void WinmHttpRequest::OnTimeLimit() {
    if (!timing)
        return;
    // Early (a coarse system tick, or a tick meant for an earlier request
    // with the same message number): wait for the rest.
    DWORD elapsed = GetTickCount() - startTick;
    if (elapsed < g_timeLimitMs) {
        SetTimer(window, message, g_timeLimitMs - elapsed, nullptr);
        return;
    }
    EndTimeLimit();
    EnterCriticalSection(&lock);
    bool finished = done;
    DWORD wait = connecting ? INFINITE : g_stopWaitMs;
    LeaveCriticalSection(&lock);
    // An outcome that is already on its way is reported as it is.
    if (finished)
        return;
    LogWarning("Request stopped after %u ms", static_cast<unsigned>(g_timeLimitMs));
    bool ended = StopThreadWithin(wait);

    // Whatever the stopped worker made of it, the exchange failed with the
    // error of a time-out at the stage it had reached. The bytes it handed
    // over are the requester's; the worker cannot add more after the stop.
    bool dataArrived = false;
    bool success = false;
    int32_t status = GetStatusCode();
    TakePending(&dataArrived, &success);
    if (error != nullptr) {
        EnterCriticalSection(&lock);
        error->proxy = failureProxy;
        LeaveCriticalSection(&lock);
        error->code = status == 0 ? 2 : 0;
        error->text = status == 0 ? KString::Format("wininetHttpError [%d %d]", 0,
                                                    static_cast<int>(ERROR_INTERNET_TIMEOUT))
                                  : KString::Format("wininetReadError [%d]",
                                                    static_cast<int>(ERROR_INTERNET_TIMEOUT));
    }
    if (dataArrived && requester != nullptr)
        requester->OnData(this);
    if (requester != nullptr)
        requester->OnFailed(this);
    // A worker still inside a call frees the request when the call returns.
    if (ended || !HandOverWorker())
        delete this;
}
