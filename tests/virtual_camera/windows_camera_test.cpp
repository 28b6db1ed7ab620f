// The Velvix Camera as a video-call program meets it, under wine: registered with regsvr32, found
// among the video input devices, opened through the program's own DirectShow capture backend
// while `velvix.exe --headless` publishes the test camera's picture, and unregistered again.
#include "velvix/virtual_camera/windows_camera.hpp"

#include <gtest/gtest.h>

#include <chrono>

#include "camera_client.hpp"
#include "process.hpp"
#include "test_support.hpp"

namespace velvix::virtual_camera {
namespace {

using namespace velvix::testing;
using testing::CameraFormatCase;

const std::vector<std::string> kUnregister{"regsvr32", "/s", "/u", VELVIX_CAMERA_DLL};

class WindowsCamera : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_EQ(runProgram({"regsvr32", "/s", VELVIX_CAMERA_DLL}).exitCode, 0);
    }
    // Whatever failed, the prefix is left without the camera for the other tests.
    void TearDown() override { runProgram(kUnregister); }

    testing::ComOnThisThread com_;
};

// The ring's size (1280 x 720 RGB24, a bitmap's rows like the ring's own) and a smaller one in
// YUY2, which the camera asks the program for through the ring's resize request. The picture
// is a still without smoothing, so every frame of the ring is the same.
TEST_F(WindowsCamera, DeliversTheRingsFramesUprightAt30FramesPerSecondUntilUnregistered) {
    const ScopedRingName idleRing;
    EXPECT_TRUE(testing::cameraListed());
    EXPECT_EQ(windowsCameraUse(idleRing.get()), WindowsCameraUse::idle);
    for (const CameraFormatCase& format :
         {CameraFormatCase{{1280, 720, MediaSubtype::rgb24}, OutputFormat::bitmapRgb24},
          CameraFormatCase{{640, 480, MediaSubtype::yuy2}, OutputFormat::yuyv}}) {
        SCOPED_TRACE(format.asked.width);
        const ScopedRingName ring;
        const testing::CameraClient camera(ring.get(), format);
        ASSERT_TRUE(camera.streaming());
        EXPECT_TRUE(waitUntil([&] { return camera.showsThePlaceholder(); }))
            << "before the program: " << camera.comparison(ring.get());

        const std::string log = temporaryPath("velvix-camera.log");
        ChildProcess velvix({VELVIX_APP, "--headless", "--exit-on-eof", "--ring", ring.get(),
                             "--file-camera", VELVIX_DEMO_PHOTO},
                            log, true);
        ASSERT_TRUE(velvix.waitForOutput("velvix: running headless")) << readFile(log);
        velvix.writeInput("velv:CAMERA:Test camera: astronaut.png\n");
        ASSERT_TRUE(
            waitUntil([&] { return camera.showsTheRing(ring.get()); }, std::chrono::seconds(60)))
            << camera.comparison(ring.get()) << readFile(log);

        const int first = camera.samples();
        const auto start = std::chrono::steady_clock::now();
        ASSERT_TRUE(waitUntil([&] { return camera.samples() >= first + 60; }));
        const double rate =
            (camera.samples() - first) /
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        EXPECT_TRUE(rate > 24 && rate < 31) << rate;

        velvix.writeInput("velv:VCAM:STATE\n");
        EXPECT_TRUE(velvix.waitForOutput("post: velv:VCAM:STATE:reading:Velvix Camera"))
            << readFile(log);
        // A clean stop by the end of its input: under wine a second Ctrl+C does not arrive.
        velvix.closeInput();
        EXPECT_EQ(velvix.waitForExit(30000), 0) << readFile(log);
        EXPECT_TRUE(waitUntil([&] { return camera.showsThePlaceholder(); }))
            << "after the program: " << camera.comparison(ring.get());
    }
    ASSERT_EQ(runProgram(kUnregister).exitCode, 0);
    EXPECT_FALSE(testing::cameraListed());
    EXPECT_EQ(windowsCameraUse(idleRing.get()), WindowsCameraUse::notInstalled);
}

}  // namespace
}  // namespace velvix::virtual_camera
