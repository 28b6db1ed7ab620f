// The Windows installer under wine: installed silently (the landmark model among its default
// components), the installed program read through the installed camera, then uninstalled
// silently, after which nothing of it is left.
#include <gtest/gtest.h>
#include <shlobj.h>
#include <windows.h>

#include <filesystem>
#include <optional>
#include <string>
#include <tuple>

#include "camera_client.hpp"
#include "process.hpp"
#include "test_support.hpp"
#include "velvix/virtual_camera/windows_camera.hpp"

namespace velvix {
namespace {

namespace fs = std::filesystem;
using virtual_camera::testing::CameraClient;
using virtual_camera::testing::cameraListed;

constexpr int kInstallerMilliseconds = 300'000;
constexpr wchar_t kUninstallKey[] =
    L"Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Velvix";

fs::path knownFolder(REFKNOWNFOLDERID id) {
    PWSTR path = nullptr;
    fs::path folder;
    if (SUCCEEDED(SHGetKnownFolderPath(id, 0, nullptr, &path))) {
        folder = path;
    }
    CoTaskMemFree(path);
    return folder;
}

const std::wstring kCameraServerKey =
    std::wstring(L"CLSID\\") + virtual_camera::kWindowsCameraClassId + L"\\InprocServer32";

// A text value of a registry key; nothing when the key or the value is missing.
std::optional<std::wstring> registryText(HKEY root, const std::wstring& key, const wchar_t* name) {
    wchar_t text[1024];
    DWORD bytes = sizeof text;
    if (RegGetValueW(root, key.c_str(), name, RRF_RT_REG_SZ, nullptr, text, &bytes) !=
        ERROR_SUCCESS) {
        return std::nullopt;
    }
    return std::wstring(text);
}

class WindowsInstaller : public ::testing::Test {
  protected:
    // A run that failed half-way leaves nothing for the next.
    void TearDown() override {
        if (fs::exists(folder_ / "Uninstall.exe")) {
            uninstall();
        }
        std::error_code ignored;
        fs::remove_all(folder_, ignored);
    }

    // The uninstaller starts a copy of itself elsewhere and returns at once: its work is done
    // when the program folder is gone.
    testing::RunResult uninstall() const {
        const auto removed = testing::runProgram({(folder_ / "Uninstall.exe").string(), "/S"},
                                                 kInstallerMilliseconds);
        testing::waitUntil([&] { return !fs::exists(folder_); }, std::chrono::minutes(2));
        return removed;
    }

    const fs::path folder_ = knownFolder(FOLDERID_ProgramFiles) / "Velvix";
    const fs::path startMenu_ = knownFolder(FOLDERID_CommonPrograms) / "Velvix";
    virtual_camera::testing::ComOnThisThread com_;
};

TEST_F(WindowsInstaller, InstallsSilentlyRunsAndLeavesNothingBehind) {
    ASSERT_TRUE(fs::exists(VELVIX_INSTALLER)) << VELVIX_INSTALLER;
    ASSERT_FALSE(fs::exists(folder_)) << "installed before the test";
    const auto installed = testing::runProgram({VELVIX_INSTALLER, "/S"}, kInstallerMilliseconds);
    ASSERT_EQ(installed.exitCode, 0) << installed.output;

    // The programs not run here, every data file the build has and the terms of each.
    std::vector<fs::path> files{"bin/velvix-ring.exe", "bin/velvix-process.exe",
                                "share/doc/velvix/copyright"};
    for (const auto& data : fs::directory_iterator(VELVIX_BUILD_DATADIR)) {
        files.push_back(fs::path("share/velvix") / data.path().filename());
    }
    for (const fs::path& file : files) {
        EXPECT_TRUE(fs::is_regular_file(folder_ / file)) << file;
    }
    EXPECT_TRUE(fs::is_regular_file(startMenu_ / "Velvix.lnk")) << startMenu_;
    EXPECT_EQ(registryText(HKEY_LOCAL_MACHINE, kUninstallKey, L"DisplayName"), L"Velvix");
    const auto server = registryText(HKEY_CLASSES_ROOT, kCameraServerKey, nullptr);
    std::error_code unlike;
    EXPECT_TRUE(server && fs::equivalent(*server, folder_ / "bin" / "velvix-camera.dll", unlike))
        << fs::path(server.value_or(L""));
    EXPECT_TRUE(cameraListed());

    // The installed program's picture, read through the installed camera.
    {
        const testing::ScopedRingName ring;
        const CameraClient camera(ring.get(), {{1280, 720, MediaSubtype::rgb24},
                                               virtual_camera::OutputFormat::bitmapRgb24});
        ASSERT_TRUE(camera.streaming());
        const std::string log = testing::temporaryPath("velvix-installed.log");
        testing::ChildProcess velvix({(folder_ / "bin" / "velvix.exe").string(), "--headless",
                                      "--ring", ring.get(), "--file-camera", VELVIX_DEMO_PHOTO},
                                     log, true);
        ASSERT_TRUE(velvix.waitForOutput("velvix: running headless")) << testing::readFile(log);
        velvix.writeInput("velv:CAMERA:Test camera: astronaut.png\n");
        EXPECT_TRUE(testing::waitUntil([&] { return camera.showsTheRing(ring.get()); },
                                       std::chrono::seconds(60)))
            << camera.comparison(ring.get()) << "\n"
            << testing::readFile(log);
        velvix.interrupt();
        EXPECT_EQ(velvix.waitForExit(30000), 0) << testing::readFile(log);
    }
    // With its objects gone the camera lets COM unload its DLL, whose file the uninstaller
    // could not remove while a program held it.
    CoFreeUnusedLibrariesEx(0, 0);
    EXPECT_EQ(GetModuleHandleW(L"velvix-camera.dll"), nullptr);

    const auto removed = uninstall();
    EXPECT_EQ(removed.exitCode, 0) << removed.output;
    // The program folder, the Start menu folder, the uninstall entry, the camera's class.
    const auto left = [&] {
        return std::tuple(fs::exists(folder_), fs::exists(startMenu_),
                          registryText(HKEY_LOCAL_MACHINE, kUninstallKey, L"DisplayName"),
                          registryText(HKEY_CLASSES_ROOT, kCameraServerKey, nullptr));
    };
    const auto nothing = std::tuple(false, false, std::nullopt, std::nullopt);
    testing::waitUntil([&] { return left() == nothing; }, std::chrono::minutes(2));
    EXPECT_EQ(left(), nothing);
    EXPECT_FALSE(cameraListed());
}

}  // namespace
}  // namespace velvix
