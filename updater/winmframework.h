// The updater's application object: it owns the platform services the
// requests need, answers the requests' questions about the client, turns
// the two requesters' results into registry values and sequences the run
// (distribution ping, then the update check, then finished).
#pragma once

#include <cstdint>

#include "wince.h"
#include "common/base/trackedalloc.h"
#include "common/base/internal/winmkstring/kstring.h"
#include "common/src/clientheaderinterface.h"

class UpdateChecker;
class ZelUpdater;
class WinmHttpRequestFactory;
class WinmAppEventHandler;

class WinmFramework : public PlatformInterface, public ClientHeaderInterface {
  public:
    WINM_TRACKED_ALLOCATION;

    // Registers itself in g_framework and starts the distribution ping.
    explicit WinmFramework(HWND mainWindow);
    ~WinmFramework() override;

    WinmFramework(const WinmFramework&) = delete;
    WinmFramework& operator=(const WinmFramework&) = delete;

    // PlatformInterface.
    void UpdateCheckFailed() override;
    void UpdateCheckCompleted(int32_t notification, const KString& message, const KString& url,
                              const PackedDateTime& upgradeBefore) override;
    void ZelUpdateCompleted(const KString& zel) override;
    void ZelUpdateFailed() override;

    // ClientHeaderInterface.
    KString GetClientId() override;
    uint64_t GetPlatformCode() override;
    KString GetApplicationName() override;
    KString GetPackageFormat() override;
    KString GetDeviceId() override;
    KString GetDistributionChannel() override;
    KString GetLanguage() override;
    KString GetVersion() override;

    HWND window;
    // Set once the update check has ended either way; the message loop then
    // destroys the window.
    bool finished;
    UpdateChecker* updateChecker;
    ZelUpdater* zelUpdater;
    WinmHttpRequestFactory* httpRequestFactory;
    WinmAppEventHandler* eventHandler;
    KString clientId;
    KString distributionChannel;
    KString language;
    KString version;

  private:
    void StartUpdateCheck();
};

// The one framework of the process, on the window thread only.
extern WinmFramework* g_framework;

// "winm-" + platform type + "-" + OEM information.
KString MakeClientId();
// The user's language as language_REGION ("en_US", or "fr" without a
// region); empty when the conversion is unavailable or fails.
KString MakeLanguageTag();
// A text of SystemParametersInfoW; empty when the call fails.
KString QuerySystemString(UINT action);
