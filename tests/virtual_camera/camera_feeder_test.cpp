// The feeder against fake devices whose frames go into files, and the set-up against a fake
// command runner; the real command runner on harmless commands.
#include "velvix/virtual_camera/camera_feeder.hpp"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <chrono>
#include <condition_variable>
#include <fstream>
#include <iterator>
#include <thread>

#include "test_support.hpp"
#include "velvix/virtual_camera/linux_devices.hpp"
#include "velvix/virtual_camera/loopback_setup.hpp"
#include "virtual_display.hpp"

namespace velvix::virtual_camera {
namespace {

using Bytes = std::vector<std::uint8_t>;
using testing::ScopedRingName;

constexpr std::uint64_t kSecond = 10'000'000;
constexpr std::uint64_t kFrame = kSecond / 30;
constexpr FrameSize kSize = kDefaultFrameSize;

// Video devices as a list the test changes: cameras that refuse to be fed, and loopback
// devices whose frames are appended to a file each.
class FakeDevices final : public OutputDevices {
  public:
    void addCamera(const std::string& path, const std::string& label) {
        const std::lock_guard lock(mutex_);
        devices_.push_back({{path, label}, false});
    }
    void addLoopback(const std::string& path, const std::string& label) {
        const std::lock_guard lock(mutex_);
        devices_.push_back({{path, label}, true});
    }
    void remove(const std::string& path) {
        const std::lock_guard lock(mutex_);
        std::erase_if(devices_, [&](const Device& d) { return d.device.path == path; });
    }

    std::vector<LoopbackDevice> list() override {
        const std::lock_guard lock(mutex_);
        std::vector<LoopbackDevice> listed;
        for (const Device& d : devices_) {
            listed.push_back(d.device);
        }
        return listed;
    }

