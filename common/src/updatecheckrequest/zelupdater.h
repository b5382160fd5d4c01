// The distribution ping ("k:zel"): reports the device's distribution code
// and receives the code to keep.
#pragma once

#include "common/base/internal/winmkstring/kstring.h"
#include "common/base/trackedalloc.h"
#include "common/src/clientheaderinterface.h"
#include "common/src/genericneskrequest.h"
#include "common/src/httprequestinterface.h"
#include "common/src/requestinterface.h"

class ZelUpdateRequest : public GenericNeskRequest {
  public:
    WINM_TRACKED_ALLOCATION;

    ZelUpdateRequest(ClientHeaderInterface* identity, HttpRequestFactory* factory);

    // The code field of the updater: read by WritePayload, written by
    // ReadAnswer.
    void SetCodeField(KString* code) { code_ = code; }

    void WritePayload(NeskRequestBuilder& builder) override;
    bool ReadAnswer(NeskResponseParser& parser) override;
    // An answer for this ping that could not be read whole fails the ping,
    // so that the stored code stays.
    void OnInnerComplete() override;

  private:
    KString* code_ = nullptr;
};

// Creates and starts its request in the constructor and reports the outcome
// to listener: ZelUpdateCompleted with the code, or ZelUpdateFailed. When
// the request cannot be prepared the listener hears ZelUpdateFailed before
// the constructor returns. Deleting the updater while its request runs
// cancels the request and the listener hears nothing.
class ZelUpdater : public RequesterInterface {
  public:
    WINM_TRACKED_ALLOCATION;

    ZelUpdater(PlatformInterface* listener, HttpRequestFactory* factory,
               ClientHeaderInterface* identity, const KString& code);
    ~ZelUpdater() override;

    void OnComplete(RequestInterface* request) override;
    void OnFailed(RequestInterface* request) override;

    bool IsRunning() const { return request_ != nullptr; }
    const KString& code() const { return code_; }

  private:
    PlatformInterface* listener_;
    HttpRequestFactory* factory_;
    ClientHeaderInterface* identity_;
    ZelUpdateRequest* request_ = nullptr;
    KString code_;
};
