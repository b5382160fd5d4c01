// The registry values the updater reads and writes, and the three routines
// that reach them. The values outlive the process: they are the updater's
// only lasting output and are shared with the plug-in's other programs.
#pragma once

#include <cstdint>

#include "wince.h"
#include "common/base/internal/winmkstring/kstring.h"

// A key below one of the predefined roots.
struct RegistryKey {
    HKEY root;
    const WCHAR* path;
};

// One value under a key.
struct RegistrySetting {
    const RegistryKey& key;
    const WCHAR* name;
};

// HKEY_LOCAL_MACHINE "SOFTWARE\Ambrel\SearchPlugin": every setting below lives here.
extern const RegistryKey kPluginKey;

extern const RegistrySetting kDistributionChannelSetting;  // REG_SZ, read once
extern const RegistrySetting kZelSetting;                  // REG_SZ, read and written
extern const RegistrySetting kUpdateNotificationSetting;   // REG_DWORD, written
extern const RegistrySetting kResponseMessageSetting;      // REG_SZ, written
extern const RegistrySetting kResponseUrlSetting;          // REG_SZ, written
extern const RegistrySetting kUpgradeBeforeSetting;        // REG_DWORD, written
extern const RegistrySetting kLastUpdateCheckSetting;      // REG_DWORD, written

// The longest text ReadSettingText accepts, in UTF-8 bytes. The distribution
// channel shares a 16-bit client-string block with four other values and the
// stored code goes out behind a 16-bit length; half that range keeps both
// requests sendable, where a longer value would make every run fail.
constexpr int kMaxSettingTextUtf8Bytes = 32767;

// Reads the value as UTF-16 text whatever its stored type; trailing NULs are
// dropped. Returns false and leaves destination untouched when the key or
// value is missing or unreadable, or when its UTF-8 form is longer than
// kMaxSettingTextUtf8Bytes (a value stored with more code units than that,
// terminators included, is refused before it is read).
bool ReadSettingText(const RegistrySetting& setting, KString& destination);

// The UTF-8 bytes of text, as the bound above counts them.
int SettingTextUtf8Bytes(const KString& text);

// Writes value as REG_SZ with exactly one terminating NUL. Refuses (false,
// nothing written) a value longer than kMaxSettingTextUtf8Bytes, which
// ReadSettingText would refuse in turn.
bool WriteSettingText(const RegistrySetting& setting, const KString& value);

// Creates the key (and its parents) when missing and sets one value.
bool WriteRegistryValue(HKEY root, const WCHAR* path, const WCHAR* name, DWORD type,
                        const void* data, DWORD size);

// A 32-bit little-endian REG_DWORD through WriteRegistryValue.
bool WriteSettingDword(const RegistrySetting& setting, uint32_t value);
