#include "wince/sysinfo.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <string>

#include "wince/ce_extras.h"

namespace {

// Sets (or, with nullptr, unsets) a variable for one test and restores it.
class ScopedEnv {
  public:
    ScopedEnv(const char* name, const char* value) : name_(name) {
        const char* old = std::getenv(name);
        had_ = old != nullptr;
        if (had_)
            old_ = old;
        if (value)
            setenv(name, value, 1);
        else
            unsetenv(name);
    }
    ~ScopedEnv() {
        if (had_)
            setenv(name_, old_.c_str(), 1);
        else
            unsetenv(name_);
    }

  private:
    const char* name_;
    bool had_;
    std::string old_;
};

std::u16string Query(UINT action, UINT bytes = 512) {
    WCHAR buffer[256];
    for (auto& c : buffer)
        c = 0x7777;
    if (!SystemParametersInfoW(action, bytes, buffer, 0))
        return u"<failed>";
    return buffer;
}

TEST(DeviceIdentity, PlatformTypeFromTheEnvironmentOrSmartPhone) {
    {
        ScopedEnv unset("WINM_PLATFORM_TYPE", nullptr);
        EXPECT_EQ(Query(SPI_GETPLATFORMTYPE), u"SmartPhone");
    }
    {
        ScopedEnv set("WINM_PLATFORM_TYPE", "PocketPC");
        EXPECT_EQ(Query(SPI_GETPLATFORMTYPE), u"PocketPC");
    }
    {
        // Set but empty: an empty platform type, as a device without one.
        ScopedEnv empty("WINM_PLATFORM_TYPE", "");
        EXPECT_EQ(Query(SPI_GETPLATFORMTYPE), u"");
    }
    {
        ScopedEnv utf8("WINM_PLATFORM_TYPE", "Ger\xC3\xA4t \xF0\x9F\x93\xB1 \xFF!");
        EXPECT_EQ(Query(SPI_GETPLATFORMTYPE), u"Gerät 📱 \uFFFD!");
    }
}

TEST(DeviceIdentity, OemInfoFromTheEnvironmentOrTheMachine) {
    {
        ScopedEnv set("WINM_OEM_INFO", "Contoso Phone 9");
        EXPECT_EQ(Query(SPI_GETOEMINFO), u"Contoso Phone 9");
    }
    ScopedEnv unset("WINM_OEM_INFO", nullptr);
    std::u16string oem = Query(SPI_GETOEMINFO);
    EXPECT_NE(oem, u"<failed>");
    EXPECT_FALSE(oem.empty());
    std::ifstream product("/sys/class/dmi/id/product_name");
    std::string name;
    if (product && std::getline(product, name) && !name.empty() && name.find('\n') == name.npos) {
        while (!name.empty() && name.back() == ' ')
            name.pop_back();
        if (!name.empty()) {
            EXPECT_EQ(oem, std::u16string(name.begin(), name.end()));
        }
    }
    for (char16_t c : oem)
        EXPECT_GE(c, 0x20);  // one printable line
}

TEST(DeviceIdentity, BufferSizeIsInBytesAndTextIsTruncated) {
    ScopedEnv set("WINM_PLATFORM_TYPE", "SmartPhone");
    EXPECT_EQ(Query(SPI_GETPLATFORMTYPE, 12), u"Smart");  // 6 units: 5 + NUL
    EXPECT_EQ(Query(SPI_GETPLATFORMTYPE, 13), u"Smart");  // odd byte ignored
    EXPECT_EQ(Query(SPI_GETPLATFORMTYPE, 2), u"");
    EXPECT_EQ(Query(SPI_GETPLATFORMTYPE, 1), u"<failed>");
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_FALSE(SystemParametersInfoW(SPI_GETPLATFORMTYPE, 512, nullptr, 0));
    ScopedEnv pair("WINM_PLATFORM_TYPE", "ab\xF0\x9F\x93\xB1");
    EXPECT_EQ(Query(SPI_GETPLATFORMTYPE, 8), u"ab");  // never half a surrogate pair
    WCHAR buffer[8];
    EXPECT_FALSE(SystemParametersInfoW(12345, sizeof buffer, buffer, 0));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
}

struct LocaleCase {
    const char* lcAll;
    const char* lcMessages;
    const char* lang;
    LCID expected;
};

TEST(UserLanguage, FollowsThePosixLocaleVariablesInOrder) {
    const LocaleCase cases[] = {
        {nullptr, nullptr, nullptr, 0x0409},
        {nullptr, nullptr, "C", 0x0409},
        {nullptr, nullptr, "POSIX", 0x0409},
        {nullptr, nullptr, "C.UTF-8", 0x0409},
        {nullptr, nullptr, "de_DE.UTF-8", 0x0407},
        {nullptr, nullptr, "de_CH.UTF-8@euro", 0x0807},
        {nullptr, "fr_CA.UTF-8", "de_DE.UTF-8", 0x0C0C},
        {"en_GB.UTF-8", "fr_CA.UTF-8", "de_DE.UTF-8", 0x0809},
        {"", "", "zh_TW.UTF-8", 0x0404},   // empty means unset
        {nullptr, nullptr, "de", 0x0407},  // language alone: its main country
        {nullptr, nullptr, "en_DE", 0x0409},
        {nullptr, nullptr, "xx_YY", 0x0409},
        {nullptr, nullptr, "../../etc/passwd", 0x0409},
    };
    for (const auto& c : cases) {
        ScopedEnv all("LC_ALL", c.lcAll);
        ScopedEnv messages("LC_MESSAGES", c.lcMessages);
        ScopedEnv lang("LANG", c.lang);
        EXPECT_EQ(GetUserDefaultLCID(), c.expected) << (c.lang ? c.lang : "(unset)");
        EXPECT_EQ(GetUserDefaultUILanguage(), static_cast<LANGID>(c.expected));
    }
}

}  // namespace
