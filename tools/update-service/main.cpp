// The reference update service: answers the updater's distribution ping and
// update check on one HTTP endpoint, logs every request as one JSON line
// with what it decoded, and can be told to fail either exchange.
//
//   update-service [--listen HOST] [--port N] [--port-file FILE] [--log FILE]
//                  [--zel CODE] [--notification N] [--message TEXT] [--url TEXT]
//                  [--deadline MILLISECONDS] [--fail-zel MODE] [--fail-check MODE]
//                  [--fail-status CODE] [--delay-zel MS] [--delay-check MS]
//                  [--tls-cert FILE --tls-key FILE]
//                  [--sign-key FILE --sign-key-id N]... [--sign-fault none|nonce|body|twice|padded]
//   MODE: none, status (an HTTP error), close (the connection is closed after
//   the headers), version (an answer with envelope version 2), foreign-id (an
//   answer for another request id), html (status 200 with a web page, as a
//   captive portal answers), cut (the answer message loses its last byte
//   inside a sound envelope).
//   With --tls-cert and --tls-key the endpoint is served over HTTPS instead.
#include <httplib.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <utility>
#include <iterator>
#include <cstring>
#include <fstream>
#include <iostream>
#include <memory>
#include <mutex>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include "tools/update-service/answersigner.h"
#include "tools/update-service/servicecodec.h"

