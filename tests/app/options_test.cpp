#include "options.hpp"

#include <gtest/gtest.h>

namespace velvix {
namespace {

// What the options mean is exercised by the program's runs; what they refuse is held here.
TEST(AppOptions, RejectsWhatItDoesNotUnderstand) {
    for (const auto& arguments :
         std::vector<std::vector<std::string>>{{"--run-seconds", "0"},
                                               {"--run-seconds", "2x"},
                                               {"--ring", ""},
                                               {"--virtual-camera"},
                                               {"--frobnicate"},
                                               {"--file-camera", "a.png?x=1"},
                                               {"--service-origin", "127.0.0.1:80"},
                                               {"--terms-url", "file:///etc/passwd"}}) {
        EXPECT_FALSE(parseAppOptions(arguments)) << arguments[0];
    }
    EXPECT_NE(parseAppOptions({}, "ok.png:bad.png?format=yuv").error().find("VELVIX_FILE_CAMERA"),
              std::string::npos);
}

}  // namespace
}  // namespace velvix
