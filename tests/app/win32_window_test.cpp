// The Windows program with its window, under wine and a virtual display: the window's shape,
// the message it shows when its web view cannot be made (wine has no WebView2), the picture
// running behind it with the camera chosen on standard input, and closing it.
#include <gtest/gtest.h>
#include <windows.h>

#include <chrono>
#include <string>
#include <thread>

#include "process.hpp"
#include "test_support.hpp"
#include "velvix/pipeline/frame_ring.hpp"

namespace velvix {
namespace {

using namespace std::chrono_literals;

RECT clientRectangle(HWND window) {
    RECT client{};
    GetClientRect(window, &client);
    return client;
}

std::wstring textOf(HWND window) {
    wchar_t text[512] = {};
    GetWindowTextW(window, text, 512);
    return text;
}

std::uint32_t framesIn(const std::string& ring) {
    const auto reader = FrameRingReader::open(ring);
    return reader.isOpen() ? reader.readyCount() : 0;
}

TEST(Win32Window, ShowsWhyThePanelIsMissingKeepsThePictureRunningAndClosesWithCodeZero) {
    testing::ScopedRingName ring;
    const std::string log = testing::temporaryPath("velvix-window.log");
    testing::ChildProcess velvix(
        {VELVIX_APP, "--file-camera", VELVIX_DEMO_PHOTO, "--ring", ring.get()}, log, true);
    ASSERT_TRUE(testing::waitForText(log, "velvix: window open", 30000)) << testing::readFile(log);
    EXPECT_NE(testing::readFile(log).find("the control panel cannot be shown: "
                                          "WebView2Loader.dll could not be loaded"),
              std::string::npos)
        << testing::readFile(log);

    const HWND window = FindWindowW(L"DesktopApp", L"Velvix");
    ASSERT_NE(window, nullptr);
    const RECT client = clientRectangle(window);
    EXPECT_EQ(client.right - client.left, 330);
    EXPECT_EQ(client.bottom - client.top, 390);
    const auto style = static_cast<DWORD>(GetWindowLongPtrW(window, GWL_STYLE));
    EXPECT_NE(style & WS_MINIMIZEBOX, 0u);
    EXPECT_EQ(style & (WS_MAXIMIZEBOX | WS_THICKFRAME), 0u);

    const HWND message = FindWindowExW(window, nullptr, L"STATIC", nullptr);
    ASSERT_NE(message, nullptr);
    EXPECT_NE(textOf(message).find(L"could not show its control panel"), std::wstring::npos);

    // The camera chosen on standard input, the frames reach the ring.
    ASSERT_TRUE(velvix.writeInput("velv:CAMERA:Test camera: astronaut.png\n"));
    ASSERT_TRUE(testing::waitUntil([&] { return framesIn(ring.get()) >= 3; }))
        << testing::readFile(log);

    // The message follows the client area through minimising and restoring.
    ShowWindow(window, SW_MINIMIZE);
    ShowWindow(window, SW_RESTORE);
    ASSERT_TRUE(testing::waitUntil([&] { return !IsIconic(window); }));
    RECT shown{};
    GetWindowRect(message, &shown);
    EXPECT_EQ(shown.right - shown.left, 330 - 2 * 24);

    PostMessageW(window, WM_CLOSE, 0, 0);
    EXPECT_EQ(velvix.waitForExit(20000), 0) << testing::readFile(log);
    EXPECT_NE(testing::readFile(log).find("velvix: stopped"), std::string::npos);
}

}  // namespace
}  // namespace velvix
