#include "velvix/pipeline/skin_tone.hpp"

#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <random>
#include <vector>

#include "velvix/pipeline/pixels.hpp"
#include "velvix/platform/cpu_info.hpp"

namespace velvix {
namespace {

using Bytes = std::vector<std::uint8_t>;

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
    }
}

}  // namespace
}  // namespace velvix
