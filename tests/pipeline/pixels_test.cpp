#include "velvix/pipeline/pixels.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <random>
#include <vector>

#include "velvix/platform/cpu_info.hpp"

namespace velvix {
namespace {

using Bytes = std::vector<std::uint8_t>;

// The chroma test written out in floating point, as the conversion is usually stated.
bool skinByFormula(int blue, int green, int red) {
    const double cb = 128 + (-37.797 * red - 74.203 * green + 112 * blue) * 0.00390625;
    const double cr = 128 + (112 * red - 93.786 * green - 18.214 * blue) * 0.00390625;
    const auto cbByte = static_cast<std::uint8_t>(static_cast<int>(cb));
    const auto crByte = static_cast<std::uint8_t>(static_cast<int>(cr));
    return cbByte >= 77 && cbByte <= 127 && crByte >= 133 && crByte <= 173;
}

// The capture layout (red, green, blue, fourth byte) is turned, the filter layout (blue, green,
// red, fourth byte) keeps its order, in both paths on rows of no whole number of vector steps.
TEST(PackPixels, TurnsTheCaptureLayoutAndKeepsTheFilterLayoutInBothPaths) {
    std::mt19937 random(3);
    const int width = 1283;
    const int height = 5;
    Bytes source(static_cast<std::size_t>(width * height * 4));
    std::generate(source.begin(), source.end(),
                  [&] { return static_cast<std::uint8_t>(random()); });
    for (const bool vectorised : {false, true}) {
        const Avx2Choice paths(vectorised);
        for (const PackFrom from : {PackFrom::captureLayout, PackFrom::filterLayout}) {
            Bytes packed(static_cast<std::size_t>(width * height * 3));
            packPixels(source.data(), packed.data(), width, height, from);
            for (std::size_t i = 0; i < packed.size(); ++i) {
                const std::size_t c = i % 3;
                const std::size_t byte = from == PackFrom::captureLayout ? 2 - c : c;
                ASSERT_EQ(packed[i], source[i / 3 * 4 + byte])
                    << i << (vectorised ? " vectorised" : "");
            }
        }
    }
}

// The feature boxes evaluated pixel by pixel, straight from their definition.
bool insideFeatureBox(const FaceLandmarks& p, float u, float v) {
    const auto between = [](float low, float value, float high) {
        return low < value && value < high;
    };
    const float spread = p[79].x - p[78].x;
    return (between(p[33].x, u, (p[51].x + p[64].x) * 0.5f) &&
            between(p[35].y, v, p[66].y + (p[66].y - p[40].y) * 0.5f)) ||
           (between((p[51].x + p[68].x) * 0.5f, u, p[46].x) &&
            between(p[44].y, v, p[74].y + (p[74].y - p[48].y) * 0.5f)) ||
           (between(2 * p[55].x - p[56].x, u, 2 * p[59].x - p[58].x) &&
            between(p[54].y + 10, v, p[57].y + 10)) ||
           (between(p[76].x - spread, u, p[82].x + spread) &&
            between(p[78].y - 10, v, p[85].y + 10));
}

// Colours that are not skin, and skin inside a feature box, get their unsmoothed bytes back; the
// boxes apply only to a valid face with landmarks in rectangle mode; the fourth byte stays.
TEST(MaskFeatures, AgreesWithAPixelByPixelReferenceOnRandomFaces) {
    std::mt19937 random(11);
    std::uniform_real_distribution<float> coordinate(-20.0f, 90.0f);
    const int width = 67;
    const int height = 53;
    Bytes unsmoothed(static_cast<std::size_t>(width * height * 4));
    for (std::size_t i = 0; i < unsmoothed.size(); i += 4) {
        const bool skin = random() % 3 != 0;
        for (std::size_t c = 0; c < 4; ++c) {
            unsmoothed[i + c] = static_cast<std::uint8_t>(skin ? std::array{120, 150, 200, 255}[c]
                                                               : static_cast<int>(random()));
        }
    }
    enum Variant { boxes, moreBoxes, faceNotValid, noLandmarks, boxesIgnored, variants };
    for (int trial = 0; trial < 200; ++trial) {
        const auto variant = static_cast<Variant>(trial % variants);
        FaceOutputs face;
        face.faceValid = variant != faceNotValid;
        FaceLandmarks points;
        for (auto& point : points) {
            // Whole numbers now and then, so that box edges fall exactly on pixels.
            point = {coordinate(random), coordinate(random)};
            if (random() % 4 == 0) {
                point = {std::round(point.x), std::round(point.y)};
            }
        }
        if (variant != noLandmarks) {
            face.faceLandmarks = points;
        }
        const bool boxesApply = variant == boxes || variant == moreBoxes;
        for (const bool scalar : {false, true}) {
            const Avx2Choice paths(!scalar);
            Bytes smoothed(unsmoothed.size(), 1);
            maskFeatures(
                unsmoothed.data(), smoothed.data(), width, height,
                variant == boxesIgnored ? FeatureBoxes::ignore : FeatureBoxes::keepUnsmoothed,
                face);
            for (int j = 0; j < height; ++j) {
                for (int i = 0; i < width; ++i) {
                    const std::size_t at = static_cast<std::size_t>((j * width + i) * 4);
                    const bool inBox =
                        boxesApply && insideFeatureBox(points, static_cast<float>(width - i),
                                                       static_cast<float>(height - j));
                    const bool keep = !inBox && isSkinColour(unsmoothed[at], unsmoothed[at + 1],
                                                             unsmoothed[at + 2]);
                    for (std::size_t c = 0; c < 4; ++c) {
                        ASSERT_EQ(smoothed[at + c], keep || c == 3 ? 1 : unsmoothed[at + c])
                            << "trial " << trial << " column " << i << " row " << j;
                    }
                }
            }
        }
    }
}

// Against the detail's own definition in double precision: smoothed plus the level's share of
// what smoothing took from the brightness (blue + 2 green + red, over 4) beyond the 3 x 3 mean
// of what it took, less the 3 x 3 mean of that, within the limit, and less the same share of
// the next coarser part (the 3 x 3 mean of what it took less the 3 x 3 mean of that); the
// same for blue, green and red; both paths alike.
TEST(ReturnFineGrain, AddsTheLevelsShareOfTheFinestDetailAwayFromTheEdgesInBothPaths) {
    std::mt19937 random(31);
    const int width = 37;  // not a whole number of vector steps
    const int height = 7;
    const std::size_t bytes = static_cast<std::size_t>(width * height * 4);
    Bytes unsmoothed(bytes);
    Bytes smoothed(bytes);
    for (std::size_t i = 0; i < bytes; ++i) {
        // Mostly gentle grain, now and then a hard edge; smoothed bytes near both ends too.
        const int grain = static_cast<int>(random() % 17) - 8;
        unsmoothed[i] = static_cast<std::uint8_t>(random() % 8 == 0 ? random() : 128 + grain);
        smoothed[i] = static_cast<std::uint8_t>(std::array{2, 128, 253}[random() % 3]);
    }
    const auto takenAt = [&](int x, int y) {
        const auto i = static_cast<std::size_t>((y * width + x) * 4);
        double taken = 0;
        for (std::size_t c = 0; c < 3; ++c) {
            taken += (c == 1 ? 0.5 : 0.25) * (unsmoothed[i + c] - smoothed[i + c]);
        }
        return taken;
    };
    const auto meanAround = [](int x, int y, auto value) {
        double mean = 0;
        for (int dy = -1; dy <= 1; ++dy) {
            for (int dx = -1; dx <= 1; ++dx) {
                mean += value(x + dx, y + dy) / 9.0;
            }
        }
        return mean;
    };
    const auto meanTaken = [&](int x, int y) { return meanAround(x, y, takenAt); };
    const auto beyondMean = [&](int x, int y) { return takenAt(x, y) - meanTaken(x, y); };
    for (const int level : {0, 35, 100, 250}) {
        const double share = 0.7 * std::clamp(level, 0, 100) / 100.0;
        for (const bool vectorised : {false, true}) {
            const Avx2Choice paths(vectorised);
            Bytes grained = smoothed;
            std::vector<std::int32_t> scratch(grainScratchBytes(width) / 4);
            returnFineGrain(unsmoothed.data(), grained.data(), width, height, level,
                            scratch.data());
            for (int y = 0; y < height; ++y) {
                for (int x = 0; x < width; ++x) {
                    const bool edge = x < 2 || y < 2 || x >= width - 2 || y >= height - 2;
                    const double detail =
                        edge ? 0.0
                             : std::clamp(beyondMean(x, y) - meanAround(x, y, beyondMean), -12.0,
                                          12.0);
                    const double coarser =
                        edge ? 0.0 : meanTaken(x, y) - meanAround(x, y, meanTaken);
                    for (int c = 0; c < 4; ++c) {
                        const auto i = static_cast<std::size_t>((y * width + x) * 4 + c);
                        if (edge || c == 3) {
                            ASSERT_EQ(grained[i], smoothed[i]) << x << ", " << y << ", " << c;
                            continue;
                        }
                        const double expected =
                            std::clamp(smoothed[i] + share * (detail - coarser), 0.0, 255.0);
                        ASSERT_NEAR(grained[i], expected, 1.0)
                            << "level " << level << " at " << x << ", " << y << ", " << c;
                    }
                }
            }
        }
    }
}

// Every colour once, in rows of 100 pixels (not a whole number of vector steps) with padding
// between them, so that both paths see row ends, strides and the turned order; the skin test
// on every colour too.
TEST(GreyFromFrameAndSkinTest, AgreeWithTheDoubleFormulasOnEveryColourInBothPaths) {
    constexpr int width = 100;
    constexpr int height = 3;
    constexpr int stride = width * 3 + 5;
    Bytes frame(height * stride);
    Bytes grey(height * width);
    Bytes reversed(height * width);
    int mismatches = 0;
    for (const bool vectorised : {false, true}) {
        const Avx2Choice paths(vectorised);
        for (int red = 0; red < 256; ++red) {
            for (int green = 0; green < 256; ++green) {
                for (int blue = 0; blue < 256; ++blue) {
                    std::uint8_t* pixel = &frame[static_cast<std::size_t>((blue / width) * stride +
                                                                          (blue % width) * 3)];
                    pixel[0] = static_cast<std::uint8_t>(blue);
                    pixel[1] = static_cast<std::uint8_t>(green);
                    pixel[2] = static_cast<std::uint8_t>(red);
                }
                greyFromFrame({frame.data(), width, height, stride}, grey.data());
                greyFromFrame({frame.data(), width, height, stride}, reversed.data(),
                              GreyColumns::reversed);
                for (int blue = 0; blue < 256; ++blue) {
                    // Truncated, as the double formula is: mid-grey comes out one below itself.
                    const auto expected =
                        static_cast<std::uint8_t>(0.299 * red + 0.587 * green + 0.114 * blue);
                    const int row = blue / width;
                    mismatches += grey[static_cast<std::size_t>(blue)] != expected;
                    mismatches += reversed[static_cast<std::size_t>(row * width + width - 1 -
                                                                    blue % width)] != expected;
                    mismatches += isSkinColour(static_cast<std::uint8_t>(blue),
                                               static_cast<std::uint8_t>(green),
                                               static_cast<std::uint8_t>(red)) !=
                                  skinByFormula(blue, green, red);
                }
            }
        }
    }
    EXPECT_EQ(mismatches, 0);
}

}  // namespace
}  // namespace velvix
