// The Windows program with its window, and how it finds the WebView2 runtime, under wine only:
// the tests install runtimes in wine's registry. The window's runtime is a stand-in that
// writes down every call the program makes and lets the test raise its events.
#include <gtest/gtest.h>
#include <windows.h>

#include <algorithm>
#include <array>
#include <filesystem>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "host/win32/webview2_loader.hpp"
#include "process.hpp"
#include "test_support.hpp"
#include "velvix/pipeline/frame_ring.hpp"

namespace velvix {
namespace {

constexpr char kService[] = "https://app.velvix.example";
constexpr char kRecord[] = "webview2: ";

// Makes `folder` a runtime's folder whose client library for x64 is `library`.
void installClientLibrary(const std::filesystem::path& folder,
                          const std::filesystem::path& library) {
    std::filesystem::create_directories(folder / "EBWebView" / "x64");
    std::filesystem::copy_file(library, folder / "EBWebView" / "x64" / "EmbeddedBrowserWebView.dll",
                               std::filesystem::copy_options::overwrite_existing);
}

// Channels as the runtime's loader numbers them, and the update client's identifiers of them.
enum class Channel { runtime, beta, dev, canary };
constexpr std::array<const wchar_t*, 4> kChannelIds{
    L"{F3017226-FE2A-4295-8BDF-00C3A9A7E4C5}", L"{2CD8A007-E189-409D-A2C8-9AF4EF3C72AA}",
    L"{0D50BFEC-CD6A-4F9A-964C-C7416E3ACB10}", L"{65C35B14-6C1D-4122-AC46-7148CC9D6497}"};

std::wstring clientStateKey(const wchar_t* channelId) {
    return std::wstring(L"Software\\Microsoft\\EdgeUpdate\\ClientState\\") + channelId;
}

// Records `folder` as the installed runtime of a channel, per machine (HKLM) or per user
// (HKCU), in the registry view the update client writes.
void registerRuntime(HKEY hive, Channel channel, const std::filesystem::path& folder) {
    HKEY key = nullptr;
    ASSERT_EQ(
        RegCreateKeyExW(hive, clientStateKey(kChannelIds[static_cast<int>(channel)]).c_str(), 0,
                        nullptr, 0, KEY_SET_VALUE | KEY_WOW64_32KEY, nullptr, &key, nullptr),
        ERROR_SUCCESS);
    const std::wstring value = folder.wstring();
    RegSetValueExW(key, L"EBWebView", 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                   static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t)));
    RegCloseKey(key);
}

// What the runtime's loader and the stand-in read from the environment.
constexpr const wchar_t* kEnvironment[] = {
    L"WEBVIEW2_BROWSER_EXECUTABLE_FOLDER", L"WEBVIEW2_USER_DATA_FOLDER",
    L"WEBVIEW2_CHANNEL_SEARCH_KIND",       L"WEBVIEW2_RELEASE_CHANNEL_PREFERENCE",
    L"WEBVIEW2_RELEASE_CHANNELS",          L"VELVIX_WEBVIEW2_STAND_IN_FAILS"};

// No runtime installed and none named by the environment, before and after each test; a
// folder of the test's own.
class UnderWine : public ::testing::Test {
  protected:
    void SetUp() override {
        const HMODULE system = GetModuleHandleW(L"ntdll.dll");
        if (system == nullptr || GetProcAddress(system, "wine_get_version") == nullptr) {
            GTEST_SKIP() << "changes the machine's WebView2 registry entries: under wine only";
        }
        forgetRuntimes();
        std::filesystem::create_directories(folder_);
    }
    void TearDown() override {
        forgetRuntimes();
        std::error_code ignored;
        std::filesystem::remove_all(folder_, ignored);
    }

    static void forgetRuntimes() {
        for (const HKEY hive : {HKEY_LOCAL_MACHINE, HKEY_CURRENT_USER}) {
            for (const wchar_t* channelId : kChannelIds) {
                RegDeleteKeyExW(hive, clientStateKey(channelId).c_str(), KEY_WOW64_32KEY, 0);
            }
        }
        for (const wchar_t* name : kEnvironment) {
            SetEnvironmentVariableW(name, nullptr);
        }
    }

