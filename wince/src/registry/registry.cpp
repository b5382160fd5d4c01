// Win32 registry calls over an SQLite store.
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
// database runs in WAL mode, so readers never wait for writers.

#include <sqlite3.h>
#include <sys/stat.h>
#include <unicode/uchar.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

#include "wince/registry.h"

namespace {

constexpr int kAppId = 0x57524547;  // identifies our stores
constexpr int kSchemaVersion = 1;
constexpr int kBusyTimeoutMs = 15000;
constexpr sqlite3_int64 kRootCount = 4;

// Folded or stored names travel as byte strings (SQLite blobs).
using Bytes = std::string;

std::mutex g_mutex;
sqlite3* g_db = nullptr;
std::unordered_map<ULONG_PTR, sqlite3_int64> g_handles;
// Handle values are never reused within a process, so a closed handle stays
// invalid instead of silently naming some later key.
ULONG_PTR g_nextHandle = 0x10000;

// --- names -----------------------------------------------------------------

size_t Length(LPCWSTR s) {
    size_t n = 0;
    while (s[n] != 0)
        ++n;
    return n;
}

Bytes StoredName(LPCWSTR s, size_t n) {
    Bytes out;
    out.reserve(n * 2);
    for (size_t i = 0; i < n; ++i) {
        out.push_back(static_cast<char>(s[i] & 0xff));
        out.push_back(static_cast<char>(s[i] >> 8));
    }
    return out;
}

void PutUnitBE(Bytes& out, UChar32 u) {
    out.push_back(static_cast<char>((u >> 8) & 0xff));
    out.push_back(static_cast<char>(u & 0xff));
}

// Unicode simple case folding per code point; unpaired surrogates are kept.
Bytes FoldedName(LPCWSTR s, size_t n) {
    Bytes out;
    out.reserve(n * 2);
    for (size_t i = 0; i < n; ++i) {
        UChar32 c = s[i];
        if (c >= 0xD800 && c <= 0xDBFF && i + 1 < n && s[i + 1] >= 0xDC00 && s[i + 1] <= 0xDFFF) {
            c = 0x10000 + ((c - 0xD800) << 10) + (s[i + 1] - 0xDC00);
            ++i;
        }
        if (c < 0xD800 || c > 0xDFFF)
            c = u_foldCase(c, U_FOLD_CASE_DEFAULT);
        if (c >= 0x10000) {
            c -= 0x10000;
            PutUnitBE(out, 0xD800 + (c >> 10));
            PutUnitBE(out, 0xDC00 + (c & 0x3ff));
        } else {
            PutUnitBE(out, c);
        }
    }
    return out;
}

// Splits a subkey path at backslashes. One trailing backslash is tolerated;
// a leading one, an empty component or an over-long one is an error.
LONG SplitPath(LPCWSTR path, std::vector<std::pair<LPCWSTR, size_t>>* parts) {
    parts->clear();
    if (path == nullptr)
        return ERROR_SUCCESS;
    size_t n = Length(path);
    if (n > 0 && path[n - 1] == u'\\')
        --n;
    if (n == 0)
        return ERROR_SUCCESS;
    size_t start = 0;
    for (size_t i = 0; i <= n; ++i) {
        if (i == n || path[i] == u'\\') {
            size_t len = i - start;
            if (len == 0 || len > WINCE_REG_MAX_KEY_NAME)
                return ERROR_INVALID_PARAMETER;
            parts->emplace_back(path + start, len);
            start = i + 1;
        }
    }
    return ERROR_SUCCESS;
}

// --- SQLite plumbing -------------------------------------------------------

LONG MapSqlite(int rc) {
    switch (rc & 0xff) {
        case SQLITE_OK:
        case SQLITE_DONE:
        case SQLITE_ROW:
            return ERROR_SUCCESS;
        case SQLITE_NOTADB:
            return ERROR_BADDB;
        case SQLITE_CORRUPT:
        case SQLITE_FORMAT:
        case SQLITE_SCHEMA:
            return ERROR_REGISTRY_CORRUPT;
        case SQLITE_CANTOPEN:
        case SQLITE_PERM:
        case SQLITE_AUTH:
            return ERROR_CANTOPEN;
        case SQLITE_READONLY:
            return ERROR_ACCESS_DENIED;
        case SQLITE_FULL:
            return ERROR_CANTWRITE;
        case SQLITE_NOMEM:
            return ERROR_OUTOFMEMORY;
        case SQLITE_TOOBIG:
            return ERROR_INVALID_PARAMETER;
        case SQLITE_BUSY:
        case SQLITE_LOCKED:
            return ERROR_TIMEOUT;
        default:
            return ERROR_REGISTRY_IO_FAILED;
    }
}

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

LONG Exec(sqlite3* db, const char* sql) {
    return MapSqlite(sqlite3_exec(db, sql, nullptr, nullptr, nullptr));
}

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

// --- the store -------------------------------------------------------------

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

// Opens the store on first use (and again after a failure, so a store that
// was repaired or became readable is picked up). Caller holds g_mutex.
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
// the failing call has released its statements (see ~Call).
bool g_dropStore = false;

LONG Fail(LONG e) {
    if (e == ERROR_REGISTRY_CORRUPT || e == ERROR_BADDB || e == ERROR_CANTOPEN ||
        e == ERROR_REGISTRY_IO_FAILED)
        g_dropStore = true;
    return e;
}

LONG KeyIdOf(HKEY h, sqlite3_int64* id) {
    ULONG_PTR v = reinterpret_cast<ULONG_PTR>(h);
    for (sqlite3_int64 r = 0; r < kRootCount; ++r) {
        if (v == reinterpret_cast<ULONG_PTR>(WINCE_PREDEFINED_HKEY(0x80000000u + r))) {
            *id = r + 1;
            return ERROR_SUCCESS;
        }
    }
    auto it = g_handles.find(v);
    if (it == g_handles.end())
        return ERROR_INVALID_HANDLE;
    *id = it->second;
    return ERROR_SUCCESS;
}

bool IsRootId(sqlite3_int64 id) {
    return id >= 1 && id <= kRootCount;
}

LONG KeyExists(sqlite3_int64 id) {
    if (IsRootId(id))
        return ERROR_SUCCESS;
    Stmt s(g_db, "SELECT 1 FROM keys WHERE id=?");
    s.Bind(1, id);
    if (s.Step())
        return ERROR_SUCCESS;
    return s.Error() != ERROR_SUCCESS ? s.Error() : ERROR_KEY_DELETED;
}

// Finds the child of `parent` by folded name; 0 when there is none.
LONG FindChild(sqlite3_int64 parent, const Bytes& fold, sqlite3_int64* child) {
    Stmt s(g_db, "SELECT id FROM keys WHERE parent=? AND fold=?");
    s.Bind(1, parent).Bind(2, fold);
    *child = s.Step() ? s.Int(0) : 0;
    return s.Error();
}

// Walks an existing subkey path down from `from`; ERROR_FILE_NOT_FOUND when
// any part of it is missing.
LONG FindPath(sqlite3_int64 from, const std::vector<std::pair<LPCWSTR, size_t>>& parts,
              sqlite3_int64* id) {
    *id = from;
    for (const auto& [p, n] : parts) {
        LONG e = FindChild(*id, FoldedName(p, n), id);
        if (e != ERROR_SUCCESS)
            return Fail(e);
        if (*id == 0)
            return ERROR_FILE_NOT_FOUND;
    }
    return ERROR_SUCCESS;
}

HKEY NewHandle(sqlite3_int64 id) {
    ULONG_PTR v = g_nextHandle;
    g_nextHandle += 4;
    g_handles[v] = id;
    return reinterpret_cast<HKEY>(v);
}

// Every call: lock, open the store, resolve the handle, check that its key
// still exists, all inside one transaction.
// Declared first in every call, so it is destroyed after the call's
// statements and transaction.
struct Call {
    std::unique_lock<std::mutex> lock{g_mutex};
    sqlite3_int64 key = 0;
    Txn txn;
    Call() = default;
    Call(const Call&) = delete;
    Call& operator=(const Call&) = delete;
    ~Call() {
        txn.Rollback();  // before the store may be closed below
        if (g_dropStore && g_db != nullptr) {
            sqlite3_close(g_db);
            g_db = nullptr;
        }
        g_dropStore = false;
    }
    LONG Begin(HKEY h) {
        LONG e = KeyIdOf(h, &key);
        if (e != ERROR_SUCCESS)
            return e;
        return OpenStoreLocked();
    }
    // Starts the call's transaction and checks that the handle's key still
    // exists (it may have been deleted through another handle or process).
    LONG Enter(bool write) {
        LONG e = txn.Begin(g_db, write);
        if (e == ERROR_SUCCESS)
            e = KeyExists(key);
        return e == ERROR_SUCCESS ? e : Fail(e);
    }
    LONG Commit() { return txn.Commit(); }
};

LONG ValueName(LPCWSTR name, Bytes* stored, Bytes* fold) {
    size_t n = name ? Length(name) : 0;
    if (n > WINCE_REG_MAX_VALUE_NAME)
        return ERROR_INVALID_PARAMETER;
    *stored = StoredName(name ? name : u"", n);
    *fold = FoldedName(name ? name : u"", n);
    return ERROR_SUCCESS;
}

// Copies a stored UTF-16LE name into a caller's buffer sized in code units.
LONG CopyName(const Bytes& stored, LPWSTR out, LPDWORD cch) {
    DWORD units = static_cast<DWORD>(stored.size() / 2);
    if (out == nullptr || cch == nullptr)
        return ERROR_INVALID_PARAMETER;
    if (*cch <= units) {
        *cch = units;
        return ERROR_MORE_DATA;
    }
    for (DWORD i = 0; i < units; ++i)
        out[i] = static_cast<WCHAR>(static_cast<unsigned char>(stored[2 * i]) |
                                    (static_cast<unsigned char>(stored[2 * i + 1]) << 8));
    out[units] = 0;
    *cch = units;
    return ERROR_SUCCESS;
}

// Hands back a value's data under the Win32 sizing rules.
LONG CopyData(const Bytes& data, LPBYTE out, LPDWORD cb) {
    if (cb == nullptr)
        return ERROR_SUCCESS;
    DWORD size = static_cast<DWORD>(data.size());
    if (out == nullptr) {
        *cb = size;
        return ERROR_SUCCESS;
    }
    if (*cb < size) {
        *cb = size;
        return ERROR_MORE_DATA;
    }
    if (size > 0)
        std::memcpy(out, data.data(), size);
    *cb = size;
    return ERROR_SUCCESS;
}

}  // namespace

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

