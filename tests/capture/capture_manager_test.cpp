#include "velvix/capture/capture_manager.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <map>
#include <optional>
#include <thread>

#include "camera_samples.hpp"
#include "sample_grabber.hpp"
#include "test_support.hpp"

namespace velvix {
namespace {

constexpr int kPeriod = 333333;

// A camera system the test scripts.
struct FakeDevice {
    std::u16string name;
    VideoFormat current = {640, 480, MediaSubtype::rgb24};
    std::function<bool(const VideoFormat&)> accepts{};  // every format when empty
    std::vector<SizeCapability> capabilities{};
    std::vector<CameraMode> modes{};
    std::vector<VideoFormat> formatsSet{};
    std::optional<MediaSubtype> started{};
    SampleSink* sink = nullptr;  // of the running stream
};

class FakeBackend final : public CaptureBackend {
  public:
    explicit FakeBackend(std::vector<FakeDevice> list) : devices(std::move(list)) {}

    std::vector<std::u16string> deviceNames() override {
        std::vector<std::u16string> names;
        for (const auto& device : devices) {
            names.push_back(device.name);
        }
        return names;
    }
    std::unique_ptr<DeviceConnection> connect(int index) override {
        ++connects[index];
        return std::make_unique<Connection>(devices[static_cast<std::size_t>(index)]);
    }

    std::vector<FakeDevice> devices;
    std::map<int, int> connects;

  private:
    class Connection final : public DeviceConnection {
      public:
        explicit Connection(FakeDevice& device) : device_(device) {}

        std::optional<VideoFormat> currentFormat() override { return device_.current; }
        bool setFormat(const VideoFormat& format) override {
            device_.formatsSet.push_back(format);
            if (device_.accepts && !device_.accepts(format)) {
                return false;
            }
            device_.current = format;
            return true;
        }
        std::vector<SizeCapability> capabilities() override { return device_.capabilities; }
        std::vector<CameraMode> modes(const VideoFormat&) override { return device_.modes; }
        bool startStreaming(MediaSubtype delivered, SampleSink& sink) override {
            device_.started = delivered;
            device_.sink = &sink;
            return true;
        }
        void stopStreaming() override { device_.sink = nullptr; }

      private:
        FakeDevice& device_;
    };
};

// Opens `device` the way the frame worker does.
bool openAsWorker(CaptureManager& manager, int device, int width = 1280, int height = 720) {
    manager.setFramePeriod(device, kPeriod);
    manager.setAskSize(device, width, height, MediaSubtype::rgb24);
    return manager.openDevice(device);
}

// One camera opened at 4 x 2.
class CaptureManagerTest : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_TRUE(openAsWorker(manager, 0, 4, 2)); }

    void deliver(const std::vector<std::uint8_t>& sample) {
        backend->devices[0].sink->deliverSample(sample.data(), sample.size());
    }

    std::shared_ptr<FakeBackend> backend =
        std::make_shared<FakeBackend>(std::vector<FakeDevice>{{u"Cam"}});
    CaptureManager manager{CaptureBackends{backend}};
    std::vector<std::uint8_t> frame = std::vector<std::uint8_t>(4 * 2 * 4);
};

// 1280x720 at 30 fps asked of each device: one that lists its formats is asked once, for the
// chosen one; one that lists none is asked for the size in every sub-type, then for the nearest
// size it offers. (One that takes NV12 only, or fits nothing and is left in its own format: the
// test camera's cases.)
TEST(CaptureNegotiation, SetsEachKindOfDeviceToWhatItCanDeliver) {
    using enum MediaSubtype;
    FakeDevice card{u"Cam Link", {1920, 1080, nv12}};
    card.modes = testing::cameraModes("elgato_camlink_4k_1080p25");
    FakeDevice twoSizes{u"Two sizes", {640, 480, yuy2}};
    twoSizes.accepts = [](const VideoFormat& f) { return f.width == 640 || f.width == 1920; };
    twoSizes.capabilities = {{yuy2, 640, 640, 1, 480, 480, 1},
                             {mjpg, 1920, 1920, 1, 1080, 1080, 1}};
    const char* slow = "25 fps: the camera sends no faster at this size";
    struct Case {
        FakeDevice device;
        bool firstAttempt;
        VideoFormat lastSet;
        std::size_t bufferSize;
        const char* note = "";
    };
    const Case cases[] = {
        {{u"Cam"}, true, {1280, 720, rgb24, kPeriod}, 1280 * 720 * 3},
        {card, true, {1920, 1080, yuy2, 400000}, 1920 * 1080 * 3, slow},
        {twoSizes, false, {640, 480, yuy2, kPeriod}, 640 * 480 * 3},
    };
    for (const Case& row : cases) {
        const auto backend = std::make_shared<FakeBackend>(std::vector{row.device});
        SCOPED_TRACE(std::string(row.device.name.begin(), row.device.name.end()));
        CaptureManager manager({backend});
        ASSERT_TRUE(openAsWorker(manager, 0));
        const FakeDevice& device = backend->devices[0];
        EXPECT_EQ(device.formatsSet.back(), row.lastSet);
        if (row.firstAttempt) {
            EXPECT_EQ(device.formatsSet.size(), 1u);
        }
        EXPECT_EQ(manager.record(0).bufferSize, row.bufferSize);
        EXPECT_EQ(device.started, rgb24);  // the backend converts
        EXPECT_EQ(manager.cameraNote(), row.note);
        manager.closeDevice(0);
        EXPECT_EQ(manager.cameraNote(), "");
    }
}

