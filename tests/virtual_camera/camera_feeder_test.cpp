// The feeder against fake devices, the set-up against a fake command runner, the real command
// runner on harmless commands.
#include "velvix/virtual_camera/camera_feeder.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <mutex>
#include <semaphore>
#include <thread>

#include "test_support.hpp"
#include "velvix/virtual_camera/linux_devices.hpp"
#include "velvix/virtual_camera/loopback_setup.hpp"

namespace velvix::virtual_camera {
namespace {

using Paths = std::vector<std::string>;

constexpr std::uint64_t kSecond = 10'000'000;

// Video devices as a list the test changes, which keep the red of every frame they are fed.
class FakeDevices final : public OutputDevices {
  public:
    void add(const std::string& path, const std::string& label) {
        const std::lock_guard lock(mutex_);
        devices_.push_back({path, label});
    }
    void remove(const std::string& path) {
        const std::lock_guard lock(mutex_);
        std::erase_if(devices_, [&](const LoopbackDevice& d) { return d.path == path; });
    }
    std::vector<LoopbackDevice> list() override {
        const std::lock_guard lock(mutex_);
        return devices_;
    }
    OpenedOutput open(const std::string& path, FrameSize, OutputFormat) override {
        const std::lock_guard lock(mutex_);
        opened.push_back(path);
        return std::unique_ptr<FrameSink>(std::make_unique<Sink>(*this, path));
    }
    std::vector<int> redsFed(const std::string& path) const {
        const std::lock_guard lock(mutex_);
        return fed_.contains(path) ? fed_.at(path) : std::vector<int>{};
    }

    Paths opened;

  private:
    struct Sink final : FrameSink {
        Sink(FakeDevices& to, std::string fed) : devices(to), path(std::move(fed)) {}
        bool writeFrame(const std::uint8_t* data, std::size_t bytes) override {
            EXPECT_EQ(bytes, outputFrameBytes(kDefaultFrameSize, OutputFormat::rgb24)) << path;
            const std::lock_guard lock(devices.mutex_);
            devices.fed_[path].push_back(data[0]);
            return true;
        }
        FakeDevices& devices;
        std::string path;
    };

    mutable std::mutex mutex_;
    std::vector<LoopbackDevice> devices_;
    std::map<std::string, std::vector<int>> fed_;
};

Paths pathsOf(const std::vector<LoopbackDevice>& devices) {
    Paths paths;
    std::ranges::transform(devices, std::back_inserter(paths), &LoopbackDevice::path);
    return paths;
}

class FeederTest : public ::testing::Test {
  protected:
    VirtualCameraFeeder makeFeeder(std::optional<std::string> device = std::nullopt) {
        return VirtualCameraFeeder({name.get(), device, OutputFormat::rgb24}, devices,
                                   [](std::string_view) {});
    }

    // A picture whose every pixel is this red.
    void publishRed(int red) {
        if (!ring) {
            ring = *FrameRing::create(name.get(), kDefaultFrameSize, debug);
        }
        std::vector<std::uint8_t> pixels(std::size_t(kDefaultFrameSize.pixels()) * 3, 0);
        for (std::size_t i = 2; i < pixels.size(); i += 3) {
            pixels[i] = static_cast<std::uint8_t>(red);
        }
        ring->publish(pixels.data());
    }

