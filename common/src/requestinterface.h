// The request/requester contract shared by every network exchange.
//
// A request owns itself: it destroys itself right after it has reported
// OnComplete or OnFailed to its requester, or inside Cancel(). A holder of a
// request pointer forgets it when the outcome arrives and calls Cancel()
// (never delete) to drop a request that is still running.
#pragma once

class RequesterInterface;

class RequestInterface {
  public:
    // Begins the exchange; the outcome goes to requester (not owned).
    virtual void Start(RequesterInterface* requester) = 0;
    // Abandons the exchange: nothing is reported afterwards and the request
    // is destroyed before Cancel() returns.
    virtual void Cancel() = 0;
    virtual ~RequestInterface() = default;
};

class RequesterInterface {
  public:
    virtual void OnComplete(RequestInterface* request) = 0;
    virtual void OnFailed(RequestInterface* request) = 0;
    // More response data has arrived for request.
    virtual void OnData(RequestInterface* request) { (void)request; }
    virtual ~RequesterInterface() = default;
};
