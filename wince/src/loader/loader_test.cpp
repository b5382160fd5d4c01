#include "wince/loader.h"

#include <gtest/gtest.h>

#include <chrono>
#include <string>

#include "wince/ce_extras.h"
#include "wince/testing/loader.h"

namespace {

class Loader : public ::testing::Test {
  protected:
    void TearDown() override { WinceLoaderResetForTesting(); }
};

TEST_F(Loader, FindsBuiltInModulesByAnySpellingAndCountsReferences) {
    int before = WinceLoaderReferenceCount(u"mmtimer");
    HMODULE a = LoadLibraryW(u"mmtimer");
    HMODULE b = LoadLibraryW(u"MMTimer.DLL");
    HMODULE c = LoadLibraryW(u"\\Windows\\mmtimer.dll");
    ASSERT_NE(a, nullptr);
    EXPECT_EQ(a, b);
    EXPECT_EQ(a, c);
    EXPECT_EQ(WinceLoaderReferenceCount(u"mmtimer"), before + 3);
    EXPECT_EQ(GetModuleHandleW(u"mmtimer.dll"), a);

    EXPECT_TRUE(FreeLibrary(a));
    EXPECT_TRUE(FreeLibrary(a));
    EXPECT_NE(GetProcAddressW(a, u"timeGetTime"), nullptr);  // still one reference
    EXPECT_TRUE(FreeLibrary(a));
    EXPECT_EQ(WinceLoaderReferenceCount(u"mmtimer"), before);
    if (before == 0) {
        EXPECT_EQ(GetProcAddressW(a, u"timeGetTime"), nullptr);
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_MOD_NOT_FOUND));
        EXPECT_FALSE(FreeLibrary(a));  // one free too many
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    }
}

TEST_F(Loader, ModulesTheHostLacksAreNotFound) {
    for (const WCHAR* name : {u"aygshell", u"phone", u"htmlview", u"nosuch.dll", u"mmtimer.exe",
                              u"", u"mlang.dll.dll"}) {
        SetLastError(0);
        EXPECT_EQ(LoadLibraryW(name), nullptr);
        EXPECT_NE(GetLastError(), static_cast<DWORD>(ERROR_SUCCESS));
    }
    EXPECT_EQ(LoadLibraryW(u"aygshell"), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_MOD_NOT_FOUND));
    EXPECT_EQ(LoadLibraryW(nullptr), nullptr);
    EXPECT_EQ(WinceLoaderReferenceCount(u"phone"), -1);
}

TEST_F(Loader, NullAndForeignHandlesAreHarmless) {
    EXPECT_FALSE(FreeLibrary(nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    HMODULE bogus = reinterpret_cast<HMODULE>(static_cast<std::uintptr_t>(0xdead0));
    EXPECT_FALSE(FreeLibrary(bogus));
    EXPECT_EQ(GetProcAddressW(bogus, u"timeGetTime"), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_MOD_NOT_FOUND));
    EXPECT_EQ(GetProcAddressW(nullptr, u"timeGetTime"), nullptr);
    EXPECT_EQ(GetProcAddressW(GetModuleHandleW(nullptr), u"main"), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_PROC_NOT_FOUND));
    EXPECT_NE(GetModuleHandleW(nullptr), nullptr);
}

TEST_F(Loader, UnknownFunctionsGiveProcNotFound) {
    HMODULE m = LoadLibraryW(u"mlang");
    ASSERT_NE(m, nullptr);
    EXPECT_NE(GetProcAddressW(m, u"LcidToRfc1766W"), nullptr);
    EXPECT_EQ(GetProcAddressW(m, u"lcidtorfc1766w"), nullptr);  // export names are exact
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_PROC_NOT_FOUND));
    EXPECT_EQ(GetProcAddressW(m, u"timeGetTime"), nullptr);  // another module's
    EXPECT_EQ(GetProcAddressW(m, nullptr), nullptr);
    EXPECT_EQ(GetProcAddressW(m, MAKEINTRESOURCEW(1)), nullptr);
    FreeLibrary(m);
}

