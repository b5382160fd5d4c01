#include "updater/registrysettings.h"

#include "common/base/trackedalloc.h"

const RegistryKey kPluginKey = {HKEY_LOCAL_MACHINE, TEXT("SOFTWARE\\Ambrel\\SearchPlugin")};

const RegistrySetting kDistributionChannelSetting = {kPluginKey, TEXT("distribution_channel")};
const RegistrySetting kZelSetting = {kPluginKey, TEXT("zel")};
const RegistrySetting kUpdateNotificationSetting = {kPluginKey, TEXT("update_notification")};
const RegistrySetting kResponseMessageSetting = {kPluginKey, TEXT("response_message")};
const RegistrySetting kResponseUrlSetting = {kPluginKey, TEXT("response_url")};
const RegistrySetting kUpgradeBeforeSetting = {kPluginKey, TEXT("upgrade_before")};
const RegistrySetting kLastUpdateCheckSetting = {kPluginKey, TEXT("last_update_check")};

namespace {

// Most values fit here; longer ones are read into a buffer sized by the
// registry's own answer.
constexpr DWORD kInlineBytes = 256;

}  // namespace

// The bytes the text takes in a request: the same conversion the request
// builder makes.
int SettingTextUtf8Bytes(const KString& text) {
    if (text.IsEmpty()) {
        return 0;
    }
    return WideCharToMultiByte(CP_UTF8, 0, text.WideChars(), text.Length(), NULL, 0, NULL, NULL);
}

bool ReadSettingText(const RegistrySetting& setting, KString& destination) {
    // A device ignores access rights; a desktop grants only what is asked.
    HKEY key = NULL;
    if (RegOpenKeyExW(setting.key.root, setting.key.path, 0, KEY_QUERY_VALUE, &key) !=
        ERROR_SUCCESS) {
        return false;
    }

    WCHAR inlineBuffer[kInlineBytes / sizeof(WCHAR)];
    WCHAR* buffer = inlineBuffer;
    DWORD type = REG_SZ;
    DWORD count = kInlineBytes;
    LONG result =
        RegQueryValueExW(key, setting.name, NULL, &type, reinterpret_cast<BYTE*>(buffer), &count);
    if (result == ERROR_MORE_DATA) {
        // count now holds the size the value needs. Ask once more with a
        // buffer of that size; a value that grew in between fails the read.
        // Every code unit takes at least one UTF-8 byte, so a value with
        // more units than the bound allows (plus a terminator) cannot fit.
        if (count > (kMaxSettingTextUtf8Bytes + 1u) * sizeof(WCHAR)) {
            RegCloseKey(key);
            return false;
        }
        buffer = static_cast<WCHAR*>(
            AllocTracked(static_cast<int>(count), "RegistryValueBuffer", __FILE__, __LINE__));
        if (buffer == NULL) {
            RegCloseKey(key);
            return false;
        }
        type = REG_SZ;
        result = RegQueryValueExW(key, setting.name, NULL, &type, reinterpret_cast<BYTE*>(buffer),
                                  &count);
    }
    RegCloseKey(key);

    bool read = result == ERROR_SUCCESS;
    if (read) {
        KString value = KString::FromWide(buffer, static_cast<int>(count / sizeof(WCHAR)));
        read = SettingTextUtf8Bytes(value) <= kMaxSettingTextUtf8Bytes;
        if (read) {
            destination = value;
        }
    }
    if (buffer != inlineBuffer) {
        FreeTracked(buffer);
    }
    return read;
}

bool WriteSettingText(const RegistrySetting& setting, const KString& value) {
    // A value the reader refuses would be lost on the next read, and would
    // bloat the registry until then.
    if (SettingTextUtf8Bytes(value) > kMaxSettingTextUtf8Bytes) {
        return false;
    }
    DWORD n = static_cast<DWORD>(value.Length());
    return WriteRegistryValue(setting.key.root, setting.key.path, setting.name, REG_SZ,
                              value.WideChars(), (n + 1) * sizeof(WCHAR));
}

bool WriteRegistryValue(HKEY root, const WCHAR* path, const WCHAR* name, DWORD type,
                        const void* data, DWORD size) {
    HKEY key = NULL;
    DWORD disposition = 0;
    if (RegCreateKeyExW(root, path, 0, NULL, 0, KEY_SET_VALUE, NULL, &key, &disposition) !=
        ERROR_SUCCESS) {
        return false;
    }
    LONG result = RegSetValueExW(key, name, 0, type, static_cast<const BYTE*>(data), size);
    RegCloseKey(key);
    return result == ERROR_SUCCESS;
}

bool WriteSettingDword(const RegistrySetting& setting, uint32_t value) {
    DWORD data = value;
    return WriteRegistryValue(setting.key.root, setting.key.path, setting.name, REG_DWORD, &data,
                              sizeof(data));
}
