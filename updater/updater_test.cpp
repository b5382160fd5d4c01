// WinMain run inside the test's own process against a loopback service, so
// that the tracked allocator and the allocation-failure paths can be seen.
#include "updater/updater.h"

#include <gtest/gtest.h>
#include <httplib.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>

#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <fcntl.h>
#include <spawn.h>
#include <chrono>
#include <fstream>
#include <iterator>
#include <vector>

#include "common/base/trackedalloc.h"
#include "common/base/winm/internal/winmlib.h"
#include "common/net/winm/internal/winmhttprequest.h"
#include "tools/update-service/servicecodec.h"
#include "updater/registrysettings.h"
#include "updater/winmframework.h"
#include "wince/testing/loader.h"
#include "wince/testing/net.h"

extern char** environ;

namespace {

class InProcessRunTest : public ::testing::Test {
  protected:
    void SetUp() override {
        dir_ = ::testing::TempDir() + "updater_test_" + std::to_string(getpid()) + "_" +
               ::testing::UnitTest::GetInstance()->current_test_info()->name();
        std::filesystem::remove_all(dir_);
        std::filesystem::create_directories(dir_ + "/run");
        setenv("WINM_REGISTRY", (dir_ + "/registry.sqlite3").c_str(), 1);
        setenv("XDG_RUNTIME_DIR", (dir_ + "/run").c_str(), 1);
        setenv("WINM_PLATFORM_TYPE", "SmartPhone", 1);
        setenv("WINM_OEM_INFO", "InProcess", 1);
        setenv("LANG", "en_US.UTF-8", 1);
        for (const char* name : {"LC_ALL", "LC_MESSAGES", "http_proxy", "HTTP_PROXY"}) {
            unsetenv(name);
        }
        WinceRegistryCloseStore();

        server_.Post("/m/appreq/mobilesearchapp", [this](const httplib::Request& request,
                                                         httplib::Response& response) {
            DecodedRequest decoded = DecodeRequest(Bytes(request.body.begin(), request.body.end()));
            ++requests_;
            Bytes message;
            if (decoded.requestType == kZelType) {
                message = EncodeZelAnswer("in-process-zel");
            } else {
                CheckAnswer answer;
                answer.notification = 5;
                answer.message = "m";
                answer.url = "u";
                answer.deadline = "1262304000000";
                message = EncodeCheckAnswer(answer);
            }
            Bytes body = EncodeResponse(1, decoded.requestId, message);
            if (decoded.requestType == dripType_.load()) {
                // One byte every 200 ms: far slower than the bound allows.
                auto text = std::make_shared<std::string>(body.begin(), body.end());
                response.set_content_provider(
                    text->size(), "application/octet-stream",
                    [text](size_t offset, size_t, httplib::DataSink& sink) {
                        std::this_thread::sleep_for(std::chrono::milliseconds(200));
                        return sink.write(text->data() + offset, 1);
                    });
                return;
            }
            response.set_content(std::string(body.begin(), body.end()), "application/octet-stream");
        });
        int port = server_.bind_to_any_port("127.0.0.1");
        ASSERT_GT(port, 0);
        thread_ = std::thread([this] { server_.listen_after_bind(); });
        // A stop() before the loop runs would be lost and the join would hang.
        auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
        while (!server_.is_running() && std::chrono::steady_clock::now() < deadline) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        ASSERT_TRUE(server_.is_running());
        setenv("WINM_CONNECT_TO", ("127.0.0.1:8580:127.0.0.1:" + std::to_string(port)).c_str(), 1);
    }

    void TearDown() override {
        WinmHttpRequest::SetTimeLimitForTesting(0);
        SetAllocatorFailureForTesting(false);
        SetAllocatorFailureCountdownForTesting(-1);
        WinceLoaderResetForTesting();
        server_.stop();
        thread_.join();
        WinceRegistryCloseStore();
        std::filesystem::remove_all(dir_);
    }

    static int Run() { return WinMain(GetModuleHandleW(NULL), NULL, nullptr, 0); }

    static bool UpdaterWindowExists() {
        return FindWindowW(TEXT("AmbrelZPMUpdater"), NULL) != NULL;
    }

    static bool ReadText(const RegistrySetting& setting, const char* expected) {
        KString value;
        return ReadSettingText(setting, value) && value.Equals(KString(expected));
    }

    static bool RegistryHasKey() {
        HKEY key = NULL;
        if (RegOpenKeyExW(kPluginKey.root, kPluginKey.path, 0, 0, &key) != ERROR_SUCCESS) {
            return false;
        }
        RegCloseKey(key);
        return true;
    }

