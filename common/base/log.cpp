#include "common/base/log.h"

#include <cstdio>
#include <cstring>

#include "common/base/internal/winmkstring/kstring.h"

std::atomic<int32_t> LogLevel{0};

namespace {
std::atomic<void (*)(const KString&)> g_sink{nullptr};
std::atomic<void (*)(const char*)> g_textSink{nullptr};
// Composing a line allocates; an allocation failure inside it warns again.
// One line at a time per thread keeps that from recursing.
thread_local bool t_composing = false;

// Control characters: C0, DEL and C1. Lines quote text from the service and
// the registry; raw, such a character could end a line early (and forge the
// next one) or drive the terminal or journal that shows the log.
bool IsControl(uint32_t c) {
    return c < 0x20 || c == 0x7F || (c >= 0x80 && c <= 0x9F);
}

// The escape of control character c, NUL-terminated, into out[6].
void EscapeOf(uint32_t c, char* out) {
    static const char kHex[] = "0123456789abcdef";
    if (c == '\n' || c == '\r' || c == '\t') {
        out[0] = '\\';
        out[1] = c == '\n' ? 'n' : c == '\r' ? 'r' : 't';
        out[2] = 0;
        return;
    }
    out[0] = '\\';
    out[1] = 'x';
    out[2] = kHex[(c >> 4) & 0xF];
    out[3] = kHex[c & 0xF];
    out[4] = 0;
}

// The line with every control character escaped; the line itself when it
// has none (the usual case costs no allocation).
KString EscapeControls(const KString& line) {
    const int n = line.Length();
    const WCHAR* chars = line.WideChars();
    int start = 0;
    KString out;
    for (int i = 0; i < n; ++i) {
        const uint32_t c = static_cast<uint16_t>(chars[i]);
        if (!IsControl(c))
            continue;
        if (i > start)
            out.Append(line.Substring(start, i));
        char escape[6];
        EscapeOf(c, escape);
        out.AppendUtf8(escape);
        start = i + 1;
    }
    if (start == 0)
        return line;
    if (start < n)
        out.Append(line.Substring(start, n));
    return out;
}

// The same for the UTF-8 lines of LogWarningText, into out (kLogTextBytes
// + 1 bytes), cut at a whole character or escape.
void EscapeControlsUtf8(const char* line, char* out) {
    int o = 0;
    for (const unsigned char* p = reinterpret_cast<const unsigned char*>(line); *p != 0;) {
        uint32_t c = *p;
        int length = 1;
        if (c == 0xC2 && p[1] >= 0x80 && p[1] <= 0x9F) {
            c = p[1];  // a C1 character: U+0080 to U+009F
            length = 2;
        }
        char escape[6];
        const char* piece = reinterpret_cast<const char*>(p);
        int pieceLength = length;
        if (IsControl(c)) {
            EscapeOf(c, escape);
            piece = escape;
            pieceLength = static_cast<int>(std::strlen(escape));
        }
        if (o + pieceLength > kLogTextBytes)
            break;
        std::memcpy(out + o, piece, static_cast<std::size_t>(pieceLength));
        o += pieceLength;
        p += length;
    }
    out[o] = 0;
}
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
    // Every sink gets one line, free of control characters.
    if (auto sink = g_sink.load())
        sink(EscapeControls(line));
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
    char escaped[kLogTextBytes + 1];
    EscapeControlsUtf8(line, escaped);
    if (auto textSink = g_textSink.load()) {
        textSink(escaped);
        return;
    }
    // The line sink needs a KString, which may itself fail to allocate and
    // warn again.
    auto sink = g_sink.load();
    if (sink == nullptr || t_composing)
        return;
    t_composing = true;
    sink(KString(escaped));
    t_composing = false;
}
