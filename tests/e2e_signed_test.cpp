// Signed answers, end to end: updater-signed carries the public half of
// WINM_ANSWER_PRIVATE_KEY under key id 7, and the reference service signs
// with the keys it is given.
#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "tests/e2eharness.h"

namespace e2e {
namespace {

using std::chrono::seconds;

#ifdef WINM_SIGNED_UPDATER_PATH
// A fresh P-256 private key, as a deployer makes one.
void MakeKey(const std::string& path) {
    ASSERT_EQ(std::system((std::string(WINM_OPENSSL_PATH) +
                           " ecparam -name prime256v1 -genkey -noout -out " + path)
                              .c_str()),
              0);
}

std::vector<std::string> Signing(const std::string& key, const std::string& id,
                                 const std::vector<std::string>& more = {}) {
    std::vector<std::string> options = kAnswers;
    options.insert(options.end(), {"--sign-key", key, "--sign-key-id", id});
    options.insert(options.end(), more.begin(), more.end());
    return options;
}

// The Winm-Key value the service logged for a request.
std::string LoggedKey(const std::string& line) {
    const std::string field = "\"winm_key\":\"";
    size_t at = line.find(field);
    if (at == std::string::npos)
        return "(none)";
    at += field.size();
    return line.substr(at, line.find('"', at) - at);
}

TEST(SignedAnswers, AGoodSignatureStoresBothAnswersWithAFreshNonceEveryRequest) {
    Sandbox sandbox;
    Service service(sandbox, Signing(WINM_ANSWER_PRIVATE_KEY, "7"));
    ExpectCleanRun(RunUpdater(sandbox, To(service), seconds(90), WINM_SIGNED_UPDATER_PATH));
    std::map<std::string, RegistryValue> values = sandbox.PluginValues();
    EXPECT_EQ(values.size(), 5u);
    EXPECT_EQ(values["zel"].data, "zel-first");
    EXPECT_EQ(values["response_message"].data, "Version 2 is out");

    ExpectCleanRun(RunUpdater(sandbox, To(service), seconds(90), WINM_SIGNED_UPDATER_PATH));
    std::vector<std::string> requests = service.Requests();
    ASSERT_EQ(requests.size(), 4u);
    std::set<std::string> nonces;
    for (const std::string& line : requests) {
        const std::string key = LoggedKey(line);
        EXPECT_EQ(key.size(), 34u) << line;
        EXPECT_EQ(key.rfind("7:", 0), 0u) << line;
        EXPECT_EQ(key.find_first_not_of("0123456789abcdef", 2), std::string::npos) << line;
        nonces.insert(key);
    }
    // Two requests of a run, and two runs: four different nonces.
    EXPECT_EQ(nonces.size(), 4u);
}

// Header names are case-blind and trailing blanks are no part of a value.
TEST(SignedAnswers, ASignatureUnderALowerCaseNameWithBlanksAfterItVerifies) {
    Sandbox sandbox;
    Service service(sandbox, Signing(WINM_ANSWER_PRIVATE_KEY, "7", {"--sign-fault", "padded"}));
    const RunResult run = RunUpdater(sandbox, To(service), seconds(90), WINM_SIGNED_UPDATER_PATH);
    ExpectCleanRun(run);
    EXPECT_EQ(run.errors.find("**W: "), std::string::npos) << run.errors;
    EXPECT_EQ(sandbox.PluginValues()["zel"].data, "zel-first");
}

// A service in the middle of a key rotation holds both keys and signs with
// the one each request names, whichever is listed first.
TEST(SignedAnswers, AServiceWithTwoKeysSignsWithTheOneTheRequestNames) {
    Sandbox sandbox;
    const std::string other = sandbox.Path("other.pem");
    ASSERT_NO_FATAL_FAILURE(MakeKey(other));
    Service service(
        sandbox,
        Signing(other, "3", {"--sign-key", WINM_ANSWER_PRIVATE_KEY, "--sign-key-id", "7"}));
    ExpectCleanRun(RunUpdater(sandbox, To(service), seconds(90), WINM_SIGNED_UPDATER_PATH));
    std::map<std::string, RegistryValue> values = sandbox.PluginValues();
    EXPECT_EQ(values["zel"].data, "zel-first");
    EXPECT_EQ(values["response_message"].data, "Version 2 is out");
}

TEST(SignedAnswers, AnAnswerNotSignedForItsOwnRequestChangesNothing) {
    Sandbox keys;
    const std::string other = keys.Path("other.pem");
    ASSERT_NO_FATAL_FAILURE(MakeKey(other));
    struct Case {
        const char* name;
        std::vector<std::string> options;
        std::string why;
    };
    const std::string key = WINM_ANSWER_PRIVATE_KEY;
    const Case cases[] = {
        {"no signature", kAnswers, "the answer's signature is missing"},
        {"another key", Signing(other, "7"), "the answer's signature does not verify"},
        {"another key id", Signing(key, "8"),
         "the answer's signature does not verify: made with key id 8, this build has key id 7"},
        {"replayed for another nonce", Signing(key, "7", {"--sign-fault", "nonce"}),
         "the answer's signature does not verify"},
        {"body changed after signing", Signing(key, "7", {"--sign-fault", "body"}),
         "the answer's signature does not verify"},
        {"two signature headers", Signing(key, "7", {"--sign-fault", "twice"}),
         "the answer's signature does not verify: malformed Winm-Signature"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Sandbox sandbox;
        sandbox.SetPluginText("zel", "old-code");
        sandbox.SetPluginText("response_message", "kept");
        Service service(sandbox, c.options);
        RunResult run = RunUpdater(sandbox, To(service), seconds(90), WINM_SIGNED_UPDATER_PATH);
        ExpectCleanRun(run);
        EXPECT_NE(run.errors.find("**W: distribution ping failed: " + c.why +
                                  "; the stored code stays\n"),
                  std::string::npos)
            << run.errors;
        EXPECT_NE(run.errors.find("**W: update check failed: " + c.why + "\n"), std::string::npos)
            << run.errors;
        EXPECT_EQ(service.Requests().size(), 2u);
        std::map<std::string, RegistryValue> values = sandbox.PluginValues();
        EXPECT_EQ(values.size(), 3u);
        EXPECT_EQ(values["zel"].data, "old-code");
        EXPECT_EQ(values["response_message"].data, "kept");
        EXPECT_EQ(Dword(values["last_update_check"]), 0u);
    }
}

TEST(SignedAnswers, ASignedErrorStatusStillFails) {
    Sandbox sandbox;
    sandbox.SetPluginText("response_message", "kept");
    Service service(sandbox, Signing(WINM_ANSWER_PRIVATE_KEY, "7", {"--fail-check", "status"}));
    RunResult run = RunUpdater(sandbox, To(service), seconds(90), WINM_SIGNED_UPDATER_PATH);
    ExpectCleanRun(run);
    EXPECT_NE(run.errors.find("**W: update check failed: HTTP status 503\n"), std::string::npos)
        << run.errors;
    EXPECT_NE(service.Requests().at(1).find("\"signature\":\"7:"), std::string::npos);
    std::map<std::string, RegistryValue> values = sandbox.PluginValues();
    EXPECT_EQ(values["zel"].data, "zel-first");  // the ping's answer was signed
    EXPECT_EQ(values["response_message"].data, "kept");
    EXPECT_EQ(Dword(values["last_update_check"]), 0u);
}

TEST(SignedAnswers, ABuildWithoutAKeyIgnoresASigningServiceAndSendsNoKey) {
    Sandbox sandbox;
    Service service(sandbox, Signing(WINM_ANSWER_PRIVATE_KEY, "7", {"--sign-fault", "nonce"}));
    ExpectCleanRun(RunUpdater(sandbox, To(service)));
    std::vector<std::string> requests = service.Requests();
    ASSERT_EQ(requests.size(), 2u);
    for (const std::string& line : requests) {
        EXPECT_EQ(LoggedKey(line), "") << line;
        EXPECT_NE(line.find("\"signature\":\"7:"), std::string::npos) << line;
    }
    std::map<std::string, RegistryValue> values = sandbox.PluginValues();
    EXPECT_EQ(values.size(), 5u);
    EXPECT_EQ(values["zel"].data, "zel-first");
}

// The build setting, configured in a project of its own: anything but a
// P-256 public key and an id from 1 to 255 stops configuring.
TEST(SignedAnswers, TheKeySettingRefusesAnythingButAP256PublicKeyAndAnId) {
    Sandbox sandbox;
    const std::string openssl = WINM_OPENSSL_PATH;
    auto run = [&](const std::string& command) {
        return std::system((command + " >" + sandbox.Path("cmd.out") + " 2>&1").c_str());
    };
    ASSERT_NO_FATAL_FAILURE(MakeKey(sandbox.Path("p256.pem")));
    ASSERT_EQ(run(openssl + " ec -in " + sandbox.Path("p256.pem") + " -pubout -out " +
                  sandbox.Path("p256.pub")),
              0);
    ASSERT_EQ(
        run(openssl + " ecparam -name secp384r1 -genkey -noout -out " + sandbox.Path("p384.pem")),
        0);
    ASSERT_EQ(run(openssl + " ec -in " + sandbox.Path("p384.pem") + " -pubout -out " +
                  sandbox.Path("p384.pub")),
              0);
    {
        std::ofstream project(sandbox.Path("CMakeLists.txt"));
        project << "cmake_minimum_required(VERSION 3.25)\nproject(key NONE)\n"
                << "include(" WINM_SOURCE_DIR "/cmake/AnswerKey.cmake)\n";
    }
    const std::pair<std::vector<std::string>, std::string> cases[] = {
        {{sandbox.Path("p256.pub"), "7"}, ""},
        {{sandbox.Path("p384.pub"), "7"}, "is not an ECDSA P-256 (prime256v1) public key"},
        {{sandbox.Path("p256.pem"), "7"}, "holds no readable PEM public key"},
        {{sandbox.Path("missing.pub"), "7"}, "cannot read"},
        {{sandbox.Path("p256.pub"), "0"}, "must be a number from 1 to 255"},
        {{sandbox.Path("p256.pub"), "256"}, "must be a number from 1 to 255"},
        {{sandbox.Path("p256.pub"), ""}, "are set together or not at all"},
    };
    for (const auto& [settings, refusal] : cases) {
        SCOPED_TRACE(settings[0] + " id " + settings[1]);
        std::string output;
        const int status = Configure(
            sandbox, {"WINM_ANSWER_KEY=" + settings[0], "WINM_ANSWER_KEY_ID=" + settings[1]},
            &output);
        if (refusal.empty()) {
            EXPECT_EQ(status, 0) << output;
            EXPECT_NE(output.find("Answer key id 7"), std::string::npos) << output;
        } else {
            EXPECT_NE(status, 0) << output;
            EXPECT_NE(output.find(refusal), std::string::npos) << output;
        }
    }
}
#endif

}  // namespace
}  // namespace e2e