    std::string dir_;
    httplib::Server server_;
    std::thread thread_;
    std::atomic<int> requests_{0};
    std::atomic<const char*> dripType_{""};  // the request type whose answer drips
};

TEST_F(InProcessRunTest, ARunEndsWithEveryTrackedBlockReleased) {
    int live = LiveBlockCount();
    EXPECT_EQ(Run(), 0);
    EXPECT_EQ(LiveBlockCount(), live);
    EXPECT_EQ(requests_, 2);
    EXPECT_EQ(g_framework, nullptr);
    EXPECT_EQ(g_winmLib, nullptr);
    EXPECT_FALSE(UpdaterWindowExists());
    EXPECT_TRUE(ReadText(kZelSetting, "in-process-zel"));
    EXPECT_TRUE(ReadText(kResponseMessageSetting, "m"));
    EXPECT_TRUE(ReadText(kResponseUrlSetting, "u"));

    // A second run in the same process starts afresh.
    EXPECT_EQ(Run(), 0);
    EXPECT_EQ(requests_, 4);
    EXPECT_EQ(LiveBlockCount(), live);
}

TEST_F(InProcessRunTest, ADrippingAnswerIsCutOffAtTheBoundAndTheRunGoesOn) {
    WinmHttpRequest::SetTimeLimitForTesting(1500);
    int live = LiveBlockCount();
    int handles = WinceInternetOpenHandles();

    // The ping's answer drips: no code is stored, the check still runs.
    dripType_ = kZelType;
    EXPECT_EQ(Run(), 0);
    EXPECT_EQ(requests_, 2);
    EXPECT_EQ(LiveBlockCount(), live);
    {
        KString zel;
        EXPECT_FALSE(ReadSettingText(kZelSetting, zel));
        EXPECT_TRUE(ReadText(kResponseMessageSetting, "m"));
    }
    EXPECT_EQ(WinceInternetOpenHandles(), handles);

    // The check's answer drips: the run ends with the failure mark.
    dripType_ = kCheckType;
    EXPECT_EQ(Run(), 0);
    EXPECT_EQ(requests_, 4);
    EXPECT_TRUE(ReadText(kZelSetting, "in-process-zel"));
    HKEY key = NULL;
    ASSERT_EQ(RegOpenKeyExW(kPluginKey.root, kPluginKey.path, 0, 0, &key), ERROR_SUCCESS);
    DWORD type = 0, value = 1, size = sizeof(value);
    EXPECT_EQ(RegQueryValueExW(key, TEXT("last_update_check"), NULL, &type,
                               reinterpret_cast<BYTE*>(&value), &size),
              ERROR_SUCCESS);
    EXPECT_EQ(value, 0u);
    RegCloseKey(key);
    EXPECT_EQ(LiveBlockCount(), live);
    EXPECT_EQ(WinceInternetOpenHandles(), handles);
}

TEST_F(InProcessRunTest, StoredValuesTooLongForARequestAreIgnored) {
    // Sent as stored, either would make its request unbuildable on every
    // run: the channel overflows the client block, the code (80,000 bytes
    // of UTF-8) its 16-bit length.
    std::string code;
    for (int i = 0; i < 40000; ++i) {
        code += "\xC3\xA9";
    }
    // Stored by another program: the settings writer refuses such values.
    const auto store = [](const RegistrySetting& setting, const KString& text) {
        return WriteRegistryValue(setting.key.root, setting.key.path, setting.name, REG_SZ,
                                  text.WideChars(), static_cast<DWORD>(text.Length() + 1) * 2);
    };
    ASSERT_TRUE(store(kDistributionChannelSetting, KString(std::string(65500, 'c').c_str())));
    ASSERT_TRUE(store(kZelSetting, KString(code.c_str())));
    EXPECT_EQ(Run(), 0);
    EXPECT_EQ(requests_, 2);
    EXPECT_TRUE(ReadText(kZelSetting, "in-process-zel"));
    KString mark;
    EXPECT_FALSE(ReadSettingText(kLastUpdateCheckSetting, mark));
}

TEST_F(InProcessRunTest, NoMemoryForThePlatformTableEndsStartUp) {
    int live = LiveBlockCount();
    SetAllocatorFailureForTesting(true);
    EXPECT_EQ(Run(), 0);
    SetAllocatorFailureForTesting(false);
    EXPECT_EQ(LiveBlockCount(), live);
    EXPECT_EQ(requests_, 0);
    EXPECT_EQ(g_winmLib, nullptr);
    EXPECT_FALSE(UpdaterWindowExists());
    EXPECT_FALSE(RegistryHasKey());
}

TEST_F(InProcessRunTest, NoMemoryForTheFrameworkEndsStartUpWithoutAWindow) {
    int live = LiveBlockCount();
    // The platform table is the first tracked block of a run, the framework
    // the second.
    SetAllocatorFailureCountdownForTesting(1);
    EXPECT_EQ(Run(), 0);
    SetAllocatorFailureCountdownForTesting(-1);
    EXPECT_EQ(LiveBlockCount(), live);
    EXPECT_EQ(requests_, 0);
    EXPECT_EQ(g_framework, nullptr);
    EXPECT_EQ(g_winmLib, nullptr);
    EXPECT_FALSE(UpdaterWindowExists());
    EXPECT_FALSE(RegistryHasKey());

    // Nothing is left that would refuse the next run.
    EXPECT_EQ(Run(), 0);
    EXPECT_EQ(requests_, 2);
}

TEST_F(InProcessRunTest, MissingInternetLibraryFailsBothExchangesAndStillEnds) {
    WinceLoaderHideModule(TEXT("wininet"), true);
    int live = LiveBlockCount();
    EXPECT_EQ(Run(), 0);
    EXPECT_EQ(LiveBlockCount(), live);
    EXPECT_EQ(requests_, 0);
    KString zel("none");
    EXPECT_FALSE(ReadSettingText(kZelSetting, zel));
    HKEY key = NULL;
    ASSERT_EQ(RegOpenKeyExW(kPluginKey.root, kPluginKey.path, 0, 0, &key), ERROR_SUCCESS);
    DWORD type = 0, value = 1, size = sizeof(value);
    EXPECT_EQ(RegQueryValueExW(key, TEXT("last_update_check"), NULL, &type,
                               reinterpret_cast<BYTE*>(&value), &size),
              ERROR_SUCCESS);
    RegCloseKey(key);
    EXPECT_EQ(value, 0u);
}

}  // namespace

