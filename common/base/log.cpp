#include "common/base/log.h"

#include <cstdio>

#include "common/base/internal/winmkstring/kstring.h"

std::atomic<int32_t> LogLevel{0};

namespace {
std::atomic<void (*)(const KString&)> g_sink{nullptr};
std::atomic<void (*)(const char*)> g_textSink{nullptr};
// Composing a line allocates; an allocation failure inside it warns again.
// One line at a time per thread keeps that from recursing.
thread_local bool t_composing = false;
}  // namespace

void SetLogSink(void (*sink)(const KString& line)) {
    g_sink.store(sink);
}

void SetLogTextSink(void (*sink)(const char* line)) {
    g_textSink.store(sink);
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

void LogWarningText(const char* format, ...) {
    if (LogLevel.load(std::memory_order_relaxed) < 1)
        return;
    char line[kLogTextBytes + 1];
    static const char kPrefix[] = "**W: ";
    std::snprintf(line, sizeof(line), "%s", kPrefix);
    va_list args;
    va_start(args, format);
    std::vsnprintf(line + sizeof(kPrefix) - 1, sizeof(line) - (sizeof(kPrefix) - 1), format, args);
    va_end(args);
    if (auto textSink = g_textSink.load()) {
        textSink(line);
        return;
    }
    // The line sink needs a KString, which may itself fail to allocate and
    // warn again.
    auto sink = g_sink.load();
    if (sink == nullptr || t_composing)
        return;
    t_composing = true;
    sink(KString(line));
    t_composing = false;
}