void WinceRegistryCloseStore() {
    std::lock_guard<std::mutex> lock(g_mutex);
    g_handles.clear();
    if (g_db != nullptr)
        sqlite3_close(g_db);
    g_db = nullptr;
}

LONG RegOpenKeyExW(HKEY hKey, LPCWSTR lpSubKey, DWORD, REGSAM, PHKEY phkResult) {
    if (phkResult == nullptr)
        return ERROR_INVALID_PARAMETER;
    *phkResult = nullptr;
    Call c;
    LONG e = c.Begin(hKey);
    if (e != ERROR_SUCCESS)
        return e;
    std::vector<std::pair<LPCWSTR, size_t>> parts;
    if ((e = SplitPath(lpSubKey, &parts)) != ERROR_SUCCESS)
        return e;
    if ((e = c.Enter(false)) != ERROR_SUCCESS)
        return e;
    sqlite3_int64 id = 0;
    if ((e = FindPath(c.key, parts, &id)) != ERROR_SUCCESS)
        return e;
    *phkResult = NewHandle(id);
    return ERROR_SUCCESS;
}

LONG RegCreateKeyExW(HKEY hKey, LPCWSTR lpSubKey, DWORD, LPWSTR, DWORD, REGSAM,
                     LPSECURITY_ATTRIBUTES, PHKEY phkResult, LPDWORD lpdwDisposition) {
    if (phkResult == nullptr)
        return ERROR_INVALID_PARAMETER;
    *phkResult = nullptr;
    Call c;
    LONG e = c.Begin(hKey);
    if (e != ERROR_SUCCESS)
        return e;
    std::vector<std::pair<LPCWSTR, size_t>> parts;
    if ((e = SplitPath(lpSubKey, &parts)) != ERROR_SUCCESS)
        return e;
    if ((e = c.Enter(true)) != ERROR_SUCCESS)
        return e;
    sqlite3_int64 id = c.key;
    bool created = false;
    for (const auto& [p, n] : parts) {
        Bytes fold = FoldedName(p, n);
        sqlite3_int64 child = 0;
        if ((e = FindChild(id, fold, &child)) != ERROR_SUCCESS)
            return Fail(e);
        if (child == 0) {
            Stmt ins(g_db, "INSERT INTO keys(parent, name, fold) VALUES(?, ?, ?)");
            ins.Bind(1, id).Bind(2, StoredName(p, n)).Bind(3, fold);
            ins.Step();
            if ((e = ins.Error()) != ERROR_SUCCESS)
                return Fail(e);
            child = sqlite3_last_insert_rowid(g_db);
            created = true;
        }
        id = child;
    }
    if (created && (e = c.Commit()) != ERROR_SUCCESS)
        return Fail(e);
    *phkResult = NewHandle(id);
    if (lpdwDisposition != nullptr)
        *lpdwDisposition = created ? REG_CREATED_NEW_KEY : REG_OPENED_EXISTING_KEY;
    return ERROR_SUCCESS;
}

