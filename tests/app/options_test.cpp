#include "options.hpp"

#include <gtest/gtest.h>

namespace velvix {
namespace {

// Without options: the product's ring, its own pages, no time limit.
TEST(AppOptions, ReadsRingRunSecondsAndServiceOrigin) {
    const auto defaults = parseAppOptions({"--headless"});
    ASSERT_TRUE(defaults) << defaults.error();
    EXPECT_TRUE(defaults->headless);
    EXPECT_EQ(defaults->ringName, "VelvixShm");
    EXPECT_FALSE(defaults->runSeconds.has_value());
    EXPECT_EQ(defaults->serviceOrigin, "");

    const auto parsed =
        parseAppOptions({"--run-seconds", "5", "--ring", "Other", "--service-origin",
                         "https://pages.example/", "--terms-url", "http://terms.example/t"});
    ASSERT_TRUE(parsed) << parsed.error();
    EXPECT_EQ(parsed->runSeconds, 5);
    EXPECT_EQ(parsed->ringName, "Other");
    EXPECT_EQ(parsed->serviceOrigin, "https://pages.example");
    EXPECT_EQ(parsed->termsUrl, "http://terms.example/t");
}

TEST(AppOptions, FeedsEveryVelvixDeviceUnlessOneOrNoneIsNamed) {
    using VirtualCamera = AppOptions::VirtualCamera;
    EXPECT_EQ(parseAppOptions({})->virtualCamera, VirtualCamera::automatic);
    EXPECT_EQ(parseAppOptions({"--virtual-camera", "auto"})->virtualCamera,
              VirtualCamera::automatic);
    EXPECT_EQ(parseAppOptions({"--virtual-camera", "off"})->virtualCamera, VirtualCamera::off);
    EXPECT_EQ(parseAppOptions({"--virtual-camera", "pipewire"})->virtualCamera,
              VirtualCamera::pipewire);
    EXPECT_EQ(parseAppOptions({"--virtual-camera", "v4l2"})->virtualCamera, VirtualCamera::v4l2);
    const auto named = parseAppOptions({"--virtual-camera", "/dev/video10"});
    EXPECT_EQ(named->virtualCamera, VirtualCamera::device);
    EXPECT_EQ(named->virtualCameraDevice, "/dev/video10");
}

TEST(AppOptions, RejectsWhatItDoesNotUnderstand) {
    for (const auto& arguments :
         std::vector<std::vector<std::string>>{{"--run-seconds"},
                                               {"--run-seconds", "0"},
                                               {"--run-seconds", "-3"},
                                               {"--run-seconds", "2x"},
                                               {"--ring"},
                                               {"--ring", ""},
                                               {"--virtual-camera"},
                                               {"--virtual-camera", ""},
                                               {"--frobnicate"},
                                               {"--file-camera"},
                                               {"--file-camera", "a.png?x=1"},
                                               {"--service-origin"},
                                               {"--service-origin", "127.0.0.1:80"},
                                               {"--terms-url", "https://"},
                                               {"--terms-url", "file:///etc/passwd"}}) {
        EXPECT_FALSE(parseAppOptions(arguments)) << arguments[0];
    }
}

TEST(AppOptions, CollectsTestCamerasFromTheCommandLineThenTheEnvironment) {
    const auto parsed = parseAppOptions({"--headless", "--file-camera", "/p/one.png?format=nv12",
                                         "--exit-on-eof", "--file-camera", "two.y4m"},
                                        "/q/three.jpg::four.png?freeze-after=5");
    ASSERT_TRUE(parsed) << parsed.error();
    EXPECT_TRUE(parsed->exitOnEof);
    std::vector<std::string> names;
    for (const auto& camera : parsed->fileCameras) {
        names.push_back(camera.deviceName());
    }
    EXPECT_EQ(names, (std::vector<std::string>{"Test camera: one.png", "Test camera: two.y4m",
                                               "Test camera: three.jpg", "Test camera: four.png"}));
    EXPECT_EQ(parsed->fileCameras[0].delivered, MediaSubtype::nv12);
    EXPECT_EQ(parsed->fileCameras[3].freezeAfter, 5);

    const auto bad = parseAppOptions({"--headless"}, "ok.png:bad.png?format=yuv");
    EXPECT_NE(bad.error().find("VELVIX_FILE_CAMERA"), std::string::npos) << bad.error();
}

}  // namespace
}  // namespace velvix
