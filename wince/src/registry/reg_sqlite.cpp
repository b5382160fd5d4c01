#include "reg_sqlite.h"

namespace wince::reg {

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

LONG Exec(sqlite3* db, const char* sql) {
    return MapSqlite(sqlite3_exec(db, sql, nullptr, nullptr, nullptr));
}

}  // namespace wince::reg
