// The updater built for an HTTPS endpoint against the reference service over
// TLS, with a throwaway CA made for the test program: what a verified
// exchange stores, and that a certificate or a proxy that fails stores
// nothing but the failure mark.
#include <gtest/gtest.h>

#include <signal.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "tests/e2eharness.h"

namespace e2e {
namespace {

using std::chrono::milliseconds;
using std::chrono::seconds;

class EndToEndTls : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        std::string pattern =
            (std::filesystem::temp_directory_path() / "winm-e2e-ca-XXXXXX").string();
        ASSERT_NE(mkdtemp(pattern.data()), nullptr);
        caDir = pattern;
        std::string command =
            std::string("'") + WINM_MAKE_TEST_CA + "' '" + caDir + "/ca' >/dev/null 2>&1";
        ASSERT_EQ(std::system(command.c_str()), 0) << command;
    }
    static void TearDownTestSuite() {
        std::error_code ignored;
        std::filesystem::remove_all(caDir, ignored);
    }

    static std::string Ca(const std::string& name) { return caDir + "/ca/" + name; }

    void SetUp() override { Prepare(sandbox); }
    static void Prepare(Sandbox& box) {
        // Only the trust anchors a case names count.
        box.env().erase("CURL_CA_BUNDLE");
        box.env().erase("SSL_CERT_DIR");
        box.env()["SSL_CERT_FILE"] = Ca("ca.pem");
    }

    // The service over HTTPS with one of the test certificates.
    static std::vector<std::string> Tls(const std::string& certificate,
                                        std::vector<std::string> options = {}) {
        options.insert(options.end(), {"--tls-cert", Ca(certificate + ".pem"), "--tls-key",
                                       Ca(certificate + ".key"), "--zel", "zel-tls",
                                       "--notification", "4", "--message", "Over TLS"});
        return options;
    }

    static RunResult Run(Sandbox& box, const Environment& extra) {
        return RunUpdater(box, extra, seconds(90), WINM_UPDATER_HTTPS_PATH);
    }
    RunResult Run(const Environment& extra) { return Run(sandbox, extra); }
    static Environment To(const Service& service) {
        return {{"WINM_CONNECT_TO",
                 WINM_TEST_HTTPS_HOSTPORT ":127.0.0.1:" + std::to_string(service.port())}};
    }

    // A failed run left the stored code and the failure mark alone, and
    // names the code at level 1 for both exchanges.
    static void ExpectNothingStored(Sandbox& box, const RunResult& run,
                                    const std::string& failure) {
        EXPECT_EQ(run.exitCode, 0) << run.errors;
        std::map<std::string, RegistryValue> values = box.PluginValues();
        EXPECT_EQ(values.size(), 2u);
        EXPECT_EQ(values["zel"].data, "kept");
        ASSERT_EQ(values.count("last_update_check"), 1u);
        EXPECT_EQ(values["last_update_check"].type, "REG_DWORD");
        EXPECT_EQ(std::strtoul(values["last_update_check"].data.c_str(), nullptr, 16), 0u);
        EXPECT_NE(run.errors.find("distribution ping failed: " + failure), std::string::npos)
            << run.errors;
        EXPECT_NE(run.errors.find("update check failed: " + failure), std::string::npos)
            << run.errors;
    }

    static std::string caDir;
    Sandbox sandbox;
};

std::string EndToEndTls::caDir;

TEST_F(EndToEndTls, AVerifiedServiceIsAnsweredAndStored) {
    Service service(sandbox, Tls("good"));
    RunResult run = Run(To(service));
    EXPECT_EQ(run.exitCode, 0) << run.errors;
    EXPECT_EQ(service.Requests().size(), 2u);
    std::map<std::string, RegistryValue> values = sandbox.PluginValues();
    EXPECT_EQ(values["zel"].data, "zel-tls");
    EXPECT_EQ(values["response_message"].data, "Over TLS");
    EXPECT_EQ(values.count("last_update_check"), 0u);
}

TEST_F(EndToEndTls, ACertificateThatFailsStoresNothingAndNamesItsCode) {
    struct Case {
        const char* certificate;
        const char* trustAnchors;  // SSL_CERT_FILE
        const char* failure;
    };
    const Case cases[] = {
        {"untrusted", "ca.pem", "wininetHttpError [0 12045]"},
        {"selfsigned", "ca.pem", "wininetHttpError [0 12045]"},
        {"wrongname", "ca.pem", "wininetHttpError [0 12038]"},
        {"expired", "ca.pem", "wininetHttpError [0 12037]"},
        // Named but missing: never the system's anchors instead.
        {"good", "missing.pem", "wininetHttpError [0 12157]"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.certificate + std::string(" with ") + c.trustAnchors);
        Sandbox box;
        Prepare(box);
        box.SetPluginText("zel", "kept");
        Service service(box, Tls(c.certificate));
        RunResult run = Run(box, {{"WINM_CONNECT_TO", To(service).begin()->second},
                                  {"SSL_CERT_FILE", Ca(c.trustAnchors)}});
        ExpectNothingStored(box, run, c.failure);
        EXPECT_TRUE(service.Requests().empty());
        if (std::string(c.trustAnchors) == "missing.pem") {
            EXPECT_NE(run.errors.find("SSL_CERT_FILE names a certificate file that cannot be "
                                      "read (No such file or directory): " +
                                      Ca("missing.pem")),
                      std::string::npos)
                << run.errors;
        }
    }
}

