// Test-only control of the Connection Manager (the "cellcore" module), so
// that tests can reach the failure paths of code that asks for a data
// connection, and a view into the Internet functions. Linux host layer only;
// never used by the system's own code.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "wince/connmgr.h"
#include "wince/types.h"

// How one connection attempt goes. The attempt reports each status of
// `statuses` in order to the caller's window (and through
// ConnMgrConnectionStatus): all but the last at once, the last after
// `settleAfterMs`. The last status is where the attempt settles; a caller
// of ConnMgrEstablishConnectionSync that waits less than `settleAfterMs`
// sees the attempt still pending.
struct WinceConnMgrScript {
    std::vector<DWORD> statuses{CONNMGR_STATUS_CONNECTED};
    DWORD settleAfterMs = 0;
};

// Every later attempt follows `script` (replacing the default: connected at
// once) unless a queued one is waiting.
void WinceConnMgrSetDefaultScript(const WinceConnMgrScript& script);
// The next attempt follows `script`; queued scripts are used in order.
void WinceConnMgrQueueScript(const WinceConnMgrScript& script);

// Every open connection that is connected moves to `status` (a drop), which
// is posted to its owner's window like any status change.
void WinceConnMgrDropConnections(DWORD status = CONNMGR_STATUS_DISCONNECTED);

// The proxy that connections report. Without an override the proxy comes
// from http_proxy / HTTP_PROXY.
enum class WinceConnMgrProxyMode { Environment, Fixed, ProviderError };
void WinceConnMgrSetProxy(WinceConnMgrProxyMode mode, const std::u16string& server = {});

// What the Connection Manager has been asked since the last reset.
struct WinceConnMgrCounters {
    int attempts = 0;         // ConnMgrEstablishConnection(Sync) calls that made a connection
    int statusQueries = 0;    // ConnMgrConnectionStatus calls
    int releases = 0;         // ConnMgrReleaseConnection calls on open connections
    int cachedReleases = 0;   // of those, with lCache non-zero
    int proxyQueries = 0;     // ConnMgrProviderMessage calls
    int openConnections = 0;  // connections not yet released
    std::optional<CONNMGR_CONNECTIONINFO> lastRequest;  // the last attempt's parameters
};
WinceConnMgrCounters WinceConnMgrGetCounters();

// Releases every connection, forgets scripts, the proxy override and the
// counters.
void WinceConnMgrResetForTesting();

// How many Internet calls (HttpSendRequestW, InternetOpenUrlW,
// InternetReadFile) are driving a transfer right now, waiting on the network.
// Lets a test act on a call that is known to be blocked.
int WinceInternetCallsWaiting();
// How many Internet handles are open in the process (closing a handle also
// closes the handles made from it). Lets a test see that nothing leaked.
int WinceInternetOpenHandles();
