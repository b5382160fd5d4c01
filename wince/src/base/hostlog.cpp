#include "hostlog.h"

#include <unistd.h>

#include <cstdlib>
#include <mutex>
#include <set>

#include "wince/testing/hostlog.h"

namespace wince {
namespace {

std::mutex g_mutex;
std::set<std::string> g_written;
void (*g_testSink)(const std::string&) = nullptr;

// As the program reads WINM_LOG_LEVEL: decimal digits only, else 0.
int Level() {
    const char* text = std::getenv("WINM_LOG_LEVEL");
    if (text == nullptr)
        return 0;
    int level = 0;
    for (const char* p = text; *p != 0; ++p) {
        if (*p < '0' || *p > '9')
            return 0;
        if (level < 9)
            level = level * 10 + (*p - '0');
    }
    return level;
}

// Paths and variables from the environment may hold anything: control
// characters (C0, DEL and, in UTF-8, C1) become escapes, so that one call
// writes one line and nothing reaches the terminal or the journal raw.
std::string Escaped(const std::string& text) {
    static const char kHex[] = "0123456789abcdef";
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        unsigned code = c;
        if (c == 0xC2 && i + 1 < text.size() && static_cast<unsigned char>(text[i + 1]) >= 0x80 &&
            static_cast<unsigned char>(text[i + 1]) <= 0x9F) {
            code = static_cast<unsigned char>(text[++i]);
        } else if (c >= 0x20 && c != 0x7F) {
            out += text[i];
            continue;
        }
        if (code == '\n') {
            out += "\\n";
        } else if (code == '\r') {
            out += "\\r";
        } else if (code == '\t') {
            out += "\\t";
        } else {
            out += "\\x";
            out += kHex[code >> 4];
            out += kHex[code & 0xF];
        }
    }
    return out;
}

// Told once per distinct line; lines also go to the test sink.
void Write(const std::string& raw, int level) {
    const std::string line = Escaped(raw);
    std::lock_guard<std::mutex> lock(g_mutex);
    if (!g_written.insert(line).second)
        return;
    if (g_testSink != nullptr)
        g_testSink(line);
    if (Level() >= level) {
        // One write per line keeps lines of different threads apart.
        const std::string out = line + "\n";
        ssize_t written = write(STDERR_FILENO, out.data(), out.size());
        (void)written;
    }
}

}  // namespace

void HostWarning(const std::string& text) {
    Write("**W: " + text, 1);
}

void HostDebug(const std::string& text) {
    Write("  D: " + text, 3);
}

}  // namespace wince

void WinceSetHostWarningSinkForTesting(void (*sink)(const std::string& line)) {
    std::lock_guard<std::mutex> lock(wince::g_mutex);
    wince::g_testSink = sink;
    wince::g_written.clear();
}
