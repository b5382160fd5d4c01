#include "updater/filelog.h"

#include <shlobj.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "common/base/growablearray.h"
#include "common/base/internal/winmkstring/kstring.h"
#include "common/base/log.h"

namespace {

constexpr int kPathUnits = MAX_PATH + 64;
// Another updater (a run by hand beside the task's) holds the file only for
// one line; a program that keeps it open costs each line this much.
constexpr int kOpenAttempts = 5;
constexpr DWORD kOpenRetryMs = 20;
// "2026-01-01T00:00:00Z " and the line end.
constexpr int kStampBytes = 21;
constexpr int kEndBytes = 2;

WCHAR g_path[kPathUnits];
SRWLOCK g_lock = SRWLOCK_INIT;
void (*g_next)(const KString&) = NULL;
void (*g_nextText)(const char*) = NULL;

// Write access for the size check and for taking back a short write; others
// may only read meanwhile, so no other writer can slip in between.
HANDLE OpenLogFile(const WCHAR* path) {
    for (int attempt = 0;; ++attempt) {
        HANDLE file =
            CreateFileW(path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, NULL, OPEN_ALWAYS,
                        FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, NULL);
        if (file != INVALID_HANDLE_VALUE || GetLastError() != ERROR_SHARING_VIOLATION ||
            attempt + 1 == kOpenAttempts) {
            return file;
        }
        Sleep(kOpenRetryMs);
    }
}

// The task writes as SYSTEM in a folder where users may create files: a link
// planted there (symbolic or hard) would have it write into another file.
bool IsPlainFile(HANDLE file) {
    BY_HANDLE_FILE_INFORMATION info;
    return GetFileInformationByHandle(file, &info) &&
           (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0 && info.nNumberOfLinks == 1;
}

HANDLE OpenPlainLogFile(const WCHAR* path) {
    HANDLE file = OpenLogFile(path);
    if (file != INVALID_HANDLE_VALUE && !IsPlainFile(file)) {
        CloseHandle(file);
        return INVALID_HANDLE_VALUE;
    }
    return file;
}

bool WriteAll(HANDLE file, const char* bytes, int count) {
    DWORD written = 0;
    return count == 0 || (WriteFile(file, bytes, static_cast<DWORD>(count), &written, NULL) &&
                          written == static_cast<DWORD>(count));
}

bool AppendAt(HANDLE file, LARGE_INTEGER end, const char* stamp, const char* text, int count) {
    if (!SetFilePointerEx(file, end, NULL, FILE_BEGIN)) {
        return false;
    }
    if (WriteAll(file, stamp, kStampBytes) && WriteAll(file, text, count) &&
        WriteAll(file, "\r\n", kEndBytes)) {
        return true;
    }
    // A full disk may take part of the line: the file ends where it did.
    SetFilePointerEx(file, end, NULL, FILE_BEGIN);
    SetEndOfFile(file);
    return false;
}

void WriteLine(const char* text, int count) {
    if (g_path[0] == 0) {
        return;
    }
    AcquireSRWLockExclusive(&g_lock);
    AppendLogFileLine(g_path, kLogFileBound, text, count);
    ReleaseSRWLockExclusive(&g_lock);
}

void WriteToFile(const KString& line) {
    {
        GrowableArray utf8(1);
        line.ToUtf8(utf8);
        WriteLine(utf8.As<char>(), utf8.count);
    }
    if (g_next != NULL) {
        g_next(line);
    }
}

// Lines written where memory has run out: no allocation.
void WriteTextToFile(const char* line) {
    WriteLine(line, static_cast<int>(strnlen(line, kLogTextBytes)));
    if (g_nextText != NULL) {
        g_nextText(line);
    }
}

// The file's path, or an empty path when ProgramData is unknown.
void FindLogFile() {
    g_path[0] = 0;
    PWSTR folder = NULL;
    if (SUCCEEDED(SHGetKnownFolderPath(FOLDERID_ProgramData, 0, NULL, &folder))) {
        static const WCHAR kName[] = L"\\Ambrel\\SearchPlugin Updater\\updater.log";
        size_t length = wcslen(folder);
        if (length + sizeof(kName) / sizeof(WCHAR) + 2 <= kPathUnits) {
            wcscpy(g_path, folder);
            wcscat(g_path, kName);
        }
    }
    CoTaskMemFree(folder);
}

}  // namespace

bool AppendLogFileLine(const WCHAR* path, int64_t bound, const char* text, int count) {
    // A line that could never fit is cut to the bound.
    if (count > bound - kStampBytes - kEndBytes) {
        count = static_cast<int>(bound - kStampBytes - kEndBytes);
        if (count < 0) {
            return false;
        }
    }
    SYSTEMTIME now;
    GetSystemTime(&now);
    char stamp[kStampBytes + 1];
    std::snprintf(stamp, sizeof(stamp), "%04u-%02u-%02uT%02u:%02u:%02uZ ", now.wYear % 10000u,
                  now.wMonth % 100u, now.wDay % 100u, now.wHour % 100u, now.wMinute % 100u,
                  now.wSecond % 100u);
    const int64_t lineBytes = kStampBytes + count + kEndBytes;

    HANDLE file = OpenPlainLogFile(path);
    if (file == INVALID_HANDLE_VALUE) {
        return false;
    }
    LARGE_INTEGER size;
    if (!GetFileSizeEx(file, &size)) {
        CloseHandle(file);
        return false;
    }
    if (size.QuadPart > 0 && size.QuadPart + lineBytes > bound) {
        CloseHandle(file);
        WCHAR older[kPathUnits + 2];
        size_t length = wcslen(path);
        if (length + 3 > sizeof(older) / sizeof(WCHAR)) {
            return false;
        }
        wcscpy(older, path);
        wcscat(older, L".1");
        if (!MoveFileExW(path, older, MOVEFILE_REPLACE_EXISTING)) {
            return false;
        }
        file = OpenPlainLogFile(path);
        if (file == INVALID_HANDLE_VALUE) {
            return false;
        }
        // Another updater may have begun the new file meanwhile.
        if (!GetFileSizeEx(file, &size) || size.QuadPart + lineBytes > bound) {
            CloseHandle(file);
            return false;
        }
    }
    bool written = AppendAt(file, size, stamp, text, count);
    CloseHandle(file);
    return written;
}

void InstallFileLog(void (*next)(const KString& line), void (*nextText)(const char* line)) {
    const char* level = std::getenv("WINM_LOG_LEVEL");
    if (level == NULL || *level == 0) {
        LogLevel = 1;
    }
    FindLogFile();
    g_next = next;
    g_nextText = nextText;
    SetLogSink(WriteToFile);
    SetLogTextSink(WriteTextToFile);
}
