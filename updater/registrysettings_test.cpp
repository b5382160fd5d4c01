#include "updater/registrysettings.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include <unistd.h>

#include "wince/testing/registry.h"

namespace {

// Each test gets a registry file of its own.
class RegistrySettingsTest : public ::testing::Test {
  protected:
    void SetUp() override {
        const ::testing::TestInfo* info = ::testing::UnitTest::GetInstance()->current_test_info();
        path_ = ::testing::TempDir() + "registrysettings_" + info->name() + "_" +
                std::to_string(getpid()) + ".sqlite3";
        std::remove(path_.c_str());
        setenv("WINM_REGISTRY", path_.c_str(), 1);
        WinceRegistryCloseStore();
        // A desktop grants a key handle only the rights it asked for.
        WinceRegistrySetStrictAccess(true);
    }
    void TearDown() override {
        WinceRegistrySetStrictAccess(false);
        WinceRegistryCloseStore();
        for (const char* suffix : {"", "-wal", "-shm", "-journal"}) {
            std::remove((path_ + suffix).c_str());
        }
    }

    // The stored type and bytes of a value, or false when it is missing.
    static bool Query(const WCHAR* name, DWORD& type, std::vector<BYTE>& data) {
        HKEY key = NULL;
        if (RegOpenKeyExW(kPluginKey.root, kPluginKey.path, 0, KEY_QUERY_VALUE, &key) !=
            ERROR_SUCCESS) {
            return false;
        }
        DWORD size = 0;
        LONG result = RegQueryValueExW(key, name, NULL, &type, NULL, &size);
        if (result == ERROR_SUCCESS) {
            data.resize(size);
            result = RegQueryValueExW(key, name, NULL, &type, data.data(), &size);
        }
        RegCloseKey(key);
        return result == ERROR_SUCCESS;
    }

    static void Store(const WCHAR* name, DWORD type, const void* data, DWORD size) {
        ASSERT_TRUE(WriteRegistryValue(kPluginKey.root, kPluginKey.path, name, type, data, size));
    }

    // Stores text as REG_SZ past the settings writer, as another program may.
    static void StoreText(const WCHAR* name, const KString& text) {
        Store(name, REG_SZ, text.WideChars(), static_cast<DWORD>(text.Length() + 1) * 2);
    }

    static KString Repeat(char c, int n) { return KString(std::string(n, c).c_str()); }