// Samples of a wrong length are dropped. A frozen device is reopened (the headless program's
// camera-lost run shows it), one that delivers never is.
TEST_F(CaptureManagerTest, DropsWrongLengthsAndNeverReopensADeviceThatDelivers) {
    deliver(std::vector<std::uint8_t>(23, 9));
    EXPECT_FALSE(manager.pollNewFrame(0));
    EXPECT_EQ(manager.record(0).callback->lastLength(), 23u);

    manager.setReconnect(0, 90);
    for (int poll = 0; poll < 600; ++poll) {
        deliver(std::vector<std::uint8_t>(4 * 2 * 3, static_cast<std::uint8_t>(poll)));
        ASSERT_TRUE(manager.pollNewFrame(0));
        ASSERT_TRUE(manager.fetchFrame(0, frame.data(), {4, 2}));
    }
    EXPECT_EQ(backend->connects[0], 1);
}

TEST_F(CaptureManagerTest, FetchScalesAPictureOfAnotherSizeToCoverTheAskedSize) {
    // Blue = 10 x column, green = 10 x row, red = 100.
    std::vector<std::uint8_t> sample;
    for (int y = 0; y < 2; ++y) {
        for (int x = 0; x < 4; ++x) {
            sample.insert(sample.end(), {static_cast<std::uint8_t>(10 * x),
                                         static_cast<std::uint8_t>(10 * y), 100});
        }
    }
    deliver(sample);
    ASSERT_TRUE(manager.fetchFrame(0, frame.data(), {2, 4}));
    // 4 x 2 covers 2 x 4 at twice its size: columns 1 and 2 of the doubled picture fill the
    // frame's width, nothing is black.
    EXPECT_EQ(std::vector<std::uint8_t>(frame.begin(), frame.begin() + 8),
              (std::vector<std::uint8_t>{100, 0, 13, 255, 100, 0, 18, 255}));
    EXPECT_EQ(std::vector<std::uint8_t>(frame.end() - 8, frame.end()),
              (std::vector<std::uint8_t>{100, 10, 13, 255, 100, 10, 18, 255}));
}

// Several backends list their devices in their order. (Each thread's set-up, COM under wine,
// is exercised by every program run under wine.)
TEST_F(CaptureManagerTest, OpensTheDevicesOfSeveralBackendsInTheirOrder) {
    const auto tests = std::make_shared<FakeBackend>(std::vector<FakeDevice>{{u"Test camera"}});
    CaptureManager both({backend, tests});
    EXPECT_EQ(both.countDevices(), 2);
    EXPECT_EQ(both.deviceName(1), "Test camera");
    both.setAskSize(1, 640, 480, MediaSubtype::rgb24);
    EXPECT_TRUE(both.openDevice(1));
    EXPECT_EQ(std::pair(backend->connects[0], tests->connects[0]), std::pair(1, 1));
}

TEST_F(CaptureManagerTest, HandsWholeFramesOverFromAStreamingThread) {
    constexpr int kWidth = 64;
    constexpr int kHeight = 32;
    manager.closeDevice(0);
    ASSERT_TRUE(openAsWorker(manager, 0, kWidth, kHeight));
    SampleSink* sink = backend->devices[0].sink;
    std::atomic<bool> done{false};
    std::thread streaming([&] {
        std::vector<std::uint8_t> sample(kWidth * kHeight * 3);
        for (std::uint8_t value = 0; !done; ++value) {
            std::fill(sample.begin(), sample.end(), value);
            sink->deliverSample(sample.data(), sample.size());
            std::this_thread::yield();
        }
    });
    frame.resize(kWidth * kHeight * 4);
    for (int fetched = 0; fetched < 200; ++fetched) {
        ASSERT_TRUE(testing::waitUntil([&] { return manager.pollNewFrame(0); }));
        ASSERT_TRUE(manager.fetchFrame(0, frame.data(), {kWidth, kHeight}));
        for (std::size_t i = 0; i < frame.size(); i += 4) {
            ASSERT_EQ(frame[i], frame[0]) << "a torn frame at byte " << i;
        }
    }
    done = true;
    streaming.join();
}

}  // namespace
}  // namespace velvix
