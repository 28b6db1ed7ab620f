#include "velvix/filters/smoothing.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <limits>
#include <set>
#include <string>
#include <utility>

#include "filter_images.hpp"
#include "reference_filter.hpp"
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

// smoothFrame on copies. It prints nothing: a line per frame was how a refused picture showed.
std::pair<Image, Image> smooth(const Image& capture, int width, int height, int level) {
    std::pair<Image, Image> sourceAndDestination{capture, Image(capture.size(), 0x77)};
    auto& [source, destination] = sourceAndDestination;
    ::testing::internal::CaptureStdout();
    ::testing::internal::CaptureStderr();
    smoothFrame(source.data(), destination.data(), width, height, level);
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), "");
    return sourceAndDestination;
}

// Flat and step pictures (a colour step across the middle, each side flat) must come out as
// they went in: a step that bled at the lowest level would move bytes near it by far more.
// Bands (rows of 20 between a top row of 10 and a bottom one of 30) pass the row filter
// unchanged, and the top and bottom rows average their two directions rounding up.
enum class Picture { random, photoLike, bands, flat, horizontalStep, verticalStep };

Image pictureOf(Picture picture, int width, int height, unsigned seed) {
    if (picture == Picture::random) {
        return testing::randomImage(width, height, seed);
    }
    if (picture == Picture::photoLike) {
        return testing::photoLikeImage(width, height, seed);
    }
    Image image(static_cast<std::size_t>(width) * height * 4);
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            const bool far = picture == Picture::verticalStep ? y >= height / 2 : x >= width / 2;
            const int band = y == 0 ? 10 : y == height - 1 ? 30 : 20;
            const int value = picture == Picture::flat    ? 0x80
                              : picture == Picture::bands ? band
                                                          : (far ? 0xFF : 0);
            std::fill_n(image.begin() + (static_cast<std::ptrdiff_t>(y) * width + x) * 4,
                        picture > Picture::flat ? 3 : 4, value);
        }
    }
    return image;
}

// The process's threads as /proc lists them on Linux; none on Windows, whose build runs the
// same std::thread (under wine, /proc shows the threads of wine's own process).
std::set<std::string> threadsOfThisProcess() {
    std::set<std::string> threads;
#ifndef _WIN32
    for (const auto& task : std::filesystem::directory_iterator("/proc/self/task")) {
        threads.insert(task.path().filename().string());
    }
#endif
    return threads;
}

using SmoothFrame = testing::BothPathsTest;

// Bytes 0 and 2 are exchanged in place and the picture filtered, each against the reference of
// the filter that takes it: the scalar one to the byte, the vectorised one within the FMA's
// tolerance. Pictures too small for the vectorised filter go to the scalar one on either path
// (it used to refuse them, and the worker published unsmoothed frames). Buffers are exactly
// width x height x 4 bytes for the address sanitizer. The worker's smoother, which keeps its
// filter and one helper thread, gives the same bytes and starts no thread per picture: the
// helper only for the first picture too large to filter on the calling thread alone, and then
// no more (the first case; the others are small enough).
TEST_P(SmoothFrame, EachPictureMatchesTheReferenceOfTheFilterThatTakesIt) {
    constexpr int kMax = std::numeric_limits<int>::max();
    constexpr int kMin = std::numeric_limits<int>::min();
    const std::set<std::string> before = threadsOfThisProcess();
    FilterSmoother worker;
    std::set<std::string> afterFirst;
    struct Case {
        int width;
        int height;
        Picture picture;
        int level;
    };
    // A page may post any level: beyond the slider's ends the picture is smoothed as at the ends
    // (a level of 1000 used to darken a face from a mean of 156 to 127).
    const Case cases[] = {
        {640, 416, Picture::photoLike, 60}, {32, 16, Picture::random, 80},
        {64, 48, Picture::photoLike, 40},   {127, 37, Picture::photoLike, 100},
        {80, 19, Picture::random, 20},      {320, 180, Picture::photoLike, 60},
        {96, 33, Picture::photoLike, 0},    {40, 17, Picture::photoLike, 70},
        {33, 23, Picture::photoLike, 60},   {47, 16, Picture::random, 60},
        {250, 23, Picture::photoLike, 60},  {24, 16, Picture::photoLike, 35},
        {31, 40, Picture::photoLike, 35},   {64, 1, Picture::photoLike, 35},
        {40, 15, Picture::random, 35},      {1, 1, Picture::photoLike, 100},
        {1, 40, Picture::photoLike, 100},   {32, 16, Picture::flat, 0},
        {64, 37, Picture::flat, 100},       {64, 32, Picture::horizontalStep, 0},
        {64, 32, Picture::verticalStep, 0}, {32, 16, Picture::bands, 55},
        {64, 32, Picture::photoLike, 1000}, {64, 32, Picture::photoLike, kMax},
        {64, 32, Picture::photoLike, kMin},
    };
    unsigned seed = 21;
    for (const auto& [width, height, picture, level] : cases) {
        SCOPED_TRACE(::testing::Message() << width << " x " << height << ", level " << level);
        const Image capture = pictureOf(picture, width, height, ++seed);
        Image source = capture;
        Image destination(capture.size());
        worker.smoothFrame(source.data(), destination.data(), width, height, level);
        if (afterFirst.empty()) {
            afterFirst = threadsOfThisProcess();
            // (The thread sanitizer starts a thread of its own beside the first one.)
            EXPECT_TRUE(before.empty() || !vectorised() || afterFirst.size() > before.size());
        }
        EXPECT_EQ(threadsOfThisProcess(), afterFirst);
        const auto [smoothedSource, smoothed] = smooth(capture, width, height, level);
        EXPECT_EQ(source, smoothedSource);
        EXPECT_EQ(destination, smoothed);
        if (level != std::clamp(level, 0, 100)) {
            EXPECT_EQ(smoothed, smooth(capture, width, height, std::clamp(level, 0, 100)).second);
        }
        const Image exchanged = exchangedRedAndBlue(capture);
        EXPECT_EQ(smoothedSource, exchanged);
        const bool scalar = !vectorised() || !vectorisedFilterTakes(width, height);
        if (picture > Picture::bands) {
            // The scalar filter truncates, so a byte may come out one below the value it was.
            EXPECT_LE(testing::compareImages(smoothed, exchanged).largest, scalar ? 1 : 0);
        } else if (width * height > 1) {
            EXPECT_NE(smoothed, exchanged);
        }
        const SmoothingSigmas sigmas = sigmasForLevel(level);
        if (scalar) {
            EXPECT_EQ(smoothed, testing::referenceScalarFilter(exchanged, width, height,
                                                               sigmas.spatial, sigmas.range));
            continue;
        }
        const auto difference = testing::compareImages(
            smoothed,
            testing::referenceFilter(exchanged, width, height, sigmas.spatial, sigmas.range));
        // FMA rounds once where the reference rounds twice, which now and then flips a byte at
        // a half, and the column pass's weights can add one more. Bands need no such rounding.
        EXPECT_LE(difference.largest, picture == Picture::bands ? 0 : 2);
        EXPECT_LE(difference.differingBytes, capture.size() / 100);
    }
}

INSTANTIATE_TEST_SUITE_P(BothPaths, SmoothFrame, ::testing::Bool(),
                         [](const auto& parameter) { return parameter.param ? "avx2" : "scalar"; });

}  // namespace
}  // namespace velvix
