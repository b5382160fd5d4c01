// Test-only controls of the host layer's thread support.
#pragma once

// The next `count` calls of CreateThread fail with ERROR_NOT_ENOUGH_MEMORY
// as when the system has no resources for a thread; 0 ends the failures.
void WinceKernelFailThreadCreation(int count);