    testing::ScopedRingName name;
    platform::DebugOnce debug;
    std::optional<FrameRing> ring;
    FakeDevices devices;
};

TEST_F(FeederTest, FeedsTheVelvixLoopbackDevicesAsTheyComeAndGoOrTheOneNamed) {
    devices.add("/dev/video0", "Integrated Camera");
    devices.add("/dev/video1", "Velvix Camera");
    devices.add("/dev/video2", "OBS Virtual Camera");
    publishRed(50);
    auto feeder = makeFeeder();
    feeder.step(0);
    EXPECT_EQ(pathsOf(feeder.fedDevices()), Paths{"/dev/video1"});
    EXPECT_EQ(devices.opened, Paths{"/dev/video1"});  // nothing else opened
    EXPECT_EQ(devices.redsFed("/dev/video1"), std::vector{50});

    // A device that appears is fed from the next search on, within a second.
    devices.add("/dev/video3", "Velvix Second");
    publishRed(60);
    feeder.step(kSecond / 30);
    EXPECT_EQ(pathsOf(feeder.fedDevices()), Paths{"/dev/video1"});
    feeder.step(kSecond);
    EXPECT_EQ(pathsOf(feeder.fedDevices()), (Paths{"/dev/video1", "/dev/video3"}));
    EXPECT_EQ(devices.redsFed("/dev/video1"), (std::vector{50, 60, 60}));
    EXPECT_EQ(devices.redsFed("/dev/video3"), std::vector{60});

    // One that goes away is no longer fed; the other goes on.
    devices.remove("/dev/video1");
    feeder.step(2 * kSecond);
    EXPECT_EQ(pathsOf(feeder.fedDevices()), Paths{"/dev/video3"});
    EXPECT_EQ(devices.redsFed("/dev/video1").size(), 3u);
    EXPECT_EQ(devices.redsFed("/dev/video3").size(), 2u);

    // A device named is fed whatever its label, and no other.
    auto named = makeFeeder("/dev/video2");
    named.step(0);
    EXPECT_EQ(pathsOf(named.fedDevices()), Paths{"/dev/video2"});
    EXPECT_EQ(devices.opened, (Paths{"/dev/video1", "/dev/video3", "/dev/video2"}));
}

TEST_F(FeederTest, TheThreadFeedsADeviceAtOnceWhenAskedToSearchAndStopsWhenTold) {
    devices.add("/dev/video4", "Velvix Camera");
    auto feeder = makeFeeder();
    {
        std::jthread thread([&](std::stop_token stop) { feeder.run(stop); });
        ASSERT_TRUE(testing::waitUntil([&] { return !devices.redsFed("/dev/video4").empty(); }));
        devices.add("/dev/video5", "Velvix Camera");
        feeder.searchSoon();
        ASSERT_TRUE(testing::waitUntil([&] { return feeder.fedDevices().size() == 2; }));
    }
    EXPECT_GE(devices.redsFed("/dev/video5").size(), 1u);
}

// The command is fixed and names its programs by absolute path: a pkexec or modprobe earlier
// on PATH must never run as the administrator.
TEST(LoopbackSetup, RunsTheFixedCommandOnceAtATimeAndExplainsFailures) {
    const auto command = loopbackSetupCommand();
    ASSERT_EQ(command.size(), 5u);
    EXPECT_TRUE(command[0].starts_with('/') && command[0].ends_with("/pkexec")) << command[0];
    EXPECT_TRUE(command[1].starts_with('/') && command[1].ends_with("/modprobe")) << command[1];
    EXPECT_EQ(Paths(command.begin() + 2, command.end()),
              (Paths{"v4l2loopback", "exclusive_caps=1", "card_label=Velvix Camera"}));

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
             {{true, 1,
               "modprobe: ERROR: could not insert 'v4l2loopback': Key was rejected "
               "by service\n"},
              "Secure Boot"},
             {{true, 126, ""}, "cancelled"},
             {{true, 127, refused + "\n"}, "not allowed, or pkexec could not run it: " + refused},
             {{false, -1, ""}, "pkexec could not be started"},
             {{true, 3, "first\nmodprobe: something else\n"},
              "modprobe failed (exit code 3): modprobe: something else"}}) {
        result = ended;
        setup.start();
        finish();
        EXPECT_NE(setup.failure().find(said), std::string::npos) << setup.failure();
    }
    EXPECT_EQ(successes, 1);
}

TEST(RunCommand, GivesTheExitCodeAndStandardErrorWithoutAShell) {
    const CommandResult ran = runCommand({"/bin/sh", "-c", "echo out; echo was $0 >&2; exit 3"});
    EXPECT_TRUE(ran.started);
    EXPECT_EQ(ran.exitCode, 3);
    EXPECT_EQ(ran.errorOutput, "was /bin/sh\n");
    // An argument is one word whatever it holds.
    EXPECT_EQ(runCommand({"/usr/bin/printf", "%s", "a b; exit 9"}).exitCode, 0);
    EXPECT_FALSE(runCommand({"/nonexistent/velvix-no-such-program"}).started);
    // PATH is not searched: a program of the same name earlier on it is never run.
    EXPECT_FALSE(runCommand({"sh", "-c", "exit 0"}).started);
}

}  // namespace
}  // namespace velvix::virtual_camera
