#include "options.hpp"

#include <gtest/gtest.h>

namespace velvix {
namespace {

// Without options: the product's ring, its own pages, no time limit.
TEST(AppOptions, ReadsRingRunSecondsAndServiceOrigin) {
    const auto defaults = parseAppOptions({"--headless"});
    EXPECT_TRUE(defaults.error.empty());
    EXPECT_TRUE(defaults.options.headless);
    EXPECT_EQ(defaults.options.ringName, "VelvixShm");
    EXPECT_FALSE(defaults.options.runSeconds.has_value());
    EXPECT_EQ(defaults.options.serviceOrigin, "");

    const auto parsed =
        parseAppOptions({"--run-seconds", "5", "--ring", "Other", "--service-origin",
                         "https://pages.example/", "--terms-url", "http://terms.example/t"});
    EXPECT_TRUE(parsed.error.empty());
    EXPECT_EQ(parsed.options.runSeconds, 5);
    EXPECT_EQ(parsed.options.ringName, "Other");
    EXPECT_EQ(parsed.options.serviceOrigin, "https://pages.example");
    EXPECT_EQ(parsed.options.termsUrl, "http://terms.example/t");
}

TEST(AppOptions, FeedsEveryVelvixDeviceUnlessOneOrNoneIsNamed) {
    using VirtualCamera = AppOptions::VirtualCamera;
    EXPECT_EQ(parseAppOptions({}).options.virtualCamera, VirtualCamera::automatic);
    EXPECT_EQ(parseAppOptions({"--virtual-camera", "auto"}).options.virtualCamera,
              VirtualCamera::automatic);
    EXPECT_EQ(parseAppOptions({"--virtual-camera", "off"}).options.virtualCamera,
              VirtualCamera::off);
    const auto named = parseAppOptions({"--virtual-camera", "/dev/video10"});
    EXPECT_EQ(named.options.virtualCamera, VirtualCamera::device);
    EXPECT_EQ(named.options.virtualCameraDevice, "/dev/video10");
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
        EXPECT_FALSE(parseAppOptions(arguments).error.empty()) << arguments[0];
    }
}

TEST(AppOptions, CollectsTestCamerasFromTheCommandLineThenTheEnvironment) {
    const auto parsed = parseAppOptions({"--headless", "--file-camera", "/p/one.png?format=nv12",
                                         "--exit-on-eof", "--file-camera", "two.y4m"},
                                        "/q/three.jpg::four.png?freeze-after=5");
    ASSERT_EQ(parsed.error, "");
    EXPECT_TRUE(parsed.options.exitOnEof);
    std::vector<std::string> names;
    for (const auto& camera : parsed.options.fileCameras) {
        names.push_back(camera.deviceName());
    }
    EXPECT_EQ(names, (std::vector<std::string>{"Test camera: one.png", "Test camera: two.y4m",
                                               "Test camera: three.jpg", "Test camera: four.png"}));
    EXPECT_TRUE(parsed.options.fileCameras[0].nv12);
    EXPECT_EQ(parsed.options.fileCameras[3].freezeAfter, 5);

    const auto bad = parseAppOptions({"--headless"}, "ok.png:bad.png?format=yuv");
    EXPECT_NE(bad.error.find("VELVIX_FILE_CAMERA"), std::string::npos) << bad.error;
}

}  // namespace
}  // namespace velvix
