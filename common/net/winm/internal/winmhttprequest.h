// One HTTP exchange, run on a worker thread of its own.
//
// The worker makes sure the data connection is up (through the factory),
// opens its Internet handles, sends the request, reads the status, headers
// and body and hands the body over piece by piece. The requester hears
// OnData as bytes arrive, then exactly one OnComplete or OnFailed, all on the
// window thread; the request then destroys itself.
#pragma once

#include <cstdint>

#include "common/base/growablearray.h"
#include "common/base/internal/winmkstring/kstring.h"
#include "common/base/trackedalloc.h"
#include "common/base/winm/internal/winmlib.h"
#include "common/base/winm/internal/winmworkerthread.h"
#include "common/src/httprequestinterface.h"
#include "wince.h"

class WinmHttpRequestFactory;

class WinmHttpRequest : public HttpRequestInterface, public WinmWorkerThread {
  public:
    WINM_TRACKED_ALLOCATION;

    static constexpr const WCHAR* kUserAgent = TEXT("WINM-TEST-USER-AGENT");
    // Send and receive time-outs handed to the Internet library. They only
    // limit silence: a peer that drips its answer restarts them each byte.
    static constexpr DWORD kTimeoutMs = 60000;
    // The hard bound: a window timer stops an exchange this long after it
    // started, as a cancel stops it, and fails it with
    // ERROR_INTERNET_TIMEOUT. With the wait for the stopped worker below,
    // every exchange has ended within 120 s of its start.
    static constexpr DWORD kTimeLimitMs = 115000;
    // How long a stop waits for the worker before handing the request over
    // to it: a call that a closed handle does not end (WinInet under Wine)
    // must not hold the window thread.
    static constexpr DWORD kStopWaitMs = 5000;
    // Largest piece read from the network at once.
    static constexpr DWORD kReadChunk = 8192;
    // Room reserved ahead from a Content-Length is capped so that a bogus
    // length cannot make the request claim memory it will never fill.
    static constexpr int32_t kMaxReserve = 1 << 20;
    // A response body beyond this size is refused: the protocol's answers
    // are tiny and an endless body must not exhaust memory.
    static constexpr int64_t kMaxResponseBytes = 16 << 20;

    // Made by the factory only. requestBody null makes a GET of url,
    // otherwise a POST of its bytes; the bodies and the error record are the
    // caller's and must outlive the request.
    WinmHttpRequest(WinmHttpRequestFactory* factory, const KString& url,
                    const GrowableArray* requestBody, GrowableArray* responseBody,
                    WinmAppEventHandler* eventQueue, TransportError* error);
    // Stops the worker (closing whatever it has open) and waits for it.
    ~WinmHttpRequest() override;

    void Start(RequesterInterface* requester) override;
    void Cancel() override;
    void AddHeader(const GrowableArray& name, const GrowableArray& value) override;
    int32_t GetStatusCode() override;
    HeaderFieldIteratorInterface* CreateHeaderFieldIterator() override;

    const KString& GetHost() const { return host; }
    const KString& GetPath() const { return path; }
    uint16_t GetPort() const { return port; }
    bool IsSecure() const { return secure; }
    const KString& GetExtraHeaders() const { return extraHeaders; }

    // Tests only: a shorter bound and stop wait for requests started later;
    // 0 restores the defaults.
    static void SetTimeLimitForTesting(DWORD limitMs, DWORD stopWaitMs = 0);

  private:
    void Abort() override;
    DWORD Run() override;
    void OnEvent(HWND window, UINT message, WPARAM wParam) override;

    void ReportFailure(int32_t code, const KString& text);
    // Window thread: moves pending data into the response body (reserving
    // ahead on the first piece) and tells whether the outcome is in.
    bool TakePending(bool* dataArrived, bool* success);
    // Window thread: the time limit has passed.
    void OnTimeLimit();
    void EndTimeLimit();
    // Window thread: stops the worker as a cancel does, without waiting
    // past kStopWaitMs for a call that does not end; true when the request
    // is still the caller's to delete.
    bool StopWorker();
    // Hands the request to a worker still inside a call; true when it did.
    bool HandOverWorker();
    // Stores a handle the worker has just opened, unless Abort has already
    // run; then the worker closes it itself and must stop.
    bool KeepHandle(HINTERNET* field, HINTERNET handle);
    void ParseUrl();

    KString url;
    const GrowableArray* requestBody;
    // What the worker uses, its own: a request handed over to its worker
    // may outlive the caller's body and the platform table.
    GrowableArray bodyCopy;
    GrowableArray* responseBody;
    WinmLib inet;
    RequesterInterface* requester = nullptr;
    WinmHttpRequestFactory* factory;
    TransportError* error;
    // The three handles and `aborted` are guarded by the lock: Abort closes
    // them from the window thread while the worker may be opening more.
    HINTERNET rootHandle = nullptr;
    HINTERNET connectHandle = nullptr;
    HINTERNET requestHandle = nullptr;
    bool aborted = false;
    URL_COMPONENTSW urlParts;
    KString host;
    KString path;
    uint16_t port = 80;
    bool secure = false;     // an https URL: TLS, verified, and only status 200 counts
    int32_t statusCode = 0;  // guarded by the lock once started
    KString extraHeaders;
    bool hasExtraHeaders = false;
    GrowableArray rawHeaders;   // WCHARs; guarded by the lock once started
    GrowableArray headerBytes;  // window thread only
    GrowableArray pendingData;  // guarded by the lock
    bool succeeded = false;     // guarded by the lock
    bool done = false;          // guarded by the lock
    // The worker's failure, copied into the caller's record on the window
    // thread; and whether the data connection is to be dropped then.
    int32_t failureCode = 0;      // guarded by the lock
    KString failureText;          // guarded by the lock
    KString failureProxy;         // the proxy in use; guarded by the lock
    bool dropConnection = false;  // guarded by the lock
    uint32_t expected = 0;        // Content-Length; guarded by the lock
    // Until the worker is past the data connection: a stop then waits for
    // it, since it is using the factory.
    bool connecting = true;  // guarded by the lock
    bool started = false;    // window thread only
    bool timing = false;     // window thread only
    DWORD startTick = 0;     // window thread only
};
