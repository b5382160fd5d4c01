// HTTP as the request code sees it.
#pragma once

#include <cstdint>

#include "common/base/growablearray.h"
#include "common/base/internal/winmkstring/kstring.h"
#include "common/src/requestinterface.h"

// Caller-owned record that a failing exchange fills before it reports
// OnFailed (or before Cancel() returns when the cancel makes it fail).
struct TransportError {
    int32_t code = 0;
    KString text;
    KString proxy;  // the proxy the exchange went through; empty for none
};

// Walks the response headers. Name and value are byte arrays of UTF-8 text
// without a terminator; the pointers stay valid for the iterator's life and
// their contents change with every First() and Next().
class HeaderFieldIteratorInterface {
  public:
    virtual ~HeaderFieldIteratorInterface() = default;
    virtual void Next() = 0;
    virtual void First() = 0;
    virtual bool IsDone() const = 0;
    virtual const GrowableArray* GetName() const = 0;
    virtual const GrowableArray* GetValue() const = 0;
};

// One HTTP exchange. After Start: zero or more OnData (each after new bytes
// were appended to the response body), then exactly one OnComplete or
// OnFailed, all on the window thread; then the request destroys itself.
class HttpRequestInterface : public RequestInterface {
  public:
    // Adds one request header line; before Start only.
    virtual void AddHeader(const GrowableArray& name, const GrowableArray& value) = 0;
    // The response's status code, 0 until known.
    virtual int32_t GetStatusCode() = 0;
    // A new iterator over the response headers, owned by the caller; used
    // inside OnComplete and destroyed before it returns.
    virtual HeaderFieldIteratorInterface* CreateHeaderFieldIterator() = 0;
};

// Makes HTTP requests. The pointed-to bodies and error record must outlive
// the request (until it has reported or Cancel() has returned). The result
// is a new, not yet started, self-owning request, or null when it could not
// be made.
class HttpRequestFactory {
  public:
    virtual ~HttpRequestFactory() = default;
    virtual HttpRequestInterface* CreateGetRequest(const KString& url, GrowableArray* responseBody,
                                                   TransportError* error) = 0;
    // requestBody null makes a GET, otherwise a POST of its count bytes.
    virtual HttpRequestInterface* CreateRequest(const KString& url,
                                                const GrowableArray* requestBody,
                                                GrowableArray* responseBody,
                                                TransportError* error) = 0;
};
