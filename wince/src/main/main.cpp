// Process entry: the host's main() answers --help and --version itself, as
// a Linux program is expected to, and otherwise starts the program's WinMain
// as Windows CE would, with the instance handle, an empty command line and
// SW_SHOW. The program takes no arguments, so any other argument is refused
// before anything runs: no registry is opened, no request is sent.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "wince/loader.h"
#include "wince/registry.h"
#include "wince/src/base/hostlog.h"
#include "wince/window.h"

#ifndef WINM_VERSION
#error "WINM_VERSION comes from the build (the project version)"
#endif
#ifndef WINM_SERVICE_URL
#error "WINM_SERVICE_URL comes from the build (the update service endpoint)"
#endif

namespace {

const char* ProgramName(const char* argv0) {
    if (argv0 == nullptr || *argv0 == '\0')
        return "winm-updater";
    const char* slash = std::strrchr(argv0, '/');
    return slash != nullptr ? slash + 1 : argv0;
}

#define WINM_STRINGIFY2(x) #x
#define WINM_STRINGIFY(x) WINM_STRINGIFY2(x)
#ifdef WINM_ANSWER_KEY_ID
const char kAnswerKey[] = "answer key id " WINM_STRINGIFY(WINM_ANSWER_KEY_ID);
#else
const char kAnswerKey[] = "no answer key built in";
#endif

// A run that could do nothing must say why, on stderr, without anything to
// set first: warnings are on unless WINM_LOG_LEVEL says otherwise (0 is
// silent). Set here, so that the program and the host layer agree.
void DefaultLogLevel() {
    const char* level = std::getenv("WINM_LOG_LEVEL");
    if (level == nullptr || *level == '\0')
        setenv("WINM_LOG_LEVEL", "1", 1);
}

void Usage(std::FILE* to, const char* name) {
    std::fprintf(to, "usage: %s [--help | --version]\n", name);
}

void Help(const char* name) {
    Usage(stdout, name);
    std::printf(
        "\n"
        "Reports this device's distribution code to the update service of the search\n"
        "plug-in, asks whether a newer plug-in is offered, stores both answers under\n"
        "HKLM\\SOFTWARE\\Ambrel\\SearchPlugin in the registry and exits with code 0.\n"
        "Without arguments it runs once; one run per registry file at a time (unless\n"
        "the registry's directory cannot hold the lock: see XDG_RUNTIME_DIR).\n"
        "\n"
        "Endpoint: %s (built in)\n"
        "\n"
        "Registry: $WINM_REGISTRY, else $XDG_STATE_HOME/winm/registry.sqlite3\n"
        "(~/.local/state/winm/registry.sqlite3); read it with winmreg.\n"
        "\n"
        "Environment:\n"
        "  WINM_REGISTRY              path of the registry file\n"
        "  XDG_STATE_HOME             base of the default registry path\n"
        "  WINM_LOG_LEVEL             0: silent, 1 (unset): warnings on stderr,\n"
        "                             3: also debug lines\n"
        "  http_proxy, HTTP_PROXY     HTTP proxy, http://[user:password@]host:port\n"
        "                             or host:port\n"
        "  no_proxy, NO_PROXY         hosts reached without the proxy: names,\n"
        "                             domain suffixes, addresses, networks, or *\n"
        "  WINM_CONNECT_TO            HOST:PORT:TO-HOST:TO-PORT[,...]: connect elsewhere\n"
        "  CURL_CA_BUNDLE, SSL_CERT_FILE  HTTPS: the CAs trusted instead of the\n"
        "  SSL_CERT_DIR               system's, a PEM bundle or a hashed directory\n"
        "  WINM_PLATFORM_TYPE         device platform type (SmartPhone)\n"
        "  WINM_OEM_INFO              OEM information (the machine's product name)\n"
        "  LC_ALL, LC_MESSAGES, LANG  user language\n"
        "  XDG_RUNTIME_DIR            the single-instance lock's place when the\n"
        "                             registry's directory cannot hold it\n"
        "\n"
        "Options:\n"
        "  --help     show this text and exit\n"
        "  --version  show the version, the endpoint and the answer key, and exit\n",
        WINM_SERVICE_URL);
}

}  // namespace

int main(int argc, char** argv) {
    const char* name = ProgramName(argc > 0 ? argv[0] : nullptr);
    if (argc == 2 && std::strcmp(argv[1], "--help") == 0) {
        Help(name);
        return 0;
    }
    if (argc == 2 && std::strcmp(argv[1], "--version") == 0) {
        std::printf("%s %s\nendpoint %s\n%s\n", name, WINM_VERSION, WINM_SERVICE_URL, kAnswerKey);
        return 0;
    }
    if (argc > 1) {
        const char* first = argv[1];
        if (std::strcmp(first, "--help") == 0 || std::strcmp(first, "--version") == 0)
            std::fprintf(stderr, "%s: unexpected argument '%s' after %s\n", name, argv[2], first);
        else if (first[0] == '-')
            std::fprintf(stderr, "%s: unknown option '%s'\n", name, first);
        else
            std::fprintf(stderr, "%s: unexpected argument '%s'\n", name, first);
        Usage(stderr, name);
        return 2;
    }
    DefaultLogLevel();
    const std::string registry = WinceRegistryStorePath();
    wince::HostDebug(std::string(name) + " " + WINM_VERSION + ": endpoint " + WINM_SERVICE_URL +
                     ", registry " + (registry.empty() ? "(no path can be formed)" : registry));
    WCHAR commandLine[] = {0};
    int code = WinMain(GetModuleHandleW(nullptr), nullptr, commandLine, SW_SHOW);
    // The last close folds the store's journal into its file, so that the
    // file alone holds everything once no program runs.
    WinceRegistryCloseStore();
    return code;
}