namespace {

constexpr char kEndpointPattern[] = "(?:https?://[^/]+)?/m/appreq/mobilesearchapp";

enum class FailMode { kNone, kStatus, kClose, kVersion, kForeignId, kHtml, kCut };

struct Options {
    std::string host = "127.0.0.1";
    int port = 8580;
    std::string portFile;
    std::string logFile;
    std::string zel = "zel-2026-ref";
    CheckAnswer check = {1, "A new version of the search plug-in is available.",
                         "http://127.0.0.1:8580/download/zpm.cab", "1893456000000"};
    FailMode failZel = FailMode::kNone;
    FailMode failCheck = FailMode::kNone;
    int failStatus = 503;
    int delayZelMilliseconds = 0;
    int delayCheckMilliseconds = 0;
    // HTTPS: the server's certificate chain and key, PEM files.
    std::string tlsCert;
    std::string tlsKey;
    // Signed answers: key files and ids, paired in order.
    std::vector<std::string> signKeys;
    std::vector<std::string> signKeyIds;
    SignFault signFault = SignFault::kNone;
};

void Usage() {
    std::fprintf(stderr,
                 "usage: update-service [--listen HOST] [--port N (0: any free port)]\n"
                 "         [--port-file FILE] [--log FILE (default: stdout)]\n"
                 "         [--zel CODE] [--notification N] [--message TEXT] [--url TEXT]\n"
                 "         [--deadline MILLISECONDS-SINCE-1970]\n"
                 "         [--fail-zel MODE] [--fail-check MODE] [--fail-status CODE]\n"
                 "         [--delay-zel MILLISECONDS] [--delay-check MILLISECONDS]\n"
                 "         [--tls-cert FILE --tls-key FILE (serve HTTPS)]\n"
                 "  MODE: none | status | close | version | foreign-id | html\n"
                 "        | cut (the answer message loses its last byte)\n"
                 "         [--sign-key PEM-PRIVATE-KEY --sign-key-id 1-255]...\n"
                 "         [--sign-fault none | nonce | body | twice | padded]\n");
}

bool ParseMode(const std::string& text, FailMode& mode) {
    if (text == "none")
        mode = FailMode::kNone;
    else if (text == "status")
        mode = FailMode::kStatus;
    else if (text == "close")
        mode = FailMode::kClose;
    else if (text == "version")
        mode = FailMode::kVersion;
    else if (text == "foreign-id")
        mode = FailMode::kForeignId;
    else if (text == "html")
        mode = FailMode::kHtml;
    else if (text == "cut")
        mode = FailMode::kCut;
    else
        return false;
    return true;
}

bool ParseNumber(const std::string& text, unsigned long max, unsigned long& value) {
    if (text.empty() || text.find_first_not_of("0123456789") != std::string::npos) {
        return false;
    }
    errno = 0;
    value = std::strtoul(text.c_str(), nullptr, 10);
    return errno == 0 && value <= max;
}

// The furthest deadline the updater can store: the last millisecond of the
// unsigned 32-bit seconds since 1970.
constexpr unsigned long long kLastDeadlineMillis = 0xFFFFFFFFull * 1000 + 999;

// Whole milliseconds in decimal digits, within what the updater can store:
// a sign, a fraction or an overlong number would only be read as no deadline.
bool IsDeadline(const std::string& text) {
    if (text.empty() || text.size() > 13 ||
        text.find_first_not_of("0123456789") != std::string::npos)
        return false;
    return std::stoull(text) <= kLastDeadlineMillis;
}

bool ParseOptions(int argc, char** argv, Options& options) {
    for (int i = 1; i < argc; ++i) {
        std::string name = argv[i];
        if (name == "--help" || name == "-h") {
            Usage();
            std::exit(0);
        }
        // Signed answers: each key file with its id; faults for the tests.
        if (name == "--sign-key" || name == "--sign-key-id" || name == "--sign-fault") {
            if (i + 1 >= argc) {
                std::fprintf(stderr, "update-service: %s needs a value\n", name.c_str());
                return false;
            }
            std::string value = argv[++i];
            if (name == "--sign-key") {
                options.signKeys.push_back(value);
            } else if (name == "--sign-key-id") {
                options.signKeyIds.push_back(value);
            } else {
                static const std::pair<const char*, SignFault> kFaults[] = {
                    {"none", SignFault::kNone},
                    {"nonce", SignFault::kNonce},
                    {"body", SignFault::kBody},
                    {"twice", SignFault::kTwice},
                    {"padded", SignFault::kPadded}};
                const auto* fault =
                    std::find_if(std::begin(kFaults), std::end(kFaults),
                                 [&](const auto& entry) { return value == entry.first; });
                if (fault == std::end(kFaults)) {
                    std::fprintf(stderr, "update-service: unknown sign fault %s\n", value.c_str());
                    return false;
                }
                options.signFault = fault->second;
            }
            continue;
        }
        static const char* const kKnown[] = {
            "--listen",    "--port",         "--port-file",  "--log",
            "--zel",       "--notification", "--message",    "--url",
            "--deadline",  "--fail-zel",     "--fail-check", "--fail-status",
            "--delay-zel", "--delay-check",  "--tls-cert",   "--tls-key"};
        if (std::find(std::begin(kKnown), std::end(kKnown), name) == std::end(kKnown)) {
            std::fprintf(stderr, "update-service: unknown option %s\n", name.c_str());
            Usage();
            return false;
        }
        if (i + 1 >= argc) {
            std::fprintf(stderr, "update-service: %s needs a value\n", name.c_str());
            return false;
        }
        std::string value = argv[++i];
        unsigned long number = 0;
        // HTTPS.
        if (name == "--tls-cert" || name == "--tls-key") {
            (name == "--tls-cert" ? options.tlsCert : options.tlsKey) = value;
            continue;
        }
        if (name == "--listen") {
            options.host = value;
        } else if (name == "--port") {
            if (!ParseNumber(value, 65535, number)) {
                std::fprintf(stderr, "update-service: bad port %s\n", value.c_str());
                return false;
            }
            options.port = static_cast<int>(number);
        } else if (name == "--port-file") {
            options.portFile = value;
        } else if (name == "--log") {
            options.logFile = value;
        } else if (name == "--zel") {
            options.zel = value;
        } else if (name == "--notification") {
            if (!ParseNumber(value, 0xFFFFFFFFul, number)) {
                std::fprintf(stderr, "update-service: bad notification %s\n", value.c_str());
                return false;
            }
            options.check.notification = static_cast<uint32_t>(number);
        } else if (name == "--message") {
            options.check.message = value;
        } else if (name == "--url") {
            options.check.url = value;
        } else if (name == "--deadline") {
            if (!IsDeadline(value)) {
                std::fprintf(stderr, "update-service: bad deadline %s\n", value.c_str());
                return false;
            }
            options.check.deadline = value;
        } else if (name == "--fail-zel" || name == "--fail-check") {
            FailMode& mode = name == "--fail-zel" ? options.failZel : options.failCheck;
            if (!ParseMode(value, mode)) {
                std::fprintf(stderr, "update-service: unknown mode %s\n", value.c_str());
                return false;
            }
        } else if (name == "--fail-status") {
            if (!ParseNumber(value, 599, number) || number < 400) {
                std::fprintf(stderr, "update-service: bad status %s (400-599)\n", value.c_str());
                return false;
            }
            options.failStatus = static_cast<int>(number);
        } else if (name == "--delay-zel" || name == "--delay-check") {
            if (!ParseNumber(value, 600000, number)) {
                std::fprintf(stderr, "update-service: bad delay %s\n", value.c_str());
                return false;
            }
            int& delay = name == "--delay-zel" ? options.delayZelMilliseconds
                                               : options.delayCheckMilliseconds;
            delay = static_cast<int>(number);
        } else {
            std::fprintf(stderr, "update-service: unknown option %s\n", name.c_str());
            Usage();
            return false;
        }
    }
    return true;
}

class RequestLog {
  public:
    explicit RequestLog(const std::string& path) {
        if (!path.empty()) {
            file_.open(path, std::ios::app);
            failed_ = !file_.is_open();
        }
    }
    bool ok() const { return !failed_ && (!file_.is_open() || file_.good()); }
    int Next() {
        std::lock_guard<std::mutex> lock(mutex_);
        return ++sequence_;
    }
    void Write(const std::string& line) {
        std::lock_guard<std::mutex> lock(mutex_);
        std::ostream& out = file_.is_open() ? static_cast<std::ostream&>(file_) : std::cout;
        out << line << std::endl;
    }

