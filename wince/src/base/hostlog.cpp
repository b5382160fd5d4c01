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
bool WarningsShown() {
    const char* text = std::getenv("WINM_LOG_LEVEL");
    if (text == nullptr || *text == 0)
        return false;
    bool nonZero = false;
    for (const char* p = text; *p != 0; ++p) {
        if (*p < '0' || *p > '9')
            return false;
        nonZero = nonZero || *p != '0';
    }
    return nonZero;
}

}  // namespace

void HostWarning(const std::string& text) {
    std::string line = "**W: " + text + "\n";
    std::lock_guard<std::mutex> lock(g_mutex);
    if (!g_written.insert(text).second)
        return;
    if (g_testSink != nullptr)
        g_testSink(line.substr(0, line.size() - 1));
    if (WarningsShown()) {
        // One write per line keeps lines of different threads apart.
        ssize_t written = write(STDERR_FILENO, line.data(), line.size());
        (void)written;
    }
}

}  // namespace wince

void WinceSetHostWarningSinkForTesting(void (*sink)(const std::string& line)) {
    std::lock_guard<std::mutex> lock(wince::g_mutex);
    wince::g_testSink = sink;
    wince::g_written.clear();
}
