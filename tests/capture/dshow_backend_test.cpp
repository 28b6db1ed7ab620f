// The DirectShow backend with a camera filter of the test's own that sends MJPG: the frames go
// through the backend's own sample grabber callback into the capture manager. (With no camera at
// all it runs in every headless test under wine.)
#include "velvix/capture/dshow_backend.hpp"

#include <gtest/gtest.h>
#include <wrl/client.h>

#include <cstdio>
#include <cstdlib>
#include <optional>
#include <tuple>

#include "camera_filter.hpp"
#include "photo_frames.hpp"
#include "test_support.hpp"
#include "velvix/capture/capture_manager.hpp"
#include "video_sources.hpp"

namespace velvix {
namespace {

using Microsoft::WRL::ComPtr;

// One camera of the test's own (see camera_filter.hpp), and a second one that is gone by the
// time it is opened.
class TestCamera final : public VideoSources {
  public:
    explicit TestCamera(testing::CameraDescription camera) : description(std::move(camera)) {}

    std::vector<std::u16string> names() override { return {u"MJPG camera", u"Unplugged"}; }

    HRESULT addSource(int index, IGraphBuilder& graph, IBaseFilter** source) override {
        if (index != 0) {
            return VFW_E_NOT_FOUND;
        }
        ComPtr<IBaseFilter> camera;
        camera.Attach(testing::makeCameraFilter(description));
        const HRESULT result = graph.AddFilter(camera.Get(), L"MJPG camera");
        if (SUCCEEDED(result)) {
            *source = camera.Detach();
        }
        return result;
    }

    testing::CameraDescription description;
};

// Opens the camera asked for 1280x720 at 30 fps, as the frame worker asks; what the open said
// on the debug output, or nothing when the camera did not open (what it said then goes to
// standard error).
std::optional<std::string> openAsTheWorkerDoes(CaptureManager& manager) {
    manager.countDevices();
    manager.setFramePeriod(0, 333333);
    manager.setAskSize(0, 1280, 720, MediaSubtype::rgb24);
    ::testing::internal::CaptureStderr();
    const bool opened = manager.openDevice(0);
    const std::string report = ::testing::internal::GetCapturedStderr();
    if (!opened) {
        std::fputs(report.c_str(), stderr);
        return std::nullopt;
    }
    return report;
}

// A webcam that lists only MJPG, each size described by a VIDEOINFOHEADER2 as many do: it is
// asked once, for the chosen size and rate in its own header kind, and its frames are fetched
// decoded, right side up in their colours. A source without stream configuration is asked for
// the format its pin offers. A device whose graph cannot be built is reported and left closed.
TEST(DirectShowBackend, OpensCamerasSendingMjpgAndFetchesTheirFramesDecoded) {
    const testing::Photo picture = testing::photoInFrame(1280, 720);
    const auto jpeg = testing::cameraJpeg(picture);
    ASSERT_FALSE(jpeg.empty());
    for (const bool configurable : {true, false}) {
        SCOPED_TRACE(configurable ? "with stream configuration" : "without");
        const auto camera = std::make_shared<TestCamera>(testing::CameraDescription{
            configurable ? std::vector{testing::mjpgCapability(640, 480, 333333, 2000000),
                                       testing::mjpgCapability(1280, 720, 333333, 2000000),
                                       testing::mjpgCapability(1920, 1080, 666666, 2000000)}
                         : std::vector{testing::mjpgCapability(1280, 720, 333333, 333333)},
            jpeg, configurable});
        CaptureManager manager({std::make_shared<DirectShowBackend>(camera)});
        ASSERT_EQ(manager.countDevices(), 2);
        ::testing::internal::CaptureStderr();
        EXPECT_FALSE(manager.openDevice(1));
        const std::string gone = ::testing::internal::GetCapturedStderr();
        EXPECT_NE(gone.find("camera 1: adding the device's source filter failed"),
                  std::string::npos)
            << gone;
        const auto report = openAsTheWorkerDoes(manager);
        ASSERT_TRUE(report) << "the camera did not open";
        if (configurable) {
            EXPECT_NE(report->find("camera: MJPG 1280x720 at 30 fps"), std::string::npos)
                << *report;
            ASSERT_EQ(camera->description.formatsSet.size(), 1u);
            const testing::FormatSet& set = camera->description.formatsSet.front();
            EXPECT_TRUE(IsEqualGUID(set.formatType, FORMAT_VideoInfo2));
            EXPECT_EQ(std::tuple(set.width, set.height, set.framePeriod),
                      std::tuple(1280, 720, 333333));
        }
        EXPECT_EQ(manager.record(0).subtype, MediaSubtype::mjpg);
        EXPECT_EQ(manager.cameraNote(), "");

        ASSERT_TRUE(testing::waitUntil([&manager] { return manager.pollNewFrame(0); },
                                       std::chrono::seconds(20)));
        std::vector<std::uint8_t> frame(std::size_t{1280} * 720 * 4);
        ASSERT_TRUE(manager.fetchFrame(0, frame.data(), {1280, 720}));
        EXPECT_LT(testing::meanDifference(frame.data(), picture), 3.0);
        EXPECT_EQ(frame[3], 255);
    }
}

// What cameras' capability lists, each size described by a VIDEOINFOHEADER2, are set to when
// 1280x720 at 30 fps is asked for: one whose current format is H.264 is first set to the first
// listed format it can be opened in; one that sends that size slower says so.
TEST(DirectShowBackend, SetsCamerasToTheChosenFormat) {
    const GUID mjpg = testing::mjpgCapability(1, 1, 1, 1).subtype;
    auto h264 = testing::mjpgCapability(1280, 720, 333333, 2000000);
    h264.subtype =
        GUID{0x34363248, 0x0000, 0x0010, {0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71}};
    struct Case {
        const char* camera;
        std::vector<testing::CameraCapability> listed;
        std::vector<std::tuple<int, int, REFERENCE_TIME>> formatsSet;  // width, height, period
        const char* choice;
        const char* note;
    };
    const Case cases[] = {
        {"sending H.264 now",
         {h264, testing::mjpgCapability(640, 480, 333333, 2000000),
          testing::mjpgCapability(1280, 720, 333333, 2000000)},
         {{640, 480, 333333}, {1280, 720, 333333}},
         "camera: MJPG 1280x720 at 30 fps",
         ""},
        {"slow at 1280x720",
         {testing::mjpgCapability(640, 480, 333333, 2000000),
          testing::mjpgCapability(1280, 720, 666666, 2000000)},
         {{1280, 720, 666666}},
         "camera: MJPG 1280x720 at 15 fps",
         "15 fps: the camera sends no faster at this size"},
    };
    for (const Case& test : cases) {
        const auto camera = std::make_shared<TestCamera>(testing::CameraDescription{test.listed});
        CaptureManager manager({std::make_shared<DirectShowBackend>(camera)});
        const auto report = openAsTheWorkerDoes(manager);
        ASSERT_TRUE(report) << test.camera << " did not open";
        EXPECT_NE(report->find(test.choice), std::string::npos) << test.camera << ": " << *report;
        EXPECT_EQ(manager.cameraNote(), test.note) << test.camera;
        std::vector<std::tuple<int, int, REFERENCE_TIME>> set;
        for (const testing::FormatSet& format : camera->description.formatsSet) {
            EXPECT_TRUE(IsEqualGUID(format.subtype, mjpg)) << test.camera;
            set.emplace_back(format.width, format.height, format.framePeriod);
        }
        EXPECT_EQ(set, test.formatsSet) << test.camera;
    }
}

}  // namespace
}  // namespace velvix
