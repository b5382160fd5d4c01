#include "updater/applog.h"

#include <cstdio>
#include <cstdlib>

#include "common/base/growablearray.h"
#include "common/base/internal/winmkstring/kstring.h"
#include "common/base/log.h"

namespace {

constexpr int kMaxLogLevel = 9;

void WriteToStderr(const KString& line) {
    GrowableArray utf8(1);
    line.ToUtf8(utf8);
    // The formatter ends inner lines with CR LF; a terminal wants LF.
    const char* bytes = static_cast<const char*>(utf8.data);
    for (int i = 0; i < utf8.count; ++i) {
        if (bytes[i] != '\r') {
            std::fputc(bytes[i], stderr);
        }
    }
    std::fputc('\n', stderr);
    std::fflush(stderr);
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
}

void RemoveLog() {
    SetLogSink(NULL);
}
