#include <gtest/gtest.h>
#include <signal.h>
#include <stb_image.h>
#ifndef _WIN32
#include <sys/stat.h>
#endif

#include <chrono>
#include <cstdio>
#include <functional>
#include <thread>

#include "process.hpp"
#include "ring_commands.hpp"
#include "section_access.hpp"
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
    platform::DebugOnce debug;
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

    platform::DebugOnce debug;
    auto ring = FrameRing::create(name.get(), {32, 16}, debug);
    result = runProgram(
        {VELVIX_RING_TOOL, "--ring", name.get(), "snapshot", testing::temporaryPath("unused.png")});
    EXPECT_EQ(result.exitCode, 1);
    EXPECT_NE(result.output.find("no complete frame"), std::string::npos) << result.output;

    result = runProgram({VELVIX_RING_TOOL, "frobnicate"});
    EXPECT_EQ(result.exitCode, 2);
}

// Someone else's ring may carry a picture of their making, or be read by them.
TEST(RingTool, RefusesARingOthersMayOpen) {
    ScopedRingName name;
#ifdef _WIN32
    const testing::PlantedSection planted(name.get(), RingLayout::forSize({32, 16})->totalBytes);
    ASSERT_TRUE(planted.made());
#else
    platform::DebugOnce debug;
    FrameRing::create(name.get(), {32, 16}, debug)->publish(gradientFrame({32, 16}).pixels.data());
    ASSERT_EQ(chmod(("/dev/shm/" + name.get()).c_str(), 0666), 0);
#endif
    for (const std::vector<std::string>& command :
         {std::vector<std::string>{"info"}, {"snapshot", testing::temporaryPath("unused.png")}}) {
        std::vector<std::string> arguments = {VELVIX_RING_TOOL, "--ring", name.get()};
        arguments.insert(arguments.end(), command.begin(), command.end());
        const auto result = runProgram(arguments);
        EXPECT_EQ(result.exitCode, 1) << result.output;
        EXPECT_NE(result.output.find("refusing shared memory"), std::string::npos) << result.output;
        EXPECT_NE(result.output.find("--ring"), std::string::npos) << result.output;
        EXPECT_EQ(result.output.find("frame 1,"), std::string::npos) << result.output;
    }
}

