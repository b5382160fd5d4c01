#include "curl_errors.h"

#include <cerrno>
#include <cstring>

namespace wince::net {
namespace {

bool LooksLikeReset(CURL* easy, const char* text) {
    long osErrno = 0;
    curl_easy_getinfo(easy, CURLINFO_OS_ERRNO, &osErrno);
    if (osErrno == ECONNRESET)
        return true;
    return std::strstr(text, "reset") != nullptr || std::strstr(text, "Reset") != nullptr;
}

// OpenSSL's certificate verification results (X509_V_ERR_*), a stable
// part of its interface; libcurl hands them over as numbers.
constexpr long kUnspecified = 1;         // UNSPECIFIED
constexpr long kIssuerMissing = 2;       // UNABLE_TO_GET_ISSUER_CERT
constexpr long kNotYetValid = 9;         // CERT_NOT_YET_VALID
constexpr long kExpired = 10;            // CERT_HAS_EXPIRED
constexpr long kSelfSigned = 18;         // DEPTH_ZERO_SELF_SIGNED_CERT
constexpr long kSelfSignedInChain = 19;  // SELF_SIGNED_CERT_IN_CHAIN
constexpr long kIssuerNotLocal = 20;     // UNABLE_TO_GET_ISSUER_CERT_LOCALLY
constexpr long kLeafUnverifiable = 21;   // UNABLE_TO_VERIFY_LEAF_SIGNATURE
constexpr long kRevoked = 23;            // CERT_REVOKED
constexpr long kInvalidCa = 24;          // INVALID_CA
constexpr long kUntrusted = 27;          // CERT_UNTRUSTED
constexpr long kHostnameMismatch = 62;   // HOSTNAME_MISMATCH

// A certificate that did not verify, by what a desktop WinInet reports.
DWORD MapVerifyResult(CURL* easy) {
    long result = 0;
    curl_easy_getinfo(easy, CURLINFO_SSL_VERIFYRESULT, &result);
    switch (result) {
        case 0:
        case kUnspecified:
            // The chain verified; libcurl's own check then found the host
            // name missing from the certificate (it records "unspecified").
        case kHostnameMismatch:
            return ERROR_INTERNET_SEC_CERT_CN_INVALID;
        case kNotYetValid:
        case kExpired:
            return ERROR_INTERNET_SEC_CERT_DATE_INVALID;
        case kRevoked:
            return ERROR_INTERNET_SEC_CERT_REVOKED;
        case kIssuerMissing:
        case kSelfSigned:
        case kSelfSignedInChain:
        case kIssuerNotLocal:
        case kLeafUnverifiable:
        case kInvalidCa:
        case kUntrusted:
            return ERROR_INTERNET_INVALID_CA;
        default:
            return ERROR_INTERNET_SECURITY_CHANNEL_ERROR;
    }
}

}  // namespace

DWORD MapCurlError(CURL* easy, const char* errorText, CURLcode code) {
    if (code == CURLE_OK)
        return 0;
    // A proxy that refused the tunnel: whatever it said is its own answer,
    // never the service's.
    long connectCode = 0;
    curl_easy_getinfo(easy, CURLINFO_HTTP_CONNECTCODE, &connectCode);
    if (connectCode != 0 && connectCode != 200)
        return ERROR_INTERNET_INVALID_PROXY_REQUEST;
    switch (code) {
        case CURLE_COULDNT_RESOLVE_HOST:
        case CURLE_COULDNT_RESOLVE_PROXY:
            return ERROR_INTERNET_NAME_NOT_RESOLVED;
        case CURLE_COULDNT_CONNECT:
        case CURLE_PROXY:
            return ERROR_INTERNET_CANNOT_CONNECT;
        case CURLE_OPERATION_TIMEDOUT:
            return ERROR_INTERNET_TIMEOUT;
        case CURLE_RECV_ERROR:
        case CURLE_SEND_ERROR:
            return LooksLikeReset(easy, errorText) ? ERROR_INTERNET_CONNECTION_RESET
                                                   : ERROR_INTERNET_CONNECTION_ABORTED;
        case CURLE_PARTIAL_FILE:
        case CURLE_GOT_NOTHING:
            return ERROR_INTERNET_CONNECTION_ABORTED;
        case CURLE_WEIRD_SERVER_REPLY:
        case CURLE_BAD_CONTENT_ENCODING:
        case CURLE_HTTP2:
        case CURLE_HTTP2_STREAM:
            return ERROR_HTTP_INVALID_SERVER_RESPONSE;
        case CURLE_URL_MALFORMAT:
            return ERROR_INTERNET_INVALID_URL;
        case CURLE_UNSUPPORTED_PROTOCOL:
            return ERROR_INTERNET_UNRECOGNIZED_SCHEME;
        case CURLE_PEER_FAILED_VERIFICATION:
            return MapVerifyResult(easy);
        case CURLE_SSL_CONNECT_ERROR:
        case CURLE_SSL_CERTPROBLEM:
        case CURLE_SSL_CIPHER:
        case CURLE_SSL_CACERT_BADFILE:
        case CURLE_SSL_ENGINE_NOTFOUND:
        case CURLE_SSL_ENGINE_SETFAILED:
        case CURLE_USE_SSL_FAILED:
            return ERROR_INTERNET_SECURITY_CHANNEL_ERROR;
        case CURLE_OUT_OF_MEMORY:
            return ERROR_NOT_ENOUGH_MEMORY;
        default:
            return ERROR_INTERNET_INTERNAL_ERROR;
    }
}

}  // namespace wince::net
