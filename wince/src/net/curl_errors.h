// The Win32 error for a failed libcurl transfer.
#pragma once

#include <curl/curl.h>

#include "wince/wininet.h"

namespace wince::net {

// Maps the result of a transfer on `easy` to an ERROR_INTERNET_* code (0 for
// CURLE_OK); `errorText` is the transfer's libcurl error buffer, which tells
// a reset connection from an aborted one.
DWORD MapCurlError(CURL* easy, const char* errorText, CURLcode code);

}  // namespace wince::net
