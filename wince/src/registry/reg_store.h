// The SQLite store behind the Win32 registry calls.
//
//
// Layout: table `keys` holds the tree (one row per key, the four predefined
// roots have the fixed ids 1-4 and no parent), table `vals` the values. Names
// are kept twice: as created (UTF-16LE) for display, and case-folded
// (UTF-16BE, so that byte order is code-unit order) for lookups, uniqueness
// and sorting. Key ids come from AUTOINCREMENT so that an id is never reused
// and a handle to a deleted key can never reach a newer key.
//
// Every call runs in one transaction: reads in a deferred one (a consistent
// snapshot), changes in BEGIN IMMEDIATE (the write lock is taken up front so
// two writers queue on the busy time-out instead of failing on upgrade). The
// database runs in WAL mode, and a process reads through a connection of its
// own, so readers never wait for writers: not for another process's, nor for
// a writer of this process that is waiting on the busy time-out.
#pragma once

#include <sqlite3.h>

#include <mutex>

#include "wince/registry.h"

namespace wince::reg {

// The four predefined roots have the key ids 1 to kRootCount.
constexpr sqlite3_int64 kRootCount = 4;

// One connection to the store and the lock every call using it holds.
struct Connection {
    std::mutex mutex;
    sqlite3* db = nullptr;  // NULL until first used and after a failure dropped it
};
// Calls that change the store use the writer, the others the reader.
extern Connection g_reader;
extern Connection g_writer;
// Guards the handle table.
extern std::mutex g_handleMutex;
// The connection of the calling thread's current call.
extern thread_local sqlite3* g_db;
// A store-level failure that a reopen might cure drops the call's connection
// once the failing call has released its statements (see ~Call).
extern thread_local bool g_dropStore;

// Opens the store on first use (and again after a failure, so a store that
// was repaired or became readable is picked up). Caller holds c.mutex.
LONG OpenStoreLocked(Connection& c);

// Passes `e` through, marking the store to be dropped when `e` says the
// store itself failed.
LONG Fail(LONG e);

}  // namespace wince::reg