    OpenedOutput open(const std::string& path, FrameSize size, OutputFormat format) override {
        const std::lock_guard lock(mutex_);
        opened.push_back(path);
        const auto found = std::find_if(devices_.begin(), devices_.end(),
                                        [&](const Device& d) { return d.device.path == path; });
        if (found == devices_.end()) {
            return Failure{"cannot open " + path + ": no such device"};
        }
        if (!found->loopback) {
            return Failure{path + " is not a v4l2loopback device"};
        }
        if (size != kSize || format != OutputFormat::rgb24) {
            return Failure{path + " was asked for another format"};
        }
        const int fd =
            ::open(fileOf(path).c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
        return std::unique_ptr<FrameSink>(std::make_unique<DescriptorSink>(fd));
    }

    // The frames a device was fed, each whole.
    std::vector<Bytes> frames(const std::string& path) const {
        std::ifstream file(fileOf(path), std::ios::binary);
        const Bytes all((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
        const std::size_t frameBytes = outputFrameBytes(kSize, OutputFormat::rgb24);
        EXPECT_EQ(all.size() % frameBytes, 0u) << path << " got a part of a frame";
        std::vector<Bytes> frames;
        for (std::size_t at = 0; at + frameBytes <= all.size(); at += frameBytes) {
            frames.emplace_back(all.begin() + static_cast<std::ptrdiff_t>(at),
                                all.begin() + static_cast<std::ptrdiff_t>(at + frameBytes));
        }
        return frames;
    }

    // How many whole frames a device got so far, without reading them.
    std::size_t frameCount(const std::string& path) const {
        struct stat status {};
        if (::stat(fileOf(path).c_str(), &status) != 0) {
            return 0;
        }
        return static_cast<std::size_t>(status.st_size) /
               outputFrameBytes(kSize, OutputFormat::rgb24);
    }

    std::vector<std::string> opened;

  private:
    struct Device {
        LoopbackDevice device;
        bool loopback;
    };
    std::string fileOf(const std::string& path) const {
        return folder_.path() + "/" + path.substr(path.rfind('/') + 1);
    }

    testing::ScopedFolder folder_;
    mutable std::mutex mutex_;
    std::vector<Device> devices_;
};

std::vector<std::string> pathsOf(const std::vector<LoopbackDevice>& devices) {
    std::vector<std::string> paths;
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

    // A ring with a picture whose every pixel is this red.
    void publishRed(int red) {
        if (!ring) {
            ring = *FrameRing::create(name.get(), kSize, debug);
        }
        Bytes pixels(static_cast<std::size_t>(kSize.pixels()) * 3, 0);
        for (std::size_t i = 2; i < pixels.size(); i += 3) {
            pixels[i] = static_cast<std::uint8_t>(red);
        }
        ring->publish(pixels.data());
    }

    // The red of the last frame a device got, -1 without one.
    int lastRed(const std::string& path) const {
        const auto frames = devices.frames(path);
        return frames.empty() ? -1 : frames.back()[0];
    }

    bool saidLine(const std::string& text) const {
        return std::any_of(lines.begin(), lines.end(), [&](const std::string& line) {
            return line.find(text) != std::string::npos;
        });
    }

    ScopedRingName name;
    platform::DebugOnce debug;
    std::optional<FrameRing> ring;
    FakeDevices devices;
    std::vector<std::string> lines;
};

TEST_F(FeederTest, FeedsTheVelvixLoopbackDevicesAsTheyComeAndGo) {
    devices.addCamera("/dev/video0", "Integrated Camera");
    devices.addLoopback("/dev/video1", "Velvix Camera");
    devices.addLoopback("/dev/video2", "OBS Virtual Camera");
    publishRed(50);
    auto feeder = makeFeeder();

    feeder.step(0);
    EXPECT_EQ(pathsOf(feeder.fedDevices()), std::vector<std::string>{"/dev/video1"});
    EXPECT_EQ(feeder.fedDevices()[0].label, "Velvix Camera");
    EXPECT_EQ(devices.opened, std::vector<std::string>{"/dev/video1"});  // nothing else opened
    EXPECT_EQ(lastRed("/dev/video1"), 50);
    EXPECT_TRUE(saidLine("feeding the virtual camera \"Velvix Camera\" (/dev/video1)"));

    // A device that appears is fed from the next search on, within a second.
    devices.addLoopback("/dev/video3", "Velvix Second");
    publishRed(60);
    feeder.step(kFrame);
    EXPECT_EQ(pathsOf(feeder.fedDevices()), std::vector<std::string>{"/dev/video1"});
    feeder.step(kSecond);
    EXPECT_EQ(pathsOf(feeder.fedDevices()),
              (std::vector<std::string>{"/dev/video1", "/dev/video3"}));
    EXPECT_EQ(lastRed("/dev/video1"), 60);
    EXPECT_EQ(lastRed("/dev/video3"), 60);

    // One that goes away is no longer fed; the other goes on.
    devices.remove("/dev/video1");
    const std::size_t framesBefore = devices.frames("/dev/video1").size();
    feeder.step(2 * kSecond);
    EXPECT_EQ(pathsOf(feeder.fedDevices()), std::vector<std::string>{"/dev/video3"});
    EXPECT_EQ(devices.frames("/dev/video1").size(), framesBefore);
    EXPECT_EQ(devices.frames("/dev/video3").size(), 2u);
    EXPECT_TRUE(saidLine("no longer feeding the virtual camera \"Velvix Camera\""));
    EXPECT_EQ(feeder.problem(), "");
}

TEST_F(FeederTest, ANamedDeviceIsFedWhateverItsLabelAndAMissingOneIsExplainedOnce) {
    devices.addLoopback("/dev/video2", "OBS Virtual Camera");
    devices.addLoopback("/dev/video1", "Velvix Camera");
    auto named = makeFeeder("/dev/video2");
    named.step(0);
    EXPECT_EQ(pathsOf(named.fedDevices()), std::vector<std::string>{"/dev/video2"});
    EXPECT_EQ(devices.frames("/dev/video1").size(), 0u);

    auto missing = makeFeeder("/dev/video9");
    for (int second = 0; second < 3; ++second) {
        missing.step(static_cast<std::uint64_t>(second) * kSecond);
    }
    EXPECT_TRUE(missing.fedDevices().empty());
    EXPECT_EQ(missing.problem(), "cannot open /dev/video9: no such device");
    EXPECT_EQ(std::count_if(lines.begin(), lines.end(),
                            [](const std::string& l) { return l.find("/dev/video9") != l.npos; }),
              1);
    // It is fed once it appears.
    devices.addLoopback("/dev/video9", "Velvix Camera");
    missing.step(3 * kSecond);
    EXPECT_EQ(pathsOf(missing.fedDevices()), std::vector<std::string>{"/dev/video9"});
    EXPECT_EQ(missing.problem(), "");
}

TEST_F(FeederTest, TheThreadFeedsADeviceAtOnceWhenAskedToSearchAndStopsWhenTold) {
    devices.addLoopback("/dev/video4", "Velvix Camera");
    auto feeder = makeFeeder();
    {
        std::jthread thread([&](std::stop_token stop) { feeder.run(stop); });
        ASSERT_TRUE(testing::waitUntil([&] { return devices.frameCount("/dev/video4") > 0; }));
        devices.addLoopback("/dev/video5", "Velvix Camera");
        feeder.searchSoon();
        ASSERT_TRUE(testing::waitUntil([&] { return feeder.fedDevices().size() == 2; }));
    }
    EXPECT_GE(devices.frameCount("/dev/video5"), 1u);
}

TEST(LoopbackSetup, RunsTheFixedCommandOnceAtATimeAndExplainsFailures) {
    const auto command = loopbackSetupCommand();
    ASSERT_EQ(command.size(), 5u);
    EXPECT_TRUE(command[0].starts_with('/') && command[0].ends_with("/pkexec")) << command[0];
    EXPECT_TRUE(command[1].starts_with('/') && command[1].ends_with("/modprobe")) << command[1];
    EXPECT_EQ(
        std::vector(command.begin() + 2, command.end()),
        (std::vector<std::string>{"v4l2loopback", "exclusive_caps=1", "card_label=Velvix Camera"}));

    std::mutex mutex;
    std::condition_variable changed;
    bool release = false;
    int runs = 0;
    CommandResult result{true, 0, ""};
    int successes = 0;
    LoopbackSetup setup(
        [&](const std::vector<std::string>& arguments) {
            EXPECT_EQ(arguments, loopbackSetupCommand());
            std::unique_lock lock(mutex);
            ++runs;
            changed.wait(lock, [&] { return release; });
            release = false;
            return result;
        },
        [&] { ++successes; });
    const auto finish = [&] {
        {
            const std::lock_guard lock(mutex);
            release = true;
        }
        changed.notify_all();
        while (setup.running()) {
            std::this_thread::yield();
        }
    };
    setup.start();
    EXPECT_TRUE(setup.running());
    setup.start();  // while the password dialog is open: no second command
    finish();
    EXPECT_EQ(runs, 1);
    EXPECT_EQ(successes, 1);
    EXPECT_EQ(setup.failure(), "");

    result = {true, 1,
              "modprobe: FATAL: Module v4l2loopback not found in directory /lib/modules/6.1.0\n"};
    setup.start();
    finish();
    EXPECT_NE(setup.failure().find("install the package v4l2loopback-dkms"), std::string::npos);
    EXPECT_EQ(successes, 1);

    result = {true, 1,
              "modprobe: ERROR: could not insert 'v4l2loopback': Key was rejected by "
              "service\n"};
    setup.start();
    finish();
    EXPECT_NE(setup.failure().find("Secure Boot"), std::string::npos);
    EXPECT_NE(setup.failure().find("mokutil --import"), std::string::npos);

    EXPECT_NE(setupFailureText({true, 126, ""}).find("cancelled"), std::string::npos);
    // pkexec's 127 covers a refusal and a program it cannot run: its own line says which.
    for (const char* said : {"Error executing command as another user: Not authorized",
                             "Cannot run program modprobe: No such file or directory"}) {
        const std::string text = setupFailureText({true, 127, std::string(said) + "\n"});
        EXPECT_NE(text.find("not allowed, or pkexec could not run it: " + std::string(said)),
                  std::string::npos)
            << text;
    }
    EXPECT_NE(setupFailureText({false, -1, ""}).find("pkexec could not be started"),
              std::string::npos);
    EXPECT_EQ(setupFailureText({true, 3, "first\nmodprobe: something else\n"}),
              "modprobe failed (exit code 3): modprobe: something else");
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
