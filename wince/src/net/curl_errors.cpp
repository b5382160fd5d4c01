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

}  // namespace

DWORD MapCurlError(CURL* easy, const char* errorText, CURLcode code) {
    switch (code) {
        case CURLE_OK:
            return 0;
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
            return ERROR_INTERNET_INVALID_CA;
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
