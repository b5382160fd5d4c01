// Driving a request's transfer.
//
// A request owns one easy handle in a multi handle of its own. The calls that
// wait (HttpSendRequestW, InternetOpenUrlW, InternetReadFile) drive the
// transfer themselves with curl_multi_perform / curl_multi_poll until they
// have what they need, so nothing runs in the background and the body is
// pulled as the caller reads it: the write callback pauses the transfer when
// more than kBufferCap bytes wait unread.
#pragma once

#include <cstddef>
#include <functional>
#include <string>

#include "inet_handles.h"

namespace wince::net {

constexpr std::size_t kBufferCap = 256 * 1024;

// Drives the transfer until `ready()` holds, the transfer ends, or the
// handle is closed. A peer that stays silent past the send or receive
// time-out ends the transfer with ERROR_INTERNET_TIMEOUT.
void Pump(Request& r, const std::function<bool()>& ready);

// Starts the transfer and waits for the response headers. False with the
// failure code when there are none.
bool SendAndWait(Request& r, const std::string& extraHeaders, const void* body, DWORD bodyLength);

}  // namespace wince::net
