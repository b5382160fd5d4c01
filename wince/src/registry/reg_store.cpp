#include "reg_store.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstdlib>
#include <string>

#include "reg_sqlite.h"

namespace wince::reg {
namespace {

constexpr int kAppId = 0x57524547;  // identifies our stores
constexpr int kSchemaVersion = 1;
constexpr int kBusyTimeoutMs = 15000;

bool MakeDirs(const std::string& dir) {
    if (dir.empty())
        return true;
    struct stat st;
    if (stat(dir.c_str(), &st) == 0)
        return S_ISDIR(st.st_mode);
    size_t slash = dir.find_last_of('/');
    if (slash != std::string::npos && slash > 0 && !MakeDirs(dir.substr(0, slash)))
        return false;
    return mkdir(dir.c_str(), 0700) == 0 || errno == EEXIST;
}

LONG ReadPragma(sqlite3* db, const char* sql, sqlite3_int64* out) {
    Stmt s(db, sql);
    if (!s.Step())
        return s.Error() != ERROR_SUCCESS ? s.Error() : ERROR_BADDB;
    *out = s.Int(0);
    return ERROR_SUCCESS;
}

const char kSchema[] =
    "CREATE TABLE keys("
    " id INTEGER PRIMARY KEY AUTOINCREMENT,"
    " parent INTEGER,"
    " name BLOB NOT NULL,"
    " fold BLOB NOT NULL,"
    " UNIQUE(parent, fold));"
    "CREATE TABLE vals("
    " seq INTEGER PRIMARY KEY AUTOINCREMENT,"
    " key INTEGER NOT NULL,"
    " name BLOB NOT NULL,"
    " fold BLOB NOT NULL,"
    " type INTEGER NOT NULL,"
    " data BLOB NOT NULL,"
    " UNIQUE(key, fold));"
    "INSERT INTO keys(id, parent, name, fold) VALUES"
    " (1, NULL, X'', X''), (2, NULL, X'', X''), (3, NULL, X'', X''), (4, NULL, X'', X'');";

// Checks that the file is one of our stores, or a brand-new empty database
// that we may lay out. Anything else is refused and left untouched.
LONG PrepareSchema(sqlite3* db) {
    sqlite3_int64 appId = 0, version = 0, objects = 0;
    LONG e = ReadPragma(db, "PRAGMA application_id", &appId);
    if (e != ERROR_SUCCESS)
        return e;
    if (appId == 0) {
        Txn t(db, true);
        if (t.Error() != ERROR_SUCCESS)
            return t.Error();
        if ((e = ReadPragma(db, "PRAGMA application_id", &appId)) != ERROR_SUCCESS)
            return e;
        if (appId == 0) {
            e = ReadPragma(db, "SELECT count(*) FROM sqlite_master", &objects);
            if (e != ERROR_SUCCESS)
                return e;
            if (objects != 0)
                return ERROR_BADDB;  // somebody else's database
            if ((e = Exec(db, kSchema)) != ERROR_SUCCESS)
                return e;
            std::string pragmas = "PRAGMA application_id=" + std::to_string(kAppId) +
                                  "; PRAGMA user_version=" + std::to_string(kSchemaVersion);
            if ((e = Exec(db, pragmas.c_str())) != ERROR_SUCCESS)
                return e;
            appId = kAppId;
        }
        if ((e = t.Commit()) != ERROR_SUCCESS)
            return e;
    }
    if (appId != kAppId)
        return ERROR_BADDB;
    if ((e = ReadPragma(db, "PRAGMA user_version", &version)) != ERROR_SUCCESS)
        return e;
    if (version != kSchemaVersion)
        return ERROR_BADDB;
    e = ReadPragma(
        db, "SELECT count(*) FROM sqlite_master WHERE type='table' AND name IN ('keys', 'vals')",
        &objects);
    if (e != ERROR_SUCCESS)
        return e;
    if (objects != 2)
        return ERROR_REGISTRY_CORRUPT;
    e = ReadPragma(db, "SELECT count(*) FROM keys WHERE id BETWEEN 1 AND 4 AND parent IS NULL",
                   &objects);
    if (e != ERROR_SUCCESS)
        return e;
    return objects == kRootCount ? ERROR_SUCCESS : ERROR_REGISTRY_CORRUPT;
}

}  // namespace

std::mutex g_mutex;
sqlite3* g_db = nullptr;
bool g_dropStore = false;

LONG OpenStoreLocked() {
    if (g_db != nullptr)
        return ERROR_SUCCESS;
    std::string path = WinceRegistryStorePath();
    if (path.empty())
        return ERROR_CANTOPEN;
    size_t slash = path.find_last_of('/');
    if (slash != std::string::npos && slash > 0 && !MakeDirs(path.substr(0, slash)))
        return ERROR_CANTOPEN;
    sqlite3* db = nullptr;
    int rc =
        sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr);
    if (rc != SQLITE_OK) {
        sqlite3_close(db);
        return ERROR_CANTOPEN;
    }
    sqlite3_busy_timeout(db, kBusyTimeoutMs);
    LONG e = PrepareSchema(db);
    if (e == ERROR_SUCCESS) {
        // WAL lets readers run beside a writer; if it cannot be switched on
        // (read-only medium) the rollback journal still gives correct results.
        sqlite3_exec(db, "PRAGMA journal_mode=WAL", nullptr, nullptr, nullptr);
        sqlite3_exec(db, "PRAGMA synchronous=NORMAL", nullptr, nullptr, nullptr);
    }
    if (e != ERROR_SUCCESS) {
        sqlite3_close(db);
        return e;
    }
    g_db = db;
    return ERROR_SUCCESS;
}

// A store-level failure that a reopen might cure drops the connection once

LONG Fail(LONG e) {
    if (e == ERROR_REGISTRY_CORRUPT || e == ERROR_BADDB || e == ERROR_CANTOPEN ||
        e == ERROR_REGISTRY_IO_FAILED)
        g_dropStore = true;
    return e;
}

}  // namespace wince::reg

std::string WinceRegistryStorePath() {
    const char* explicitPath = std::getenv("WINM_REGISTRY");
    if (explicitPath != nullptr && explicitPath[0] != 0)
        return explicitPath;
    const char* state = std::getenv("XDG_STATE_HOME");
    std::string base;
    if (state != nullptr && state[0] == '/') {
        base = state;
    } else {
        const char* home = std::getenv("HOME");
        if (home == nullptr || home[0] != '/')
            return std::string();
        base = std::string(home) + "/.local/state";
    }
    return base + "/winm/registry.sqlite3";
}
