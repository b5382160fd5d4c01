#include "reg_store.h"

#include <sys/stat.h>

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>

#include "reg_sqlite.h"
#include "wince/src/base/hostlog.h"
#include "wince/testing/registry.h"

namespace wince::reg {
namespace {

constexpr int kAppId = 0x57524547;  // identifies our stores
constexpr int kSchemaVersion = 1;
// How long a call waits for another connection's write lock; tests shorten it.
std::atomic<int> g_busyTimeoutMs{15000};

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

// Opens the store at the path the environment names.
LONG OpenStore(sqlite3** out) {
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
    sqlite3_busy_timeout(db, g_busyTimeoutMs.load());
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
    *out = db;
    return ERROR_SUCCESS;
}

// Warns about a store that cannot be used; the calls' results say the rest.
LONG Warned(LONG e) {
    std::string problem = WinceRegistryStoreProblem(e);
    if (!problem.empty())
        HostWarning(problem);
    return e;
}

}  // namespace

Connection g_reader;
Connection g_writer;
std::mutex g_handleMutex;
thread_local sqlite3* g_db = nullptr;
thread_local bool g_dropStore = false;

LONG OpenStoreLocked(Connection& c) {
    if (c.db != nullptr)
        return ERROR_SUCCESS;
    return Warned(OpenStore(&c.db));
}

// A store-level failure that a reopen might cure drops the connection once
// the failing call has released its statements (see ~Call); every failure
// of the store itself is told once per run.
LONG Fail(LONG e) {
    if (e == ERROR_REGISTRY_CORRUPT || e == ERROR_BADDB || e == ERROR_CANTOPEN ||
        e == ERROR_REGISTRY_IO_FAILED)
        g_dropStore = true;
    return Warned(e);
}

}  // namespace wince::reg

void WinceRegistrySetLockWaitForTesting(int milliseconds) {
    wince::reg::g_busyTimeoutMs = milliseconds;
}

std::string WinceRegistryStoreProblem(LONG error) {
    const std::string path = WinceRegistryStorePath();
    std::string reason;
    switch (error) {
        case ERROR_BADDB:
            reason = "it is not a registry database";
            break;
        case ERROR_REGISTRY_CORRUPT:
            reason = "the database is damaged";
            break;
        case ERROR_REGISTRY_IO_FAILED:
            reason = "reading or writing it failed";
            break;
        case ERROR_ACCESS_DENIED: {
            // Also a handle's missing rights: only a file or directory we
            // cannot write makes it the store's problem.
            const size_t slash = path.find_last_of('/');
            const std::string dir = slash == std::string::npos ? "." : path.substr(0, slash + 1);
            if (path.empty() || (access(path.c_str(), W_OK) == 0 && access(dir.c_str(), W_OK) == 0))
                return {};
            reason = "it is read-only";
            break;
        }
        case ERROR_CANTWRITE:
            reason = "the disk is full";
            break;
        case ERROR_TIMEOUT:
            reason = "another process held its lock for too long";
            break;
        case ERROR_CANTOPEN: {
            if (path.empty())
                return "the registry file cannot be used: neither WINM_REGISTRY, XDG_STATE_HOME "
                       "nor HOME gives its path";
            struct stat st;
            if (stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) {
                reason = "it is a directory";
                break;
            }
            // The open's own errno is gone; trying again names the cause.
            int fd = open(path.c_str(), O_RDWR | O_CLOEXEC);
            if (fd >= 0) {
                close(fd);
                reason = "it cannot be opened";
            } else if (errno == ENOENT) {
                reason = "its directory cannot be created";
            } else {
                reason = std::strerror(errno);
            }
            break;
        }
        default:
            return {};
    }
    return "the registry file " + path + " cannot be used: " + reason;
}
