#include "common/base/winm/internal/winmlib.h"

#include <gtest/gtest.h>

#include "wince/testing/loader.h"

namespace {

class WinmLibTest : public ::testing::Test {
  protected:
    void TearDown() override { WinceLoaderResetForTesting(); }

    static int Count(const char16_t* module) { return WinceLoaderReferenceCount(module); }
};

TEST_F(WinmLibTest, LoadsWhatTheHostHasAndLeavesTheRestNull) {
    WinmLib* lib = WINM_NEW(WinmLib)();
    ASSERT_NE(lib, nullptr);
    lib->Load();
    // This host has the timer, WinInet and the Connection Manager ...
    EXPECT_NE(lib->mmtimer, nullptr);
    EXPECT_NE(lib->wininet, nullptr);
    EXPECT_NE(lib->cellcore, nullptr);
    EXPECT_NE(lib->timeGetTime, nullptr);
    EXPECT_NE(lib->ConnMgrEstablishConnectionSync, nullptr);
    EXPECT_NE(lib->ConnMgrProviderMessage, nullptr);
    EXPECT_NE(lib->ConnMgrConnectionStatus, nullptr);
    EXPECT_NE(lib->ConnMgrReleaseConnection, nullptr);
    EXPECT_NE(lib->ConnMgrEstablishConnection, nullptr);
    EXPECT_NE(lib->InternetCrackUrlW, nullptr);
    EXPECT_NE(lib->InternetSetStatusCallbackW, nullptr);
    EXPECT_NE(lib->InternetReadFile, nullptr);
    EXPECT_NE(lib->HttpQueryInfoW, nullptr);
    EXPECT_NE(lib->InternetCloseHandle, nullptr);
    EXPECT_NE(lib->InternetOpenW, nullptr);
    EXPECT_NE(lib->InternetConnectW, nullptr);
    EXPECT_NE(lib->HttpOpenRequestW, nullptr);
    EXPECT_NE(lib->HttpSendRequestW, nullptr);
    EXPECT_NE(lib->InternetOpenUrlW, nullptr);
    EXPECT_NE(lib->InternetSetOptionW, nullptr);
    // ... and none of the shell, phone and HTML control libraries.
    EXPECT_EQ(lib->aygshell, nullptr);
    EXPECT_EQ(lib->phone, nullptr);
    EXPECT_EQ(lib->htmlview, nullptr);
    EXPECT_EQ(lib->SHInitExtraControls, nullptr);
    EXPECT_EQ(lib->SHRecognizeGesture, nullptr);
    EXPECT_EQ(lib->PhoneMakeCall, nullptr);
    EXPECT_EQ(lib->InitHTMLControl, nullptr);

    // The bound timer is the platform's millisecond clock.
    const DWORD a = lib->timeGetTime();
    const DWORD b = ::timeGetTime();
    EXPECT_LE(b - a, 1000u);

    lib->Unload();
    EXPECT_EQ(lib->mmtimer, nullptr);
    EXPECT_EQ(lib->timeGetTime, nullptr);
    delete lib;
}

TEST_F(WinmLibTest, UnloadReleasesEveryReferenceLoadTook) {
    const int timer = Count(u"mmtimer");
    const int inet = Count(u"wininet");
    const int cell = Count(u"cellcore");
    WinmLib lib{};
    lib.Load();
    EXPECT_EQ(Count(u"mmtimer"), timer + 1);
    EXPECT_EQ(Count(u"wininet"), inet + 1);
    EXPECT_EQ(Count(u"cellcore"), cell + 1);
    lib.Unload();
    EXPECT_EQ(Count(u"mmtimer"), timer);
    EXPECT_EQ(Count(u"wininet"), inet);
    EXPECT_EQ(Count(u"cellcore"), cell);
    // Unloading an empty table is harmless.
    lib.Unload();
}

TEST_F(WinmLibTest, MissingLibraryLeavesAllItsEntriesNull) {
    WinceLoaderHideModule(u"wininet", true);
    WinmLib lib{};
    lib.Load();
    EXPECT_EQ(lib.wininet, nullptr);
    EXPECT_EQ(lib.InternetOpenW, nullptr);
    EXPECT_EQ(lib.InternetCrackUrlW, nullptr);
    EXPECT_EQ(lib.InternetSetOptionW, nullptr);
    // Loading went on to the libraries after it.
    EXPECT_NE(lib.cellcore, nullptr);
    EXPECT_NE(lib.timeGetTime, nullptr);
    lib.Unload();
}

TEST_F(WinmLibTest, MissingFunctionLeavesOnlyItsEntryNull) {
    WinceLoaderHideFunction(u"mmtimer", u"timeGetTime", true);
    WinceLoaderHideFunction(u"cellcore", u"ConnMgrProviderMessage", true);
    WinmLib lib{};
    lib.Load();
    EXPECT_NE(lib.mmtimer, nullptr);
    EXPECT_EQ(lib.timeGetTime, nullptr);
    EXPECT_EQ(lib.ConnMgrProviderMessage, nullptr);
    EXPECT_NE(lib.ConnMgrReleaseConnection, nullptr);
    EXPECT_NE(lib.ConnMgrEstablishConnectionSync, nullptr);
    lib.Unload();
}

}  // namespace
