#include "velvix/filters/smoothing.hpp"

#include <gtest/gtest.h>
#ifdef _WIN32
#include <windows.h>
// After windows.h, which it builds on.
#include <tlhelp32.h>
#endif

#include <algorithm>
#include <filesystem>
#include <limits>
#include <set>
#include <string>
#include <utility>

#include "filter_images.hpp"
#include "reference_filter.hpp"
#include "velvix/filters/rb_filter.hpp"
#include "velvix/platform/cpu_info.hpp"

namespace velvix {
namespace {

using testing::Image;

Image exchangedRedAndBlue(Image image) {
    for (std::size_t i = 0; i < image.size(); i += 4) {
        std::swap(image[i], image[i + 2]);
    }
    return image;
}

struct SmoothResult {
    Image source;
    Image destination;
    std::string printed;  // on the debug output
    std::string onStandardOutput;
};

SmoothResult smooth(const Image& capture, int width, int height, int level,
                    std::uint8_t destinationFill = 0) {
    SmoothResult result{capture, Image(capture.size(), destinationFill), {}, {}};
    ::testing::internal::CaptureStdout();
    ::testing::internal::CaptureStderr();
    smoothFrame(result.source.data(), result.destination.data(), width, height, level);
    result.printed = ::testing::internal::GetCapturedStderr();
    result.onStandardOutput = ::testing::internal::GetCapturedStdout();
    return result;
}

// Rows continued by copies of their last pixel up to the next 16-pixel boundary, as the
// driver pads them.
Image paddedWithLastPixel(const Image& packed, int width, int height, int paddedWidth) {
    Image padded = testing::withPitch(packed, width, height, paddedWidth * 4);
    for (int y = 0; y < height; ++y) {
        std::uint8_t* row = padded.data() + static_cast<std::size_t>(y) * paddedWidth * 4;
        for (int x = width; x < paddedWidth; ++x) {
            std::copy_n(row + (width - 1) * 4, 4, row + x * 4);
        }
    }
    return padded;
}

Image cropped(const Image& image, int paddedWidth, int width, int height) {
    Image out;
    for (int y = 0; y < height; ++y) {
        const auto row = image.begin() + static_cast<std::ptrdiff_t>(y) * paddedWidth * 4;
        out.insert(out.end(), row, row + width * 4);
    }
    return out;
}

using SmoothFrame = testing::BothPathsTest;

// Bytes 0 and 2 of the source are exchanged in place, and the exchanged picture is filtered: by
// the vectorised filter in rows padded to its 16-pixel grid with copies of their last pixel, or
// by the scalar one. Pictures narrower than two stripes or lower than one transpose block (a
// small camera, or a reader asking for a tiny ring) go to the scalar filter on either path: the
// vectorised one used to refuse them, and the worker published the unsmoothed frame with a
// line per frame. The buffers are exactly width x height x 4 bytes, so the address sanitizer
// sees any access past them, such as a look beyond the last row's last pixel.
TEST_P(SmoothFrame, EachPictureMatchesTheReferenceOfTheFilterThatTakesIt) {
    const SmoothingSigmas sigmas = sigmasForLevel(60);
    for (const auto& [width, height] : {std::pair{32, 16},
                                        {33, 23},
                                        {40, 21},
                                        {47, 16},
                                        {100, 21},
                                        {250, 23},
                                        {24, 16},
                                        {31, 40},
                                        {64, 1},
                                        {40, 15},
                                        {1, 1}}) {
        SCOPED_TRACE(::testing::Message() << width << " x " << height);
        const Image capture = testing::photoLikeImage(width, height, width + height);
        const SmoothResult result = smooth(capture, width, height, 60, 0x77);
        EXPECT_EQ(result.printed, "");
        EXPECT_EQ(result.onStandardOutput, "");
        const Image exchanged = exchangedRedAndBlue(capture);
        EXPECT_EQ(result.source, exchanged);
        if (!vectorised() || !vectorisedFilterTakes(width, height)) {
            EXPECT_EQ(result.destination,
                      testing::referenceScalarFilter(exchanged, width, height, sigmas.spatial,
                                                     sigmas.range));
            continue;
        }
        const int paddedWidth = (width + 15) / 16 * 16;
        const Image expected = cropped(
            testing::referenceFilter(paddedWithLastPixel(exchanged, width, height, paddedWidth),
                                     paddedWidth, height, sigmas.spatial, sigmas.range),
            paddedWidth, width, height);
        const auto difference = testing::compareImages(result.destination, expected);
        EXPECT_LE(difference.largest, 2);
        EXPECT_LE(difference.differingBytes, capture.size() / 100);
    }
}

// A page may post any level; beyond the slider's ends the picture is smoothed as at the ends
// (a level of 1000 used to darken a face from a mean of 156 to 127). Level 0 still smooths.
TEST_P(SmoothFrame, LevelsBeyondTheSliderAreTakenAsItsEnds) {
    const Image capture = testing::photoLikeImage(64, 32, 8);
    const Image highest = smooth(capture, 64, 32, 100).destination;
    const Image lowest = smooth(capture, 64, 32, 0).destination;
    EXPECT_NE(lowest, exchangedRedAndBlue(capture));
    EXPECT_LE(testing::compareImages(lowest, exchangedRedAndBlue(capture)).largest, 40);
    for (const int level : {101, 1000, 10000, std::numeric_limits<int>::max()}) {
        EXPECT_EQ(smooth(capture, 64, 32, level).destination, highest) << "level " << level;
    }
    for (const int level : {-1, -1000, std::numeric_limits<int>::min()}) {
        EXPECT_EQ(smooth(capture, 64, 32, level).destination, lowest) << "level " << level;
    }
}

#ifdef _WIN32
std::set<std::string> threadsOfThisProcess() {
    std::set<std::string> threads;
    const HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
    THREADENTRY32 entry{};
    entry.dwSize = sizeof entry;
    for (BOOL more = Thread32First(snapshot, &entry); more; more = Thread32Next(snapshot, &entry)) {
        if (entry.th32OwnerProcessID == GetCurrentProcessId()) {
            threads.insert(std::to_string(entry.th32ThreadID));
        }
    }
    CloseHandle(snapshot);
    return threads;
}
#else
std::set<std::string> threadsOfThisProcess() {
    std::set<std::string> threads;
    for (const auto& task : std::filesystem::directory_iterator("/proc/self/task")) {
        threads.insert(task.path().filename().string());
    }
    return threads;
}
#endif

// The worker's smoother keeps its filter and one helper thread from picture to picture:
// pictures of changing sizes (a face rectangle grows and shrinks, a width off the 16-pixel
// grid) come out as a fresh smoothFrame() makes them, and after the first picture the same
// threads run, more than before it on the vectorised path (its helper).
TEST_P(SmoothFrame, TheWorkersSmootherGivesTheSameBytesAndStartsNoThreadPerPicture) {
    const std::set<std::string> before = threadsOfThisProcess();
    FilterSmoother smoother;
    std::set<std::string> afterFirst;
    const std::pair<int, int> sizes[] = {{48, 16}, {320, 400}, {96, 112}, {250, 21}, {320, 400}};
    for (const auto& [width, height] : sizes) {
        const Image capture = testing::photoLikeImage(width, height, width + height);
        Image source = capture;
        Image destination(capture.size());
        smoother.smoothFrame(source.data(), destination.data(), width, height, 45);
        if (afterFirst.empty()) {
            afterFirst = threadsOfThisProcess();
            if (vectorised()) {
                // (The thread sanitizer starts a thread of its own beside the first one.)
                EXPECT_GT(afterFirst.size(), before.size());
            }
        }
        EXPECT_EQ(threadsOfThisProcess(), afterFirst) << width << " x " << height;
        const SmoothResult expected = smooth(capture, width, height, 45);
        EXPECT_EQ(source, expected.source) << width << " x " << height;
        EXPECT_EQ(destination, expected.destination) << width << " x " << height;
    }
}

INSTANTIATE_TEST_SUITE_P(BothPaths, SmoothFrame, ::testing::Bool(),
                         [](const auto& parameter) { return parameter.param ? "avx2" : "scalar"; });

}  // namespace
}  // namespace velvix