    const std::filesystem::path folder_ = testing::temporaryPath("velvix-webview2");
};

class RuntimeSearch : public UnderWine {
  protected:
    // A runtime's folder named after its version, with a client library unless `usable` is
    // false.
    std::filesystem::path runtimeFolder(const std::string& name, const std::string& version,
                                        bool usable = true) {
        const std::filesystem::path folder = folder_ / name / version;
        std::filesystem::create_directories(folder);
        if (usable) {
            installClientLibrary(folder, VELVIX_WEBVIEW2_STAND_IN);
        }
        return folder;
    }
};

struct Install {
    HKEY hive;
    Channel channel;
    std::string version;
    bool usable = true;
};

// The channels' order, machine before user, the environment's overrides, and the installs the
// loader passes over.
TEST_F(RuntimeSearch, IsFoundInTheChannelsOrderMachineBeforeUser) {
    const HKEY machine = HKEY_LOCAL_MACHINE;
    const HKEY user = HKEY_CURRENT_USER;
    const std::string version = "120.0.2210.91";
    using enum Channel;
    const struct {
        const char* what;
        std::vector<Install> installs;
        int chosen;  // the index of the install found, -1 for none
        const wchar_t* variable = nullptr;
        const wchar_t* value = nullptr;
    } cases[] = {
        {"nothing installed", {}, -1},
        {"machine first", {{user, runtime, version}, {machine, runtime, version}}, 1},
        {"the runtime before Edge Beta", {{machine, beta, version}, {user, runtime, version}}, 1},
        {"least stable first",
         {{machine, beta, version}, {user, canary, version}},
         1,
         L"WEBVIEW2_CHANNEL_SEARCH_KIND",
         L"1"},
        {"the channels listed",
         {{machine, runtime, version}, {machine, beta, version}, {machine, dev, version}},
         1,
         L"WEBVIEW2_RELEASE_CHANNELS",
         L"2, 1"},
        {"an entry pointing at no library is passed over",
         {{machine, runtime, version, false}, {user, beta, version}},
         1},
        {"an install older than the first release is passed over",
         {{machine, runtime, "85.0.564.70"}, {user, dev, version}},
         1},
        {"a folder not named after a version is passed over", {{machine, runtime, "current"}}, -1},
    };
    for (const auto& row : cases) {
        SCOPED_TRACE(row.what);
        forgetRuntimes();
        std::vector<std::filesystem::path> folders;
        for (const Install& install : row.installs) {
            folders.push_back(runtimeFolder(row.what + std::to_string(folders.size()),
                                            install.version, install.usable));
            registerRuntime(install.hive, install.channel, folders.back());
        }
        if (row.variable != nullptr) {
            SetEnvironmentVariableW(row.variable, row.value);
        }
        const Result<WebView2Runtime> found = findWebView2Runtime();
        ASSERT_EQ(found.ok(), row.chosen >= 0) << found.error();
        if (found) {
            EXPECT_EQ(found->folder, folders[static_cast<std::size_t>(row.chosen)].wstring());
            EXPECT_FALSE(found->named);
        }
    }
}

// The client library is loaded by its full path; one without the runtime's entry point is
// refused, and the runtime's entry point is what the stand-in exports.
TEST_F(RuntimeSearch, LoadsItsLibraryByFullPathAndNeedsItsEntryPoint) {
    const std::filesystem::path stranger = runtimeFolder("stranger", "120.0.2210.91", false);
    installClientLibrary(stranger, VELVIX_LOADED_MARKER);
    const auto refused = loadWebView2({stranger.wstring(), true});
    ASSERT_FALSE(refused);
    EXPECT_NE(refused.error().find("no CreateWebViewEnvironmentWithOptionsInternal"),
              std::string::npos)
        << refused.error();
    EXPECT_TRUE(std::filesystem::exists(stranger / "EBWebView" / "x64" /
                                        "EmbeddedBrowserWebView.dll.loaded"));

    const auto loaded = loadWebView2({runtimeFolder("stand-in", "120.0.2210.91").wstring(), false});
    EXPECT_TRUE(loaded) << loaded.error();
}