// tinyproxy on a free port, without upstream: it opens tunnels itself.
Process StartTinyproxy(Sandbox& sandbox, int* port, std::string* log) {
    for (int attempt = 1; attempt <= 5; ++attempt) {
        std::string name = "tlsproxy" + std::to_string(attempt);
        *port = FreePort();
        *log = sandbox.Path(name + ".log");
        {
            std::ofstream config(sandbox.Path(name + ".conf"));
            config << "Port " << *port << "\nListen 127.0.0.1\nTimeout 60\nLogFile \"" << *log
                   << "\"\nLogLevel Info\nMaxClients 20\nAllow 127.0.0.1\n";
        }
        Process proxy({WINM_TINYPROXY_PATH, "-d", "-c", sandbox.Path(name + ".conf")},
                      sandbox.env(), sandbox.Path(name + ".out"), sandbox.Path(name + ".err"));
        auto deadline = std::chrono::steady_clock::now() + seconds(30);
        while (proxy.Running() && std::chrono::steady_clock::now() < deadline) {
            if (WaitForText(*log, "Accepting connections", milliseconds(100)))
                return proxy;
        }
    }
    ADD_FAILURE() << "tinyproxy did not start";
    return {};
}

TEST_F(EndToEndTls, TheExchangesTunnelThroughTheProxy) {
    // The proxy connects to the URL's own host and port, so the service
    // listens there.
    const std::string hostPort = WINM_TEST_HTTPS_HOSTPORT;
    Service service(sandbox, Tls("good", {"--port", hostPort.substr(hostPort.rfind(':') + 1)}));
    ASSERT_GT(service.port(), 0);
    int proxyPort = 0;
    std::string proxyLog;
    Process proxy = StartTinyproxy(sandbox, &proxyPort, &proxyLog);
    RunResult run = Run({{"http_proxy", "http://127.0.0.1:" + std::to_string(proxyPort)}});
    EXPECT_EQ(run.exitCode, 0) << run.errors;
    EXPECT_EQ(service.Requests().size(), 2u);
    EXPECT_EQ(sandbox.PluginValues()["zel"].data, "zel-tls");
    EXPECT_NE(ReadFile(proxyLog).find("CONNECT"), std::string::npos) << ReadFile(proxyLog);
    proxy.Signal(SIGTERM);
    proxy.Wait(seconds(30));
}

TEST_F(EndToEndTls, AProxyThatAnswersTheTunnelItselfIsNeverTakenForTheService) {
    sandbox.SetPluginText("zel", "kept");
    Process proxy({WINM_PYTHON3, WINM_HOSTILE_PROXY, "--status", "302", "--forge", "--port-file",
                   sandbox.Path("hostile.port"), "--log", sandbox.Path("hostile.log")},
                  sandbox.env(), sandbox.Path("hostile.out"), sandbox.Path("hostile.err"));
    ASSERT_TRUE(WaitForText(sandbox.Path("hostile.port"), "\n", seconds(30)))
        << ReadFile(sandbox.Path("hostile.err"));
    const std::string port = ReadFile(sandbox.Path("hostile.port"));
    RunResult run = Run({{"http_proxy", "http://127.0.0.1:" + port.substr(0, port.find('\n'))}});
    ExpectNothingStored(sandbox, run, "wininetHttpError [0 12033]");
    EXPECT_NE(ReadFile(sandbox.Path("hostile.log")).find("CONNECT " WINM_TEST_HTTPS_HOSTPORT),
              std::string::npos);
    proxy.Signal(SIGTERM);
    proxy.Wait(seconds(30));
}

// The endpoint settings: a scheme other than http or https stops configuring,
// https without a port means 443, and plain HTTP to another machine warns.
TEST(EndpointSettings, TheSchemeIsCheckedAndPlainHttpElsewhereWarns) {
    Sandbox sandbox;
    {
        std::ofstream project(sandbox.Path("CMakeLists.txt"));
        project << "cmake_minimum_required(VERSION 3.25)\nproject(endpoint NONE)\n"
                << "include(" WINM_SOURCE_DIR "/cmake/ServiceUrl.cmake)\n"
                << "message(STATUS \"endpoint ${WINM_SERVICE_ENDPOINT}\")\n";
    }
    struct Case {
        const char* scheme;
        const char* hostPort;
        bool configures;
        const char* says;
    };
    const Case cases[] = {
        {"https", "updates.example", true, "endpoint updates.example:443"},
        {"https", "updates.example", true, "https://updates.example/m/appreq/mobilesearchapp"},
        {"http", "127.0.0.1:8580", true, "endpoint 127.0.0.1:8580"},
        {"http", "updates.example:80", true, "is plain HTTP to a host that is not this machine"},
        {"ftp", "updates.example", false, "it must be http or https"},
        {"HTTPS", "updates.example", false, "it must be http or https"},
        {"https", "updates.example/x", false, "it must be host or host:port"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.scheme) + " " + c.hostPort);
        std::string output;
        const int status = Configure(sandbox,
                                     {std::string("WINM_SERVICE_SCHEME=") + c.scheme,
                                      std::string("WINM_SERVICE_HOSTPORT=") + c.hostPort},
                                     &output);
        EXPECT_EQ(status == 0, c.configures) << output;
        EXPECT_NE(output.find(c.says), std::string::npos) << output;
        if (c.configures && std::string(c.hostPort).rfind("127.", 0) == 0) {
            EXPECT_EQ(output.find("plain HTTP"), std::string::npos) << output;
        }
    }
}

}  // namespace
}  // namespace e2e
