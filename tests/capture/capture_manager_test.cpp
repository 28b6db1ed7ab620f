#include "velvix/capture/capture_manager.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <functional>
#include <map>
#include <mutex>
#include <thread>

#include "camera_lists.hpp"
#include "media_types.hpp"
#include "sample_grabber.hpp"

namespace velvix {
namespace {

constexpr int kPeriod = 333333;

// A camera system the test scripts. Every configuration call is logged as one line, e.g.
// "route 2", "set 1280x720 RGB24 every 333333", "start RGB24", "stop".
struct FakeDevice {
    FakeDevice(std::u16string deviceName, VideoFormat format = {640, 480, MediaSubtype::rgb24})
        : name(std::move(deviceName)), current(format) {}

    std::u16string name;
    VideoFormat current;
    std::function<bool(const VideoFormat&)> accepts;  // every format when empty
    std::vector<SizeCapability> capabilities;
    std::vector<CameraMode> modes;
    bool startFails = false;
};

class FakeBackend final : public CaptureBackend {
  public:
    std::vector<std::u16string> deviceNames() override {
        std::vector<std::u16string> names;
        for (const auto& device : devices) {
            names.push_back(device.name);
        }
        return names;
    }
    std::unique_ptr<DeviceConnection> connect(int index) override {
        std::lock_guard guard(mutex_);
        ++connects_[index];
        return std::make_unique<Connection>(*this, index);
    }
    void beginThreadUse() override {
        std::lock_guard guard(mutex_);
        ++begins[std::this_thread::get_id()];
    }
    void endThreadUse() override {
        std::lock_guard guard(mutex_);
        ++ends[std::this_thread::get_id()];
    }

    // The sink of the stream that device `index` runs now, or null.
    SampleSink* sinkOf(int index) {
        std::lock_guard guard(mutex_);
        return sinks_.contains(index) ? sinks_[index] : nullptr;
    }
    int connectsOf(int index) {
        std::lock_guard guard(mutex_);
        return connects_[index];
    }
    std::vector<std::string> logLines() {
        std::lock_guard guard(mutex_);
        return log_;
    }

    std::vector<FakeDevice> devices;
    std::map<std::thread::id, int> begins;
    std::map<std::thread::id, int> ends;

  private:
    class Connection final : public DeviceConnection {
      public:
        Connection(FakeBackend& backend, int index) : backend_(backend), index_(index) {}

        std::optional<VideoFormat> currentFormat() override { return device().current; }
        bool setFormat(const VideoFormat& format) override {
            note("set " + std::to_string(format.width) + "x" + std::to_string(format.height) + " " +
                 std::string(subtypeName(format.subtype)) +
                 (format.framePeriod == kNoFramePeriod
                      ? ""
                      : " every " + std::to_string(format.framePeriod)));
            if (device().accepts && !device().accepts(format)) {
                return false;
            }
            device().current = format;
            return true;
        }
        std::vector<SizeCapability> capabilities() override { return device().capabilities; }
        std::vector<CameraMode> modes(const VideoFormat&) override { return device().modes; }
        void routeInput(int connectorType) override {
            note("route " + std::to_string(connectorType));
        }
        bool startStreaming(MediaSubtype delivered, SampleSink& sink) override {
            note("start " + std::string(subtypeName(delivered)));
            if (device().startFails) {
                return false;
            }
            std::lock_guard guard(backend_.mutex_);
            backend_.sinks_[index_] = &sink;
            return true;
        }
        void stopStreaming() override {
            note("stop");
            std::lock_guard guard(backend_.mutex_);
            backend_.sinks_.erase(index_);
        }

      private:
        FakeDevice& device() { return backend_.devices[static_cast<std::size_t>(index_)]; }
        void note(std::string line) {
            std::lock_guard guard(backend_.mutex_);
            backend_.log_.push_back(std::move(line));
        }

        FakeBackend& backend_;
        int index_;
    };

