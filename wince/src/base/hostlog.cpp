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

// Told once per distinct line; lines also go to the test sink.
void Write(const std::string& line, int level) {
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
