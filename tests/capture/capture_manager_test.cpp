#include "velvix/capture/capture_manager.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <thread>

#include "camera_lists.hpp"
#include "fake_backend.hpp"
#include "media_types.hpp"
#include "sample_grabber.hpp"

namespace velvix {
namespace {

using testing::FakeBackend;
using testing::FakeDevice;

constexpr int kPeriod = 333333;

std::vector<std::uint8_t> rgbSample(int width, int height, std::uint8_t seed) {
    std::vector<std::uint8_t> sample(static_cast<std::size_t>(width * height * 3));
    for (std::size_t i = 0; i < sample.size(); ++i) {
        sample[i] = static_cast<std::uint8_t>(seed + i);
    }
    return sample;
}

class CaptureManagerTest : public ::testing::Test {
  protected:
    CaptureManager& manager() {
        if (!manager_) {
            manager_ = std::make_unique<CaptureManager>(CaptureBackends{backend});
        }
        return *manager_;
    }

    // Opens device 0 the way the frame worker does.
    bool openAsWorker(int width = 1280, int height = 720) {
        manager().setFramePeriod(0, kPeriod);
        manager().setAskSize(0, width, height, MediaSubtype::rgb24);
        manager().setConnector(0, ConnectorKind::composite);
        return manager().openDevice(0);
    }

    void deliver(const std::vector<std::uint8_t>& sample, int device = 0) {
        SampleSink* sink = backend->sinkOf(device);
        ASSERT_NE(sink, nullptr);
        sink->deliverSample(sample.data(), sample.size());
    }

    std::vector<std::string> setAttempts() {
        std::vector<std::string> attempts;
        for (const auto& line : backend->logLines()) {
            if (line.starts_with("set ")) {
                attempts.push_back(line);
            }
        }
        return attempts;
    }

