// The feeder against fake devices, the set-up against a fake command runner, the real command
// runner on harmless commands.
#include "velvix/virtual_camera/camera_feeder.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <semaphore>

#include "test_support.hpp"
#include "velvix/virtual_camera/linux_devices.hpp"
#include "velvix/virtual_camera/loopback_setup.hpp"

namespace velvix::virtual_camera {
namespace {

using Paths = std::vector<std::string>;

constexpr std::uint64_t kSecond = 10'000'000;

// Video devices as a list the test changes, which keep the red of every frame they are fed.
struct FakeDevices final : OutputDevices {
    std::vector<LoopbackDevice> list() override { return devices; }
    OpenedOutput open(const std::string& path, FrameSize, OutputFormat) override {
        opened.push_back(path);
        return std::unique_ptr<FrameSink>(std::make_unique<Sink>(redsFed[path]));
    }
    struct Sink final : FrameSink {
        explicit Sink(std::vector<int>& reds) : fed(reds) {}
        bool writeFrame(const std::uint8_t* data, std::size_t bytes) override {
            EXPECT_EQ(bytes, outputFrameBytes(kDefaultFrameSize, OutputFormat::rgb24));
            fed.push_back(data[0]);
            return true;
        }
        std::vector<int>& fed;
    };

    std::vector<LoopbackDevice> devices;
    Paths opened;
    std::map<std::string, std::vector<int>> redsFed;
};

Paths pathsOf(const std::vector<LoopbackDevice>& devices) {
    Paths paths;
    std::ranges::transform(devices, std::back_inserter(paths), &LoopbackDevice::path);
    return paths;
}

TEST(Feeder, FeedsTheVelvixLoopbackDevicesAsTheyComeAndGo) {
    const testing::ScopedRingName name;
    platform::DebugOnce debug;
    auto ring = *FrameRing::create(name.get(), kDefaultFrameSize, debug);
    // A picture whose every byte, red among them, is this value.
    const auto publish = [&](int red) {
        ring.publish(std::vector<std::uint8_t>(std::size_t(kDefaultFrameSize.pixels()) * 3,
                                               std::uint8_t(red))
                         .data());
    };
    FakeDevices devices;
    devices.devices = {{"/dev/video0", "Integrated Camera"},
                       {"/dev/video1", "Velvix Camera"},
                       {"/dev/video2", "OBS Virtual Camera"}};
    publish(50);
    VirtualCameraFeeder feeder({name.get(), std::nullopt, OutputFormat::rgb24}, devices,
                               [](std::string_view) {});
    feeder.step(0);
    EXPECT_EQ(pathsOf(feeder.fedDevices()), Paths{"/dev/video1"});
    EXPECT_EQ(devices.opened, Paths{"/dev/video1"});  // nothing else opened
    EXPECT_EQ(devices.redsFed["/dev/video1"], std::vector{50});

    // A device that appears is fed from the next search on, within a second.
    devices.devices.push_back({"/dev/video3", "Velvix Second"});
    publish(60);
    feeder.step(kSecond / 30);
    EXPECT_EQ(pathsOf(feeder.fedDevices()), Paths{"/dev/video1"});
    feeder.step(kSecond);
    EXPECT_EQ(pathsOf(feeder.fedDevices()), (Paths{"/dev/video1", "/dev/video3"}));
    EXPECT_EQ(devices.redsFed["/dev/video1"], (std::vector{50, 60, 60}));
    EXPECT_EQ(devices.redsFed["/dev/video3"], std::vector{60});

    // One that goes away is no longer fed; the other goes on.
    std::erase_if(devices.devices, [](const auto& d) { return d.path == "/dev/video1"; });
    feeder.step(2 * kSecond);
    EXPECT_EQ(pathsOf(feeder.fedDevices()), Paths{"/dev/video3"});
    EXPECT_EQ(devices.redsFed["/dev/video1"].size(), 3u);
    EXPECT_EQ(devices.redsFed["/dev/video3"].size(), 2u);
}

// The command is fixed and names its programs by absolute path: a pkexec or modprobe earlier
// on PATH must never run as the administrator.
TEST(LoopbackSetup, RunsTheFixedCommandOnceAtATimeAndExplainsFailures) {
    const auto command = loopbackSetupCommand();
    ASSERT_EQ(command.size(), 5u);
    EXPECT_TRUE(command[0].starts_with('/') && command[0].ends_with("/pkexec")) << command[0];
    EXPECT_TRUE(command[1].starts_with('/') && command[1].ends_with("/modprobe")) << command[1];

    std::binary_semaphore release(0);
    int runs = 0;
    int successes = 0;
    CommandResult result{true, 0, ""};
    LoopbackSetup setup(
        [&](const Paths& arguments) {
            EXPECT_EQ(arguments, loopbackSetupCommand());
            ++runs;
            release.acquire();
            return result;
        },
        [&] { ++successes; });
    const auto finish = [&] {
        release.release();
        ASSERT_TRUE(testing::waitUntil([&] { return !setup.running(); }));
    };
    setup.start();
    EXPECT_TRUE(setup.running());
    setup.start();  // while the password dialog is open: no second command
    finish();
    EXPECT_EQ(runs, 1);
    EXPECT_EQ(successes, 1);
    EXPECT_EQ(setup.failure(), "");

    // pkexec's 127 covers a refusal and a program it cannot run: its own line says which.
    const std::string refused = "Error executing command as another user: Not authorized";
    for (const auto& [ended, said] : std::vector<std::pair<CommandResult, std::string>>{
             {{true, 1, "modprobe: FATAL: Module v4l2loopback not found in directory /lib/x\n"},
              "install the package v4l2loopback-dkms"},
             {{true, 127, refused + "\n"}, "not allowed, or pkexec could not run it: " + refused},
             {{true, 3, "first\nmodprobe: something else\n"},
              "modprobe failed (exit code 3): modprobe: something else"}}) {
        result = ended;
        setup.start();
        finish();
        EXPECT_NE(setup.failure().find(said), std::string::npos) << setup.failure();
    }
}

TEST(RunCommand, GivesTheExitCodeAndStandardErrorWithoutAShell) {
    const CommandResult ran = runCommand({"/bin/sh", "-c", "echo out; echo was $0 >&2; exit 3"});
    EXPECT_TRUE(ran.started);
    EXPECT_EQ(ran.exitCode, 3);
    EXPECT_EQ(ran.errorOutput, "was /bin/sh\n");
    // An argument is one word whatever it holds.
    EXPECT_EQ(runCommand({"/usr/bin/printf", "%s", "a b; exit 9"}).exitCode, 0);
    // PATH is not searched: a program of the same name earlier on it is never run.
    EXPECT_FALSE(runCommand({"sh", "-c", "exit 0"}).started);
}

}  // namespace
}  // namespace velvix::virtual_camera
