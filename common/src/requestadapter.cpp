#include "common/src/requestadapter.h"

#include <cstdint>

#include "common/base/log.h"

RequestAdapter::RequestAdapter(const char* name) : name_(name) {}

RequestAdapter::~RequestAdapter() {
    if (innerRequest_ != nullptr) {
        RequestInterface* inner = innerRequest_;
        innerRequest_ = nullptr;
        inner->Cancel();
    }
}

int RequestAdapter::LogId() const {
    // The adapter's address, cut to 32 bits, identifies it in log lines.
    return static_cast<int>(static_cast<uint32_t>(
        reinterpret_cast<uintptr_t>(static_cast<const RequestInterface*>(this))));
}

void RequestAdapter::Start(RequesterInterface* requester) {
    LogDebug("RequestAdapter %s %d: start", name_, LogId());
    requester_ = requester;
    if (innerRequest_ == nullptr) {
        // Nothing could be prepared: the one outcome is a failure, and
        // nothing is sent.
        LogDebug("RequestAdapter %s %d: failed", name_, LogId());
        succeeded_ = false;
        if (requester_ != nullptr)
            requester_->OnFailed(this);
        delete this;
        return;
    }
    // The inner request may report (and so destroy this adapter) before
    // Start returns: nothing touches the adapter after this call.
    innerRequest_->Start(this);
}

void RequestAdapter::Cancel() {
    LogDebug("RequestAdapter %s %d: cancel", name_, LogId());
    delete this;
}

void RequestAdapter::OnInnerFailed() {}

void RequestAdapter::StartInner(RequestInterface* inner) {
    hasPendingOutcome_ = false;  // only the last inner request's outcome counts
    innerRequest_ = inner;
    inner->Start(this);
}

void RequestAdapter::OnComplete(RequestInterface* request) {
    Finish(request, true);
}

void RequestAdapter::OnFailed(RequestInterface* request) {
    Finish(request, false);
}

void RequestAdapter::OnData(RequestInterface* request) {
    if (request != innerRequest_ || requester_ == nullptr)
        return;
    requester_->OnData(this);
}

void RequestAdapter::Finish(RequestInterface* request, bool innerSucceeded) {
    if (request == nullptr || request != innerRequest_)
        return;  // a late or foreign report
    innerRequest_ = nullptr;
    LogDebug(innerSucceeded ? "RequestAdapter %s %d: inner request complete"
                            : "RequestAdapter %s %d: inner request failed",
             name_, LogId());
    if (inHook_) {
        // A request chained by the running hook reported before the hook
        // returned: the outer call runs its hook and reports.
        hasPendingOutcome_ = true;
        pendingSucceeded_ = innerSucceeded;
        return;
    }
    for (;;) {
        succeeded_ = innerSucceeded;
        inHook_ = true;
        if (innerSucceeded)
            OnInnerComplete();
        else
            OnInnerFailed();
        inHook_ = false;
        if (innerRequest_ != nullptr)
            return;  // chained: wait for that one
        if (!hasPendingOutcome_)
            break;
        hasPendingOutcome_ = false;
        innerSucceeded = pendingSucceeded_;
    }
    LogDebug(succeeded_ ? "RequestAdapter %s %d: complete" : "RequestAdapter %s %d: failed", name_,
             LogId());
    if (requester_ != nullptr) {
        if (succeeded_)
            requester_->OnComplete(this);
        else
            requester_->OnFailed(this);
    }
    delete this;
}