    std::string path_;
};

TEST_F(RegistrySettingsTest, MissingKeyOrValueLeavesTheDestination) {
    KString destination("keep");
    EXPECT_FALSE(ReadSettingText(kZelSetting, destination));
    EXPECT_TRUE(destination.Equals(KString("keep")));

    ASSERT_TRUE(WriteSettingText(kResponseUrlSetting, KString("x")));
    EXPECT_FALSE(ReadSettingText(kZelSetting, destination));
    EXPECT_TRUE(destination.Equals(KString("keep")));
}

TEST_F(RegistrySettingsTest, TextIsWrittenWithExactlyOneTerminator) {
    // Writing also creates the missing key.
    ASSERT_TRUE(WriteSettingText(kZelSetting, KString("abc")));
    DWORD type = 0;
    std::vector<BYTE> data;
    ASSERT_TRUE(Query(TEXT("zel"), type, data));
    EXPECT_EQ(type, static_cast<DWORD>(REG_SZ));
    EXPECT_EQ(data, (std::vector<BYTE>{'a', 0, 'b', 0, 'c', 0, 0, 0}));

    ASSERT_TRUE(WriteSettingText(kZelSetting, KString()));
    ASSERT_TRUE(Query(TEXT("zel"), type, data));
    EXPECT_EQ(data, (std::vector<BYTE>{0, 0}));

    KString read("keep");
    ASSERT_TRUE(ReadSettingText(kZelSetting, read));
    EXPECT_TRUE(read.IsEmpty());
}

TEST_F(RegistrySettingsTest, RoundTripsTextWithoutTheTerminator) {
    KString text("code-\xC3\xA9\xE2\x82\xAC");
    ASSERT_TRUE(WriteSettingText(kZelSetting, text));
    KString read;
    ASSERT_TRUE(ReadSettingText(kZelSetting, read));
    EXPECT_TRUE(read.Equals(text));
    EXPECT_EQ(read.Length(), text.Length());
}

TEST_F(RegistrySettingsTest, ReadsLongValuesUpToWhatARequestCanCarry) {
    for (int length : {127, 128, 300, 4000, 32767}) {
        KString text = Repeat('z', length);
        ASSERT_TRUE(WriteSettingText(kZelSetting, text));
        KString read;
        ASSERT_TRUE(ReadSettingText(kZelSetting, read)) << length;
        EXPECT_EQ(read.Length(), length);
        EXPECT_TRUE(read.Equals(text)) << length;
    }
    // Longer values would not fit a request: the read fails and the
    // caller's default stands. The writer never stores one (the stored value
    // stays); another program may.
    for (int length : {32768, 40000, 65536}) {
        const KString text = Repeat('c', length);
        EXPECT_FALSE(WriteSettingText(kZelSetting, text)) << length;
        KString kept;
        ASSERT_TRUE(ReadSettingText(kZelSetting, kept));
        EXPECT_EQ(kept.Length(), 32767) << length;
        StoreText(TEXT("distribution_channel"), text);
        KString read("Web");
        EXPECT_FALSE(ReadSettingText(kDistributionChannelSetting, read)) << length;
        EXPECT_TRUE(read.Equals(KString("Web"))) << length;
    }
}

TEST_F(RegistrySettingsTest, TheBoundCountsUtf8BytesNotCodeUnits) {
    struct Case {
        const char* character;  // UTF-8
        int fitting;            // how many fit in 32,767 bytes
    };
    // Two, three and four bytes per character; the last is a surrogate pair.
    for (const Case& c :
         {Case{"\xC3\xA9", 16383}, Case{"\xE2\x82\xAC", 10922}, Case{"\xF0\x9F\x98\x80", 8191}}) {
        SCOPED_TRACE(c.character);
        std::string utf8;
        for (int i = 0; i < c.fitting; ++i) {
            utf8 += c.character;
        }
        KString fits(utf8.c_str());
        ASSERT_TRUE(WriteSettingText(kZelSetting, fits));
        KString read;
        ASSERT_TRUE(ReadSettingText(kZelSetting, read));
        EXPECT_TRUE(read.Equals(fits));

        utf8 += c.character;
        EXPECT_FALSE(WriteSettingText(kZelSetting, KString(utf8.c_str())));
        StoreText(TEXT("zel"), KString(utf8.c_str()));
        read = KString("default");
        EXPECT_FALSE(ReadSettingText(kZelSetting, read));
        EXPECT_TRUE(read.Equals(KString("default")));
    }
}

TEST_F(RegistrySettingsTest, ReadsWhateverTypeIsStoredAsText) {
    DWORD number = 0x00620061;  // the code units 'a', 'b'
    Store(TEXT("zel"), REG_DWORD, &number, sizeof(number));
    KString read;
    ASSERT_TRUE(ReadSettingText(kZelSetting, read));
    EXPECT_TRUE(read.Equals(KString("ab")));

    // Stored without a terminator, and with several.
    const WCHAR bare[] = {'x', 'y'};
    Store(TEXT("zel"), REG_SZ, bare, sizeof(bare));
    ASSERT_TRUE(ReadSettingText(kZelSetting, read));
    EXPECT_TRUE(read.Equals(KString("xy")));
    const WCHAR padded[] = {'x', 'y', 0, 0, 0};
    Store(TEXT("zel"), REG_SZ, padded, sizeof(padded));
    ASSERT_TRUE(ReadSettingText(kZelSetting, read));
    EXPECT_TRUE(read.Equals(KString("xy")));
    EXPECT_EQ(read.Length(), 2);
}

TEST_F(RegistrySettingsTest, DwordsAreFourLittleEndianBytes) {
    ASSERT_TRUE(WriteSettingDword(kUpgradeBeforeSetting, 0x89ABCDEFu));
    DWORD type = 0;
    std::vector<BYTE> data;
    ASSERT_TRUE(Query(TEXT("upgrade_before"), type, data));
    EXPECT_EQ(type, static_cast<DWORD>(REG_DWORD));
    EXPECT_EQ(data, (std::vector<BYTE>{0xEF, 0xCD, 0xAB, 0x89}));
}

TEST_F(RegistrySettingsTest, AllSettingsShareThePluginKey) {
    for (const RegistrySetting* s :
         {&kDistributionChannelSetting, &kZelSetting, &kUpdateNotificationSetting,
          &kResponseMessageSetting, &kResponseUrlSetting, &kUpgradeBeforeSetting,
          &kLastUpdateCheckSetting}) {
        EXPECT_EQ(&s->key, &kPluginKey);
    }
    EXPECT_EQ(kPluginKey.root, HKEY_LOCAL_MACHINE);
    EXPECT_TRUE(
        KString::FromWide(kPluginKey.path).Equals(KString("SOFTWARE\\Ambrel\\SearchPlugin")));
}

}  // namespace
