#include "common/src/transportfailure.h"

#include <cstdint>
#include <cstring>

#include "common/base/growablearray.h"

namespace {

// Where a meaning names the peer.
enum Where {
    kNowhere,    // the text says it all
    kAuthority,  // host:port of the endpoint, with the proxy when one is used
    kHost,       // the endpoint's host name alone (certificates name hosts)
};

struct Meaning {
    uint32_t code;
    Where where;
    const char* text;  // %S: the place `where` names
};

// Every WinInet error an exchange can end with, on the host layer or on
// Windows. Connection set-up errors through a proxy are the proxy's and
// have texts of their own (see Describe).
const Meaning kWininetMeanings[] = {
    {6, kNowhere, "the HTTP library refused a call of the updater"},
    {87, kNowhere, "the HTTP library refused a call of the updater"},
    {12002, kAuthority, "%S did not answer in time"},
    {12004, kNowhere, "the HTTP library failed inside; an earlier warning may say why"},
    {12005, kNowhere, "the endpoint URL is not valid"},
    {12006, kNowhere, "the endpoint's scheme is not supported"},
    {12007, kHost, "the name %S cannot be resolved"},
    {12009, kNowhere, "the HTTP library refused a call of the updater"},
    {12010, kNowhere, "the HTTP library refused a call of the updater"},
    {12017, kNowhere, "the exchange was cancelled"},
    {12018, kNowhere, "the HTTP library refused a call of the updater"},
    {12019, kNowhere, "the HTTP library refused a call of the updater"},
    {12029, kAuthority, "cannot connect to %S"},
    {12030, kAuthority, "the connection to %S closed before an answer arrived"},
    {12031, kAuthority, "the connection to %S was reset"},
    {12037, kHost, "the certificate of %S has expired or is not yet valid"},
    {12038, kHost, "the certificate of %S is for another name"},
    {12044, kAuthority, "%S asks for a client certificate"},
    {12045, kHost, "the certificate of %S is not trusted"},
    {12055, kHost, "the certificate of %S has errors"},
    {12057, kHost, "whether the certificate of %S was revoked cannot be checked"},
    {12150, kNowhere, "the HTTP library refused a call of the updater"},
    {12152, kAuthority, "the answer from %S is not HTTP"},
    {12153, kNowhere, "the HTTP library refused a call of the updater"},
    {12154, kNowhere, "the HTTP library refused a call of the updater"},
    {12157, kAuthority, "the secure connection to %S failed"},
    {12163, kNowhere, "the computer is not connected to a network"},
    {12169, kHost, "the certificate of %S is not valid"},
    {12170, kHost, "the certificate of %S has been revoked"},
};

constexpr uint32_t kNotEnoughMemory = 8;  // ERROR_NOT_ENOUGH_MEMORY
constexpr uint32_t kProcNotFound = 127;   // ERROR_PROC_NOT_FOUND
constexpr uint32_t kCannotConnect = 12029;
constexpr uint32_t kNameNotResolved = 12007;
constexpr uint32_t kConnectionAborted = 12030;
constexpr uint32_t kProxyRefusedTunnel = 12033;  // ERROR_INTERNET_INVALID_PROXY_REQUEST

// Reads "NAME [A]" or "NAME [A B]": the name's length and the last number.
bool ParseText(const GrowableArray& utf8, int* nameLength, uint32_t* code) {
    const char* bytes = utf8.As<const char>();
    const int count = utf8.count;
    int open = 0;
    while (open < count && bytes[open] != '[')
        ++open;
    if (open < 2 || open >= count || bytes[open - 1] != ' ' || bytes[count - 1] != ']')
        return false;
    uint32_t number = 0;
    int digits = 0;
    for (int i = open + 1; i < count - 1; ++i) {
        const char c = bytes[i];
        if (c == ' ' && digits > 0) {
            number = 0;  // the error is the last number
            digits = 0;
        } else if (c >= '0' && c <= '9' && digits < 9) {
            number = number * 10 + static_cast<uint32_t>(c - '0');
            ++digits;
        } else {
            return false;
        }
    }
    if (digits == 0)
        return false;
    *nameLength = open - 1;
    *code = number;
    return true;
}

bool NameIs(const GrowableArray& utf8, int length, const char* name) {
    return static_cast<int>(std::strlen(name)) == length &&
           std::memcmp(utf8.Bytes(), name, static_cast<size_t>(length)) == 0;
}

// The authority ("host:port") of an http(s) URL, and the host alone.
void SplitUrl(const KString& url, KString& authority, KString& host) {
    GrowableArray utf8(1);
    url.ToUtf8(utf8);
    const char* bytes = utf8.As<const char>();
    int start = 0;
    for (int i = 0; i + 2 < utf8.count; ++i) {
        if (bytes[i] == ':' && bytes[i + 1] == '/' && bytes[i + 2] == '/') {
            start = i + 3;
            break;
        }
    }
    int end = start;
    while (end < utf8.count && bytes[end] != '/')
        ++end;
    int hostEnd = end;
    for (int i = end - 1; i > start; --i) {
        if (bytes[i] == ']')
            break;
        if (bytes[i] == ':') {
            hostEnd = i;
            break;
        }
    }
    GrowableArray part(1);
    part.InsertAt(part.End(), end - start, bytes + start);
    authority = KString::FromUtf8Bytes(part);
    part.SetCount(hostEnd - start);
    host = KString::FromUtf8Bytes(part);
}

KString WininetMeaning(uint32_t code, bool reading, const KString& url, const KString& proxy) {
    KString authority, host;
    SplitUrl(url, authority, host);
    const bool viaProxy = !proxy.IsEmpty();

    // Through a proxy the connection is the proxy's; the endpoint's name is
    // resolved by the proxy, which answers with a status of its own.
    if (viaProxy && code == kCannotConnect)
        return KString::Format("cannot connect to the proxy %S", &proxy);
    if (viaProxy && code == kNameNotResolved)
        return KString::Format("the name of the proxy %S cannot be resolved", &proxy);
    if (reading && code == kConnectionAborted)
        code = 0;
    if (reading && code == 0)
        return KString("the connection closed before the whole answer arrived");
    if (reading && code == kNotEnoughMemory)
        return KString("the answer is too large, or memory ran out");
    if (code == kNotEnoughMemory)
        return KString("memory ran out");
    if (code == kProxyRefusedTunnel)
        return viaProxy
                   ? KString::Format("the proxy %S refused the tunnel to %S", &proxy, &authority)
                   : KString::Format("the tunnel to %S was refused", &authority);
    if (code == kProcNotFound)
        return KString("the HTTP library (wininet) cannot be loaded");

    const KString place =
        viaProxy ? KString::Format("%S through the proxy %S", &authority, &proxy) : authority;
    for (const Meaning& m : kWininetMeanings) {
        if (m.code != code)
            continue;
        if (m.where == kNowhere)
            return KString(m.text);
        return KString::Format(m.text, m.where == kHost ? &host : &place);
    }
    return KString::Format("the exchange with %S failed", &place);
}

}  // namespace

KString DescribeTransportFailure(const KString& text, const KString& url, const KString& proxy) {
    GrowableArray utf8(1);
    text.ToUtf8(utf8);
    int nameLength = 0;
    uint32_t code = 0;
    if (!ParseText(utf8, &nameLength, &code))
        return KString();
    if (NameIs(utf8, nameLength, "wininetHttpError"))
        return WininetMeaning(code, false, url, proxy);
    if (NameIs(utf8, nameLength, "wininetReadError"))
        return WininetMeaning(code, true, url, proxy);
    if (NameIs(utf8, nameLength, "connectError"))
        return code == kProcNotFound
                   ? KString("the Connection Manager (cellcore) cannot be loaded")
                   : KString("no data connection to the Internet could be brought up");
    if (NameIs(utf8, nameLength, "threadError"))
        return KString("no worker thread could be started");
    return KString();
}