TEST_F(Loader, TestsCanHideAModuleOrAFunction) {
    WinceLoaderHideModule(u"MLANG.dll", true);
    EXPECT_EQ(LoadLibraryW(u"mlang"), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_MOD_NOT_FOUND));
    WinceLoaderHideModule(u"mlang", false);
    HMODULE m = LoadLibraryW(u"mlang");
    ASSERT_NE(m, nullptr);

    WinceLoaderHideFunction(u"mlang", u"LcidToRfc1766W", true);
    EXPECT_EQ(GetProcAddressW(m, u"LcidToRfc1766W"), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_PROC_NOT_FOUND));
    WinceLoaderResetForTesting();
    EXPECT_NE(GetProcAddressW(m, u"LcidToRfc1766W"), nullptr);
    FreeLibrary(m);
}

TEST_F(Loader, TimeGetTimeFollowsAMonotonicMillisecondClock) {
    HMODULE m = LoadLibraryW(u"mmtimer");
    auto get = CastProcAddress<PFN_timeGetTime>(GetProcAddressW(m, u"timeGetTime"));
    ASSERT_NE(get, nullptr);
    DWORD first = get();
    auto start = std::chrono::steady_clock::now();
    DWORD last = first;
    while (std::chrono::steady_clock::now() - start < std::chrono::milliseconds(50)) {
        DWORD now = get();
        EXPECT_LT(now - last, 0x80000000u);  // never steps back (modulo 2^32)
        last = now;
    }
    last = get();
    DWORD elapsed = last - first;
    EXPECT_GE(elapsed, 49u);
    EXPECT_LT(elapsed, 10000u);
    FreeLibrary(m);
}

std::u16string Tag(LCID lcid, int chars = 16, HRESULT* result = nullptr) {
    HMODULE m = LoadLibraryW(u"mlang");
    auto convert = CastProcAddress<PFN_LcidToRfc1766W>(GetProcAddressW(m, u"LcidToRfc1766W"));
    WCHAR buffer[16];
    for (auto& c : buffer)
        c = u'#';
    buffer[15] = 0;
    HRESULT hr = convert(lcid, buffer, chars);
    FreeLibrary(m);
    if (result)
        *result = hr;
    if (FAILED(hr) && !result)
        return u"<failed>";
    return buffer;
}

TEST_F(Loader, LcidToRfc1766ShortensOnlyTheMainVariantOfMostLanguages) {
    EXPECT_EQ(Tag(0x0409), u"en-us");
    EXPECT_EQ(Tag(0x0809), u"en-gb");
    EXPECT_EQ(Tag(0x0407), u"de");
    EXPECT_EQ(Tag(0x0807), u"de-ch");
    EXPECT_EQ(Tag(0x040C), u"fr");
    EXPECT_EQ(Tag(0x0C0C), u"fr-ca");
    EXPECT_EQ(Tag(0x0404), u"zh-tw");  // script dropped, country kept
    EXPECT_EQ(Tag(0x0804), u"zh-cn");
    EXPECT_EQ(Tag(0x0401), u"ar-sa");
    EXPECT_EQ(Tag(0x080A), u"es-mx");
    EXPECT_EQ(Tag(0x0411), u"ja");
}

TEST_F(Loader, LcidToRfc1766ReportsShortBuffersAndUnknownLcids) {
    HRESULT hr;
    EXPECT_EQ(Tag(0x0409, 6, &hr), u"en-us");
    EXPECT_EQ(hr, S_OK);
    EXPECT_EQ(Tag(0x0409, 5, &hr), u"en-u");  // what fits, terminated
    EXPECT_EQ(hr, E_INVALIDARG);
    EXPECT_EQ(Tag(0x0407, 2, &hr), u"d");
    EXPECT_EQ(hr, E_INVALIDARG);
    Tag(0x0409, 0, &hr);
    EXPECT_EQ(hr, E_INVALIDARG);
    Tag(0x0000, 16, &hr);
    EXPECT_EQ(hr, E_FAIL);
    Tag(0xFFFF, 16, &hr);
    EXPECT_EQ(hr, E_FAIL);
    HMODULE m = LoadLibraryW(u"mlang");
    auto convert = CastProcAddress<PFN_LcidToRfc1766W>(GetProcAddressW(m, u"LcidToRfc1766W"));
    EXPECT_EQ(convert(0x0409, nullptr, 6), E_INVALIDARG);
    FreeLibrary(m);
}

}  // namespace
