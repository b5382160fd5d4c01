// The update check ("k:upg/gn"): asks the service whether a newer version of
// the plug-in is offered.
#pragma once

#include <cstdint>

#include "common/base/calendar.h"
#include "common/base/internal/winmkstring/kstring.h"
#include "common/base/trackedalloc.h"
#include "common/src/clientheaderinterface.h"
#include "common/src/genericneskrequest.h"
#include "common/src/httprequestinterface.h"
#include "common/src/requestinterface.h"

// Parses a deadline given as decimal milliseconds since 1970-01-01 00:00:00
// (optional leading "-", fraction after "." ignored) into a fresh record.
// False, and deadline untouched, for any other byte, for a negative value
// and for a value beyond the unsigned 32-bit seconds range.
bool ParseDeadline(const KString& text, PackedDateTime& deadline);

class UpdateCheckRequest : public GenericNeskRequest {
  public:
    WINM_TRACKED_ALLOCATION;

    UpdateCheckRequest(ClientHeaderInterface* identity, HttpRequestFactory* factory);

    // Where ReadAnswer stores the four answer values (owned by the checker).
    void SetAnswerFields(int32_t* notification, KString* message, KString* address,
                         PackedDateTime* deadline);

    void WritePayload(NeskRequestBuilder& builder) override;
    bool ReadAnswer(NeskResponseParser& parser) override;
    // A completed exchange without an answer for this request (another
    // envelope version, foreign ids only, not the protocol at all) fails
    // the check, so that defaults never overwrite a stored answer.
    void OnInnerComplete() override;

  private:
    int32_t* notification_ = nullptr;
    KString* message_ = nullptr;
    KString* address_ = nullptr;
    PackedDateTime* deadline_ = nullptr;
};

// Creates and starts its request in the constructor and reports the outcome
// to listener: UpdateCheckCompleted with the answer fields, or
// UpdateCheckFailed after a warning that names the cause. When the request cannot be prepared the
// listener hears UpdateCheckFailed before the constructor returns. Deleting the checker while its
// request runs cancels the request and the listener hears nothing.
class UpdateChecker : public RequesterInterface {
  public:
    WINM_TRACKED_ALLOCATION;

    UpdateChecker(PlatformInterface* listener, HttpRequestFactory* factory,
                  ClientHeaderInterface* identity);
    ~UpdateChecker() override;

    void OnComplete(RequestInterface* request) override;
    void OnFailed(RequestInterface* request) override;

    bool IsRunning() const { return request_ != nullptr; }
    int32_t notification() const { return notification_; }
    const KString& message() const { return message_; }
    const KString& address() const { return address_; }
    const PackedDateTime& deadline() const { return deadline_; }

  private:
    PlatformInterface* listener_;
    HttpRequestFactory* factory_;
    ClientHeaderInterface* identity_;
    UpdateCheckRequest* request_ = nullptr;
    int32_t notification_ = 0;
    KString message_;
    KString address_;
    PackedDateTime deadline_{};
};
