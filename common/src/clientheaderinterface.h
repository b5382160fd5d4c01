// The client identity that protocol requests read and the listener that the
// requesters report to. Both are implemented by the application framework.
#pragma once

#include <cstdint>

#include "common/base/calendar.h"
#include "common/base/internal/winmkstring/kstring.h"

class ClientHeaderInterface {
  public:
    virtual KString GetClientId() = 0;
    virtual uint64_t GetPlatformCode() = 0;
    virtual KString GetApplicationName() = 0;
    virtual KString GetPackageFormat() = 0;
    virtual KString GetDeviceId() = 0;
    virtual KString GetDistributionChannel() = 0;
    // Language and region joined by "_", e.g. "en_US".
    virtual KString GetLanguage() = 0;
    virtual KString GetVersion() = 0;

  protected:
    // Never deleted through this interface.
    ~ClientHeaderInterface() = default;
};

// Each requester calls exactly one of its two operations once per request
// that reports, and none after a cancellation. The references are valid
// only during the call. A requester may call its listener from inside its
// own constructor when the request cannot even be prepared.
class PlatformInterface {
  public:
    virtual ~PlatformInterface() = default;
    virtual void UpdateCheckFailed() = 0;
    virtual void UpdateCheckCompleted(int32_t notification, const KString& message,
                                      const KString& url, const PackedDateTime& upgradeBefore) = 0;
    virtual void ZelUpdateCompleted(const KString& zel) = 0;
    virtual void ZelUpdateFailed() = 0;
};
