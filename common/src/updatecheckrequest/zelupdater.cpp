#include "common/src/updatecheckrequest/zelupdater.h"

#include "common/base/log.h"

ZelUpdateRequest::ZelUpdateRequest(ClientHeaderInterface* identity, HttpRequestFactory* factory)
    : GenericNeskRequest(identity, factory) {}

void ZelUpdateRequest::WritePayload(NeskRequestBuilder& builder) {
    builder.WriteString("k:zel");
    builder.WriteShort(0);
    builder.BeginBlock32();
    builder.WriteString(code_ != nullptr ? *code_ : KString());
    builder.EndBlock();
}

bool ZelUpdateRequest::ReadAnswer(NeskResponseParser& parser) {
    if (code_ == nullptr)
        return false;
    // A cut code would erase the device's attribution; a well-formed empty
    // one is the service's to send.
    const KString code = parser.ReadString();
    if (parser.HasError())
        return false;
    *code_ = code;
    return true;
}

void ZelUpdateRequest::OnInnerComplete() {
    GenericNeskRequest::OnInnerComplete();
    if (answerCut() && !answerRead())
        succeeded_ = false;
}

ZelUpdater::ZelUpdater(PlatformInterface* listener, HttpRequestFactory* factory,
                       ClientHeaderInterface* identity, const KString& code)
    : listener_(listener), factory_(factory), identity_(identity), code_(code) {
    ZelUpdateRequest* request = WINM_NEW(ZelUpdateRequest)(identity_, factory_);
    if (request == nullptr) {
        LogWarning("distribution ping failed: the request could not be made");
        listener_->ZelUpdateFailed();
        return;
    }
    request->SetCodeField(&code_);
    // A request that cannot be prepared reports OnFailed from Start.
    request->Prepare();
    request_ = request;
    request->Start(this);
}

ZelUpdater::~ZelUpdater() {
    if (request_ != nullptr) {
        ZelUpdateRequest* request = request_;
        request_ = nullptr;
        request->Cancel();
    }
}

void ZelUpdater::OnComplete(RequestInterface* request) {
    if (request == nullptr || request != static_cast<RequestInterface*>(request_))
        return;
    request_ = nullptr;
    listener_->ZelUpdateCompleted(code_);
}

void ZelUpdater::OnFailed(RequestInterface* request) {
    if (request == nullptr || request != static_cast<RequestInterface*>(request_))
        return;
    const KString reason = request_->FailureText();
    request_ = nullptr;
    LogWarning("distribution ping failed: %S; the stored code stays", &reason);
    listener_->ZelUpdateFailed();
}
