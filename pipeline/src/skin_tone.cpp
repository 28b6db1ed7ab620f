#include "velvix/pipeline/skin_tone.hpp"

#include <algorithm>
#include <array>
#include <cmath>

#include "velvix/pipeline/face_mask.hpp"
#include "velvix/pipeline/landmark_layout.hpp"
#include "velvix/pipeline/pixels.hpp"

namespace velvix {
namespace {

using landmark::kUpperBrows;

// Samples across each cheek's quadrilateral at these shares of the way between its sides; above
// the brows, rows at these shares of the height the face's outline gives the forehead, low
// enough to lie below most hairlines.
constexpr std::array kCheekSteps{0.2f, 0.35f, 0.5f, 0.65f, 0.8f};
constexpr std::array kForeheadSteps{0.1f, 0.2f};
constexpr std::size_t kFewestSamples = 16;

PointF mix(PointF a, PointF b, float t) {
    return {a.x + (b.x - a.x) * t, a.y + (b.y - a.y) * t};
}

// The middle of the brows' upper edges.
PointF browMiddleOf(const FaceLandmarks& p) {
    PointF middle{};
    for (const int k : kUpperBrows) {
        middle.x += p[static_cast<std::size_t>(k)].x / static_cast<float>(kUpperBrows.size());
        middle.y += p[static_cast<std::size_t>(k)].y / static_cast<float>(kUpperBrows.size());
    }
    return middle;
}

constexpr std::size_t kMostSamples =
    2 * kCheekSteps.size() * kCheekSteps.size() + kForeheadSteps.size() * kUpperBrows.size();

// Up to kMostSamples values, without allocating on every frame.
struct Values {
    std::array<std::int32_t, kMostSamples> values{};
    std::size_t count = 0;

    void add(std::int32_t value) { values[count++] = value; }
    std::int32_t* begin() { return values.data(); }
    std::int32_t* end() { return values.data() + count; }
};

struct Samples {
    Values cb;
    Values cr;
    Values brightness;
};

// The chroma of the pixel nearest a point, in tone units, and its brightness, when it lies in
// the frame.
void sample(const std::uint8_t* capture, FrameSize size, PointF point, Samples& samples) {
    const auto column = static_cast<long>(std::lround(point.x));
    const auto row = static_cast<long>(std::lround(point.y));
    if (!(column >= 0 && row >= 0 && column < size.width && row < size.height)) {
        return;
    }
    const std::uint8_t* pixel =
        capture + (static_cast<std::size_t>(row) * static_cast<std::size_t>(size.width) +
                   static_cast<std::size_t>(column)) *
                      4;
    const std::int32_t blueOverGreen = pixel[2] - pixel[1];
    const std::int32_t redOverGreen = pixel[0] - pixel[1];
    samples.cb.add((112000 * blueOverGreen - 37797 * redOverGreen) >> kToneShift);
    samples.cr.add((112000 * redOverGreen - 18214 * blueOverGreen) >> kToneShift);
    samples.brightness.add(pixel[0] + 2 * pixel[1] + pixel[2]);
}

std::int32_t median(Values values) {
    std::int32_t* const middle = values.begin() + values.count / 2;
    std::nth_element(values.begin(), middle, values.end());
    return *middle;
}

// The values' median and their spread: 1.4826 times their median absolute deviation, which is
// the standard deviation of a normal spread and not moved by a few values far off.
std::pair<float, float> middleAndSpread(const Values& values) {
    const std::int32_t middle = median(values);
    Values deviations = values;
    for (std::int32_t& value : deviations) {
        value = std::abs(value - middle);
    }
    return {static_cast<float>(middle), 1.4826f * static_cast<float>(median(deviations))};
}

// The middle of the values and the scale that makes kToneUnit of their tolerance.
std::pair<std::int32_t, std::int32_t> middleAndScale(const Values& values) {
    const auto [middle, spread] = middleAndSpread(values);
    const float tolerance =
        std::max(kToneSpreads * spread, kToneToleranceFloor * kToneUnitsPerStep);
    return {static_cast<std::int32_t>(middle),
            static_cast<std::int32_t>(std::lround(kToneUnit * 256.0f / tolerance))};
}

// Skin's chroma by the fixed skin-colour test (isSkinColour), in tone units: a grey picture or
// a strong cast gives a middle that says nothing about which pixels are skin.
bool skinColoured(std::int32_t cb, std::int32_t cr) {
    const auto steps = [](std::int32_t units) {
        return static_cast<float>(units) / kToneUnitsPerStep;
    };
    return steps(cb) >= 77 - 128 && steps(cb) < 128 - 128 && steps(cr) >= 133 - 128 &&
           steps(cr) < 174 - 128;
}

}  // namespace

std::optional<SkinTone> learnSkinTone(const FaceLandmarks& p, const std::uint8_t* capture,
                                      FrameSize size) {
    using namespace landmark;
    Samples samples;
    // Each cheek from the lower lid across to the nose's wing, and from the jaw across to the
    // mouth's corner.
    const std::array<std::array<int, 4>, 2> cheeks{
        std::array{kLeftEyeLowerLid, kLeftNoseWing, kLeftJawBelowCheek, kLeftMouthCorner},
        std::array{kRightEyeLowerLid, kRightNoseWing, kRightJawBelowCheek, kRightMouthCorner}};
    for (const auto& [lid, wing, jaw, corner] : cheeks) {
        for (const float down : kCheekSteps) {
            const PointF outer =
                mix(p[static_cast<std::size_t>(lid)], p[static_cast<std::size_t>(jaw)], down);
            const PointF inner =
                mix(p[static_cast<std::size_t>(wing)], p[static_cast<std::size_t>(corner)], down);
            for (const float across : kCheekSteps) {
                sample(capture, size, mix(outer, inner, across), samples);
            }
        }
    }
    const PointF browMiddle = browMiddleOf(p);
    // Rows over the brows, raised along the line from the chin to the brows' middle by shares
    // of the forehead the face's outline takes in.
    for (const float up : kForeheadSteps) {
        const float lift = up * kForeheadShare;
        for (const int k : kUpperBrows) {
            const PointF brow = p[static_cast<std::size_t>(k)];
            sample(capture, size,
                   {brow.x + (browMiddle.x - p[kChin].x) * lift,
                    brow.y + (browMiddle.y - p[kChin].y) * lift},
                   samples);
        }
    }
    if (samples.cb.count < kFewestSamples) {
        return std::nullopt;
    }
    const auto [cb, cbScale] = middleAndScale(samples.cb);
    const auto [cr, crScale] = middleAndScale(samples.cr);
    if (!skinColoured(cb, cr)) {
        return std::nullopt;
    }
    return SkinTone{cb, cr, cbScale, crScale, median(samples.brightness)};
}

namespace {

// How far a point lies along the face, from its chin towards the middle of its brows, in
// pixels.
struct FaceAxis {
    PointF origin;
    PointF direction;  // of length 1

