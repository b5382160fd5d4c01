// Test-only control of the host registry's access checks.
#pragma once

// Windows CE, like the host registry by default, ignores the access rights a
// key is opened with. In strict mode every call is checked against its
// handle's rights as on desktop Windows: querying or enumerating values needs
// KEY_QUERY_VALUE, setting or deleting them KEY_SET_VALUE, enumerating
// subkeys KEY_ENUMERATE_SUB_KEYS, creating a subkey KEY_CREATE_SUB_KEY;
// anything else fails with ERROR_ACCESS_DENIED. Predefined roots have every
// right. Applies to calls made after it, on handles old and new.
void WinceRegistrySetStrictAccess(bool strict);

// How long a call waits for a lock another process (or connection) holds on
// the store before failing with ERROR_TIMEOUT; 15 s unless set. Applies to
// the store's connections opened after it (see WinceRegistryCloseStore).
void WinceRegistrySetLockWaitForTesting(int milliseconds);
