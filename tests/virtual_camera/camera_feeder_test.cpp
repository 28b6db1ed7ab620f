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
constexpr FrameSize kSize = kDefaultFrameSize;

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

    OpenedOutput open(const std::string& path, FrameSize size, OutputFormat format) override {
        const std::lock_guard lock(mutex_);
        opened.push_back(path);
        EXPECT_TRUE(size == kSize && format == OutputFormat::rgb24) << path;
        if (std::none_of(devices_.begin(), devices_.end(),
                         [&](const LoopbackDevice& d) { return d.path == path; })) {
            return Failure{"cannot open " + path + ": no such device"};
        }
        return std::unique_ptr<FrameSink>(std::make_unique<Sink>(*this, path));
    }

    std::vector<int> redsFed(const std::string& path) const {
        const std::lock_guard lock(mutex_);
        const auto found = fed_.find(path);
        return found == fed_.end() ? std::vector<int>{} : found->second;
    }

    Paths opened;

  private:
    class Sink final : public FrameSink {
      public:
        Sink(FakeDevices& devices, std::string path) : devices_(devices), path_(std::move(path)) {}
        bool writeFrame(const std::uint8_t* data, std::size_t bytes) override {
            EXPECT_EQ(bytes, outputFrameBytes(kSize, OutputFormat::rgb24)) << path_;
            const std::lock_guard lock(devices_.mutex_);
            devices_.fed_[path_].push_back(data[0]);
            return true;
        }

      private:
        FakeDevices& devices_;
        std::string path_;
    };

    mutable std::mutex mutex_;
    std::vector<LoopbackDevice> devices_;
    std::map<std::string, std::vector<int>> fed_;
};

Paths pathsOf(const std::vector<LoopbackDevice>& devices) {
    Paths paths;
    for (const auto& device : devices) {
        paths.push_back(device.path);
    }
    return paths;
}

class FeederTest : public ::testing::Test {
  protected:
    VirtualCameraFeeder makeFeeder(std::optional<std::string> device = std::nullopt) {
        return VirtualCameraFeeder({name.get(), device, OutputFormat::rgb24}, devices,
                                   [this](std::string_view line) { lines.emplace_back(line); });
    }

    // A picture whose every pixel is this red.
    void publishRed(int red) {
        if (!ring) {
            ring = *FrameRing::create(name.get(), kSize, debug);
        }
        std::vector<std::uint8_t> pixels(static_cast<std::size_t>(kSize.pixels()) * 3, 0);
        for (std::size_t i = 2; i < pixels.size(); i += 3) {
            pixels[i] = static_cast<std::uint8_t>(red);
        }
        ring->publish(pixels.data());
    }

    int linesWith(const std::string& text) const {
        return static_cast<int>(std::count_if(lines.begin(), lines.end(), [&](const auto& line) {
            return line.find(text) != std::string::npos;
        }));
    }

    testing::ScopedRingName name;
    platform::DebugOnce debug;
    std::optional<FrameRing> ring;
    FakeDevices devices;
    std::vector<std::string> lines;
};

TEST_F(FeederTest, FeedsTheVelvixLoopbackDevicesAsTheyComeAndGoOrTheOneNamed) {
    devices.add("/dev/video0", "Integrated Camera");
    devices.add("/dev/video1", "Velvix Camera");
    devices.add("/dev/video2", "OBS Virtual Camera");
    publishRed(50);
    auto feeder = makeFeeder();

    feeder.step(0);
    EXPECT_EQ(pathsOf(feeder.fedDevices()), Paths{"/dev/video1"});
    EXPECT_EQ(feeder.fedDevices()[0].label, "Velvix Camera");
    EXPECT_EQ(devices.opened, Paths{"/dev/video1"});  // nothing else opened
    EXPECT_EQ(devices.redsFed("/dev/video1"), std::vector{50});
    EXPECT_EQ(linesWith("feeding the virtual camera \"Velvix Camera\" (/dev/video1)"), 1);

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
    EXPECT_EQ(linesWith("no longer feeding the virtual camera \"Velvix Camera\""), 1);
    EXPECT_EQ(feeder.problem(), "");

    // A device named is fed whatever its label, and no other; a missing one is explained once.
    auto named = makeFeeder("/dev/video2");
    named.step(0);
    EXPECT_EQ(pathsOf(named.fedDevices()), Paths{"/dev/video2"});
    EXPECT_EQ(devices.opened.back(), "/dev/video2");
    EXPECT_EQ(devices.opened.size(), 3u);
    auto missing = makeFeeder("/dev/video9");
    for (int second = 0; second < 3; ++second) {
        missing.step(static_cast<std::uint64_t>(second) * kSecond);
    }
    EXPECT_TRUE(missing.fedDevices().empty());
    EXPECT_EQ(missing.problem(), "cannot open /dev/video9: no such device");
    EXPECT_EQ(linesWith("/dev/video9"), 1);
    // It is fed once it appears.
    devices.add("/dev/video9", "Velvix Camera");
    missing.step(3 * kSecond);
    EXPECT_EQ(pathsOf(missing.fedDevices()), Paths{"/dev/video9"});
    EXPECT_EQ(missing.problem(), "");
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
    const std::string rejected =
        "modprobe: ERROR: could not insert 'v4l2loopback': Key was rejected by service\n";
    const std::string refused = "Error executing command as another user: Not authorized";
    const std::string notRun = "Cannot run program modprobe: No such file or directory";
    for (const auto& [ended, said] : std::vector<std::pair<CommandResult, std::string>>{
             {{true, 1, "modprobe: FATAL: Module v4l2loopback not found in directory /lib/x\n"},
              "install the package v4l2loopback-dkms"},
             {{true, 1, rejected}, "Secure Boot"},
             {{true, 1, rejected}, "mokutil --import"},
             {{true, 126, ""}, "cancelled"},
             {{true, 127, refused + "\n"}, "not allowed, or pkexec could not run it: " + refused},
             {{true, 127, notRun + "\n"}, "not allowed, or pkexec could not run it: " + notRun},
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