    float levelOf(PointF point) const {
        return (point.x - origin.x) * direction.x + (point.y - origin.y) * direction.y;
    }
};

FaceAxis faceAxisOf(const FaceLandmarks& p) {
    const PointF chin = p[landmark::kChin];
    const PointF brows = browMiddleOf(p);
    const float length = std::hypot(brows.x - chin.x, brows.y - chin.y);
    if (!(length > 0)) {
        return {chin, {0, 1}};
    }
    return {chin, {(brows.x - chin.x) / length, (brows.y - chin.y) / length}};
}

// The columns [first, last) of a row of `width` whose level, `start` at its first column and
// rising by `step` a column, lies between `low` and `high`.
std::pair<int, int> columnsBetween(float start, float step, float low, float high, int width) {
    if (std::abs(step) < 1e-6f) {
        return start >= low && start <= high ? std::pair{0, width} : std::pair{0, 0};
    }
    const float a = (low - start) / step;
    const float b = (high - start) / step;
    const auto column = [width](float x) {
        return static_cast<int>(std::clamp(x, 0.0f, static_cast<float>(width)));
    };
    const int first = column(std::ceil(std::min(a, b)));
    const int last = std::max(first, column(std::floor(std::max(a, b)) + 1));
    return {first, last};
}

// Nothing of its alpha up to brightness `dark`, all from `light` on: a table, so that the pass
// over the hair's zones divides once per face rather than once per dark pixel.
BrightnessShares darkFade(std::int32_t dark, std::int32_t light) {
    BrightnessShares shares{};
    for (std::int32_t brightness = 0; brightness < static_cast<std::int32_t>(shares.size());
         ++brightness) {
        shares[static_cast<std::size_t>(brightness)] = static_cast<std::uint32_t>(
            brightness >= light ? 256 : std::max(0, brightness - dark) * 256 / (light - dark));
    }
    return shares;
}

}  // namespace

void keepHairTexture(const FaceLandmarks& p, const SkinTone& tone, const std::uint8_t* pixels,
                     AlphaView mask) {
    const FaceAxis axis = faceAxisOf(p);
    float browLevel = 0;
    for (const int k : kUpperBrows) {
        browLevel +=
            axis.levelOf(p[static_cast<std::size_t>(k)]) / static_cast<float>(kUpperBrows.size());
    }
    const float lipLevel = axis.levelOf(p[landmark::kLowerLipMiddle]);
    const auto dark =
        static_cast<std::int32_t>(kHairFadeStart * static_cast<float>(tone.brightness));
    const auto light = std::max(
        dark + 1, static_cast<std::int32_t>(kHairFadeEnd * static_cast<float>(tone.brightness)));
    const BrightnessShares shares = darkFade(dark, light);
    const PixelArea& area = mask.area;
    for (int j = 0; j < area.height; ++j) {
        const PointF rowStart{static_cast<float>(area.x), static_cast<float>(area.y + j)};
        const auto [first, last] = columnsBetween(axis.levelOf(rowStart), axis.direction.x,
                                                  lipLevel, browLevel, area.width);
        const std::uint8_t* row = pixels + 4 * static_cast<std::size_t>(mask.stride) * j;
        std::uint8_t* alpha = mask.pixels + static_cast<std::size_t>(mask.stride) * j;
        fadeByBrightness(row, alpha, static_cast<std::size_t>(first), shares);
        fadeByBrightness(row + 4 * static_cast<std::size_t>(last), alpha + last,
                         static_cast<std::size_t>(area.width - last), shares);
    }
}

}  // namespace velvix