  private:
    std::mutex mutex_;
    std::ofstream file_;
    bool failed_ = false;
    int sequence_ = 0;
};

void Answer(const Options& options, const DecodedRequest& request, httplib::Response& response,
            std::string& reply) {
    bool isZel = request.requestType == kZelType;
    FailMode mode = isZel ? options.failZel : options.failCheck;
    Bytes message = isZel ? EncodeZelAnswer(options.zel) : EncodeCheckAnswer(options.check);
    // The envelope stays sound; the message ends inside its last field.
    if (mode == FailMode::kCut && !message.empty())
        message.pop_back();
    uint16_t version = mode == FailMode::kVersion ? 2 : 1;
    // Request ids are multiples of 8, so an odd id never matches.
    uint16_t id = mode == FailMode::kForeignId ? request.requestId ^ 1 : request.requestId;
    Bytes body = EncodeResponse(version, id, message);

    switch (mode) {
        case FailMode::kStatus:
            response.status = options.failStatus;
            response.set_content("service unavailable\n", "text/plain");
            reply = "status " + std::to_string(options.failStatus);
            return;
        case FailMode::kClose:
            // The status line and headers go out, then the connection is
            // closed before any byte of the promised body.
            response.set_content_provider(body.size(), "application/octet-stream",
                                          [](size_t, size_t, httplib::DataSink&) { return false; });
            reply = "close";
            return;
        case FailMode::kVersion:
            reply = "wrong-version";
            break;
        case FailMode::kForeignId:
            reply = "foreign-id";
            break;
        case FailMode::kCut:
            reply = "cut";
            break;
        case FailMode::kHtml:
            response.set_content("<html><body>Sign in to continue</body></html>\n", "text/html");
            reply = "html";
            return;
        case FailMode::kNone:
            reply = "answer";
            break;
    }
    response.set_content(std::string(body.begin(), body.end()), "application/octet-stream");
}

// With signing keys, a body answer gets its Winm-Signature; the log line
// gains the request's Winm-Key and the signature sent.
void SignAnswer(const AnswerSigner& signer, const httplib::Request& request,
                httplib::Response& response, std::string& line) {
    const std::string keyValue = request.get_header_value("Winm-Key");
    std::string signature;
    // An answer streamed by a content provider (the close mode) has no body
    // to sign.
    if (!signer.empty() && !response.content_provider_) {
        signature = signer.Sign(request.body, response.body, keyValue);
        if (!signature.empty() && signer.fault == SignFault::kPadded) {
            response.set_header("winm-signature", signature + " \t ");
        } else if (!signature.empty()) {
            response.set_header("Winm-Signature", signature);
            if (signer.fault == SignFault::kTwice)
                response.set_header("Winm-Signature", signature);
        }
    }
    if ((!signer.empty() || !keyValue.empty()) && !line.empty() && line.back() == '}') {
        line.pop_back();
        line += ",\"winm_key\":" + JsonQuote(keyValue.substr(0, 100)) +
                ",\"signature\":" + JsonQuote(signature) + "}";
    }
}

}  // namespace

