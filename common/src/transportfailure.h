// What a failed exchange's error text means, in words a user can act on.
//
// The HTTP request reports failures as "wininetHttpError [STATUS ERROR]"
// (no answer), "wininetReadError [ERROR]" (the answer broke off),
// "connectError [ERROR]" (no data connection) or "threadError [ERROR]" (no
// worker). The numbers stay in the log line; this adds what they mean and
// where: the endpoint's host and port, and the proxy when one was used.
#pragma once

#include "common/base/internal/winmkstring/kstring.h"

// The meaning of text for an exchange with url (through proxy, when not
// empty); empty when text is none of the forms above.
KString DescribeTransportFailure(const KString& text, const KString& url, const KString& proxy);
