// Process-wide state shared by every string on every thread: the storage of
// the shared empty string and the factory's last empty storage. Both
// pointers hold no reference; they are read freely and changed only with
// KStringSharedLock() held, and a storage is taken from them (reference
// added) only under that lock and only while its count is not 0, so a
// storage already on its way to destruction is never handed out again.
#pragma once

#include <atomic>
#include "common/base/spinlock.h"

#include "common/base/internal/winmkstring/winmkstringstorage.h"

SpinLock& KStringSharedLock();
extern std::atomic<KStringStorage*> SharedEmptyStorage;
extern std::atomic<WinmDefaultKStringStorage*> DefaultStorageInstance;

// Adds a reference unless the count is 0; true when it did.
bool TryAddReference(KStringStorage* storage);

// Stops the process: out of memory where a string cannot go on.
[[noreturn]] void KStringOutOfMemory(long long bytes, const char* className);
