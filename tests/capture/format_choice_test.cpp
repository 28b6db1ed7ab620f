#include "format_choice.hpp"

#include <gtest/gtest.h>

#include "camera_samples.hpp"

namespace velvix {
namespace {

constexpr int kPeriod = 333333;

struct ChoiceCase {
    const char* camera;
    int width;
    int height;
    const char* line;  // empty: nothing to choose
    const char* note;
};

// Asked at 30 fps. The expected choices follow from each list by the order: uncompressed at
// the full rate, MJPG at the full rate, uncompressed slower, MJPG slower.
const ChoiceCase kCases[] = {
    // YUYV 1280x720 comes at 7.5 fps at most.
    {"logitech_c310", 1280, 720, "camera: MJPG 1280x720 at 30 fps", ""},
    {"logitech_c310", 640, 480, "camera: YUY2 640x480 at 30 fps", ""},
    // H.264 is never taken, though listed before MJPG with the same sizes and rates.
    {"logitech_c920", 1280, 720, "camera: MJPG 1280x720 at 30 fps", ""},
    {"genius_widecam_f100", 1280, 720, "camera: MJPG 1280x720 at 30 fps", ""},
    // Sizes and rates listed twice.
    {"arducam_1080p_0c45_6366", 1280, 720, "camera: MJPG 1280x720 at 30 fps", ""},
    {"arducam_1080p_0c45_6366_h264node", 1280, 720, "", ""},
    // Only VGA and smaller: the nearest size by width plus height difference.
    {"usb20_camera_yuyv_only", 1280, 720, "camera: YUY2 640x480 at 30 fps", ""},
    {"usb20_camera_yuyv720p30_claim", 1280, 720, "camera: YUY2 1280x720 at 30 fps", ""},
    // MJPG only; at 1920x1080 it sends 15 fps at most.
    {"kodak_pixpro_4k", 1280, 720, "camera: MJPG 1280x720 at 30 fps", ""},
    {"kodak_pixpro_4k", 1920, 1080, "camera: MJPG 1920x1080 at 15 fps",
     "15 fps: the camera sends no faster at this size"},
    // Offers 60 and 50 fps too; 30 is enough.
    {"ms2109_hdmi_capture", 1280, 720, "camera: MJPG 1280x720 at 30 fps", ""},
    // Only the size and rate of the signal fed in.
    {"elgato_camlink_4k_1080p25", 1280, 720, "camera: YUY2 1920x1080 at 25 fps",
     "25 fps: the camera sends no faster at this size"},
    // MJPG listed first; its 1280x720 is the only one at 30 fps.
    {"laptop_integrated_camera", 1280, 720, "camera: MJPG 1280x720 at 30 fps", ""},
};

TEST(FormatChoice, TakesTheAskedSizeAtTheFullRateFromRealCameras) {
    for (const ChoiceCase& row : kCases) {
        SCOPED_TRACE(std::string(row.camera) + " asked " + std::to_string(row.width) + "x" +
                     std::to_string(row.height));
        const auto modes = testing::cameraModes(row.camera);
        const auto choice = chooseFormat(modes, row.width, row.height, kPeriod);
        if (std::string(row.line).empty()) {
            EXPECT_FALSE(choice.has_value());
            continue;
        }
        ASSERT_TRUE(choice.has_value());
        EXPECT_EQ(choiceLine(*choice), row.line);
        EXPECT_EQ(slowCameraNote(*choice), row.note);
    }
}

TEST(FormatChoice, FallsBackToASlowerUncompressedFormatBeforeASlowerMjpg) {
    const std::vector<CameraMode> modes = {
        {MediaSubtype::mjpg, 1280, 720, {666667, 1000000}},
        {MediaSubtype::yuy2, 1280, 720, {2000000, 1000000}},
        {MediaSubtype::nv12, 1280, 720, {1333333}},
    };
    const auto choice = chooseFormat(modes, 1280, 720, kPeriod);
    ASSERT_TRUE(choice.has_value());
    EXPECT_EQ(choice->format, (VideoFormat{1280, 720, MediaSubtype::yuy2, 1000000}));
    EXPECT_TRUE(choice->belowAskedRate);

    // 29.97 fps keeps up with 30.
    const std::vector<CameraMode> ntsc = {{MediaSubtype::uyvy, 720, 480, {333667}}};
    EXPECT_FALSE(chooseFormat(ntsc, 720, 480, kPeriod)->belowAskedRate);
}

}  // namespace
}  // namespace velvix