LONG RegCloseKey(HKEY hKey) {
    std::lock_guard<std::mutex> lock(g_mutex);
    sqlite3_int64 id = 0;
    LONG e = KeyIdOf(hKey, &id);
    if (e != ERROR_SUCCESS)
        return e;
    g_handles.erase(reinterpret_cast<ULONG_PTR>(hKey));
    return ERROR_SUCCESS;
}

LONG RegQueryValueExW(HKEY hKey, LPCWSTR lpValueName, LPDWORD lpReserved, LPDWORD lpType,
                      LPBYTE lpData, LPDWORD lpcbData) {
    if (lpReserved != nullptr || (lpData != nullptr && lpcbData == nullptr))
        return ERROR_INVALID_PARAMETER;
    Call c;
    LONG e = c.Begin(hKey);
    if (e != ERROR_SUCCESS)
        return e;
    Bytes name, fold;
    if ((e = ValueName(lpValueName, &name, &fold)) != ERROR_SUCCESS)
        return e;
    if ((e = c.Enter(false)) != ERROR_SUCCESS)
        return e;
    Stmt s(g_db, "SELECT type, data FROM vals WHERE key=? AND fold=?");
    s.Bind(1, c.key).Bind(2, fold);
    if (!s.Step())
        return s.Error() != ERROR_SUCCESS ? Fail(s.Error()) : ERROR_FILE_NOT_FOUND;
    if (lpType != nullptr)
        *lpType = static_cast<DWORD>(s.Int(0));
    return CopyData(s.Blob(1), lpData, lpcbData);
}

