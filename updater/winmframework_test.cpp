#include "updater/winmframework.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "wince/testing/loader.h"

namespace {

// The device identity and the locale come from the environment on this host.
class ClientIdentityTest : public ::testing::Test {
  protected:
    void SetUp() override {
        for (const char* name :
             {"LC_ALL", "LC_MESSAGES", "LANG", "WINM_PLATFORM_TYPE", "WINM_OEM_INFO"}) {
            unsetenv(name);
        }
    }
    void TearDown() override { WinceLoaderResetForTesting(); }

    static bool Is(const KString& value, const char* expected) {
        return value.Equals(KString(expected));
    }
};

TEST_F(ClientIdentityTest, ClientIdJoinsPlatformTypeAndOemInformation) {
    setenv("WINM_PLATFORM_TYPE", "SmartPhone", 1);
    setenv("WINM_OEM_INFO", "ACME Phone 9", 1);
    EXPECT_TRUE(Is(MakeClientId(), "winm-SmartPhone-ACME Phone 9"));

    setenv("WINM_PLATFORM_TYPE", "PocketPC", 1);
    setenv("WINM_OEM_INFO", "", 1);
    EXPECT_TRUE(Is(MakeClientId(), "winm-PocketPC-"));
}

TEST_F(ClientIdentityTest, SystemStringsAreCutAtTheBuffer) {
    std::string longText(400, 'o');
    setenv("WINM_OEM_INFO", longText.c_str(), 1);
    KString oem = QuerySystemString(SPI_GETOEMINFO);
    EXPECT_LE(oem.Length(), 256);
    EXPECT_GE(oem.Length(), 255);
    EXPECT_TRUE(QuerySystemString(12345).IsEmpty());
}

TEST_F(ClientIdentityTest, LanguageTagTakesLanguageAndUpperCaseRegion) {
    setenv("LANG", "en_US.UTF-8", 1);
    EXPECT_TRUE(Is(MakeLanguageTag(), "en_US"));
    setenv("LANG", "de_CH.UTF-8", 1);
    EXPECT_TRUE(Is(MakeLanguageTag(), "de_CH"));
    // A language's primary region converts without a region part.
    setenv("LANG", "fr_FR.UTF-8", 1);
    EXPECT_TRUE(Is(MakeLanguageTag(), "fr"));
    // Other platforms take the user's locale rather than the UI language;
    // this host has one source for both.
    setenv("WINM_PLATFORM_TYPE", "PocketPC", 1);
    setenv("LANG", "en_GB.UTF-8", 1);
    EXPECT_TRUE(Is(MakeLanguageTag(), "en_GB"));
    EXPECT_EQ(WinceLoaderReferenceCount(TEXT("mlang")), 0);
}

TEST_F(ClientIdentityTest, MissingConversionGivesAnEmptyLanguage) {
    setenv("LANG", "en_US.UTF-8", 1);
    WinceLoaderHideModule(TEXT("mlang"), true);
    EXPECT_TRUE(MakeLanguageTag().IsEmpty());
    WinceLoaderResetForTesting();

    WinceLoaderHideFunction(TEXT("mlang"), TEXT("LcidToRfc1766W"), true);
    EXPECT_TRUE(MakeLanguageTag().IsEmpty());
    EXPECT_EQ(WinceLoaderReferenceCount(TEXT("mlang")), 0);
    WinceLoaderResetForTesting();

    EXPECT_TRUE(Is(MakeLanguageTag(), "en_US"));
}

}  // namespace
