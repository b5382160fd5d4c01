// A request that runs one inner request at a time and reports once to its
// own requester, after a hook has had the chance to post-process, change or
// chain the inner outcome.
#pragma once

#include "common/src/requestinterface.h"

class RequestAdapter : public RequestInterface, public RequesterInterface {
  public:
    // RequestInterface.
    // Starts the inner request. An adapter that has no inner request to run
    // (its preparation failed) reports OnFailed to requester at once.
    void Start(RequesterInterface* requester) override;
    void Cancel() override;
    // Cancels a running inner request; the requester is not told.
    ~RequestAdapter() override;

    // Hooks, called after the inner request reported; they may change
    // succeeded_ or start another inner request with StartInner().
    virtual void OnInnerComplete() = 0;
    virtual void OnInnerFailed();

    // RequesterInterface, towards the inner request.
    void OnComplete(RequestInterface* request) override;
    void OnFailed(RequestInterface* request) override;
    void OnData(RequestInterface* request) override;

    RequesterInterface* requester() const { return requester_; }
    RequestInterface* innerRequest() const { return innerRequest_; }
    const char* name() const { return name_; }

  protected:
    explicit RequestAdapter(const char* name);

    // Sets the inner request that Start() will start (before Start only).
    void SetInnerRequest(RequestInterface* inner) { innerRequest_ = inner; }
    // Chains a further inner request from inside a hook and starts it.
    void StartInner(RequestInterface* inner);

    RequesterInterface* requester_ = nullptr;
    RequestInterface* innerRequest_ = nullptr;
    const char* name_;
    bool succeeded_ = false;

  private:
    void Finish(RequestInterface* request, bool innerSucceeded);
    int LogId() const;

    // Set while a hook runs, so that an inner request chained by the hook and
    // reporting before the hook returns leaves the final report to the
    // outer call instead of destroying the adapter under it.
    bool inHook_ = false;
    bool hasPendingOutcome_ = false;
    bool pendingSucceeded_ = false;
};
