#include "updater/applog.h"

#include <cstdio>
#include <cstdlib>

#include "common/base/growablearray.h"
#include "common/base/internal/winmkstring/kstring.h"
#include "common/base/log.h"
#if defined(_WIN32) && !defined(_WIN32_WCE)
#include "updater/filelog.h"
#endif

namespace {

constexpr int kMaxLogLevel = 9;

// Each line goes out in one write, so that lines of the worker and window
// threads never mix. The formatter ends inner lines with CR LF; a terminal
// wants LF.
void WriteLine(char* bytes, int count) {
    int kept = 0;
    for (int i = 0; i < count; ++i) {
        if (bytes[i] != '\r') {
            bytes[kept++] = bytes[i];
        }
    }
    std::fwrite(bytes, 1, static_cast<std::size_t>(kept), stderr);
    std::fflush(stderr);
}

void WriteToStderr(const KString& line) {
    GrowableArray utf8(1);
    line.ToUtf8(utf8);
    utf8.InsertAt(utf8.End(), 1, "\n");
    WriteLine(utf8.As<char>(), utf8.count);
}

// Lines written where memory has run out: no allocation here either.
void WriteTextToStderr(const char* line) {
    char buffer[kLogTextBytes + 1];
    int n = 0;
    while (n < kLogTextBytes && line[n] != 0) {
        buffer[n] = line[n];
        ++n;
    }
    buffer[n++] = '\n';
    WriteLine(buffer, n);
}

}  // namespace

int ParseLogLevel(const char* text) {
    if (text == NULL || *text == 0) {
        return 0;
    }
    int level = 0;
    for (const char* p = text; *p != 0; ++p) {
        if (*p < '0' || *p > '9') {
            return 0;
        }
        if (level < kMaxLogLevel) {
            level = level * 10 + (*p - '0');
        }
    }
    return level > kMaxLogLevel ? kMaxLogLevel : level;
}

void InstallLogFromEnvironment() {
    LogLevel = ParseLogLevel(std::getenv("WINM_LOG_LEVEL"));
    SetLogSink(WriteToStderr);
    SetLogTextSink(WriteTextToStderr);
#if defined(_WIN32) && !defined(_WIN32_WCE)
    InstallFileLog(WriteToStderr, WriteTextToStderr);
#endif
}

void RemoveLog() {
    SetLogSink(NULL);
    SetLogTextSink(NULL);
}