LONG RegSetValueExW(HKEY hKey, LPCWSTR lpValueName, DWORD, DWORD dwType, const BYTE* lpData,
                    DWORD cbData) {
    if (lpData == nullptr && cbData != 0)
        return ERROR_INVALID_PARAMETER;
    Call c;
    LONG e = c.Begin(hKey);
    if (e != ERROR_SUCCESS)
        return e;
    Bytes name, fold;
    if ((e = ValueName(lpValueName, &name, &fold)) != ERROR_SUCCESS)
        return e;
    if ((e = c.Enter(true)) != ERROR_SUCCESS)
        return e;
    // An existing value keeps its place in the enumeration and its name's case.
    Stmt s(g_db,
           "INSERT INTO vals(key, name, fold, type, data) VALUES(?, ?, ?, ?, ?)"
           " ON CONFLICT(key, fold) DO UPDATE SET type=excluded.type, data=excluded.data");
    s.Bind(1, c.key).Bind(2, name).Bind(3, fold).Bind(4, dwType).BindBlob(5, lpData, cbData);
    s.Step();
    if ((e = s.Error()) != ERROR_SUCCESS)
        return Fail(e);
    return Fail(c.Commit());
}

LONG RegDeleteValueW(HKEY hKey, LPCWSTR lpValueName) {
    Call c;
    LONG e = c.Begin(hKey);
    if (e != ERROR_SUCCESS)
        return e;
    Bytes name, fold;
    if ((e = ValueName(lpValueName, &name, &fold)) != ERROR_SUCCESS)
        return e;
    if ((e = c.Enter(true)) != ERROR_SUCCESS)
        return e;
    Stmt s(g_db, "DELETE FROM vals WHERE key=? AND fold=?");
    s.Bind(1, c.key).Bind(2, fold);
    s.Step();
    if ((e = s.Error()) != ERROR_SUCCESS)
        return Fail(e);
    if (sqlite3_changes(g_db) == 0)
        return ERROR_FILE_NOT_FOUND;
    return Fail(c.Commit());
}

