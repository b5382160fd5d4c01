// The diagnostic log: warning lines ("**W: ") when LogLevel >= 1, debug
// lines ("  D: ") when LogLevel >= 3. Composed lines go to the log sink, if
// one is installed; below the level nothing is composed.
#pragma once

#include <atomic>
#include <cstdarg>
#include <cstdint>

class KString;

// 0 at start; nothing in the system changes it. Safe to read anywhere.
extern std::atomic<int32_t> LogLevel;

// Format as KString::Format.
void LogWarning(const char* format, ...);
void LogDebug(const char* format, ...);
// Builds prefix + formatted text and hands the line to the sink.
void ComposeLogLine(const char* prefix, const char* format, va_list args);

// The sink receives each composed line (without a line end); null, the
// default, discards lines. May be called from any thread.
void SetLogSink(void (*sink)(const KString& line));