namespace {

constexpr char kFailAfterVariable[] = "WINM_TEST_FAIL_AFTER";
constexpr int kEndedAfterFailure = 0;
constexpr int kFailureNotReached = 3;
constexpr int kUnclean = 4;

// The child side of the test below: one run in which the tracked allocator
// fails from the given allocation on.
TEST_F(InProcessRunTest, ChildRunWithFailingAllocation) {
    const char* failAfter = std::getenv(kFailAfterVariable);
    if (failAfter == nullptr) {
        GTEST_SKIP() << "started by EveryTrackedAllocationFailureEndsTheRun";
    }
    SetAllocatorFailureCountdownForTesting(std::atoi(failAfter));
    int code = Run();
    // Was the failure reached? Then allocations still fail now.
    void* probe = AllocTracked(8, "Probe", __FILE__, __LINE__);
    bool reached = probe == nullptr;
    FreeTracked(probe);
    SetAllocatorFailureCountdownForTesting(-1);
    bool clean =
        code == 0 && g_framework == nullptr && g_winmLib == nullptr && !UpdaterWindowExists();
    std::_Exit(!clean ? kUnclean : reached ? kEndedAfterFailure : kFailureNotReached);
}

// Every tracked allocation of a run fails in turn, each in a child process.
// A failure the string type cannot survive stops the process at once
// (abort, by the core library's rule); every other one must let the run end
// with exit code 0 and no window left, in bounded time.
TEST_F(InProcessRunTest, EveryTrackedAllocationFailureEndsTheRun) {
    int ended = 0;
    int aborted = 0;
    bool reachedTheEnd = false;
    std::string log = dir_ + "/child.log";
    for (int successes = 0; successes < 2000 && !reachedTheEnd; ++successes) {
        SCOPED_TRACE("allocation " + std::to_string(successes + 1) + " failing");
        std::string filter = "--gtest_filter=InProcessRunTest.ChildRunWithFailingAllocation";
        std::string variable = std::string(kFailAfterVariable) + "=" + std::to_string(successes);
        std::vector<char*> env;
        for (char** e = environ; *e != nullptr; ++e) {
            env.push_back(*e);
        }
        env.push_back(variable.data());
        env.push_back(nullptr);
        char self[] = "/proc/self/exe";
        char* argv[] = {self, filter.data(), nullptr};
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 1, log.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                         0644);
        posix_spawn_file_actions_adddup2(&actions, 1, 2);
        pid_t pid = -1;
        ASSERT_EQ(posix_spawn(&pid, self, &actions, nullptr, argv, env.data()), 0);
        posix_spawn_file_actions_destroy(&actions);

        auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
        int status = 0;
        while (waitpid(pid, &status, WNOHANG) == 0) {
            if (std::chrono::steady_clock::now() > deadline) {
                kill(pid, SIGKILL);
                waitpid(pid, &status, 0);
                FAIL() << "the run did not end";
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        if (WIFEXITED(status) && WEXITSTATUS(status) == kEndedAfterFailure) {
            ++ended;
        } else if (WIFEXITED(status) && WEXITSTATUS(status) == kFailureNotReached) {
            reachedTheEnd = true;
        } else if (WIFSIGNALED(status) && WTERMSIG(status) == SIGABRT) {
            ++aborted;
        } else {
            std::ifstream in(log);
            std::string text((std::istreambuf_iterator<char>(in)),
                             std::istreambuf_iterator<char>());
            FAIL() << "status " << status << "\n" << text;
        }
    }
    EXPECT_TRUE(reachedTheEnd);
    // At least the table, the framework, the event handler, the factory,
    // both requesters and their requests fail without stopping the run.
    EXPECT_GE(ended, 6);
    std::printf("allocation failures: %d ended the run, %d stopped the process\n", ended, aborted);
}

}  // namespace
