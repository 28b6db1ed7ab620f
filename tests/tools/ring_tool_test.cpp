#include <gtest/gtest.h>
#include <signal.h>
#include <stb_image.h>

#include <cstdio>
#include <functional>
#include <thread>

#include "process.hpp"
#include "ring_commands.hpp"
#include "test_support.hpp"

namespace velvix {
namespace {

using testing::runProgram;
using testing::ScopedRingName;

// A frame whose pixel (x, y) in memory is blue x, green y, red 7 (bottom row first).
RingFrame gradientFrame(FrameSize size) {
    RingFrame frame;
    frame.size = size;
    for (int y = 0; y < size.height; ++y) {
        for (int x = 0; x < size.width; ++x) {
            frame.pixels.insert(frame.pixels.end(),
                                {static_cast<std::uint8_t>(x), static_cast<std::uint8_t>(y), 7});
        }
    }
    return frame;
}

TEST(RingCommands, TurnsFramesUprightAsRgb) {
    const auto rgb = ring_tool::uprightRgb(gradientFrame({4, 3}));
    // The top row of the picture is the last row in memory (y = 2).
    EXPECT_EQ((std::vector<std::uint8_t>(rgb.begin(), rgb.begin() + 6)),
              (std::vector<std::uint8_t>{7, 2, 0, 7, 2, 1}));
    EXPECT_EQ(rgb[(2 * 4 + 3) * 3 + 2], 3);  // bottom row, last column: blue 3
}

TEST(RingCommands, DescribesTheHeaderAndFlagsSlotsThatDoNotFit) {
    RingHeaderSnapshot header;
    header.state = 2;
    header.width = 640;
    header.height = 480;
    header.frameInterval = 333333;
    header.slotOffset = {96, 921728, 12};
    const std::string text = ring_tool::describeHeader(header, 2'764'992);
    EXPECT_NE(text.find("frames available"), std::string::npos) << text;
    EXPECT_NE(text.find("header at 921728, pixels at 921760\n"), std::string::npos) << text;
    EXPECT_NE(text.find("header at 12, pixels at 44 (does not match"), std::string::npos) << text;
    EXPECT_NE(text.find("30.00 frames per second"), std::string::npos) << text;
}

TEST(RingTool, SnapshotSavesTheNewestFrameUpright) {
    ScopedRingName name;
    DebugOnce debug;
    const FrameSize size{64, 48};
    auto ring = FrameRing::create(name.get(), size, debug);
    ring->publish(gradientFrame(size).pixels.data());

    const std::string path = ::testing::TempDir() + "/velvix-snapshot-test.png";
    const auto result = runProgram({VELVIX_RING_TOOL, "--ring", name.get(), "snapshot", path});
    ASSERT_EQ(result.exitCode, 0) << result.output;
    int width = 0;
    int height = 0;
    int channels = 0;
    stbi_uc* image = stbi_load(path.c_str(), &width, &height, &channels, 3);
    ASSERT_NE(image, nullptr);
    EXPECT_EQ(width, 64);
    EXPECT_EQ(height, 48);
    const auto expected = ring_tool::uprightRgb(gradientFrame(size));
    EXPECT_TRUE(std::equal(expected.begin(), expected.end(), image));
    stbi_image_free(image);
    std::remove(path.c_str());
}

TEST(RingTool, ReportsAMissingRingOrFrame) {
    ScopedRingName name;
    auto result = runProgram({VELVIX_RING_TOOL, "--ring", name.get(), "info"});
    EXPECT_EQ(result.exitCode, 1);
    EXPECT_NE(result.output.find("no frame ring"), std::string::npos) << result.output;

    DebugOnce debug;
    auto ring = FrameRing::create(name.get(), {32, 16}, debug);
    result = runProgram(
        {VELVIX_RING_TOOL, "--ring", name.get(), "snapshot", testing::temporaryPath("unused.png")});
    EXPECT_EQ(result.exitCode, 1);
    EXPECT_NE(result.output.find("no complete frame"), std::string::npos) << result.output;

    result = runProgram({VELVIX_RING_TOOL, "frobnicate"});
    EXPECT_EQ(result.exitCode, 2);
}

TEST(RingTool, WatchCountsFramesPerSecond) {
    ScopedRingName name;
    DebugOnce debug;
    const FrameSize size{32, 16};
    auto ring = FrameRing::create(name.get(), size, debug);
    const auto pixels = gradientFrame(size).pixels;
    std::atomic<bool> done{false};
    std::thread writer([&] {
        while (!done) {
            ring->publish(pixels.data());
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
    });
    const auto result =
        runProgram({VELVIX_RING_TOOL, "--ring", name.get(), "watch", "--lines", "2"});
    done = true;
    writer.join();
    EXPECT_EQ(result.exitCode, 0);
    EXPECT_NE(result.output.find("frames per second, newest frame"), std::string::npos)
        << result.output;
}

#ifndef _WIN32
TEST(RingTool, RefusesDevicesThatAreNotLoopbackOutputs) {
    auto result = runProgram({VELVIX_RING_TOOL, "v4l2", "/dev/null"});
    EXPECT_EQ(result.exitCode, 2);
    EXPECT_NE(result.output.find("/dev/null is not a video device"), std::string::npos)
        << result.output;
    result = runProgram({VELVIX_RING_TOOL, "v4l2", "/dev/velvix-no-such-device"});
    EXPECT_EQ(result.exitCode, 2);
    EXPECT_NE(result.output.find("cannot open /dev/velvix-no-such-device"), std::string::npos)
        << result.output;
    result = runProgram({VELVIX_RING_TOOL, "v4l2", "/dev/null", "--size", "640by480"});
    EXPECT_EQ(result.exitCode, 2);
    result = runProgram({VELVIX_RING_TOOL, "v4l2", "/dev/null", "--format", "mjpeg"});
    EXPECT_EQ(result.exitCode, 2);
}
#endif

TEST(HeadlessProgram, MakesTheRingAndStopsAfterRunSeconds) {
    ScopedRingName name;
    const std::string log = testing::temporaryPath("velvix-headless-run.log");
    testing::ChildProcess program(
        {VELVIX_APP, "--headless", "--run-seconds", "2", "--ring", name.get()}, log);
    ASSERT_TRUE(testing::waitForText(log, "created at 1280 x 720", 20000))
        << testing::readFile(log);
    const auto info = runProgram({VELVIX_RING_TOOL, "--ring", name.get(), "info"});
    EXPECT_EQ(info.exitCode, 0) << info.output;
    EXPECT_NE(info.output.find("width          1280"), std::string::npos) << info.output;
    EXPECT_NE(info.output.find("state          1 "), std::string::npos) << info.output;
    EXPECT_EQ(program.waitForExit(10000), 0);
    EXPECT_NE(testing::readFile(log).find("created at 1280 x 720"), std::string::npos);
}

// Ctrl+C on every system; on Linux also SIGTERM, which Windows has no gentle form of.
TEST(HeadlessProgram, StopsCleanlyWhenAskedTo) {
    const std::vector<std::function<void(const testing::ChildProcess&)>> stops = {
        [](const testing::ChildProcess& program) { program.interrupt(); },
#ifndef _WIN32
        [](const testing::ChildProcess& program) { program.signal(SIGTERM); },
#endif
    };
    for (const auto& stop : stops) {
        ScopedRingName name;
        const std::string log = testing::temporaryPath("velvix-headless-signal.log");
        testing::ChildProcess program({VELVIX_APP, "--headless", "--ring", name.get()}, log);
        ASSERT_TRUE(testing::waitForText(log, "running headless", 20000)) << testing::readFile(log);
        stop(program);
        EXPECT_EQ(program.waitForExit(10000), 0) << testing::readFile(log);
    }
}

TEST(HeadlessProgram, RejectsUnknownOptions) {
    const auto result = runProgram({VELVIX_APP, "--headless", "--bogus"});
    EXPECT_EQ(result.exitCode, 2);
    EXPECT_NE(result.output.find("unknown option --bogus"), std::string::npos);
}

}  // namespace
}  // namespace velvix