// The program is the one a user runs: the stand-in is found through the runtime loader's own
// override.
class Win32Window : public UnderWine {
  protected:
    void SetUp() override {
        UnderWine::SetUp();
        installClientLibrary(runtime_, VELVIX_WEBVIEW2_STAND_IN);
    }
    void TearDown() override {
        velvix_.reset();  // before its runtime's folder goes
        UnderWine::TearDown();
    }

    void start(const std::wstring& runtimeFolder) {
        SetEnvironmentVariableW(L"WEBVIEW2_BROWSER_EXECUTABLE_FOLDER",
                                runtimeFolder.empty() ? nullptr : runtimeFolder.c_str());
        velvix_.emplace(std::vector<std::string>{app_, "--file-camera", photo_, "--ring",
                                                 ring_.get(), "--service-origin", kService},
                        log_, true);
    }

    std::string log() const { return testing::readFile(log_); }

    // The stand-in's records, in the order of the calls.
    std::vector<std::string> records() const {
        std::vector<std::string> lines;
        std::istringstream text(log());
        for (std::string line; std::getline(text, line);) {
            if (line.starts_with(kRecord)) {
                lines.push_back(line.substr(sizeof kRecord - 1));
            }
        }
        return lines;
    }
    bool recorded(const std::string& line) const {
        return log().find(kRecord + line + "\n") != std::string::npos;
    }

    // Raises one of the runtime's events in the program; it has been handled on return.
    void raise(const std::string& command) {
        const HWND standIn =
            FindWindowExW(HWND_MESSAGE, nullptr, L"VelvixWebView2StandIn", nullptr);
        ASSERT_NE(standIn, nullptr);
        const std::wstring text(command.begin(), command.end());
        COPYDATASTRUCT data{0, static_cast<DWORD>(text.size() * sizeof(wchar_t)),
                            const_cast<wchar_t*>(text.data())};
        ASSERT_EQ(SendMessageW(standIn, WM_COPYDATA, 0, reinterpret_cast<LPARAM>(&data)), 1);
    }

    HWND window() const { return FindWindowW(L"DesktopApp", L"Velvix"); }

    int close() {
        PostMessageW(window(), WM_CLOSE, 0, 0);
        return velvix_->waitForExit(20000);
    }

    std::string app_ = VELVIX_APP;
    std::string photo_ = VELVIX_DEMO_PHOTO;
    testing::ScopedRingName ring_;
    const std::filesystem::path runtime_ = folder_ / "stand-in";
    std::string log_ = testing::temporaryPath("velvix-window.log");
    std::optional<testing::ChildProcess> velvix_;
};

std::uint32_t framesIn(const std::string& ring) {
    const auto reader = FrameRingReader::open(ring);
    return reader.isOpen() ? reader.readyCount() : 0;
}

