// The Velvix Camera as a video-call program meets it, under wine: registered with regsvr32 in
// the test's wine prefix, found among the video input devices, opened through the program's own
// DirectShow capture backend (as any DirectShow program opens a camera) while `velvix.exe
// --headless` publishes the test camera's picture, and unregistered again. The test runs alone:
// while the camera is registered, every DirectShow program in the prefix sees it.
#include "velvix/virtual_camera/windows_camera.hpp"

#include <gtest/gtest.h>

#include <chrono>

#include "camera_client.hpp"
#include "process.hpp"
#include "test_support.hpp"

namespace velvix::virtual_camera {
namespace {

using namespace velvix::testing;
using Clock = std::chrono::steady_clock;
using testing::CameraClient;
using testing::CameraFormatCase;
using testing::cameraListed;

constexpr int kCountedFrames = 60;

// regsvr32's exit code for registering the camera, or unregistering it.
int regsvr32(bool registering) {
    using Words = std::vector<std::string>;
    return runProgram(registering ? Words{"regsvr32", "/s", VELVIX_CAMERA_DLL}
                                  : Words{"regsvr32", "/s", "/u", VELVIX_CAMERA_DLL})
        .exitCode;
}

class WindowsCamera : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_EQ(regsvr32(true), 0); }
    // Whatever failed, the prefix is left without the camera for the other tests.
    void TearDown() override { regsvr32(false); }

    testing::ComOnThisThread com_;
};

// The ring's size (1280 x 720 RGB24, a bitmap's rows like the ring's own) and a smaller one in
// YUY2, which the camera asks the program for through the ring's resize request. The picture
// is a still without smoothing, so every frame of the ring is the same.
TEST_F(WindowsCamera, DeliversTheRingsFramesUprightAt30FramesPerSecondUntilUnregistered) {
    const ScopedRingName idleRing;
    EXPECT_TRUE(cameraListed());
    EXPECT_EQ(windowsCameraUse(idleRing.get()), WindowsCameraUse::idle);
    for (const CameraFormatCase& format :
         {CameraFormatCase{{1280, 720, MediaSubtype::rgb24}, OutputFormat::bitmapRgb24},
          CameraFormatCase{{640, 480, MediaSubtype::yuy2}, OutputFormat::yuyv}}) {
        SCOPED_TRACE(format.asked.width);
        const ScopedRingName ring;
        const CameraClient camera(ring.get(), format);
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
            << camera.comparison(ring.get()) << "\n"
            << readFile(log);

        const int first = camera.samples();
        const auto start = Clock::now();
        ASSERT_TRUE(waitUntil([&] { return camera.samples() >= first + kCountedFrames; }));
        const double rate = (camera.samples() - first) /
                            std::chrono::duration<double>(Clock::now() - start).count();
        EXPECT_GT(rate, 24.0);
        EXPECT_LT(rate, 31.0);
        EXPECT_TRUE(camera.showsTheRing(ring.get())) << camera.comparison(ring.get());

        velvix.writeInput("velv:VCAM:STATE\n");
        EXPECT_TRUE(velvix.waitForOutput("post: velv:VCAM:STATE:reading:Velvix Camera"))
            << readFile(log);
        // A clean stop: here the end of its input (under wine a second Ctrl+C from one
        // process does not arrive).
        velvix.closeInput();
        EXPECT_EQ(velvix.waitForExit(30000), 0) << readFile(log);
        EXPECT_TRUE(waitUntil([&] { return camera.showsThePlaceholder(); }))
            << "after the program: " << camera.comparison(ring.get());
    }
    ASSERT_EQ(regsvr32(false), 0);
    EXPECT_FALSE(cameraListed());
    EXPECT_EQ(windowsCameraUse(idleRing.get()), WindowsCameraUse::notInstalled);
}

}  // namespace
}  // namespace velvix::virtual_camera