TEST(RingTool, WatchCountsFramesPerSecond) {
    ScopedRingName name;
    platform::DebugOnce debug;
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

// velvix --headless says this once its stop signals are in place.
constexpr char kHeadlessReady[] = "velvix: running headless";
// And this once it has read the shipped landmark model.
constexpr char kModelRead[] = "velvix.dat: 5 stages";
const std::string kDemoCamera = "velv:CAMERA:Test camera: astronaut.png\n";

std::uint32_t readyCountOf(const std::string& name) {
    const auto reader = FrameRingReader::open(name);
    return reader.isOpen() ? reader.readyCount() : 0;
}

bool waitForFrames(const std::string& name, std::uint32_t frames) {
    return testing::waitUntil([&] { return readyCountOf(name) >= frames; },
                              std::chrono::seconds(30));
}

// Whichever way the program stops, it stops cleanly, and the ring it leaves holds no frame
// that readers would show as live.
// The ways a program without a window is asked to stop: Ctrl+C on every system, on Linux also
// termination and the end of the terminal session; and the end of --run-seconds (no stop).
struct Stop {
    const char* name;
    std::function<void(const testing::ChildProcess&)> send;
};

const std::vector<Stop>& stops() {
    static const std::vector<Stop> all = {
        {"Ctrl+C", [](const testing::ChildProcess& program) { program.interrupt(); }},
#ifndef _WIN32
        {"SIGTERM", [](const testing::ChildProcess& program) { program.signal(SIGTERM); }},
        {"SIGHUP", [](const testing::ChildProcess& program) { program.signal(SIGHUP); }},
#endif
        {"--run-seconds", nullptr},
    };
    return all;
}

#ifdef _WIN32
// The section goes with the program's last handle.
constexpr char kNoFrameLeft[] = "no frame ring";
#else
constexpr char kNoFrameLeft[] = "no complete frame";
#endif

TEST(HeadlessProgram, StopsCleanlyOnEveryStopAndLeavesNoFrame) {
    for (const Stop& stop : stops()) {
        ScopedRingName name;
        const std::string log = testing::temporaryPath("velvix-headless-stop.log");
        std::vector<std::string> arguments = {VELVIX_APP, "--headless",    "--ring",
                                              name.get(), "--file-camera", VELVIX_DEMO_PHOTO};
        if (!stop.send) {
            arguments.insert(arguments.end(), {"--run-seconds", "6"});
        }
        testing::ChildProcess program(arguments, log, true);
        ASSERT_TRUE(program.waitForOutput(kHeadlessReady)) << testing::readFile(log);
        ASSERT_TRUE(program.writeInput(kDemoCamera));
        // A loaded machine may end the run before its first frame; the signals come after one.
        if (stop.send) {
            ASSERT_TRUE(waitForFrames(name.get(), 1)) << testing::readFile(log);
            stop.send(program);
        }
        EXPECT_EQ(program.waitForExit(60000), 0)
            << stop.name << ", ended with " << program.exitStatus() << "\n"
            << testing::readFile(log);
        const std::string said = testing::readFile(log);
        EXPECT_NE(said.find("created at 1280 x 720"), std::string::npos);
        // The landmark model is read at start, though smoothing is never switched on: the first
        // smoothed frame must not wait for it.
        EXPECT_NE(said.find(kModelRead), std::string::npos) << said;
        const auto snapshot = runProgram({VELVIX_RING_TOOL, "--ring", name.get(), "snapshot",
                                          testing::temporaryPath("unused.png")});
        EXPECT_NE(snapshot.output.find(kNoFrameLeft), std::string::npos)
            << stop.name << ": " << snapshot.output;
    }
}

// Two programs on one ring: the second says so and runs without it, and the first goes on.
TEST(HeadlessProgram, ASecondProgramOnTheSameRingRunsWithoutIt) {
    ScopedRingName name;
    const std::string firstLog = testing::temporaryPath("velvix-headless-first.log");
    const std::string secondLog = testing::temporaryPath("velvix-headless-second.log");
    testing::ChildProcess first({VELVIX_APP, "--headless", "--exit-on-eof", "--ring", name.get(),
                                 "--file-camera", VELVIX_DEMO_PHOTO},
                                firstLog, true);
    ASSERT_TRUE(first.waitForOutput("created at 1280 x 720")) << testing::readFile(firstLog);
    ASSERT_TRUE(first.writeInput(kDemoCamera));
    ASSERT_TRUE(waitForFrames(name.get(), 1)) << testing::readFile(firstLog);

    testing::ChildProcess second({VELVIX_APP, "--headless", "--exit-on-eof", "--ring", name.get(),
                                  "--file-camera", VELVIX_DEMO_PHOTO},
                                 secondLog, true);
    ASSERT_TRUE(second.waitForOutput("another Velvix is running")) << testing::readFile(secondLog);
    ASSERT_TRUE(second.writeInput(kDemoCamera));
    const std::uint32_t before = readyCountOf(name.get());
    EXPECT_TRUE(waitForFrames(name.get(), before + 5));
    second.closeInput();
    EXPECT_EQ(second.waitForExit(20000), 0) << testing::readFile(secondLog);
    EXPECT_EQ(testing::readFile(secondLog).find("created at"), std::string::npos);
    // The first program's ring is untouched by the second one's end.
    EXPECT_TRUE(waitForFrames(name.get(), readyCountOf(name.get()) + 3));

    first.closeInput();
    EXPECT_EQ(first.waitForExit(20000), 0) << testing::readFile(firstLog);
}

TEST(HeadlessProgram, RejectsUnknownOptions) {
    const auto result = runProgram({VELVIX_APP, "--headless", "--bogus"});
    EXPECT_EQ(result.exitCode, 2);
    EXPECT_NE(result.output.find("unknown option --bogus"), std::string::npos);
}

}  // namespace
}  // namespace velvix