    std::mutex mutex_;
    std::vector<std::string> log_;
    std::map<int, SampleSink*> sinks_;
    std::map<int, int> connects_;
};

std::vector<std::uint8_t> rgbSample(int width, int height, std::uint8_t seed) {
    std::vector<std::uint8_t> sample(static_cast<std::size_t>(width * height * 3));
    for (std::size_t i = 0; i < sample.size(); ++i) {
        sample[i] = static_cast<std::uint8_t>(seed + i);
    }
    return sample;
}

std::vector<std::string> setAttempts(FakeBackend& backend) {
    std::vector<std::string> attempts;
    for (const auto& line : backend.logLines()) {
        if (line.starts_with("set ")) {
            attempts.push_back(line);
        }
    }
    return attempts;
}

// Opens `device` the way the frame worker does.
bool openAsWorker(CaptureManager& manager, int device, int width = 1280, int height = 720) {
    manager.setFramePeriod(device, kPeriod);
    manager.setAskSize(device, width, height, MediaSubtype::rgb24);
    manager.setConnector(device, ConnectorKind::composite);
    return manager.openDevice(device);
}

class CaptureManagerTest : public ::testing::Test {
  protected:
    void deliver(const std::vector<std::uint8_t>& sample, int device = 0) {
        SampleSink* sink = backend->sinkOf(device);
        ASSERT_NE(sink, nullptr);
        sink->deliverSample(sample.data(), sample.size());
    }

