// Device identity from the environment and the machine, and the user's
// language from the POSIX locale.
#include "wince/sysinfo.h"

#include <unicode/uloc.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>

#include "instancelock.h"
#include "wince/ce_extras.h"

namespace {

constexpr LCID kEnglishUs = 0x0409;

// What a variable holds, or `fallback` when it is not set. A variable that
// is set but empty gives the empty text.
std::u16string FromEnvironment(const char* name, std::u16string (*fallback)()) {
    const char* value = std::getenv(name);
    if (value == nullptr)
        return fallback();
    return wince::FromUtf8(value);
}

std::u16string DefaultPlatformType() {
    return u"SmartPhone";
}

std::u16string DefaultOemInfo() {
    std::ifstream file("/sys/class/dmi/id/product_name");
    std::string name;
    if (file) {
        char buffer[256];
        file.read(buffer, sizeof buffer);
        name.assign(buffer, static_cast<std::size_t>(file.gcount()));
    }
    // Firmware text: keep it printable and on one line.
    for (char& c : name)
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f)
            c = ' ';
    while (!name.empty() && name.back() == ' ')
        name.pop_back();
    while (!name.empty() && name.front() == ' ')
        name.erase(0, 1);
    if (name.empty())
        return u"Linux host";
    return wince::FromUtf8(name);
}

BOOL CopyText(const std::u16string& text, UINT bufferBytes, PVOID buffer) {
    UINT capacity = bufferBytes / sizeof(WCHAR);
    if (buffer == nullptr || capacity == 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    WCHAR* out = static_cast<WCHAR*>(buffer);
    std::size_t count = text.size() < capacity - 1 ? text.size() : capacity - 1;
    // A surrogate pair is never cut in half.
    if (count > 0 && count < text.size() && text[count - 1] >= 0xD800 && text[count - 1] <= 0xDBFF)
        --count;
    std::memcpy(out, text.data(), count * sizeof(WCHAR));
    out[count] = 0;
    return TRUE;
}

// The locale name from LC_ALL, LC_MESSAGES, LANG (the first that is set and
// not empty), without its codeset and modifier: "de_CH.UTF-8@euro" -> "de_CH".
std::string PosixLocaleName() {
    const char* names[] = {"LC_ALL", "LC_MESSAGES", "LANG"};
    for (const char* name : names) {
        const char* value = std::getenv(name);
        if (value == nullptr || value[0] == 0)
            continue;
        std::string locale(value);
        std::size_t cut = locale.find_first_of(".@");
        if (cut != std::string::npos)
            locale.resize(cut);
        return locale;
    }
    return {};
}

LCID LocaleToLcid(const std::string& locale) {
    if (locale.empty() || locale == "C" || locale == "POSIX" || locale.size() > 64)
        return kEnglishUs;
    for (char c : locale) {
        bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                  c == '_' || c == '-';
        if (!ok)
            return kEnglishUs;
    }
    LCID lcid = 0;
    if (locale.find_first_of("_-") != std::string::npos) {
        lcid = uloc_getLCID(locale.c_str());
        // A neutral LCID (sublanguage 0) names a language, not a locale.
        if (SUBLANGID(LANGIDFROMLCID(lcid)) == 0)
            lcid = 0;
    }
    if (lcid == 0) {
        // A language alone, or with a country it is not known with: the
        // language's most likely country ("de" -> de_DE), never a neutral
        // LCID that names no locale.
        char language[ULOC_LANG_CAPACITY] = {};
        char likely[ULOC_FULLNAME_CAPACITY] = {};
        char country[ULOC_COUNTRY_CAPACITY] = {};
        UErrorCode status = U_ZERO_ERROR;
        uloc_getLanguage(locale.c_str(), language, sizeof language, &status);
        if (U_SUCCESS(status) && language[0] != 0) {
            uloc_addLikelySubtags(language, likely, sizeof likely, &status);
            if (U_SUCCESS(status))
                uloc_getCountry(likely, country, sizeof country, &status);
            if (U_SUCCESS(status) && country[0] != 0)
                lcid = uloc_getLCID((std::string(language) + "_" + country).c_str());
        }
    }
    return lcid != 0 ? lcid : kEnglishUs;
}

}  // namespace

BOOL SystemParametersInfoW(UINT action, UINT uiParam, PVOID pvParam, UINT) {
    switch (action) {
        case SPI_GETPLATFORMTYPE:
            return CopyText(FromEnvironment("WINM_PLATFORM_TYPE", DefaultPlatformType), uiParam,
                            pvParam);
        case SPI_GETOEMINFO:
            return CopyText(FromEnvironment("WINM_OEM_INFO", DefaultOemInfo), uiParam, pvParam);
        default:
            SetLastError(ERROR_INVALID_PARAMETER);
            return FALSE;
    }
}

LCID GetUserDefaultLCID() {
    return LocaleToLcid(PosixLocaleName());
}

LANGID GetUserDefaultUILanguage() {
    return LANGIDFROMLCID(GetUserDefaultLCID());
}
