#include "options.hpp"

#include <gtest/gtest.h>

namespace velvix {
namespace {

TEST(AppOptions, DefaultsToTheProductRing) {
    const auto parsed = parseAppOptions({"--headless"});
    EXPECT_TRUE(parsed.error.empty());
    EXPECT_TRUE(parsed.options.headless);
    EXPECT_EQ(parsed.options.ringName, "VelvixShm");
    EXPECT_FALSE(parsed.options.runSeconds.has_value());
}

TEST(AppOptions, ReadsRunSecondsAndRingName) {
    const auto parsed = parseAppOptions({"--headless", "--run-seconds", "5", "--ring", "Other"});
    EXPECT_TRUE(parsed.error.empty());
    EXPECT_EQ(parsed.options.runSeconds, 5);
    EXPECT_EQ(parsed.options.ringName, "Other");
}

TEST(AppOptions, RejectsWhatItDoesNotUnderstand) {
    for (const auto& arguments : std::vector<std::vector<std::string>>{{"--run-seconds"},
                                                                       {"--run-seconds", "0"},
                                                                       {"--run-seconds", "-3"},
                                                                       {"--run-seconds", "2x"},
                                                                       {"--ring"},
                                                                       {"--ring", ""},
                                                                       {"--frobnicate"}}) {
        EXPECT_FALSE(parseAppOptions(arguments).error.empty()) << arguments[0];
    }
}

}  // namespace
}  // namespace velvix