    std::shared_ptr<FakeBackend> backend = std::make_shared<FakeBackend>();
    CaptureManager manager{CaptureBackends{backend}};
};

// 1280x720 at 30 fps asked of each device: one that lists its formats is asked once, for the
// chosen one; one that lists none is asked for the size in every sub-type, then for the nearest
// size it offers, and is left in its own format when nothing fits.
TEST(CaptureNegotiation, SetsEachKindOfDeviceToWhatItCanDeliver) {
    FakeDevice captureCard{u"Cam Link", {1920, 1080, MediaSubtype::nv12}};
    captureCard.modes = testing::cameraModes(testing::readCameraList("elgato_camlink_4k_1080p25"));
    // Every other sub-type is refused before it reaches the device.
    FakeDevice nv12{u"NV12", {1280, 720, MediaSubtype::nv12}};
    nv12.accepts = [](const VideoFormat& f) { return f.subtype == MediaSubtype::nv12; };
    FakeDevice twoSizes{u"Two sizes", {640, 480, MediaSubtype::yuy2}};
    twoSizes.accepts = [](const VideoFormat& f) { return f.width == 640 || f.width == 1920; };
    twoSizes.capabilities = {{MediaSubtype::yuy2, 640, 640, 1, 480, 480, 1},
                             {MediaSubtype::mjpg, 1920, 1920, 1, 1080, 1080, 1}};
    FakeDevice stubborn{u"Stubborn", {320, 240, MediaSubtype::grey}};
    stubborn.accepts = [](const VideoFormat& f) { return f.width == 320 && f.height == 240; };
    struct Case {
        FakeDevice device;
        bool firstAttempt;
        const char* lastSet;
        int width;
        int height;
        std::size_t bufferSize;
        const char* start;
        const char* note;
    };
    const Case cases[] = {
        {{u"Cam"},
         true,
         "set 1280x720 RGB24 every 333333",
         1280,
         720,
         2'764'800,
         "start RGB24",
         ""},
        {captureCard, true, "set 1920x1080 YUY2 every 400000", 1920, 1080, 1920 * 1080 * 3,
         "start RGB24", "25 fps: the camera sends no faster at this size"},
        {nv12, true, "set 1280x720 NV12 every 333333", 1280, 720, 1280 * 720 * 3 / 2, "start NV12",
         ""},
        {twoSizes, false, "set 640x480 YUY2 every 333333", 640, 480, 640 * 480 * 3, "start RGB24",
         ""},
        {stubborn, false, "set 320x240 GREY every 333333", 320, 240, 320 * 240, "start GREY", ""},
    };
    for (const Case& row : cases) {
        const auto backend = std::make_shared<FakeBackend>();
        backend->devices = {row.device};
        SCOPED_TRACE(std::string(row.device.name.begin(), row.device.name.end()));
        CaptureManager manager({backend});
        ASSERT_TRUE(openAsWorker(manager, 0));
        const auto attempts = setAttempts(*backend);
        EXPECT_EQ(attempts.back(), row.lastSet);
        if (row.firstAttempt) {
            EXPECT_EQ(attempts.size(), 1u);
        }
        const CaptureDevice& record = manager.record(0);
        EXPECT_EQ(record.width, row.width);
        EXPECT_EQ(record.height, row.height);
        EXPECT_EQ(record.bufferSize, row.bufferSize);
        EXPECT_EQ(backend->logLines().back(), row.start);
        EXPECT_EQ(manager.cameraNote(), row.note);
        manager.closeDevice(0);
        EXPECT_EQ(manager.cameraNote(), "");
    }
}

// Requests outlive neither a failed open nor a close; a device beyond the count is not touched.
TEST_F(CaptureManagerTest, OpensADeviceOnceAndForgetsItsRequestsWhenItFailsOrCloses) {
    backend->devices = {{u"Cam"}, {u"Broken"}};
    backend->devices[1].startFails = true;
    EXPECT_FALSE(manager.openDevice(3));
    EXPECT_EQ(backend->connectsOf(3), 0);

    manager.setReconnect(1, 90);
    EXPECT_FALSE(openAsWorker(manager, 1));
    EXPECT_FALSE(manager.record(1).reconnectOnFreeze);
    EXPECT_EQ(manager.record(1).framePeriod, kNoFramePeriod);
    EXPECT_EQ(manager.record(1).askWidth, 640);

    ASSERT_TRUE(openAsWorker(manager, 0));
    EXPECT_TRUE(manager.isCapturing(0));
    EXPECT_FALSE(manager.openDevice(0));
    manager.closeDevice(0);
    EXPECT_EQ(backend->logLines().back(), "stop");
    EXPECT_FALSE(manager.isCapturing(0));
    EXPECT_EQ(manager.record(0).askWidth, 640);
    EXPECT_EQ(backend->sinkOf(0), nullptr);
}

// A device that stops delivering is reopened, with what was asked of it, only once 400 polls
// have passed since it opened; one that delivers never is.
TEST_F(CaptureManagerTest, ReopensAFrozenDeviceAfter400PollsWithTheRequestsKept) {
    backend->devices = {{u"Cam"}};
    ASSERT_TRUE(openAsWorker(manager, 0, 4, 2));
    manager.setReconnect(0, 90);
    for (int poll = 0; poll < 401; ++poll) {
        EXPECT_FALSE(manager.pollNewFrame(0));
    }
    EXPECT_EQ(backend->connectsOf(0), 1);  // poll 401 sees 400 polls behind it: not yet more
    manager.pollNewFrame(0);
    EXPECT_EQ(backend->connectsOf(0), 2);
    const CaptureDevice& record = manager.record(0);
    EXPECT_TRUE(record.capturing);
    EXPECT_EQ(record.pollsRunning, 0u);
    EXPECT_EQ(record.framePeriod, kPeriod);
    EXPECT_EQ(record.width, 4);
    EXPECT_TRUE(record.reconnectOnFreeze);
    EXPECT_EQ(record.reconnectThreshold, 90);
    const auto lines = backend->logLines();
    EXPECT_EQ(std::count(lines.begin(), lines.end(), "route 2"), 2);  // the input, both times

    std::vector<std::uint8_t> frame(4 * 2 * 4);
    for (int poll = 0; poll < 600; ++poll) {
        deliver(rgbSample(4, 2, static_cast<std::uint8_t>(poll)));
        ASSERT_TRUE(manager.pollNewFrame(0));
        ASSERT_TRUE(manager.fetchFrame(0, frame.data(), {4, 2}));
    }
    EXPECT_EQ(backend->connectsOf(0), 2);
}

TEST_F(CaptureManagerTest, KeepsTheFirstUnfetchedSampleAndDropsWrongLengths) {
    backend->devices = {{u"Cam"}};
    ASSERT_TRUE(openAsWorker(manager, 0, 4, 2));
    deliver(std::vector<std::uint8_t>(23, 9));
    EXPECT_FALSE(manager.pollNewFrame(0));
    EXPECT_EQ(manager.record(0).callback->lastLength(), 23u);

    const auto first = rgbSample(4, 2, 10);
    deliver(first);
    deliver(rgbSample(4, 2, 50));
    EXPECT_TRUE(manager.pollNewFrame(0));
    std::vector<std::uint8_t> frame(4 * 2 * 4);
    ASSERT_TRUE(manager.fetchFrame(0, frame.data(), {4, 2}));
    EXPECT_EQ(frame[0], first[2]);  // red of the first pixel of the first sample
    EXPECT_FALSE(manager.pollNewFrame(0));

    deliver(rgbSample(4, 2, 90));
    EXPECT_TRUE(manager.pollNewFrame(0));
    ASSERT_TRUE(manager.fetchFrame(0, frame.data(), {4, 2}));
    EXPECT_EQ(frame[0], static_cast<std::uint8_t>(92));
}

TEST_F(CaptureManagerTest, FetchScalesAPictureOfAnotherSizeToCoverTheAskedSize) {
    backend->devices = {{u"Cam"}};
    ASSERT_TRUE(openAsWorker(manager, 0, 4, 2));
    // Blue = 10 x column, green = 10 x row, red = 100.
    std::vector<std::uint8_t> sample;
    for (int y = 0; y < 2; ++y) {
        for (int x = 0; x < 4; ++x) {
            sample.insert(sample.end(), {static_cast<std::uint8_t>(10 * x),
                                         static_cast<std::uint8_t>(10 * y), 100});
        }
    }
    deliver(sample);
    std::vector<std::uint8_t> enlarged(2 * 4 * 4, 7);
    ASSERT_TRUE(manager.fetchFrame(0, enlarged.data(), {2, 4}));
    // 4 x 2 covers 4 x 4 at twice its size: columns 1 and 2 of the doubled picture fill the
    // frame's width, nothing is black.
    EXPECT_EQ(std::vector<std::uint8_t>(enlarged.begin(), enlarged.begin() + 8),
              (std::vector<std::uint8_t>{100, 0, 13, 255, 100, 0, 18, 255}));
    EXPECT_EQ(std::vector<std::uint8_t>(enlarged.end() - 8, enlarged.end()),
              (std::vector<std::uint8_t>{100, 10, 13, 255, 100, 10, 18, 255}));
}

// Names are cut to 253 bytes and reduced to their low bytes; several backends list their
// devices in their order, and each manager keeps its own name table.
TEST_F(CaptureManagerTest, NamesTheDevicesOfSeveralBackendsInTheirOrder) {
    std::u16string longName(300, u'\u0141');  // low byte 0x41, 'A'
    backend->devices = {{u"Caf\u00e9"}, {longName}};
    EXPECT_EQ(manager.countDevices(), 2);
    EXPECT_EQ(manager.deviceName(0), "Caf\xe9");
    EXPECT_EQ(manager.deviceName(1), std::string(253, 'A'));
    EXPECT_EQ(manager.deviceName(20), "");

    auto tests = std::make_shared<FakeBackend>();
    tests->devices = {{u"Test 1"}, {u"Test 2"}};
    CaptureManager both({backend, tests});
    EXPECT_EQ(both.countDevices(), 4);
    EXPECT_EQ(both.deviceName(3), "Test 2");
    both.setAskSize(3, 640, 480, MediaSubtype::rgb24);
    EXPECT_TRUE(both.openDevice(3));
    EXPECT_NE(tests->sinkOf(1), nullptr);
    EXPECT_EQ(backend->connectsOf(1), 0);

    backend->devices.clear();
    EXPECT_EQ(manager.countDevices(), 0);
    EXPECT_EQ(manager.deviceName(0), "Caf\xe9");  // an empty listing writes no row
    EXPECT_EQ(manager.deviceName(3), "");
}

TEST(CaptureManager, SetsUpEachThreadOnceAndReleasesItOnTheLastUse) {
    const auto backend = std::make_shared<FakeBackend>();
    backend->devices = {{u"Cam"}};
    const auto here = std::this_thread::get_id();
    {
        CaptureManager first({backend});
        CaptureManager second({backend});
        first.setAskSize(0, 640, 480, MediaSubtype::rgb24);
        ASSERT_TRUE(first.openDevice(0));  // the running stream keeps this thread's use
        second.countDevices();
        std::thread other([&] {
            CaptureManager onOtherThread({backend});
            onOtherThread.countDevices();
        });
        other.join();
        EXPECT_EQ(backend->begins[here], 1);
        EXPECT_FALSE(backend->ends.contains(here));
        EXPECT_EQ(backend->begins.size(), 2u);
        EXPECT_EQ(backend->ends.size(), 1u);
    }
    EXPECT_EQ(backend->ends[here], 1);
}

TEST_F(CaptureManagerTest, HandsWholeFramesOverFromAStreamingThread) {
    backend->devices = {{u"Cam"}};
    constexpr int kWidth = 64;
    constexpr int kHeight = 32;
    ASSERT_TRUE(openAsWorker(manager, 0, kWidth, kHeight));
    SampleSink* sink = backend->sinkOf(0);
    std::atomic<bool> done{false};
    std::thread streaming([&] {
        std::vector<std::uint8_t> sample(kWidth * kHeight * 3);
        for (std::uint8_t value = 0; !done; ++value) {
            std::fill(sample.begin(), sample.end(), value);
            sink->deliverSample(sample.data(), sample.size());
            std::this_thread::yield();
        }
    });
    std::vector<std::uint8_t> frame(kWidth * kHeight * 4);
    for (int fetched = 0; fetched < 200;) {
        if (!manager.pollNewFrame(0)) {
            std::this_thread::yield();
            continue;
        }
        ASSERT_TRUE(manager.fetchFrame(0, frame.data(), {kWidth, kHeight}));
        for (std::size_t i = 0; i < frame.size(); i += 4) {
            ASSERT_EQ(frame[i], frame[0]) << "a torn frame at byte " << i;
        }
        ++fetched;
    }
    done = true;
    streaming.join();
}

}  // namespace
}  // namespace velvix
