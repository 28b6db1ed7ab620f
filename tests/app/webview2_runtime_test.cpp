// How the program finds and loads the WebView2 runtime, against runtimes installed in wine's
// registry by the test: the channels' order, machine before user, the environment's overrides,
// and the installs it passes over.
#include <gtest/gtest.h>
#include <windows.h>

#include <filesystem>
#include <string>
#include <utility>
#include <vector>

#include "host/win32/webview2_loader.hpp"
#include "webview2_runtimes.hpp"

namespace velvix {
namespace {

using testing::RuntimeChannel;

constexpr const wchar_t* kOverrides[] = {
    L"WEBVIEW2_BROWSER_EXECUTABLE_FOLDER", L"WEBVIEW2_USER_DATA_FOLDER",
    L"WEBVIEW2_CHANNEL_SEARCH_KIND", L"WEBVIEW2_RELEASE_CHANNEL_PREFERENCE",
    L"WEBVIEW2_RELEASE_CHANNELS"};

class RuntimeSearch : public ::testing::Test {
  protected:
    void SetUp() override {
        if (!testing::runsUnderWine()) {
            GTEST_SKIP() << "changes the machine's WebView2 registry entries: under wine only";
        }
        testing::forgetInstalledRuntimes();
        for (const wchar_t* name : kOverrides) {
            cleared_.emplace_back(std::make_unique<testing::ScopedEnvironment>(name, std::nullopt));
        }
    }
    void TearDown() override { testing::forgetInstalledRuntimes(); }

    // A runtime's folder named after its version, with a client library unless `usable` is
    // false.
    std::filesystem::path runtimeFolder(const std::string& name, const std::string& version,
                                        bool usable = true) {
        const std::filesystem::path folder = folders_.path() / name / version;
        std::filesystem::create_directories(folder);
        if (usable) {
            testing::installClientLibrary(folder, VELVIX_WEBVIEW2_STAND_IN);
        }
        return folder;
    }

    testing::ScopedFolder folders_{"velvix-webview2-runtimes"};
    std::vector<std::unique_ptr<testing::ScopedEnvironment>> cleared_;
};

struct Install {
    HKEY hive;
    RuntimeChannel channel;
    std::string version;
    bool usable = true;
};

struct SearchCase {
    const char* what;
    std::vector<Install> installs;
    std::vector<std::pair<const wchar_t*, const wchar_t*>> environment;
    int chosen;  // the index of the install found, -1 for none
};

TEST_F(RuntimeSearch, IsFoundInTheChannelsOrderMachineBeforeUser) {
    const HKEY machine = HKEY_LOCAL_MACHINE;
    const HKEY user = HKEY_CURRENT_USER;
    const std::string version = "120.0.2210.91";
    const SearchCase cases[] = {
        {"nothing installed", {}, {}, -1},
        {"machine first",
         {{user, RuntimeChannel::runtime, version}, {machine, RuntimeChannel::runtime, version}},
         {},
         1},
        {"the runtime before Edge Beta",
         {{machine, RuntimeChannel::beta, version}, {user, RuntimeChannel::runtime, version}},
         {},
         1},
        {"least stable first",
         {{machine, RuntimeChannel::beta, version}, {user, RuntimeChannel::canary, version}},
         {{L"WEBVIEW2_CHANNEL_SEARCH_KIND", L"1"}},
         1},
        {"the channels listed",
         {{machine, RuntimeChannel::runtime, version},
          {machine, RuntimeChannel::beta, version},
          {machine, RuntimeChannel::dev, version}},
         {{L"WEBVIEW2_RELEASE_CHANNELS", L"2, 1"}},
         1},
        {"an entry pointing at no library is passed over",
         {{machine, RuntimeChannel::runtime, version, false},
          {user, RuntimeChannel::beta, version}},
         {},
         1},
        {"an install older than the first release is passed over",
         {{machine, RuntimeChannel::runtime, "85.0.564.70"}, {user, RuntimeChannel::dev, version}},
         {},
         1},
        {"a folder not named after a version is passed over",
         {{machine, RuntimeChannel::runtime, "current"}},
         {},
         -1},
    };
    for (const SearchCase& row : cases) {
        SCOPED_TRACE(row.what);
        testing::forgetInstalledRuntimes();
        std::vector<std::filesystem::path> folders;
        for (const Install& install : row.installs) {
            folders.push_back(runtimeFolder(std::string(row.what) + std::to_string(folders.size()),
                                            install.version, install.usable));
            testing::registerRuntime(install.hive, install.channel, folders.back());
        }
        std::vector<std::unique_ptr<testing::ScopedEnvironment>> environment;
        for (const auto& [name, value] : row.environment) {
            environment.emplace_back(std::make_unique<testing::ScopedEnvironment>(name, value));
        }
        const Result<WebView2Runtime> found = findWebView2Runtime();
        if (row.chosen < 0) {
            ASSERT_FALSE(found);
            continue;
        }
        ASSERT_TRUE(found) << found.error();
        EXPECT_EQ(found->folder, folders[static_cast<std::size_t>(row.chosen)].wstring());
        EXPECT_FALSE(found->named);
    }
}

// The client library is loaded by its full path; one without the runtime's entry point is
// refused, and the runtime's entry point is what the stand-in exports.
TEST_F(RuntimeSearch, LoadsItsLibraryByFullPathAndNeedsItsEntryPoint) {
    const std::filesystem::path stranger = runtimeFolder("stranger", "120.0.2210.91", false);
    testing::installClientLibrary(stranger, VELVIX_LOADED_MARKER);
    const auto refused = loadWebView2({stranger.wstring(), true});
    ASSERT_FALSE(refused);
    EXPECT_NE(refused.error().find(
                  "EmbeddedBrowserWebView.dll is no WebView2 runtime this program can use: it has "
                  "no CreateWebViewEnvironmentWithOptionsInternal"),
              std::string::npos)
        << refused.error();
    EXPECT_TRUE(std::filesystem::exists(stranger / "EBWebView" / "x64" /
                                        "EmbeddedBrowserWebView.dll.loaded"));

    const auto loaded = loadWebView2({runtimeFolder("stand-in", "120.0.2210.91").wstring(), false});
    EXPECT_TRUE(loaded) << loaded.error();
}

}  // namespace
}  // namespace velvix