    std::shared_ptr<FakeBackend> backend = std::make_shared<FakeBackend>();
    std::unique_ptr<CaptureManager> manager_;
};

TEST_F(CaptureManagerTest, OpensAtTheRequestedSizeAndSubtypeOnTheFirstAttempt) {
    backend->devices = {FakeDevice{u"Cam"}};
    ASSERT_TRUE(openAsWorker());
    const CaptureDevice& record = manager().record(0);
    EXPECT_TRUE(record.capturing);
    EXPECT_EQ(record.width, 1280);
    EXPECT_EQ(record.height, 720);
    EXPECT_EQ(record.subtype, MediaSubtype::rgb24);
    EXPECT_EQ(record.bufferSize, 2'764'800u);
    EXPECT_EQ(setAttempts(), (std::vector<std::string>{"set 0 1280x720 RGB24 every 333333"}));
    EXPECT_EQ(backend->logLines().back(), "start 0 RGB24");
    EXPECT_EQ(manager().deviceCount(), 1);
    EXPECT_TRUE(manager().isCapturing(0));
}

// A device that lists its formats is asked once, for the chosen one; what that costs in frames
// stays readable while it is open.
TEST_F(CaptureManagerTest, AsksADeviceThatListsItsFormatsForTheChosenOne) {
    FakeDevice webcam{u"C310", {640, 480, MediaSubtype::yuy2}};
    webcam.modes = testing::cameraModes(testing::readCameraList("logitech_c310"));
    FakeDevice captureCard{u"Cam Link", {1920, 1080, MediaSubtype::nv12}};
    captureCard.modes = testing::cameraModes(testing::readCameraList("elgato_camlink_4k_1080p25"));
    backend->devices = {webcam, captureCard};

    ASSERT_TRUE(openAsWorker());
    EXPECT_EQ(setAttempts(), (std::vector<std::string>{"set 0 1280x720 MJPG every 333333"}));
    EXPECT_EQ(manager().record(0).subtype, MediaSubtype::mjpg);
    EXPECT_EQ(backend->logLines().back(), "start 0 MJPG");
    EXPECT_EQ(manager().cameraNote(), "");
    manager().closeDevice(0);

    manager().setFramePeriod(1, kPeriod);
    manager().setAskSize(1, 1280, 720, MediaSubtype::rgb24);
    ASSERT_TRUE(manager().openDevice(1));
    EXPECT_EQ(setAttempts().back(), "set 1 1920x1080 YUY2 every 400000");
    EXPECT_EQ(manager().record(1).width, 1920);
    EXPECT_EQ(manager().cameraNote(), "25 fps: the camera sends no faster at this size");
    manager().closeDevice(1);
    EXPECT_EQ(manager().cameraNote(), "");
}

TEST_F(CaptureManagerTest, AnNv12DeviceIsOnlyEverAskedForNv12) {
    FakeDevice device{u"Nv12 only", {1280, 720, MediaSubtype::nv12}};
    device.accepts = [](const VideoFormat& format) { return format.subtype == MediaSubtype::nv12; };
    backend->devices = {device};
    ASSERT_TRUE(openAsWorker());
    const CaptureDevice& record = manager().record(0);
    // Every other sub-type was refused before reaching the device; the list's last entry won.
    EXPECT_EQ(setAttempts(), (std::vector<std::string>{"set 0 1280x720 NV12 every 333333"}));
    EXPECT_EQ(record.subtype, subtypeAt(22));
    EXPECT_EQ(record.bufferSize, 1280u * 720u * 3u / 2u);
    EXPECT_EQ(backend->logLines().back(), "start 0 NV12");
}

TEST_F(CaptureManagerTest, FallsBackToTheNearestOfferedSize) {
    FakeDevice device{u"Two sizes", {640, 480, MediaSubtype::yuy2}};
    device.capabilities = {{MediaSubtype::yuy2, 640, 640, 1, 480, 480, 1},
                           {MediaSubtype::mjpg, 1920, 1920, 1, 1080, 1080, 1}};
    device.accepts = [](const VideoFormat& format) {
        return (format.width == 640 && format.height == 480) ||
               (format.width == 1920 && format.height == 1080);
    };
    backend->devices = {device};
    ASSERT_TRUE(openAsWorker());
    const auto attempts = setAttempts();
    // The asked size and sub-type, the 23 list entries (with a restore after each refusal),
    // then the nearest size.
    EXPECT_EQ(attempts.back(), "set 0 640x480 YUY2 every 333333");
    const CaptureDevice& record = manager().record(0);
    EXPECT_EQ(record.width, 640);
    EXPECT_EQ(record.height, 480);
    EXPECT_EQ(record.bufferSize, 640u * 480u * 3u);
    EXPECT_EQ(backend->logLines().back(), "start 0 RGB24");
}

TEST_F(CaptureManagerTest, KeepsTheDeviceFormatWhenNothingFits) {
    FakeDevice device{u"Stubborn", {320, 240, MediaSubtype::grey}};
    device.accepts = [](const VideoFormat& format) {
        return format.width == 320 && format.height == 240 && format.subtype == MediaSubtype::grey;
    };
    backend->devices = {device};
    ASSERT_TRUE(openAsWorker());
    const CaptureDevice& record = manager().record(0);
    EXPECT_EQ(record.width, 320);
    EXPECT_EQ(record.height, 240);
    EXPECT_EQ(record.bufferSize, 320u * 240u);
    EXPECT_EQ(setAttempts().back(), "set 0 320x240 GREY every 333333");
    EXPECT_EQ(backend->logLines().back(), "start 0 GREY");
}

TEST(NearestOfferedSize, PrefersAnExactMatchAndTheEarlierOfEqualCandidates) {
    const std::vector<SizeCapability> offered{
        {MediaSubtype::yuy2, 640, 640, 1, 480, 480, 1},
        {MediaSubtype::mjpg, 1920, 1920, 1, 1080, 1080, 1},
        {MediaSubtype::nv12, 320, 1920, 320, 240, 1080, 120},
    };
    EXPECT_EQ(nearestOfferedSize(offered, 1280, 720), (VideoFormat{1280, 720, MediaSubtype::nv12}));
    EXPECT_EQ(nearestOfferedSize(offered, 650, 490), (VideoFormat{640, 480, MediaSubtype::yuy2}));

    // 1000 x 600 is 100 + 120 from both 1100 x 480 and 900 x 720: the first one wins.
    const std::vector<SizeCapability> tie{{MediaSubtype::rgb24, 1100, 1100, 1, 480, 480, 1},
                                          {MediaSubtype::yuy2, 900, 900, 1, 720, 720, 1}};
    EXPECT_EQ(nearestOfferedSize(tie, 1000, 600), (VideoFormat{1100, 480, MediaSubtype::rgb24}));

    const std::vector<SizeCapability> unusable{{MediaSubtype::rgb24, 640, 640, 0, 480, 480, 1}};
    EXPECT_FALSE(nearestOfferedSize(unusable, 640, 480).has_value());
}

TEST_F(CaptureManagerTest, OpeningADeviceBeyondTheCountLeavesItsRecordAlone) {
    backend->devices = {FakeDevice{u"A"}, FakeDevice{u"B"}};
    manager().setAskSize(3, 800, 600, MediaSubtype::yuy2);
    manager().setFramePeriod(3, 12345);
    EXPECT_FALSE(manager().openDevice(3));
    const CaptureDevice& record = manager().record(3);
    EXPECT_EQ(record.askWidth, 800);
    EXPECT_EQ(record.askSubtype, MediaSubtype::yuy2);
    EXPECT_EQ(record.framePeriod, 12345);
    EXPECT_EQ(backend->connectsOf(3), 0);
    EXPECT_EQ(manager().deviceCount(), 2);
    EXPECT_FALSE(manager().openDevice(-1));
}

TEST_F(CaptureManagerTest, AFailedOpenForgetsTheRequests) {
    FakeDevice device{u"Broken"};
    device.startFails = true;
    backend->devices = {device};
    manager().setReconnect(0, 90);
    EXPECT_FALSE(openAsWorker());
    const CaptureDevice& record = manager().record(0);
    EXPECT_FALSE(record.reconnectOnFreeze);
    EXPECT_EQ(record.framePeriod, kNoFramePeriod);
    EXPECT_EQ(record.askWidth, 640);
}

TEST_F(CaptureManagerTest, AnOpenDeviceCannotBeOpenedTwiceAndClosingStopsIt) {
    backend->devices = {FakeDevice{u"Cam"}};
    ASSERT_TRUE(openAsWorker());
    EXPECT_FALSE(manager().openDevice(0));
    manager().closeDevice(0);
    EXPECT_EQ(backend->logLines().back(), "stop 0");
    EXPECT_FALSE(manager().isCapturing(0));
    EXPECT_EQ(manager().record(0).askWidth, 640);
    EXPECT_EQ(backend->sinkOf(0), nullptr);
}

TEST_F(CaptureManagerTest, ReportsAFreezeOnlyAfter400PollsAndReopensWithTheRequestsKept) {
    backend->devices = {FakeDevice{u"Cam"}};
    ASSERT_TRUE(openAsWorker(640, 480));
    manager().setReconnect(0, 90);
    for (int poll = 0; poll < 400; ++poll) {
        EXPECT_FALSE(manager().pollNewFrame(0));
    }
    EXPECT_EQ(backend->connectsOf(0), 1);
    EXPECT_EQ(manager().record(0).pollsRunning, 400u);

    manager().pollNewFrame(0);  // poll 401 sees 400 polls behind it: not yet more than 400
    EXPECT_EQ(backend->connectsOf(0), 1);
    manager().pollNewFrame(0);
    EXPECT_EQ(backend->connectsOf(0), 2);
    const CaptureDevice& record = manager().record(0);
    EXPECT_TRUE(record.capturing);
    EXPECT_EQ(record.pollsRunning, 0u);
    EXPECT_EQ(record.framePeriod, kPeriod);
    EXPECT_EQ(record.width, 640);
    EXPECT_EQ(record.askSubtype, MediaSubtype::rgb24);
    EXPECT_TRUE(record.reconnectOnFreeze);
    EXPECT_EQ(record.reconnectThreshold, 90);
    const auto lines = backend->logLines();
    EXPECT_EQ(std::count(lines.begin(), lines.end(), "route 0 2"), 2);  // the input, both times
}

TEST_F(CaptureManagerTest, ADeviceThatKeepsDeliveringIsNeverReopened) {
    backend->devices = {FakeDevice{u"Cam"}};
    ASSERT_TRUE(openAsWorker(4, 2));
    manager().setReconnect(0, 90);
    std::vector<std::uint8_t> frame(4 * 2 * 4);
    for (int poll = 0; poll < 600; ++poll) {
        deliver(rgbSample(4, 2, static_cast<std::uint8_t>(poll)));
        ASSERT_TRUE(manager().pollNewFrame(0));
        ASSERT_TRUE(manager().fetchFrame(0, frame.data(), {4, 2}));
    }
    EXPECT_EQ(backend->connectsOf(0), 1);
}

TEST_F(CaptureManagerTest, KeepsTheFirstUnfetchedSampleAndDropsWrongLengths) {
    backend->devices = {FakeDevice{u"Cam"}};
    ASSERT_TRUE(openAsWorker(4, 2));
    deliver(std::vector<std::uint8_t>(23, 9));
    EXPECT_FALSE(manager().pollNewFrame(0));
    EXPECT_EQ(manager().record(0).callback->lastLength(), 23u);

    const auto first = rgbSample(4, 2, 10);
    deliver(first);
    deliver(rgbSample(4, 2, 50));
    EXPECT_TRUE(manager().pollNewFrame(0));
    std::vector<std::uint8_t> frame(4 * 2 * 4);
    ASSERT_TRUE(manager().fetchFrame(0, frame.data(), {4, 2}));
    EXPECT_EQ(frame[0], first[2]);  // red of the first pixel of the first sample
    EXPECT_FALSE(manager().pollNewFrame(0));

    deliver(rgbSample(4, 2, 90));
    EXPECT_TRUE(manager().pollNewFrame(0));
    ASSERT_TRUE(manager().fetchFrame(0, frame.data(), {4, 2}));
    EXPECT_EQ(frame[0], static_cast<std::uint8_t>(92));
}

TEST_F(CaptureManagerTest, FetchGivesUpAfterASecondWithoutAFrame) {
    backend->devices = {FakeDevice{u"Cam"}};
    ASSERT_TRUE(openAsWorker(4, 2));
    std::vector<std::uint8_t> frame(4 * 2 * 4);
    EXPECT_FALSE(manager().fetchFrame(0, frame.data(), {4, 2}));
    EXPECT_FALSE(manager().fetchFrame(1, frame.data(), {4, 2}));
}

TEST_F(CaptureManagerTest, FetchScalesAPictureOfAnotherSizeToCoverTheAskedSize) {
    backend->devices = {FakeDevice{u"Cam"}};
    ASSERT_TRUE(openAsWorker(4, 2));
    // Blue = 10 x column, green = 10 x row, red = 100.
    std::vector<std::uint8_t> sample;
    for (int y = 0; y < 2; ++y) {
        for (int x = 0; x < 4; ++x) {
            sample.insert(sample.end(), {static_cast<std::uint8_t>(10 * x),
                                         static_cast<std::uint8_t>(10 * y), 100});
        }
    }
    auto fetchAs = [&](FrameSize size) {
        deliver(sample);
        std::vector<std::uint8_t> frame(static_cast<std::size_t>(size.pixels()) * 4, 7);
        EXPECT_TRUE(manager().fetchFrame(0, frame.data(), size));
        return frame;
    };
    // Halved: each pixel the mean of a 2 x 2 block.
    EXPECT_EQ(fetchAs({2, 1}), (std::vector<std::uint8_t>{100, 5, 5, 255, 100, 5, 25, 255}));

    // 4 x 2 covers 4 x 4 at twice its size: columns 1 and 2 of the doubled picture fill the
    // frame's width, nothing is black.
    const auto enlarged = fetchAs({2, 4});
    EXPECT_EQ(std::vector<std::uint8_t>(enlarged.begin(), enlarged.begin() + 8),
              (std::vector<std::uint8_t>{100, 0, 13, 255, 100, 0, 18, 255}));
    EXPECT_EQ(std::vector<std::uint8_t>(enlarged.end() - 8, enlarged.end()),
              (std::vector<std::uint8_t>{100, 10, 13, 255, 100, 10, 18, 255}));
}

TEST_F(CaptureManagerTest, NamesAreCutTo253BytesAndReducedToTheirLowBytes) {
    std::u16string longName(300, u'\u0141');  // low byte 0x41, 'A'
    backend->devices = {FakeDevice{u"Caf\u00e9"}, FakeDevice{longName}};
    EXPECT_EQ(manager().countDevices(), 2);
    EXPECT_EQ(manager().deviceName(0), "Caf\xe9");
    EXPECT_EQ(manager().deviceName(1), std::string(253, 'A'));
    EXPECT_EQ(manager().deviceName(20), "");

    backend->devices.clear();
    EXPECT_EQ(manager().countDevices(), 0);
    EXPECT_EQ(manager().deviceName(0), "Caf\xe9");  // an empty listing writes no row
}

TEST_F(CaptureManagerTest, ListsDevicesOfSeveralBackendsInTheirOrderEachManagerItsOwn) {
    backend->devices = {FakeDevice{u"Platform"}};
    manager().countDevices();
    auto tests = std::make_shared<FakeBackend>();
    tests->devices = {FakeDevice{u"Test 1"}, FakeDevice{u"Test 2"}};
    CaptureManager both({backend, tests});
    EXPECT_EQ(both.countDevices(), 3);
    EXPECT_EQ(both.deviceName(2), "Test 2");
    EXPECT_EQ(manager().deviceName(1), "");  // each manager keeps its own name table
    both.setAskSize(2, 640, 480, MediaSubtype::rgb24);
    EXPECT_TRUE(both.openDevice(2));
    EXPECT_NE(tests->sinkOf(1), nullptr);
    EXPECT_EQ(backend->connectsOf(0), 0);
}

TEST_F(CaptureManagerTest, SetsUpEachThreadOnceAndReleasesItOnTheLastUse) {
    backend->devices = {FakeDevice{u"Cam"}};
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
    backend->devices = {FakeDevice{u"Cam"}};
    constexpr int kWidth = 64;
    constexpr int kHeight = 32;
    ASSERT_TRUE(openAsWorker(kWidth, kHeight));
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
    int fetched = 0;
    while (fetched < 200) {
        if (!manager().pollNewFrame(0)) {
            std::this_thread::yield();
            continue;
        }
        ASSERT_TRUE(manager().fetchFrame(0, frame.data(), {kWidth, kHeight}));
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
