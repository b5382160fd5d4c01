#include "updater/winmframework.h"

#include "common/base/calendar.h"
#include "common/base/log.h"
#include "common/base/winm/internal/winmappeventhandler.h"
#include "common/net/winm/internal/winmhttpfactory.h"
#include "common/src/updatecheckrequest/updatechecker.h"
#include "common/src/updatecheckrequest/zelupdater.h"
#include "updater/registrysettings.h"

// The version the updater reports; the build passes the project's version.
#ifndef WINM_VERSION
#error "WINM_VERSION must be defined by the build"
#endif

WinmFramework* g_framework = NULL;

namespace {

// The ASCII codes of "winm".
constexpr uint64_t kPlatformCode = 0x77696E6Du;
constexpr int kSystemStringUnits = 256;
constexpr int kRfc1766Units = 6;

// Whether an answer's text fits its setting; warns with the value's name and
// length when it does not. Nothing is ever cut to fit.
bool FitsSetting(const char* what, const RegistrySetting& setting, const KString& value,
                 const char* outcome) {
    const int bytes = SettingTextUtf8Bytes(value);
    if (bytes <= kMaxSettingTextUtf8Bytes) {
        return true;
    }
    const KString name = KString::FromWide(setting.name);
    LogWarning("%s: \"%S\" of %d bytes is longer than the %d a setting holds%s", what, &name, bytes,
               kMaxSettingTextUtf8Bytes, outcome);
    return false;
}

}  // namespace

KString QuerySystemString(UINT action) {
    WCHAR buffer[kSystemStringUnits] = {};
    SystemParametersInfoW(action, sizeof(buffer), buffer, 0);
    // A text that fills the buffer without a terminator is cut, never read past.
    int length = 0;
    while (length < kSystemStringUnits && buffer[length] != 0) {
        ++length;
    }
    return KString::FromWide(buffer, length);
}

KString MakeClientId() {
    KString winm("winm");
    KString platform = QuerySystemString(SPI_GETPLATFORMTYPE);
    KString oem = QuerySystemString(SPI_GETOEMINFO);
    return KString::Format("%S-%S-%S", &winm, &platform, &oem);
}

KString MakeLanguageTag() {
    HMODULE mlang = LoadLibraryW(TEXT("mlang"));
    PFN_LcidToRfc1766W lcidToRfc1766 = NULL;
    if (mlang != NULL) {
        lcidToRfc1766 =
            CastProcAddress<PFN_LcidToRfc1766W>(GetProcAddressW(mlang, TEXT("LcidToRfc1766W")));
    }

    LCID lcid = GetUserDefaultLCID();
    KString platform = QuerySystemString(SPI_GETPLATFORMTYPE);
    if (platform.Equals(KString("SmartPhone"))) {
        lcid = GetUserDefaultUILanguage();
    }

    WCHAR rfc[kRfc1766Units] = {};
    bool converted = false;
    if (lcidToRfc1766 != NULL) {
        converted = SUCCEEDED(lcidToRfc1766(lcid, rfc, kRfc1766Units));
    }
    if (mlang != NULL) {
        FreeLibrary(mlang);
    }
    if (!converted) {
        return KString();
    }

    // "en-us" -> "en_US", "fr" -> "fr". Only two region letters are taken.
    WCHAR tag[5];
    int length = 0;
    for (int i = 0; i < 2 && rfc[i] != 0; ++i) {
        tag[length++] = rfc[i];
    }
    if (length == 2 && rfc[2] != 0) {
        tag[length++] = '_';
        for (int i = 3; i < 5 && rfc[i] != 0; ++i) {
            tag[length++] = static_cast<WCHAR>(towupper(rfc[i]));
        }
    }
    return KString::FromWide(tag, length);
}

