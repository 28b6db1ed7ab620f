// The DirectShow backend with a camera filter of the test's own that sends MJPG: the frames go
// through the backend's own sample grabber callback into the capture manager. (With no camera at
// all it runs in every headless test under wine.)
#include "velvix/capture/dshow_backend.hpp"

#include <gtest/gtest.h>
#include <wrl/client.h>

#include "camera_filter.hpp"
#include "camera_samples.hpp"
#include "test_support.hpp"
#include "velvix/capture/capture_manager.hpp"
#include "video_sources.hpp"

namespace velvix {
namespace {

using testing::CameraCapability;

// One camera of the test's own, and a second one that is gone by the time it is opened.
class TestCamera final : public VideoSources {
  public:
    explicit TestCamera(testing::CameraDescription camera) : description(std::move(camera)) {}

    std::vector<std::u16string> names() override { return {u"MJPG camera", u"Unplugged"}; }

    HRESULT addSource(int index, IGraphBuilder& graph, IBaseFilter** source) override {
        if (index != 0) {
            return VFW_E_NOT_FOUND;
        }
        *source = testing::makeCameraFilter(description);
        return graph.AddFilter(*source, L"MJPG camera");
    }

    testing::CameraDescription description;
};

CameraCapability mjpg(int width, int height, REFERENCE_TIME fastest,
                      REFERENCE_TIME slowest = 2000000) {
    return {MEDIASUBTYPE_MJPG, width, height, fastest, slowest};
}

// Webcams whose capabilities are each described by a VIDEOINFOHEADER2, asked for 1280x720 at
// 30 fps as the frame worker asks: each is set to the chosen format in its own header kind (one
// whose current format is H.264 first to the first listed format it can be opened in; one that
// sends that size slower says so), and its frames are fetched decoded, right side up in their
// colours. A device whose graph cannot be built is left closed.
TEST(DirectShowBackend, OpensCamerasSendingMjpgAndFetchesTheirFramesDecoded) {
    const testing::Photo picture = testing::photoInFrame(1280, 720);
    const auto jpeg = testing::cameraJpeg(picture);
    ASSERT_FALSE(jpeg.empty());
    CameraCapability h264 = mjpg(1280, 720, 333333);
    h264.subtype = {0x34363248, 0x0000, 0x0010, {0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71}};
    struct Case {
        const char* camera;
        std::vector<CameraCapability> listed;
        std::vector<CameraCapability> formatsSet;
        const char* choice;
        const char* note;
    };
    const Case cases[] = {
        {"sending H.264 now",
         {h264, mjpg(640, 480, 333333), mjpg(1280, 720, 333333)},
         {mjpg(640, 480, 333333, 333333), mjpg(1280, 720, 333333, 333333)},
         "camera: MJPG 1280x720 at 30 fps",
         ""},
        {"slow at 1280x720",
         {mjpg(640, 480, 333333), mjpg(1280, 720, 666666)},
         {mjpg(1280, 720, 666666, 666666)},
         "camera: MJPG 1280x720 at 15 fps",
         "15 fps: the camera sends no faster at this size"},
    };
    for (const Case& test : cases) {
        SCOPED_TRACE(test.camera);
        const auto camera =
            std::make_shared<TestCamera>(testing::CameraDescription{test.listed, jpeg});
        CaptureManager manager({std::make_shared<DirectShowBackend>(camera)});
        ASSERT_EQ(manager.countDevices(), 2);
        EXPECT_FALSE(manager.openDevice(1));
        manager.setFramePeriod(0, 333333);
        manager.setAskSize(0, 1280, 720, MediaSubtype::rgb24);
        ::testing::internal::CaptureStderr();
        const bool opened = manager.openDevice(0);
        const std::string report = ::testing::internal::GetCapturedStderr();
        ASSERT_TRUE(opened) << report;
        EXPECT_NE(report.find(test.choice), std::string::npos) << report;
        EXPECT_EQ(manager.cameraNote(), test.note);
        EXPECT_EQ(camera->description.formatsSet, test.formatsSet);
        EXPECT_EQ(manager.record(0).subtype, MediaSubtype::mjpg);

        ASSERT_TRUE(testing::waitUntil([&manager] { return manager.pollNewFrame(0); },
                                       std::chrono::seconds(20)));
        std::vector<std::uint8_t> frame(std::size_t{1280} * 720 * 4);
        ASSERT_TRUE(manager.fetchFrame(0, frame.data(), {1280, 720}));
        EXPECT_LT(testing::meanDifference(frame.data(), picture), 3.0);
        EXPECT_EQ(frame[3], 255);
    }
}

}  // namespace
}  // namespace velvix
