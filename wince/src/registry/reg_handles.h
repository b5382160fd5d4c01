// Registry handles: the table from HKEY values to key ids, and the frame
// every registry call runs in.
#pragma once

#include <sqlite3.h>

#include <atomic>
#include <mutex>

#include "reg_sqlite.h"
#include "reg_store.h"
#include "wince/registry.h"

namespace wince::reg {

// The key id of a handle (a predefined root or one we handed out) and, when
// asked, the rights it was opened with.
LONG KeyIdOf(HKEY h, sqlite3_int64* id, REGSAM* rights = nullptr);

// ERROR_KEY_DELETED when the key is gone; call inside a transaction.
LONG KeyExists(sqlite3_int64 id);

// Hands out a new handle to key `id` with the rights `desired` grants.
HKEY NewHandle(sqlite3_int64 id, REGSAM desired);

// Whether calls are checked against their handle's rights (test control
// wince/testing/registry.h).
extern std::atomic<bool> g_strictAccess;

// Every call: resolve the handle, then lock the reader or the writer
// connection, open the store and check that the handle's key still exists,
// all inside one transaction. A reader never waits for the writer, which may
// spend up to the busy time-out waiting for another process.
// Declared first in every call, so it is destroyed after the call's
// statements and transaction.
struct Call {
    std::unique_lock<std::mutex> lock;
    Connection* connection = nullptr;
    sqlite3_int64 key = 0;
    REGSAM rights = 0;  // of the call's handle
    Txn txn;
    Call() = default;
    Call(const Call&) = delete;
    Call& operator=(const Call&) = delete;
    ~Call() {
        txn.Rollback();  // before the store may be closed below
        if (connection != nullptr && g_dropStore && connection->db != nullptr) {
            sqlite3_close(connection->db);
            connection->db = nullptr;
        }
        g_dropStore = false;
        g_db = nullptr;
    }
    // `needed`: the rights the call needs on its handle (strict mode only).
    LONG Begin(HKEY h, REGSAM needed = 0) {
        LONG e = KeyIdOf(h, &key, &rights);
        if (e != ERROR_SUCCESS)
            return e;
        if (g_strictAccess && (rights & needed) != needed)
            return ERROR_ACCESS_DENIED;
        return ERROR_SUCCESS;
    }
    // Takes the connection, starts the call's transaction and checks that
    // the handle's key still exists (it may have been deleted through
    // another handle or process).
    LONG Enter(bool write) {
        connection = write ? &g_writer : &g_reader;
        lock = std::unique_lock<std::mutex>(connection->mutex);
        LONG e = OpenStoreLocked(*connection);
        if (e != ERROR_SUCCESS)
            return e;
        g_db = connection->db;
        e = txn.Begin(g_db, write);
        if (e == ERROR_SUCCESS)
            e = KeyExists(key);
        return e == ERROR_SUCCESS ? e : Fail(e);
    }
    LONG Commit() { return txn.Commit(); }
};

}  // namespace wince::reg
