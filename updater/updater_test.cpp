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

#include <unistd.h>

#include "common/base/trackedalloc.h"
#include "common/base/winm/internal/winmlib.h"
#include "tools/update-service/servicecodec.h"
#include "updater/registrysettings.h"
#include "updater/winmframework.h"
#include "wince/testing/loader.h"

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
            response.set_content(std::string(body.begin(), body.end()), "application/octet-stream");
        });
        int port = server_.bind_to_any_port("127.0.0.1");
        ASSERT_GT(port, 0);
        thread_ = std::thread([this] { server_.listen_after_bind(); });
        setenv("WINM_CONNECT_TO", ("127.0.0.1:8580:127.0.0.1:" + std::to_string(port)).c_str(), 1);
    }

    void TearDown() override {
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
