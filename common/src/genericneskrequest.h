// The common base of the protocol requests: builds the request envelope,
// POSTs it through the HTTP factory and walks the response envelope for the
// answer that carries its own request id.
#pragma once

#include <cstdint>

#include "common/base/growablearray.h"
#include "common/base/internal/winmkstring/kstring.h"
#include "common/src/answersignature.h"
#include "common/src/clientheaderinterface.h"
#include "common/src/httprequestinterface.h"
#include "common/src/neskstream.h"
#include "common/src/requestadapter.h"

// The endpoint every protocol request is POSTed to.
KString ProtocolEndpointUrl();

// The request id source: the platform's millisecond timer from g_winmLib,
// or, when that entry is unavailable, the process's own monotonic clock.
uint32_t RequestClockMilliseconds();

class GenericNeskRequest : public RequestAdapter {
  public:
    GenericNeskRequest(ClientHeaderInterface* identity, HttpRequestFactory* factory);
    ~GenericNeskRequest() override;

    // Builds the body and creates (does not start) the HTTP request. False
    // when the body cannot be built soundly, the factory makes no request or
    // (with an answer key) the platform cannot check signatures; Start()
    // then reports OnFailed without sending anything.
    bool Prepare();

    // The response walk.
    void OnInnerComplete() override;
    void OnInnerFailed() override;

    // Why the request failed, for the log: "HTTP status N" for an HTTP
    // error status, else the transport error text, else the reason this
    // request gave itself.
    KString FailureText() const;
    // Whether the walk found an answer carrying this request's id that
    // ReadAnswer read whole.
    bool answerRead() const { return answerRead_; }
    // Whether an answer carrying this request's id could not be read whole
    // (a field cut short, a length past the end); such an answer changes
    // nothing.
    bool answerCut() const { return answerCut_; }

    // Appends the type-specific part of the request block.
    virtual void WritePayload(NeskRequestBuilder& builder) = 0;
    // Reads one answer message; parser covers exactly that message. Takes
    // the answer's values and returns true only when the message was read
    // whole; a cut message leaves every value as it was.
    virtual bool ReadAnswer(NeskResponseParser& parser) = 0;

    // Writes the whole body into requestBody_; false when it is not sound.
    bool BuildBody();

    uint16_t requestId() const { return requestId_; }
    const GrowableArray& requestBody() const { return requestBody_; }
    const GrowableArray& responseBody() const { return responseBody_; }
    const TransportError& transportError() const { return transportError_; }

  protected:
    ClientHeaderInterface* identity_;
    HttpRequestFactory* factory_;
    GrowableArray requestBody_{1};
    GrowableArray responseBody_{1};
    TransportError transportError_;
    uint16_t requestId_ = 0;
    bool answerRead_ = false;
    bool answerCut_ = false;
    // The HTTP exchange while it runs (owned by itself): its status is read
    // when it fails.
    HttpRequestInterface* http_ = nullptr;
    int32_t failedStatus_ = 0;
    bool exchangeFailed_ = false;
    bool exchangeCompleted_ = false;

  private:
    // With an answer key: false (and the request failed) unless the answer
    // carries a signature that verifies for this request.
    bool AnswerSignatureHolds();

    // Only with an answer key built in: this exchange's nonce and check.
    AnswerSignature* signature_ = nullptr;
    SignatureVerdict signatureVerdict_ = SignatureVerdict::kGood;
};
