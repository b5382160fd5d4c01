#include "common/base/log.h"

#include "common/base/internal/winmkstring/kstring.h"

std::atomic<int32_t> LogLevel{0};

namespace {
std::atomic<void (*)(const KString&)> g_sink{nullptr};
// Composing a line allocates; an allocation failure inside it warns again.
// One line at a time per thread keeps that from recursing.
thread_local bool t_composing = false;
}  // namespace

void SetLogSink(void (*sink)(const KString& line)) {
    g_sink.store(sink);
}

void ComposeLogLine(const char* prefix, const char* format, va_list args) {
    if (t_composing)
        return;
    t_composing = true;
    KString line;
    line.AppendUtf8(prefix);
    line.AppendFormatV(format, args);
    if (auto sink = g_sink.load())
        sink(line);
    t_composing = false;
}

void LogWarning(const char* format, ...) {
    if (LogLevel.load(std::memory_order_relaxed) < 1)
        return;
    va_list args;
    va_start(args, format);
    ComposeLogLine("**W: ", format, args);
    va_end(args);
}

void LogDebug(const char* format, ...) {
    if (LogLevel.load(std::memory_order_relaxed) < 3)
        return;
    va_list args;
    va_start(args, format);
    ComposeLogLine("  D: ", format, args);
    va_end(args);
}