LONG RegDeleteKeyW(HKEY hKey, LPCWSTR lpSubKey) {
    if (lpSubKey == nullptr)
        return ERROR_INVALID_PARAMETER;
    Call c;
    LONG e = c.Begin(hKey);
    if (e != ERROR_SUCCESS)
        return e;
    std::vector<std::pair<LPCWSTR, size_t>> parts;
    if ((e = SplitPath(lpSubKey, &parts)) != ERROR_SUCCESS)
        return e;
    if (parts.empty())
        return ERROR_INVALID_PARAMETER;
    if ((e = c.Enter(true)) != ERROR_SUCCESS)
        return e;
    sqlite3_int64 id = 0;
    if ((e = FindPath(c.key, parts, &id)) != ERROR_SUCCESS)
        return e;
    static const char* const kDeletes[] = {
        "WITH RECURSIVE sub(id) AS (SELECT ?1 UNION ALL"
        " SELECT k.id FROM keys k JOIN sub ON k.parent=sub.id)"
        " DELETE FROM vals WHERE key IN sub",
        "WITH RECURSIVE sub(id) AS (SELECT ?1 UNION ALL"
        " SELECT k.id FROM keys k JOIN sub ON k.parent=sub.id)"
        " DELETE FROM keys WHERE id IN sub",
    };
    for (const char* sql : kDeletes) {
        Stmt s(g_db, sql);
        s.Bind(1, id);
        s.Step();
        if ((e = s.Error()) != ERROR_SUCCESS)
            return Fail(e);
    }
    return Fail(c.Commit());
}

LONG RegEnumKeyExW(HKEY hKey, DWORD dwIndex, LPWSTR lpName, LPDWORD lpcchName, LPDWORD lpReserved,
                   LPWSTR lpClass, LPDWORD lpcchClass, PFILETIME) {
    if (lpReserved != nullptr || lpName == nullptr || lpcchName == nullptr)
        return ERROR_INVALID_PARAMETER;
    Call c;
    LONG e = c.Begin(hKey);
    if (e != ERROR_SUCCESS)
        return e;
    if ((e = c.Enter(false)) != ERROR_SUCCESS)
        return e;
    Stmt s(g_db, "SELECT name FROM keys WHERE parent=? ORDER BY fold LIMIT 1 OFFSET ?");
    s.Bind(1, c.key).Bind(2, dwIndex);
    if (!s.Step())
        return s.Error() != ERROR_SUCCESS ? Fail(s.Error()) : ERROR_NO_MORE_ITEMS;
    if ((e = CopyName(s.Blob(0), lpName, lpcchName)) != ERROR_SUCCESS)
        return e;
    // Keys have no class here.
    if (lpcchClass != nullptr) {
        if (lpClass != nullptr && *lpcchClass > 0)
            lpClass[0] = 0;
        *lpcchClass = 0;
    }
    return ERROR_SUCCESS;
}

