// SQLite plumbing for the registry: error mapping, statements and
// transactions.
#pragma once

#include <sqlite3.h>

#include <cstddef>

#include "reg_names.h"
#include "wince/registry.h"

namespace wince::reg {

// The Win32 error for an SQLite result code.
LONG MapSqlite(int rc);

// A prepared statement that finalizes itself; step() and the column readers
// keep the first error so callers check once.
class Stmt {
  public:
    Stmt(sqlite3* db, const char* sql) { rc_ = sqlite3_prepare_v2(db, sql, -1, &st_, nullptr); }
    ~Stmt() { sqlite3_finalize(st_); }
    Stmt(const Stmt&) = delete;
    Stmt& operator=(const Stmt&) = delete;

    Stmt& Bind(int i, sqlite3_int64 v) {
        if (rc_ == SQLITE_OK)
            rc_ = sqlite3_bind_int64(st_, i, v);
        return *this;
    }
    Stmt& Bind(int i, const Bytes& b) {
        if (rc_ == SQLITE_OK)
            rc_ = sqlite3_bind_blob64(st_, i, b.data(), b.size(), SQLITE_TRANSIENT);
        return *this;
    }
    Stmt& BindBlob(int i, const void* p, size_t n) {
        static const char kEmpty = 0;
        if (rc_ == SQLITE_OK)
            rc_ = sqlite3_bind_blob64(st_, i, p ? p : &kEmpty, n, SQLITE_TRANSIENT);
        return *this;
    }
    // True while a row is available; errors end the loop and stay in rc().
    bool Step() {
        if (rc_ != SQLITE_OK && rc_ != SQLITE_ROW)
            return false;
        int r = sqlite3_step(st_);
        if (r == SQLITE_ROW) {
            rc_ = SQLITE_ROW;
            return true;
        }
        rc_ = (r == SQLITE_DONE) ? SQLITE_OK : r;
        return false;
    }
    sqlite3_int64 Int(int col) { return sqlite3_column_int64(st_, col); }
    Bytes Blob(int col) {
        const void* p = sqlite3_column_blob(st_, col);
        int n = sqlite3_column_bytes(st_, col);
        return p ? Bytes(static_cast<const char*>(p), static_cast<size_t>(n)) : Bytes();
    }
    LONG Error() const { return rc_ == SQLITE_ROW ? ERROR_SUCCESS : MapSqlite(rc_); }

  private:
    sqlite3_stmt* st_ = nullptr;
    int rc_ = SQLITE_OK;
};

LONG Exec(sqlite3* db, const char* sql);

// One transaction; rolls back unless committed.
class Txn {
  public:
    Txn() = default;
    Txn(sqlite3* db, bool write) { Begin(db, write); }
    ~Txn() { Rollback(); }
    LONG Begin(sqlite3* db, bool write) {
        db_ = db;
        err_ = Exec(db_, write ? "BEGIN IMMEDIATE" : "BEGIN");
        open_ = err_ == ERROR_SUCCESS;
        return err_;
    }
    void Rollback() {
        if (open_)
            sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
        open_ = false;
    }
    Txn(const Txn&) = delete;
    Txn& operator=(const Txn&) = delete;
    LONG Error() const { return err_; }
    LONG Commit() {
        LONG e = Exec(db_, "COMMIT");
        if (e == ERROR_SUCCESS)
            open_ = false;
        return e;
    }

  private:
    sqlite3* db_ = nullptr;
    LONG err_ = ERROR_SUCCESS;
    bool open_ = false;
};

}  // namespace wince::reg