WinmFramework::WinmFramework(HWND mainWindow)
    : window(mainWindow),
      finished(false),
      updateChecker(NULL),
      zelUpdater(NULL),
      httpRequestFactory(NULL),
      eventHandler(NULL) {
    g_framework = this;

    clientId = MakeClientId();
    ReadSettingText(kDistributionChannelSetting, distributionChannel);
    if (distributionChannel.IsEmpty()) {
        distributionChannel = KString("Web");
    }
    language = MakeLanguageTag();
    version = KString(WINM_VERSION);

    eventHandler = WINM_NEW(WinmAppEventHandler)(window);
    if (eventHandler != NULL) {
        httpRequestFactory = WINM_NEW(WinmHttpRequestFactory)(eventHandler);
    }
    if (httpRequestFactory == NULL) {
        // No request can run, so the update check has failed: record that
        // and finish, or nothing would ever end the run.
        LogWarning("update check failed: no HTTP request factory");
        UpdateCheckFailed();
        return;
    }

    KString zel;
    ReadSettingText(kZelSetting, zel);
    zelUpdater = WINM_NEW(ZelUpdater)(this, httpRequestFactory, this, zel);
    if (zelUpdater == NULL) {
        // A ping that cannot be made counts as a failed ping.
        LogWarning("distribution ping failed: no memory for the requester");
        ZelUpdateFailed();
    }
}

WinmFramework::~WinmFramework() {
    // Requesters cancel what they still run, and a request's tear-down needs
    // the factory and the event handler, so those go last.
    delete updateChecker;
    delete zelUpdater;
    delete httpRequestFactory;
    delete eventHandler;
}

void WinmFramework::StartUpdateCheck() {
    UpdateChecker* checker = WINM_NEW(UpdateChecker)(this, httpRequestFactory, this);
    if (checker == NULL) {
        LogWarning("update check failed: no memory for the requester");
        UpdateCheckFailed();
        return;
    }
    if (updateChecker != NULL && updateChecker != checker) {
        delete updateChecker;
    }
    updateChecker = checker;
}

// The requesters warn with the cause before they report a failure.
void WinmFramework::UpdateCheckFailed() {
    finished = true;
    WriteSettingDword(kLastUpdateCheckSetting, 0);
}

void WinmFramework::UpdateCheckCompleted(int32_t notification, const KString& message,
                                         const KString& url, const PackedDateTime& upgradeBefore) {
    LogDebug("update check answered: notification %d", notification);
    // All of the answer or none of it: a part that cannot be stored fails
    // the check, and the stored answer stays.
    if (!FitsSetting("update check failed", kResponseMessageSetting, message, "") ||
        !FitsSetting("update check failed", kResponseUrlSetting, url, "")) {
        UpdateCheckFailed();
        return;
    }
    WriteSettingDword(kUpdateNotificationSetting, static_cast<uint32_t>(notification));
    WriteSettingText(kResponseMessageSetting, message);
    WriteSettingText(kResponseUrlSetting, url);
    WriteSettingDword(kUpgradeBeforeSetting, SecondsFromDate(upgradeBefore));
    finished = true;
}

void WinmFramework::ZelUpdateCompleted(const KString& zel) {
    if (FitsSetting("distribution ping failed", kZelSetting, zel, "; the stored code stays")) {
        LogDebug("distribution ping answered: \"%S\"", &zel);
        WriteSettingText(kZelSetting, zel);
    }
    StartUpdateCheck();
}

void WinmFramework::ZelUpdateFailed() {
    StartUpdateCheck();
}

KString WinmFramework::GetClientId() {
    return clientId;
}

uint64_t WinmFramework::GetPlatformCode() {
    return kPlatformCode;
}

KString WinmFramework::GetApplicationName() {
    return KString("zpm");
}

KString WinmFramework::GetPackageFormat() {
    return KString("cab");
}

KString WinmFramework::GetDeviceId() {
    return clientId;
}

KString WinmFramework::GetDistributionChannel() {
    return distributionChannel;
}

KString WinmFramework::GetLanguage() {
    return language;
}

KString WinmFramework::GetVersion() {
    return version;
}
