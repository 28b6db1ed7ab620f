#include "velvix/pipeline/skin_tone.hpp"

#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <random>
#include <vector>

#include "velvix/pipeline/landmark_layout.hpp"
#include "velvix/pipeline/pixels.hpp"
#include "velvix/platform/cpu_info.hpp"

namespace velvix {
namespace {

using Bytes = std::vector<std::uint8_t>;

constexpr FrameSize kFrame{200, 240};
// Capture layout: red, green, blue, alpha.
constexpr std::array<std::uint8_t, 4> kSkin{205, 160, 135, 255};
// Ash-brown hair: skin-coloured by the fixed test, but greyer than the skin.
constexpr std::array<std::uint8_t, 4> kAshHair{120, 105, 90, 255};

// A face in the buffer's columns and rows: brows on row 80, eyes' lower lids on row 100, the
// nose's wings and the mouth on rows 130 and 160, the jaw round to the chin on row 210. Points
// this layout does not use lie far off.
FaceLandmarks drawnFace() {
    using namespace landmark;
    FaceLandmarks p{};
    p.fill({-1000.0f, -1000.0f});
    for (int k = 0; k < 5; ++k) {
        p[static_cast<std::size_t>(kUpperBrows[static_cast<std::size_t>(k)])] = {
            40.0f + 10.0f * static_cast<float>(k), 80.0f};
        p[static_cast<std::size_t>(kUpperBrows[static_cast<std::size_t>(k + 5)])] = {
            120.0f + 10.0f * static_cast<float>(k), 80.0f};
    }
    p[kLeftEyeLowerLid] = {60, 100};
    p[kRightEyeLowerLid] = {140, 100};
    p[kLeftNoseWing] = {88, 130};
    p[kRightNoseWing] = {112, 130};
    p[kLeftMouthCorner] = {80, 160};
    p[kRightMouthCorner] = {120, 160};
    p[kLeftJawBelowCheek] = {35, 170};
    p[kRightJawBelowCheek] = {165, 170};
    p[kChin] = {100, 210};
    return p;
}

// The frame: skin with a little noise, and hair from the top down to `hairDown` rows above
// the brows (a fringe over the forehead when positive).
Bytes frameWithFringe(const std::array<std::uint8_t, 4>& skin, int hairDown) {
    std::mt19937 random(5);
    Bytes capture(static_cast<std::size_t>(kFrame.pixels()) * 4);
    for (int row = 0; row < kFrame.height; ++row) {
        for (int column = 0; column < kFrame.width; ++column) {
            const auto& colour = row < 80 - 40 + hairDown ? kAshHair : skin;
            std::uint8_t* pixel =
                capture.data() + (static_cast<std::size_t>(row) * kFrame.width + column) * 4;
            for (std::size_t c = 0; c < 3; ++c) {
                pixel[c] = static_cast<std::uint8_t>(colour[c] + random() % 5 - 2);
            }
            pixel[3] = 255;
        }
    }
    return capture;
}

// The alpha blendSkinOfTone gives a colour (capture layout) from an alpha of 255, as the blend
// from 0 towards 255 shows it.
int alphaOf(const SkinTone& tone, const std::array<std::uint8_t, 4>& colour) {
    const Bytes unsmoothed{colour[2], colour[1], colour[0], 255};
    Bytes smoothed{0, 0, 0, 0};
    const std::uint8_t alpha = 255;
    blendSkinOfTone(unsmoothed.data(), smoothed.data(), &alpha, 1, tone);
    // Blue went from its value towards 0 by alpha / 255 of the way.
    return static_cast<int>(std::lround(255.0 * (colour[2] - smoothed[0]) / colour[2]));
}

TEST(SkinTone, IsLearnedFromTheCheeksEvenUnderAFringeAndTellsTheHairFromTheSkin) {
    for (const int fringe : {0, 30}) {
        const Bytes capture = frameWithFringe(kSkin, fringe);
        const auto tone = learnSkinTone(drawnFace(), capture.data(), kFrame);
        ASSERT_TRUE(tone) << "fringe " << fringe;
        EXPECT_EQ(alphaOf(*tone, kSkin), 255) << "fringe " << fringe;
        EXPECT_EQ(alphaOf(*tone, {205, 163, 135, 255}), 255) << "a little less red";
        EXPECT_EQ(alphaOf(*tone, kAshHair), 0) << "fringe " << fringe;
        EXPECT_EQ(alphaOf(*tone, {150, 150, 150, 255}), 0) << "grey";
        EXPECT_EQ(alphaOf(*tone, {195, 180, 172, 255}), 0) << "a greyish beige wall";
    }
}

TEST(SkinTone, AGreyPictureOrAFaceMostlyOffTheFrameTeachesNothing) {
    FaceLandmarks offFrame = drawnFace();
    for (PointF& point : offFrame) {
        point.x += 400;
    }
    EXPECT_FALSE(
        learnSkinTone(drawnFace(), frameWithFringe({150, 150, 150, 255}, 0).data(), kFrame));
    EXPECT_FALSE(learnSkinTone(offFrame, frameWithFringe(kSkin, 0).data(), kFrame));
}

// Against the blends' definitions in double precision, both paths alike: the plain blend gives
// the unsmoothed bytes at alpha 0 and the smoothed at full, on skin only, and rounds in between;
// the blend by the skin's own colour weighs alpha by the distance to that colour (the fixed
// skin-colour test, BT.601 chroma, the distance in tolerances), within a step of alpha.
TEST(BlendSkin, FollowsItsDefinitionPlainAndByTheSkinsColourInBothPaths) {
    std::mt19937 random(41);
    const SkinTone tone{-140, 170, 2000, 1500};
    const std::size_t count = 4099;
    Bytes unsmoothed(count * 4);
    Bytes smoothed(count * 4);
    Bytes alpha(count);
    for (std::size_t i = 0; i < count; ++i) {
        // Colours round the tone's, and now and then anything.
        const bool near = random() % 4 != 0;
        for (std::size_t c = 0; c < 3; ++c) {
            const int base = std::array{135, 160, 205}[c];  // blue, green, red
            unsmoothed[4 * i + c] = static_cast<std::uint8_t>(
                near ? base + static_cast<int>(random() % 41) - 20 : static_cast<int>(random()));
            smoothed[4 * i + c] = static_cast<std::uint8_t>(random());
        }
        unsmoothed[4 * i + 3] = 255;
        smoothed[4 * i + 3] = static_cast<std::uint8_t>(random());
        alpha[i] = std::array<std::uint8_t, 3>{0, 255, static_cast<std::uint8_t>(random())}[i % 3];
    }
    std::array<Bytes, 2> results;
    for (const bool vectorised : {false, true}) {
        const Avx2Choice paths(vectorised);
        Bytes plain = smoothed;
        blendSkin(unsmoothed.data(), plain.data(), alpha.data(), count);
        Bytes byTone = smoothed;
        blendSkinOfTone(unsmoothed.data(), byTone.data(), alpha.data(), count, tone);
        for (std::size_t i = 0; i < count; ++i) {
            const std::uint8_t* u = &unsmoothed[4 * i];
            const double blue = u[0];
            const double green = u[1];
            const double red = u[2];
            // Whole tone units, as the chroma is counted.
            const double unitsPerStep = 256000.0 / 32768.0;
            const double cb =
                std::floor((-37.797 * red - 74.203 * green + 112 * blue) / 256 * unitsPerStep);
            const double cr =
                std::floor((112 * red - 93.786 * green - 18.214 * blue) / 256 * unitsPerStep);
            const double du = (cb - tone.cb) * tone.cbScale / 256 / kToneUnit;
            const double dv = (cr - tone.cr) * tone.crScale / 256 / kToneUnit;
            const double weight =
                std::clamp((kToneFade - du * du - dv * dv) / (kToneFade - 1), 0.0, 1.0);
            const double a = isSkinColour(u[0], u[1], u[2]) ? alpha[i] : 0.0;
            for (std::size_t c = 0; c < 3; ++c) {
                const double difference = smoothed[4 * i + c] - u[c];
                ASSERT_EQ(plain[4 * i + c], std::lround(u[c] + a * difference / 255.0))
                    << "pixel " << i << " byte " << c << " alpha " << a;
                // A step of alpha and the rounding of the result.
                ASSERT_NEAR(byTone[4 * i + c], u[c] + a * weight * difference / 255.0,
                            std::abs(difference) * 1.5 / 255.0 + 0.5)
                    << "pixel " << i << " byte " << c << " alpha " << a * weight;
            }
            ASSERT_EQ(plain[4 * i + 3], smoothed[4 * i + 3]);
            ASSERT_EQ(byTone[4 * i + 3], smoothed[4 * i + 3]);
        }
        results[vectorised ? 1 : 0] = byTone;
    }
    EXPECT_EQ(results[0], results[1]);
}

}  // namespace
}  // namespace velvix