LONG RegEnumValueW(HKEY hKey, DWORD dwIndex, LPWSTR lpValueName, LPDWORD lpcchValueName,
                   LPDWORD lpReserved, LPDWORD lpType, LPBYTE lpData, LPDWORD lpcbData) {
    if (lpReserved != nullptr || lpValueName == nullptr || lpcchValueName == nullptr ||
        (lpData != nullptr && lpcbData == nullptr))
        return ERROR_INVALID_PARAMETER;
    Call c;
    LONG e = c.Begin(hKey);
    if (e != ERROR_SUCCESS)
        return e;
    if ((e = c.Enter(false)) != ERROR_SUCCESS)
        return e;
    Stmt s(g_db, "SELECT name, type, data FROM vals WHERE key=? ORDER BY seq LIMIT 1 OFFSET ?");
    s.Bind(1, c.key).Bind(2, dwIndex);
    if (!s.Step())
        return s.Error() != ERROR_SUCCESS ? Fail(s.Error()) : ERROR_NO_MORE_ITEMS;
    if ((e = CopyName(s.Blob(0), lpValueName, lpcchValueName)) != ERROR_SUCCESS)
        return e;
    if (lpType != nullptr)
        *lpType = static_cast<DWORD>(s.Int(1));
    return CopyData(s.Blob(2), lpData, lpcbData);
}

LONG RegQueryInfoKeyW(HKEY hKey, LPWSTR lpClass, LPDWORD lpcchClass, LPDWORD lpReserved,
                      LPDWORD lpcSubKeys, LPDWORD lpcbMaxSubKeyLen, LPDWORD lpcbMaxClassLen,
                      LPDWORD lpcValues, LPDWORD lpcbMaxValueNameLen, LPDWORD lpcbMaxValueLen,
                      LPDWORD lpcbSecurityDescriptor, PFILETIME) {
    if (lpReserved != nullptr)
        return ERROR_INVALID_PARAMETER;
    Call c;
    LONG e = c.Begin(hKey);
    if (e != ERROR_SUCCESS)
        return e;
    if ((e = c.Enter(false)) != ERROR_SUCCESS)
        return e;
    Stmt k(g_db, "SELECT count(*), coalesce(max(length(name)), 0) / 2 FROM keys WHERE parent=?");
    k.Bind(1, c.key);
    if (!k.Step())
        return Fail(k.Error() != ERROR_SUCCESS ? k.Error() : ERROR_REGISTRY_CORRUPT);
    Stmt v(g_db,
           "SELECT count(*), coalesce(max(length(name)), 0) / 2, coalesce(max(length(data)), 0)"
           " FROM vals WHERE key=?");
    v.Bind(1, c.key);
    if (!v.Step())
        return Fail(v.Error() != ERROR_SUCCESS ? v.Error() : ERROR_REGISTRY_CORRUPT);
    if (lpcchClass != nullptr) {
        if (lpClass != nullptr && *lpcchClass > 0)
            lpClass[0] = 0;
        *lpcchClass = 0;
    }
    if (lpcSubKeys)
        *lpcSubKeys = static_cast<DWORD>(k.Int(0));
    if (lpcbMaxSubKeyLen)
        *lpcbMaxSubKeyLen = static_cast<DWORD>(k.Int(1));
    if (lpcbMaxClassLen)
        *lpcbMaxClassLen = 0;
    if (lpcValues)
        *lpcValues = static_cast<DWORD>(v.Int(0));
    if (lpcbMaxValueNameLen)
        *lpcbMaxValueNameLen = static_cast<DWORD>(v.Int(1));
    if (lpcbMaxValueLen)
        *lpcbMaxValueLen = static_cast<DWORD>(v.Int(2));
    if (lpcbSecurityDescriptor)
        *lpcbSecurityDescriptor = 0;
    return ERROR_SUCCESS;
}
