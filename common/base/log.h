// The diagnostic log: warning lines ("**W: ") when LogLevel >= 1, debug
// lines ("  D: ") when LogLevel >= 3. Composed lines go to the log sink, if
// one is installed; below the level nothing is composed. Before a line
// reaches any sink, its control characters (below U+0020, DEL, U+0080 to
// U+009F) become escapes ("\n", "\r", "\t", else "\x1b" and the like), so
// one call gives one line whatever the text it quotes.
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
// A warning for the paths where memory has run out: formatted as printf
// does into a buffer on the stack (cut at kLogTextBytes) and handed to the
// text sink without allocating. Without a text sink the line goes to the
// line sink, which needs memory.
void LogWarningText(const char* format, ...);
// Builds prefix + formatted text and hands the line to the sink.
void ComposeLogLine(const char* prefix, const char* format, va_list args);

// The sink receives each composed line (without a line end); null, the
// default, discards lines. May be called from any thread.
void SetLogSink(void (*sink)(const KString& line));

// The longest line LogWarningText composes, in bytes.
constexpr int kLogTextBytes = 255;
// The text sink receives LogWarningText's lines as NUL-terminated UTF-8
// (without a line end); it must not allocate. Null, the default, sends them
// to the line sink instead. May be called from any thread.
void SetLogTextSink(void (*sink)(const char* line));