TEST_F(Win32Window, SetsUpItsPanelStaysOnTheServiceAndStopsTheWorkerBeforeTheView) {
    start(runtime_.wstring());
    ASSERT_TRUE(testing::waitForText(log_, "webview2: execute-script ", 30000)) << log();

    // The view is set up in this order before the service's first page opens.
    const std::vector<std::string> setUp = {
        "create-environment check-running=1 runtime-type=1 user-data=C:\\",
        "create-controller in DesktopApp",
        "setting IsScriptEnabled=1",
        "setting AreDefaultScriptDialogsEnabled=1",
        "setting IsWebMessageEnabled=1",
        "setting AreDefaultContextMenusEnabled=0",
        "setting AreDevToolsEnabled=0",
        "setting IsStatusBarEnabled=0",
        "setting AreBrowserAcceleratorKeysEnabled=0",
        "bounds 0 0 330 390",
        "add-script ",
        "script added",
        "navigate https://app.velvix.example/signup.html",
        "navigation-starting main https://app.velvix.example/signup.html: goes on",
        "execute-script "};
    std::vector<std::string> lines = records();
    ASSERT_GE(lines.size(), setUp.size()) << log();
    for (std::size_t i = 0; i < setUp.size(); ++i) {
        EXPECT_TRUE(lines[i].starts_with(setUp[i])) << lines[i];
    }
    // Service workers are put out of reach before the document script's first line.
    EXPECT_LT(lines[10].find("delete Navigator.prototype.serviceWorker"),
              lines[10].find("Object.freeze(Object)"));
    EXPECT_NE(lines[14].find("camera-select"), std::string::npos);

    // Other origins are refused in the main frame, in sub-frames and in new windows (links the
    // user follows go to the browser instead), whether the page or the user asks.
    for (const std::string request :
         {"main script https://evil.example/", "main user file:///C:/windows/win.ini",
          "frame script https://evil.example/ad", "main user https://www.example.org/news"}) {
        raise("navigate " + request);
        EXPECT_TRUE(recorded("navigation-starting " + request.substr(0, request.find(' ')) +
                             request.substr(request.rfind(' ')) + ": cancelled"))
            << request;
    }
    for (const std::string request :
         {"script https://popup.example/", "user https://www.example.org/help"}) {
        raise("new-window " + request);
        EXPECT_TRUE(recorded("new-window " + request.substr(request.find(' ') + 1) + ": handled"));
    }

    // The page setup script runs after each navigation that succeeds, and only then.
    const auto setUpRuns = [&] {
        const auto now = records();
        return std::count_if(now.begin(), now.end(), [](const std::string& line) {
            return line.starts_with("execute-script ");
        });
    };
    const auto runs = setUpRuns();
    raise("complete failure");
    EXPECT_EQ(setUpRuns(), runs);
    raise("complete success");
    EXPECT_EQ(setUpRuns(), runs + 1);
    // A camera plugged in or removed: the list is made again in the page.
    SendMessageW(window(), WM_DEVICECHANGE, 0x0007 /* DBT_DEVNODES_CHANGED */, 0);
    EXPECT_TRUE(testing::waitForText(log_, "the cameras changed", 20000));
    EXPECT_TRUE(testing::waitUntil([&] { return setUpRuns() == runs + 2; }));

    // Messages count only from the service's pages, each cut at 64 KiB; answers go back to them.
    const std::string page = std::string("message ") + kService + "/smooth.html ";
    raise("message https://evil.example/ velv:CAMERA:Test camera: astronaut.png");
    raise("message https://evil.example/ from afar");
    raise("object-message https://app.velvix.example/smooth.html");
    raise(page + "hello");
    raise(page + std::string(70'000, 'x'));
    EXPECT_NE(log().find("web message dropped: it came from https://evil.example/"),
              std::string::npos);
    EXPECT_NE(log().find("web message dropped: the page posted something that is not a text"),
              std::string::npos);
    EXPECT_FALSE(recorded("post from afar"));
    EXPECT_TRUE(recorded("post hello"));
    EXPECT_TRUE(recorded("post " + std::string(65'536, 'x')));

    // A camera change opens the camera, signing in shows the smoothing page.
    raise(page + "velv:CAMERA:Test camera: astronaut.png");
    ASSERT_TRUE(testing::waitUntil([&] { return framesIn(ring_.get()) >= 3; })) << log();
    raise(page + "velv:LOGIN:someone");
    EXPECT_TRUE(recorded("navigate https://app.velvix.example/smooth.html"));

    // One panel per ring: a second start brings this window to the front and ends with 0.
    const std::string secondLog = testing::temporaryPath("velvix-second.log");
    testing::ChildProcess second({app_, "--ring", ring_.get()}, secondLog);
    EXPECT_EQ(second.waitForExit(20000), 0) << testing::readFile(secondLog);
    EXPECT_NE(testing::readFile(secondLog).find("velvix: already running"), std::string::npos);
    EXPECT_TRUE(testing::waitForText(log_, "another start brought the window to the front", 20000));

    // Ctrl+Q in the page (velv:QUIT) stops the worker, then the view is closed and given back.
    raise(page + "velv:QUIT");
    EXPECT_EQ(velvix_->waitForExit(20000), 0) << log();
    const std::string output = log();
    const std::size_t stopped = output.find("velvix: stopped");
    EXPECT_LT(stopped, output.find("webview2: controller closed"));
    EXPECT_LT(output.find("webview2: controller closed"), output.find("webview2: view released"));
    EXPECT_LT(output.find("webview2: view released"), output.find("webview2: controller released"));
    EXPECT_EQ(output.find("webview2: unexpected"), std::string::npos) << output;
}

// A runtime that fails to make the view: the window says so, and still closes cleanly. The
// runtime keeps its data where the runtime's loader was told.
TEST_F(Win32Window, SaysWhyTheRuntimeFailedAndStillClosesWithCodeZero) {
    SetEnvironmentVariableW(L"WEBVIEW2_USER_DATA_FOLDER", L"C:\\velvix-test-data");
    SetEnvironmentVariableW(L"VELVIX_WEBVIEW2_STAND_IN_FAILS", L"controller");
    start(runtime_.wstring());
    ASSERT_TRUE(testing::waitForText(
        log_, "the control panel cannot be shown: the web view could not be created", 30000))
        << log();
    EXPECT_TRUE(
        recorded("create-environment check-running=1 runtime-type=1 user-data=C:\\velvix-test-data "
                 "without options"));
    EXPECT_EQ(close(), 0) << log();
    EXPECT_EQ(log().find("webview2: navigate"), std::string::npos);
}

// With no runtime installed the window says where to get one, the picture runs behind it with
// the camera chosen on standard input, and no library planted in the folder the program was
// started from is loaded.
TEST_F(Win32Window, WithoutARuntimeSaysWhereToGetItAndLoadsNothingPlanted) {
    const std::filesystem::path planted = folder_ / "planted";
    std::filesystem::create_directories(planted);
    for (const char* name : {"WebView2Loader.dll", "EmbeddedBrowserWebView.dll"}) {
        std::filesystem::copy_file(VELVIX_LOADED_MARKER, planted / name);
    }
    installClientLibrary(planted, VELVIX_LOADED_MARKER);
    // Paths with their drive, as Windows programs are given them (Z:\...); forward slashes in
    // the photo's: the camera is named after what follows the last one.
    app_ = std::filesystem::absolute(app_).string();
    photo_ = std::filesystem::absolute(photo_).generic_string();
    const std::filesystem::path started = std::filesystem::current_path();
    std::filesystem::current_path(planted);
    start(L"");
    std::filesystem::current_path(started);

    ASSERT_TRUE(testing::waitForText(log_, "velvix: window open", 30000)) << log();
    const std::string reason =
        "the WebView2 runtime is not installed; get it from "
        "https://developer.microsoft.com/microsoft-edge/webview2/";
    EXPECT_NE(log().find("the control panel cannot be shown: " + reason), std::string::npos)
        << log();
    const HWND message = FindWindowExW(window(), nullptr, L"STATIC", nullptr);
    ASSERT_NE(message, nullptr);
    char text[512] = {};
    GetWindowTextA(message, text, 512);
    EXPECT_NE(std::string(text).find(reason), std::string::npos);

    ASSERT_TRUE(velvix_->writeInput("velv:CAMERA:Test camera: astronaut.png\n"));
    ASSERT_TRUE(testing::waitUntil([&] { return framesIn(ring_.get()) >= 3; })) << log();

    EXPECT_EQ(close(), 0) << log();
    for (const auto& entry : std::filesystem::recursive_directory_iterator(planted)) {
        EXPECT_NE(entry.path().extension(), ".loaded") << entry.path();
    }
}

}  // namespace
}  // namespace velvix