// The server: HTTPS with the certificate and key, else plain HTTP.
bool MakeServer(const Options& options, std::unique_ptr<httplib::Server>& server) {
    if (options.tlsCert.empty() != options.tlsKey.empty()) {
        std::fprintf(stderr, "update-service: --tls-cert and --tls-key go together\n");
        return false;
    }
    if (options.tlsCert.empty()) {
        server = std::make_unique<httplib::Server>();
        return true;
    }
    auto secure =
        std::make_unique<httplib::SSLServer>(options.tlsCert.c_str(), options.tlsKey.c_str());
    if (!secure->is_valid()) {
        // The key file is never echoed, only named.
        std::fprintf(stderr, "update-service: cannot use the certificate %s with the key %s\n",
                     options.tlsCert.c_str(), options.tlsKey.c_str());
        return false;
    }
    server = std::move(secure);
    return true;
}

int main(int argc, char** argv) {
    Options options;
    if (!ParseOptions(argc, argv, options)) {
        return 2;
    }
    AnswerSigner signer;
    signer.fault = options.signFault;
    if (options.signKeys.size() != options.signKeyIds.size()) {
        std::fprintf(stderr, "update-service: every --sign-key needs its --sign-key-id\n");
        return 2;
    }
    for (size_t k = 0; k < options.signKeys.size(); ++k) {
        unsigned long id = 0;
        std::string error = "bad key id " + options.signKeyIds[k] + " (1-255)";
        if (!ParseNumber(options.signKeyIds[k], 255, id) || id == 0 ||
            !signer.AddKey(options.signKeys[k], static_cast<int>(id), error)) {
            std::fprintf(stderr, "update-service: %s\n", error.c_str());
            return 2;
        }
    }
    RequestLog log(options.logFile);
    if (!log.ok()) {
        std::fprintf(stderr, "update-service: cannot write %s: %s\n", options.logFile.c_str(),
                     std::strerror(errno));
        return 2;
    }
    // The port file is written whole under another name and renamed; both
    // must be possible before anything listens.
    std::string portTemporary = options.portFile + ".tmp";
    std::ofstream portOut;
    if (!options.portFile.empty()) {
        struct stat st;
        if (stat(options.portFile.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) {
            std::fprintf(stderr, "update-service: cannot write %s: Is a directory\n",
                         options.portFile.c_str());
            return 2;
        }
        portOut.open(portTemporary, std::ios::trunc);
        if (!portOut) {
            std::fprintf(stderr, "update-service: cannot write %s: %s\n", portTemporary.c_str(),
                         std::strerror(errno));
            return 2;
        }
    }

    // Signals are taken by one thread with sigwait, so stopping is not done
    // from inside a signal handler.
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);

    const std::regex endpoint(kEndpointPattern);
    std::unique_ptr<httplib::Server> serverHolder;
    if (!MakeServer(options, serverHolder))
        return 2;
    httplib::Server& server = *serverHolder;
    server.Post(
        kEndpointPattern, [&](const httplib::Request& request, httplib::Response& response) {
            Bytes body(request.body.begin(), request.body.end());
            DecodedRequest decoded = DecodeRequest(body);
            std::string reply;
            if (decoded.error.empty()) {
                Answer(options, decoded, response, reply);
            } else {
                response.status = 400;
                response.set_content("undecodable request: " + decoded.error + "\n", "text/plain");
                reply = "status 400";
            }
            std::string line =
                DescribeRequestJson(log.Next(), decoded, reply, request.get_header_value("Via"));
            SignAnswer(signer, request, response, line);
            // Logged on arrival, so a delayed answer is already visible.
            log.Write(line);
            int delay = decoded.requestType == kZelType     ? options.delayZelMilliseconds
                        : decoded.requestType == kCheckType ? options.delayCheckMilliseconds
                                                            : 0;
            if (delay > 0) {
                std::this_thread::sleep_for(std::chrono::milliseconds(delay));
            }
        });
    server.set_error_handler([&](const httplib::Request& request, httplib::Response& response) {
        // Called for every answer of status 400 and above; the endpoint's
        // own were logged already.
        if (!std::regex_match(request.path, endpoint)) {
            log.Write("{\"seq\":" + std::to_string(log.Next()) + ",\"method\":" +
                      JsonQuote(request.method) + ",\"path\":" + JsonQuote(request.path) +
                      ",\"reply\":" + JsonQuote("status " + std::to_string(response.status)) + "}");
        }
    });

    // Without SO_REUSEPORT (the library's default on Linux), so that a port
    // another service already listens on is refused instead of shared.
    server.set_socket_options([](int sock) {
        int yes = 1;
        setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    });
    int port = options.port;
    errno = 0;
    if (port == 0) {
        port = server.bind_to_any_port(options.host);
    } else if (!server.bind_to_port(options.host, port)) {
        port = -1;
    }
    if (port <= 0) {
        const int error = errno;
        std::fprintf(stderr, "update-service: cannot listen on %s:%d: %s\n", options.host.c_str(),
                     options.port,
                     error == EADDRINUSE ? "address in use"
                     : error != 0        ? std::strerror(error)
                                         : "the address cannot be used");
        if (portOut.is_open())
            std::remove(portTemporary.c_str());
        return 2;
    }
    if (portOut.is_open()) {
        // A reader never sees a partial number.
        portOut << port << "\n";
        portOut.close();
        if (!portOut || std::rename(portTemporary.c_str(), options.portFile.c_str()) != 0) {
            std::fprintf(stderr, "update-service: cannot write %s: %s\n", options.portFile.c_str(),
                         std::strerror(errno));
            std::remove(portTemporary.c_str());
            return 2;
        }
    }
    std::fprintf(stderr, "update-service: listening on %s:%d\n", options.host.c_str(), port);

    std::atomic<bool> stopping{false};
    std::atomic<bool> listenEnded{false};
    std::thread stopper([&] {
        int signal = 0;
        sigwait(&signals, &signal);
        stopping = true;
        // A stop() that comes before the accept loop runs is lost, so repeat
        // it until the loop has ended.
        while (!listenEnded) {
            server.stop();
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
    });
    bool listened = server.listen_after_bind();
    listenEnded = true;
    if (!stopping) {
        // The server ended on its own: wake the stopper so it can be joined.
        kill(getpid(), SIGTERM);
    }
    stopper.join();
    return listened || stopping ? 0 : 1;
}
