// RFC 1766 language tags from LCIDs, with the language/country mapping of
// ICU and the shortening rule of the platform's own converter.
#include <unicode/uloc.h>

#include <string>

#include "modules.h"
#include "wince/sysinfo.h"

namespace {

constexpr WORD kLangArabic = 0x01;
constexpr WORD kLangChinese = 0x04;
constexpr WORD kLangEnglish = 0x09;
constexpr WORD kSublangDefault = 0x01;

std::string Lower(std::string text) {
    for (char& c : text)
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
    return text;
}

// "en-us", "de", "fr-ca"...; empty for an LCID that names no language.
std::string TagForLcid(LCID lcid) {
    char locale[ULOC_FULLNAME_CAPACITY];
    UErrorCode status = U_ZERO_ERROR;
    int32_t length = uloc_getLocaleForLCID(lcid, locale, sizeof locale, &status);
    if (U_FAILURE(status) || length <= 0 || status == U_STRING_NOT_TERMINATED_WARNING)
        return {};
    char language[ULOC_LANG_CAPACITY];
    char country[ULOC_COUNTRY_CAPACITY];
    status = U_ZERO_ERROR;
    uloc_getLanguage(locale, language, sizeof language, &status);
    // ICU names an LCID it does not know "root".
    if (U_FAILURE(status) || language[0] == 0 || std::string(language) == "root")
        return {};
    status = U_ZERO_ERROR;
    uloc_getCountry(locale, country, sizeof country, &status);
    if (U_FAILURE(status))
        country[0] = 0;

    std::string tag = Lower(language);
    WORD primary = PRIMARYLANGID(LANGIDFROMLCID(lcid));
    WORD sub = SUBLANGID(LANGIDFROMLCID(lcid));
    // A language's main variant is written as the language alone, except
    // for English, Chinese and Arabic, whose variants differ too much.
    bool languageAlone = sub == kSublangDefault && primary != kLangEnglish &&
                         primary != kLangChinese && primary != kLangArabic;
    if (!languageAlone && country[0] != 0)
        tag += "-" + Lower(country);
    return tag;
}

}  // namespace

HRESULT WINAPI LcidToRfc1766W(LCID lcid, LPWSTR rfc1766, int bufferChars) {
    if (rfc1766 == nullptr || bufferChars <= 0)
        return E_INVALIDARG;
    std::string tag = TagForLcid(lcid);
    if (tag.empty())
        return E_FAIL;
    int count = static_cast<int>(tag.size());
    bool fits = count < bufferChars;
    if (!fits)
        count = bufferChars - 1;
    // What fits is written and terminated, so the buffer is always a string.
    for (int i = 0; i < count; ++i)
        rfc1766[i] = static_cast<WCHAR>(tag[i]);
    rfc1766[count] = 0;
    return fits ? S_OK : E_INVALIDARG;
}
