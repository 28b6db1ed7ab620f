#include "velvix/pipeline/pixels.hpp"

#include <immintrin.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstddef>
#include <cstring>

#include "velvix/pipeline/landmark_layout.hpp"
#include "velvix/pipeline/skin_tone.hpp"
#include "velvix/platform/cpu_info.hpp"

namespace velvix {
namespace {

// The chroma test, scaled to whole numbers: Cb = 128 + cb / 256000 and Cr = 128 + cr / 256000
// with the coefficients of the BT.601 conversion times 1000. A check over all 2^24 colours
// (in the tests) shows that this gives the same answer as the floating-point formula.
constexpr std::int32_t kCbLow = (77 - 128) * 256000;    // Cb >= 77
constexpr std::int32_t kCbHigh = (128 - 128) * 256000;  // Cb <= 127, that is Cb < 128
constexpr std::int32_t kCrLow = (133 - 128) * 256000;   // Cr >= 133
constexpr std::int32_t kCrHigh = (174 - 128) * 256000;  // Cr <= 173, that is Cr < 174

// The three weights of each sum add up to zero (37797 + 74203 = 93786 + 18214 = 112000), so
// two products of the differences from green give it.
inline bool skinChroma(std::int32_t blue, std::int32_t green, std::int32_t red) {
    const std::int32_t blueOverGreen = blue - green;
    const std::int32_t redOverGreen = red - green;
    const std::int32_t cb = 112000 * blueOverGreen - 37797 * redOverGreen;
    const std::int32_t cr = 112000 * redOverGreen - 18214 * blueOverGreen;
    return (cb >= kCbLow) & (cb < kCbHigh) & (cr >= kCrLow) & (cr < kCrHigh);
}

inline std::uint32_t load32(const std::uint8_t* bytes) {
    std::uint32_t value;
    std::memcpy(&value, bytes, sizeof value);
    return value;
}

inline void store32(std::uint8_t* bytes, std::uint32_t value) {
    std::memcpy(bytes, &value, sizeof value);
}

constexpr std::uint32_t kColourBytes = 0x00FFFFFFu;

// The per-pixel loops, written once and compiled twice: for any x86-64 processor and, with
// AVX2, eight pixels at a time.
VELVIX_ALWAYS_INLINE void packRangeBody(const std::uint8_t* source, std::uint8_t* destination,
                                        std::size_t count, bool keepOrder) {
    // Constant byte positions in each loop let the compiler turn it into byte shuffles.
    if (keepOrder) {
        for (std::size_t i = 0; i < count; ++i) {
            destination[3 * i + 0] = source[4 * i + 0];
            destination[3 * i + 1] = source[4 * i + 1];
            destination[3 * i + 2] = source[4 * i + 2];
        }
    } else {
        for (std::size_t i = 0; i < count; ++i) {
            destination[3 * i + 0] = source[4 * i + 2];
            destination[3 * i + 1] = source[4 * i + 1];
            destination[3 * i + 2] = source[4 * i + 0];
        }
    }
}

VELVIX_ALWAYS_INLINE void maskBySkinBody(const std::uint8_t* unsmoothed, std::uint8_t* smoothed,
                                         std::size_t count) {
    for (std::size_t i = 0; i < count; ++i) {
        const std::uint32_t original = load32(unsmoothed + 4 * i);
        const auto blue = static_cast<std::int32_t>(original & 0xFFu);
        const auto green = static_cast<std::int32_t>((original >> 8) & 0xFFu);
        const auto red = static_cast<std::int32_t>((original >> 16) & 0xFFu);
        const std::uint32_t restore = skinChroma(blue, green, red) ? 0u : kColourBytes;
        const std::uint32_t current = load32(smoothed + 4 * i);
        store32(smoothed + 4 * i, (current & ~restore) | (original & restore));
    }
}

// in + alpha x (smoothed - in) per colour byte, rounded: (in x (255 - a) + smoothed x a + 127)
// / 255, where x / 255 = (x + 1 + (x >> 8)) >> 8 holds for every x up to 65534. Alpha 0 gives
// the unsmoothed byte and 255 the smoothed one exactly. Pixels that are not skin-coloured
// count as alpha 0.
std::uint32_t mixByte(std::uint32_t from, std::uint32_t to, std::uint32_t a) {
    const std::uint32_t x = from * (255u - a) + to * a + 127u;
    return (x + 1u + (x >> 8)) >> 8;
}

// Beyond this many kToneUnit from the skin's chroma on either axis the weight is 0 anyway; the
// clamp keeps the squares small.
constexpr std::int32_t kToneReach = 3 * kToneUnit;
constexpr std::int32_t kToneFull = kToneFade * kToneUnit * kToneUnit;
constexpr int kToneWeightShift = 18;
static_assert((kToneFade - 1) * kToneUnit * kToneUnit == 1 << kToneWeightShift);
static_assert(kToneReach * kToneReach > kToneFull);

// Alpha weighed by the pixel's closeness to the skin's chroma: with d the distance in
// tolerances, the weight is 1 up to d = 1 and (kToneFade - d^2) / (kToneFade - 1) beyond, down
// to 0.
inline std::uint32_t alphaOfTone(std::int32_t blue, std::int32_t green, std::int32_t red,
                                 std::uint32_t alpha, const SkinTone& tone) {
    const std::int32_t blueOverGreen = blue - green;
    const std::int32_t redOverGreen = red - green;
    const std::int32_t cb = (112000 * blueOverGreen - 37797 * redOverGreen) >> kToneShift;
    const std::int32_t cr = (112000 * redOverGreen - 18214 * blueOverGreen) >> kToneShift;
    const std::int32_t u =
        std::clamp(((cb - tone.cb) * tone.cbScale) >> 8, -kToneReach, kToneReach);
    const std::int32_t v =
        std::clamp(((cr - tone.cr) * tone.crScale) >> 8, -kToneReach, kToneReach);
    const std::int32_t weight = std::clamp(kToneFull - u * u - v * v, 0, 1 << kToneWeightShift);
    return (alpha * static_cast<std::uint32_t>(weight) + (1u << (kToneWeightShift - 1))) >>
           kToneWeightShift;
}

// Pixels that are not skin-coloured count as alpha 0, and a tone weighs the others.
void blendSkinPlain(const std::uint8_t* unsmoothed, std::uint8_t* smoothed,
                    const std::uint8_t* alpha, std::size_t count, const SkinTone* tone) {
    for (std::size_t i = 0; i < count; ++i) {
        const std::uint8_t* original = unsmoothed + 4 * i;
        std::uint8_t* current = smoothed + 4 * i;
        std::uint32_t a;
        if (!skinChroma(original[0], original[1], original[2])) {
            a = 0;
        } else if (tone != nullptr) {
            a = alphaOfTone(original[0], original[1], original[2], alpha[i], *tone);
        } else {
            a = alpha[i];
        }
        for (std::size_t c = 0; c < 3; ++c) {
            current[c] = static_cast<std::uint8_t>(mixByte(original[c], current[c], a));
        }
    }
}

// The same, eight pixels at a time: the skin test in 32-bit lanes, the blend in 16-bit ones
// (x is at most 65152, and x + 1 + (x >> 8) at most 65407, both unsigned).
VELVIX_AVX2_FUNCTION __m256i timesLanes(__m256i v, int factor) {
    return _mm256_mullo_epi32(v, _mm256_set1_epi32(factor));
}

// low <= v < high, as v > low - 1 and high > v.
VELVIX_AVX2_FUNCTION __m256i withinLanes(__m256i v, std::int32_t low, std::int32_t high) {
    return _mm256_and_si256(_mm256_cmpgt_epi32(v, _mm256_set1_epi32(low - 1)),
                            _mm256_cmpgt_epi32(_mm256_set1_epi32(high), v));
}

struct ChromaLanes {
    __m256i cb;
    __m256i cr;
};

// isSkinColour's whole-number chroma of eight pixels.
VELVIX_AVX2_FUNCTION ChromaLanes chromaLanes(__m256i pixels) {
    const __m256i byteMask = _mm256_set1_epi32(0xFF);
    const __m256i green = _mm256_and_si256(_mm256_srli_epi32(pixels, 8), byteMask);
    const __m256i blueOverGreen = _mm256_sub_epi32(_mm256_and_si256(pixels, byteMask), green);
    const __m256i redOverGreen =
        _mm256_sub_epi32(_mm256_and_si256(_mm256_srli_epi32(pixels, 16), byteMask), green);
    return {_mm256_sub_epi32(timesLanes(blueOverGreen, 112000), timesLanes(redOverGreen, 37797)),
            _mm256_sub_epi32(timesLanes(redOverGreen, 112000), timesLanes(blueOverGreen, 18214))};
}

VELVIX_AVX2_FUNCTION __m256i skinLanes(__m256i pixels) {
    const ChromaLanes chroma = chromaLanes(pixels);
    return _mm256_and_si256(withinLanes(chroma.cb, kCbLow, kCbHigh),
                            withinLanes(chroma.cr, kCrLow, kCrHigh));
}

// One axis of the distance to the skin's chroma, in kToneUnit to a tolerance, within the reach.
VELVIX_AVX2_FUNCTION __m256i toneAxisLanes(__m256i chroma, std::int32_t middle,
                                           std::int32_t scale) {
    const __m256i difference =
        _mm256_sub_epi32(_mm256_srai_epi32(chroma, kToneShift), _mm256_set1_epi32(middle));
    const __m256i scaled = _mm256_srai_epi32(timesLanes(difference, scale), 8);
    return _mm256_max_epi32(_mm256_min_epi32(scaled, _mm256_set1_epi32(kToneReach)),
                            _mm256_set1_epi32(-kToneReach));
}

// alphaOfTone for eight pixels.
VELVIX_AVX2_FUNCTION __m256i toneAlphaLanes(__m256i pixels, __m256i alpha, const SkinTone& tone) {
    const ChromaLanes chroma = chromaLanes(pixels);
    const __m256i u = toneAxisLanes(chroma.cb, tone.cb, tone.cbScale);
    const __m256i v = toneAxisLanes(chroma.cr, tone.cr, tone.crScale);
    const __m256i fall =
        _mm256_sub_epi32(_mm256_set1_epi32(kToneFull),
                         _mm256_add_epi32(_mm256_mullo_epi32(u, u), _mm256_mullo_epi32(v, v)));
    const __m256i zero = _mm256_setzero_si256();
    const __m256i weight =
        _mm256_max_epi32(_mm256_min_epi32(fall, _mm256_set1_epi32(1 << kToneWeightShift)), zero);
    return _mm256_srli_epi32(_mm256_add_epi32(_mm256_mullo_epi32(alpha, weight),
                                              _mm256_set1_epi32(1 << (kToneWeightShift - 1))),
                             kToneWeightShift);
}

// Sixteen bytes blended at once: with the pixels' bytes taken as signed (less 128) and the
// weights 255 - a and a unsigned, one multiply-add gives from x (255 - a) + to x a - 32640,
// which fits 16 signed bits; adding 32767 (32640 and the 127 that rounds) gives x.
VELVIX_AVX2_FUNCTION __m256i mixLanes(__m256i fromAndTo, __m256i weights) {
    const __m256i x =
        _mm256_add_epi16(_mm256_maddubs_epi16(weights, fromAndTo), _mm256_set1_epi16(32767));
    const __m256i sum =
        _mm256_add_epi16(_mm256_add_epi16(x, _mm256_set1_epi16(1)), _mm256_srli_epi16(x, 8));
    return _mm256_srli_epi16(sum, 8);
}

VELVIX_AVX2_FUNCTION void blendSkinAvx2(const std::uint8_t* unsmoothed, std::uint8_t* smoothed,
                                        const std::uint8_t* alpha, std::size_t count,
                                        const SkinTone* tone) {
    const std::size_t whole = count / 8 * 8;
    const __m256i signBits = _mm256_set1_epi8(static_cast<char>(0x80));
    const __m256i all255 = _mm256_set1_epi8(static_cast<char>(0xFF));
    const __m256i colourBytes = _mm256_set1_epi32(static_cast<int>(kColourBytes));
    const __m256i spreadLowByte =
        _mm256_setr_epi8(0, 0, 0, 0, 4, 4, 4, 4, 8, 8, 8, 8, 12, 12, 12, 12, 0, 0, 0, 0, 4, 4, 4, 4,
                         8, 8, 8, 8, 12, 12, 12, 12);
    for (std::size_t i = 0; i < whole; i += 8) {
        const __m256i original =
            _mm256_loadu_si256(reinterpret_cast<const __m256i*>(unsmoothed + 4 * i));
        const __m256i current =
            _mm256_loadu_si256(reinterpret_cast<const __m256i*>(smoothed + 4 * i));
        std::int64_t alphaBytes = 0;
        std::memcpy(&alphaBytes, alpha + i, sizeof alphaBytes);
        const __m256i alphaLanes = _mm256_cvtepu8_epi32(_mm_cvtsi64_si128(alphaBytes));
        const __m256i a = _mm256_and_si256(
            tone != nullptr ? toneAlphaLanes(original, alphaLanes, *tone) : alphaLanes,
            skinLanes(original));
        // Each pixel's alpha in all four of its bytes; then every byte of the pixels beside its
        // smoothed twin, and 255 - a beside a.
        const __m256i spread = _mm256_shuffle_epi8(a, spreadLowByte);
        const __m256i from = _mm256_xor_si256(original, signBits);
        const __m256i to = _mm256_xor_si256(current, signBits);
        const __m256i keep = _mm256_sub_epi8(all255, spread);
        const __m256i low =
            mixLanes(_mm256_unpacklo_epi8(from, to), _mm256_unpacklo_epi8(keep, spread));
        const __m256i high =
            mixLanes(_mm256_unpackhi_epi8(from, to), _mm256_unpackhi_epi8(keep, spread));
        const __m256i mixed = _mm256_packus_epi16(low, high);
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(smoothed + 4 * i),
                            _mm256_or_si256(_mm256_and_si256(mixed, colourBytes),
                                            _mm256_andnot_si256(colourBytes, current)));
    }
    blendSkinPlain(unsmoothed + 4 * whole, smoothed + 4 * whole, alpha + whole, count - whole,
                   tone);
}

void packRangePlain(const std::uint8_t* source, std::uint8_t* destination, std::size_t count,
                    bool keepOrder) {
    packRangeBody(source, destination, count, keepOrder);
}

VELVIX_AVX2_FUNCTION void packRangeAvx2(const std::uint8_t* source, std::uint8_t* destination,
                                        std::size_t count, bool keepOrder) {
    packRangeBody(source, destination, count, keepOrder);
}

void maskBySkinPlain(const std::uint8_t* unsmoothed, std::uint8_t* smoothed, std::size_t count) {
    maskBySkinBody(unsmoothed, smoothed, count);
}

VELVIX_AVX2_FUNCTION void maskBySkinAvx2(const std::uint8_t* unsmoothed, std::uint8_t* smoothed,
                                         std::size_t count) {
    maskBySkinBody(unsmoothed, smoothed, count);
}

void packRange(const std::uint8_t* source, std::uint8_t* destination, std::size_t count,
               bool keepOrder) {
    (hasAVX2 ? packRangeAvx2 : packRangePlain)(source, destination, count, keepOrder);
}

void maskBySkin(const std::uint8_t* unsmoothed, std::uint8_t* smoothed, std::size_t count) {
    (hasAVX2 ? maskBySkinAvx2 : maskBySkinPlain)(unsmoothed, smoothed, count);
}

// An open interval; the empty one never contains anything.
struct Interval {
    float low = 1.0f;
    float high = 0.0f;
    bool contains(float value) const { return low < value && value < high; }
};

Interval horizontalOf(const FeatureBox& box) {
    return {box.left, box.right};
}
Interval verticalOf(const FeatureBox& box) {
    return {box.top, box.bottom};
}

struct ColumnRange {
    int first = 0;
    int end = 0;
};

// The columns i of a row whose turned position u = width - i lies strictly inside the
// interval. u is a whole number, so low < u means u >= floor(low) + 1 and u < high means
// u <= ceil(high) - 1; the bounds are clamped first, so that no float reaches an int
// conversion out of range (NaN fails the first test).
ColumnRange columnsInside(const Interval& interval, int width) {
    if (!(interval.low < interval.high)) {
        return {};
    }
    const float limit = static_cast<float>(width) + 1.0f;
    const int firstU = static_cast<int>(std::floor(std::clamp(interval.low, -1.0f, limit))) + 1;
    const int lastU = static_cast<int>(std::ceil(std::clamp(interval.high, -1.0f, limit))) - 1;
    const int first = std::max(0, width - lastU);
    const int end = std::min(width, width - firstU + 1);
    return {first, std::max(first, end)};
}

void restoreColumns(const std::uint8_t* unsmoothed, std::uint8_t* smoothed, ColumnRange columns) {
    for (int i = columns.first; i < columns.end; ++i) {
        const std::size_t offset = static_cast<std::size_t>(i) * 4;
        smoothed[offset + 0] = unsmoothed[offset + 0];
        smoothed[offset + 1] = unsmoothed[offset + 1];
        smoothed[offset + 2] = unsmoothed[offset + 2];
    }
}

}  // namespace

bool isSkinColour(std::uint8_t blue, std::uint8_t green, std::uint8_t red) {
    return skinChroma(blue, green, red);
}

void packPixels(const std::uint8_t* source, std::uint8_t* destination, int width, int height,
                PackFrom from) {
    if (width <= 0 || height <= 0) {
        return;
    }
    packRange(source, destination,
              static_cast<std::size_t>(width) * static_cast<std::size_t>(height),
              from == PackFrom::filterLayout);
}

void maskFeatures(const std::uint8_t* unsmoothed, std::uint8_t* smoothed, int width, int height,
                  FeatureBoxes boxRule, const FaceOutputs& face) {
    if (width <= 0 || height <= 0) {
        return;
    }
    const std::size_t rowBytes = static_cast<std::size_t>(width) * 4;
    const bool useBoxes =
        boxRule == FeatureBoxes::keepUnsmoothed && face.faceValid && face.faceLandmarks.has_value();
    if (!useBoxes) {
        maskBySkin(unsmoothed, smoothed, rowBytes / 4 * static_cast<std::size_t>(height));
        return;
    }
    const auto boxes = featureBoxes(*face.faceLandmarks);
    for (int j = 0; j < height; ++j) {
        const std::uint8_t* unsmoothedRow = unsmoothed + rowBytes * static_cast<std::size_t>(j);
        std::uint8_t* smoothedRow = smoothed + rowBytes * static_cast<std::size_t>(j);
        maskBySkin(unsmoothedRow, smoothedRow, static_cast<std::size_t>(width));
        const auto v = static_cast<float>(height - j);
        for (const FeatureBox& box : boxes) {
            if (verticalOf(box).contains(v)) {
                restoreColumns(unsmoothedRow, smoothedRow, columnsInside(horizontalOf(box), width));
            }
        }
    }
}

void blendSkin(const std::uint8_t* unsmoothed, std::uint8_t* smoothed, const std::uint8_t* alpha,
               std::size_t count) {
    (hasAVX2 ? blendSkinAvx2 : blendSkinPlain)(unsmoothed, smoothed, alpha, count, nullptr);
}

void blendSkinOfTone(const std::uint8_t* unsmoothed, std::uint8_t* smoothed,
                     const std::uint8_t* alpha, std::size_t count, const SkinTone& tone) {
    (hasAVX2 ? blendSkinAvx2 : blendSkinPlain)(unsmoothed, smoothed, alpha, count, &tone);
}

namespace {

// The limit of the detail, in the units returnGrainToRowBody counts it in: 81 times the sum
// blue + 2 green + red.
constexpr std::int32_t kGrainDetailLimit = 81 * 4 * kGrainLimit;

// What smoothing took from the brightness of each pixel of a row, as blue + 2 green + red.
void brightnessTakenPlain(const std::uint8_t* unsmoothed, const std::uint8_t* smoothed,
                          std::int32_t* taken, int width) {
    for (int x = 0; x < width; ++x) {
        const std::uint8_t* before = unsmoothed + 4 * x;
        const std::uint8_t* after = smoothed + 4 * x;
        taken[x] = before[0] - after[0] + 2 * (before[1] - after[1]) + before[2] - after[2];
    }
}

// The same eight pixels at a time: each pixel's bytes weighed by 1, 2, 1 and 0 and added.
VELVIX_AVX2_FUNCTION __m256i brightnessLanes(const std::uint8_t* pixels) {
    const __m256i weights = _mm256_set1_epi32(0x00010201);
    const __m256i pairs =
        _mm256_maddubs_epi16(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(pixels)), weights);
    return _mm256_madd_epi16(pairs, _mm256_set1_epi16(1));
}

// The low bytes of eight 32-bit lanes, each at most 255, in lane order.
VELVIX_AVX2_FUNCTION std::uint64_t lowBytesOfLanes(__m256i lanes) {
    const __m256i words = _mm256_packus_epi32(lanes, lanes);  // each half's four values first
    const __m256i bytes = _mm256_packus_epi16(words, words);
    return static_cast<std::uint32_t>(_mm_cvtsi128_si32(_mm256_castsi256_si128(bytes))) |
           std::uint64_t{
               static_cast<std::uint32_t>(_mm_cvtsi128_si32(_mm256_extracti128_si256(bytes, 1)))}
               << 32;
}

void fadeByBrightnessPlain(const std::uint8_t* pixels, std::uint8_t* alpha, std::size_t count,
                           const BrightnessShares& shares) {
    for (std::size_t i = 0; i < count; ++i) {
        const std::uint8_t* pixel = pixels + 4 * i;
        const std::uint32_t share =
            shares[static_cast<std::size_t>(pixel[0] + 2 * pixel[1] + pixel[2])];
        alpha[i] = static_cast<std::uint8_t>((alpha[i] * share) >> 8);
    }
}

VELVIX_AVX2_FUNCTION void fadeByBrightnessAvx2(const std::uint8_t* pixels, std::uint8_t* alpha,
                                               std::size_t count, const BrightnessShares& shares) {
    const auto* table = reinterpret_cast<const int*>(shares.data());
    std::size_t i = 0;
    for (; i + 8 <= count; i += 8) {
        const __m256i share = _mm256_i32gather_epi32(table, brightnessLanes(pixels + 4 * i), 4);
        std::int64_t eight = 0;
        std::memcpy(&eight, alpha + i, sizeof eight);
        const std::uint64_t faded = lowBytesOfLanes(_mm256_srli_epi32(
            _mm256_mullo_epi32(_mm256_cvtepu8_epi32(_mm_cvtsi64_si128(eight)), share), 8));
        std::memcpy(alpha + i, &faded, sizeof faded);
    }
    fadeByBrightnessPlain(pixels + 4 * i, alpha + i, count - i, shares);
}

VELVIX_AVX2_FUNCTION void brightnessTakenAvx2(const std::uint8_t* unsmoothed,
                                              const std::uint8_t* smoothed, std::int32_t* taken,
                                              int width) {
    const int whole = width / 8 * 8;
    for (int x = 0; x < whole; x += 8) {
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(taken + x),
                            _mm256_sub_epi32(brightnessLanes(unsmoothed + 4 * x),
                                             brightnessLanes(smoothed + 4 * x)));
    }
    brightnessTakenPlain(unsmoothed + 4 * whole, smoothed + 4 * whole, taken + whole,
                         width - whole);
}

// The sums of the 3 x 3 values round each value of the middle row, but the first and last.
VELVIX_ALWAYS_INLINE void sumSquaresBody(const std::int32_t* __restrict above,
                                         const std::int32_t* __restrict row,
                                         const std::int32_t* __restrict below,
                                         std::int32_t* __restrict sums, int width) {
    for (int x = 1; x + 1 < width; ++x) {
        sums[x] = above[x - 1] + above[x] + above[x + 1] + row[x - 1] + row[x] + row[x + 1] +
                  below[x - 1] + below[x] + below[x + 1];
    }
}

// The change the grain makes to each pixel of a row, for the pixels two or more from its ends.
VELVIX_ALWAYS_INLINE void grainOfRowBody(const std::int32_t* __restrict taken,
                                         const std::int32_t* __restrict above,
                                         const std::int32_t* __restrict sums,
                                         const std::int32_t* __restrict below,
                                         std::int32_t* __restrict changes, int width,
                                         std::int32_t gain) {
    for (int x = 2; x + 2 < width; ++x) {
        const std::int32_t sumOfSums = above[x - 1] + above[x] + above[x + 1] + sums[x - 1] +
                                       sums[x] + sums[x + 1] + below[x - 1] + below[x] +
                                       below[x + 1];
        const std::int32_t detail = std::clamp(81 * taken[x] - 18 * sums[x] + sumOfSums,
                                               -kGrainDetailLimit, kGrainDetailLimit);
        const std::int32_t coarser = 9 * sums[x] - sumOfSums;
        changes[x] = std::clamp(((detail - coarser) * gain + (1 << 14)) >> 15, -255, 255);
    }
}

// Adds each pixel's change to its blue, green and red, within 0 to 255.
void addToColoursPlain(const std::int32_t* changes, std::uint8_t* pixels, int count) {
    for (int x = 0; x < count; ++x) {
        for (int c = 0; c < 3; ++c) {
            std::uint8_t& byte = pixels[4 * x + c];
            byte = static_cast<std::uint8_t>(std::clamp(byte + changes[x], 0, 255));
        }
    }
}

// The same eight pixels at a time: the change's size in bytes 0 to 2 of each pixel, added or
// taken away with saturation.
VELVIX_AVX2_FUNCTION void addToColoursAvx2(const std::int32_t* changes, std::uint8_t* pixels,
                                           int count) {
    const int whole = count / 8 * 8;
    const __m256i colourBytes = _mm256_set1_epi32(0x010101);
    const __m256i zero = _mm256_setzero_si256();
    for (int x = 0; x < whole; x += 8) {
        const __m256i change = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(changes + x));
        const __m256i up = _mm256_mullo_epi32(_mm256_max_epi32(change, zero), colourBytes);
        const __m256i down =
            _mm256_mullo_epi32(_mm256_max_epi32(_mm256_sub_epi32(zero, change), zero), colourBytes);
        auto* at = reinterpret_cast<__m256i*>(pixels + 4 * x);
        const __m256i before = _mm256_loadu_si256(at);
        _mm256_storeu_si256(at, _mm256_subs_epu8(_mm256_adds_epu8(before, up), down));
    }
    addToColoursPlain(changes + whole, pixels + 4 * whole, count - whole);
}

void sumSquaresPlain(const std::int32_t* above, const std::int32_t* row, const std::int32_t* below,
                     std::int32_t* sums, int width) {
    sumSquaresBody(above, row, below, sums, width);
}

VELVIX_AVX2_FUNCTION void sumSquaresAvx2(const std::int32_t* above, const std::int32_t* row,
                                         const std::int32_t* below, std::int32_t* sums, int width) {
    sumSquaresBody(above, row, below, sums, width);
}

void grainOfRowPlain(const std::int32_t* taken, const std::int32_t* above, const std::int32_t* sums,
                     const std::int32_t* below, std::int32_t* changes, int width,
                     std::int32_t gain) {
    grainOfRowBody(taken, above, sums, below, changes, width, gain);
}

VELVIX_AVX2_FUNCTION void grainOfRowAvx2(const std::int32_t* taken, const std::int32_t* above,
                                         const std::int32_t* sums, const std::int32_t* below,
                                         std::int32_t* changes, int width, std::int32_t gain) {
    grainOfRowBody(taken, above, sums, below, changes, width, gain);
}

}  // namespace

void fadeByBrightness(const std::uint8_t* pixels, std::uint8_t* alpha, std::size_t count,
                      const BrightnessShares& shares) {
    (hasAVX2 ? fadeByBrightnessAvx2 : fadeByBrightnessPlain)(pixels, alpha, count, shares);
}

std::size_t grainScratchBytes(int width) {
    return 7 * static_cast<std::size_t>(std::max(width, 0)) * sizeof(std::int32_t);
}

void returnFineGrain(const std::uint8_t* unsmoothed, std::uint8_t* smoothed, int width, int height,
                     int level, std::int32_t* scratch) {
    const float share = kGrainShareAtFull * static_cast<float>(std::clamp(level, 0, 100)) / 100;
    // The brightness counts each byte four times over (blue + 2 green + red).
    const auto gain = static_cast<std::int32_t>(std::lround(share * 32768.0f / (81.0f * 4.0f)));
    if (width < 5 || height < 5 || gain == 0) {
        return;
    }
    const auto takenOf = hasAVX2 ? brightnessTakenAvx2 : brightnessTakenPlain;
    const auto sumOf = hasAVX2 ? sumSquaresAvx2 : sumSquaresPlain;
    const auto grainOf = hasAVX2 ? grainOfRowAvx2 : grainOfRowPlain;
    const auto addToColours = hasAVX2 ? addToColoursAvx2 : addToColoursPlain;
    const auto columns = static_cast<std::size_t>(width);
    const std::size_t rowBytes = columns * 4;
    // Rows j of what was taken and of its sums in turn, each in row j % 3 of its three rows of
    // the scratch, and a row's changes in its last row. Row j is taken before the grain goes
    // back into it.
    const auto takenRow = [&](std::size_t j) { return scratch + (j % 3) * columns; };
    const auto sumsRow = [&](std::size_t j) { return scratch + (3 + j % 3) * columns; };
    std::int32_t* const changes = scratch + 6 * columns;
    const auto take = [&](std::size_t j) {
        takenOf(unsmoothed + j * rowBytes, smoothed + j * rowBytes, takenRow(j), width);
    };
    const auto sum = [&](std::size_t j) {
        sumOf(takenRow(j - 1), takenRow(j), takenRow(j + 1), sumsRow(j), width);
    };
    take(0);
    take(1);
    take(2);
    sum(1);
    take(3);
    sum(2);
    for (std::size_t row = 2; row + 2 < static_cast<std::size_t>(height); ++row) {
        take(row + 2);  // in the place of row - 1, whose sums are done
        sum(row + 1);
        grainOf(takenRow(row), sumsRow(row - 1), sumsRow(row), sumsRow(row + 1), changes, width,
                gain);
        addToColours(changes + 2, smoothed + row * rowBytes + 8, width - 4);
    }
}

namespace {

// Each channel's share of the luma, as the same double products the formula makes, so that the
// three looked-up values add up to exactly what it gives.
struct LumaShares {
    std::array<double, 256> red{};
    std::array<double, 256> green{};
    std::array<double, 256> blue{};

    constexpr LumaShares() {
        for (int value = 0; value < 256; ++value) {
            red[static_cast<std::size_t>(value)] = 0.299 * value;
            green[static_cast<std::size_t>(value)] = 0.587 * value;
            blue[static_cast<std::size_t>(value)] = 0.114 * value;
        }
    }
};

constexpr LumaShares kLumaShares{};

// Which colours whose thousandths are a whole multiple of 1000 the double formula puts one
// below the quotient (as mid-grey), one bit for each red and green: for a given red and green
// at most one blue in 0 to 255 makes such a multiple, since 114 blue must make up the rest to a
// multiple of 1000 and so 57 blue the half of it to one of 500, which fixes blue modulo 500
// (57 x 193 = 22 x 500 + 1). Eight pixels look their bits up at once: black, white and grey,
// which a camera's clipped areas are full of, all lie on such multiples.
struct WholeLumaDrops {
    std::array<std::uint32_t, 256 * 256 / 32> bits{};

    constexpr WholeLumaDrops() {
        for (int red = 0; red < 256; ++red) {
            for (int green = 0; green < 256; ++green) {
                const int rest = (1000 - (299 * red + 587 * green) % 1000) % 1000;
                const int blue = rest / 2 * 193 % 500;
                if (rest % 2 != 0 || blue > 255) {
                    continue;
                }
                const int whole = (299 * red + 587 * green + 114 * blue) / 1000;
                const auto formula =
                    static_cast<int>(kLumaShares.red[static_cast<std::size_t>(red)] +
                                     kLumaShares.green[static_cast<std::size_t>(green)] +
                                     kLumaShares.blue[static_cast<std::size_t>(blue)]);
                const int index = red * 256 + green;
                bits[static_cast<std::size_t>(index / 32)] |=
                    static_cast<std::uint32_t>(whole - formula) << (index % 32);
            }
        }
    }
};

constexpr WholeLumaDrops kWholeLumaDrops{};

// floor(0.299 red + 0.587 green + 0.114 blue) exactly as the double formula gives it. In
// thousandths the sum is a whole number, and the double sum lies within 1e-13 of it over 1000,
// so its floor is the whole quotient unless the division leaves no remainder: there rounding
// may leave the double just below (mid-grey 128 gives 127), and those colours, one in a
// thousand, take the formula itself. Three times faster than adding doubles for every pixel.
inline std::uint8_t lumaOf(const std::uint8_t* pixel) {
    const unsigned thousandths = 299u * pixel[2] + 587u * pixel[1] + 114u * pixel[0];
    const unsigned whole = thousandths / 1000u;
    if (whole * 1000u != thousandths) [[likely]] {
        return static_cast<std::uint8_t>(whole);
    }
    return static_cast<std::uint8_t>(kLumaShares.red[pixel[2]] + kLumaShares.green[pixel[1]] +
                                     kLumaShares.blue[pixel[0]]);
}

// One row, writing pixel x at out[x] or, reversed, at out[width - 1 - x].
void greyRowPlain(const std::uint8_t* row, std::size_t width, std::uint8_t* out,
                  GreyColumns columns) {
    for (std::size_t x = 0; x < width; ++x) {
        out[columns == GreyColumns::inOrder ? x : width - 1 - x] = lumaOf(row + x * 3);
    }
}

// Eight pixels a step, loaded as two groups of four (12 of each 16 bytes, as in the capture
// conversion). The thousandths come from two multiply-adds and the quotient through a float,
// which is exact over the whole range (the float's error stays below the 0.001 between a
// quotient and the next whole number); where it leaves no remainder the formula's own result
// is looked up.
VELVIX_AVX2_FUNCTION void greyRowAvx2(const std::uint8_t* row, std::size_t width, std::uint8_t* out,
                                      GreyColumns columns) {
    const __m256i blueGreen =
        _mm256_setr_epi8(0, -1, 1, -1, 3, -1, 4, -1, 6, -1, 7, -1, 9, -1, 10, -1, 0, -1, 1, -1, 3,
                         -1, 4, -1, 6, -1, 7, -1, 9, -1, 10, -1);
    const __m256i red =
        _mm256_setr_epi8(2, -1, -1, -1, 5, -1, -1, -1, 8, -1, -1, -1, 11, -1, -1, -1, 2, -1, -1, -1,
                         5, -1, -1, -1, 8, -1, -1, -1, 11, -1, -1, -1);
    const __m256i greenRed =
        _mm256_setr_epi8(1, 2, -1, -1, 4, 5, -1, -1, 7, 8, -1, -1, 10, 11, -1, -1, 1, 2, -1, -1, 4,
                         5, -1, -1, 7, 8, -1, -1, 10, 11, -1, -1);
    const __m256i blueGreenWeights = _mm256_set1_epi32((587 << 16) | 114);
    const __m256i redWeight = _mm256_set1_epi32(299);
    const __m256i thousand = _mm256_set1_epi32(1000);
    const __m256i bitOfWord = _mm256_set1_epi32(31);
    const __m256i one = _mm256_set1_epi32(1);
    const auto* dropWords = reinterpret_cast<const int*>(kWholeLumaDrops.bits.data());
    std::size_t x = 0;
    for (; x + 10 <= width; x += 8) {
        const std::uint8_t* in = row + x * 3;
        const __m256i pixels = _mm256_inserti128_si256(
            _mm256_castsi128_si256(_mm_loadu_si128(reinterpret_cast<const __m128i*>(in))),
            _mm_loadu_si128(reinterpret_cast<const __m128i*>(in + 12)), 1);
        const __m256i thousandths = _mm256_add_epi32(
            _mm256_madd_epi16(_mm256_shuffle_epi8(pixels, blueGreen), blueGreenWeights),
            _mm256_madd_epi16(_mm256_shuffle_epi8(pixels, red), redWeight));
        const __m256i quotient = _mm256_cvttps_epi32(
            _mm256_mul_ps(_mm256_cvtepi32_ps(thousandths), _mm256_set1_ps(0.001f)));
        const __m256i noRemainder =
            _mm256_cmpeq_epi32(thousandths, _mm256_mullo_epi32(quotient, thousand));
        __m256i whole = quotient;
        if (_mm256_movemask_epi8(noRemainder) != 0) {
            const __m256i colour = _mm256_shuffle_epi8(pixels, greenRed);
            const __m256i drop = _mm256_and_si256(
                _mm256_srlv_epi32(
                    _mm256_i32gather_epi32(dropWords, _mm256_srli_epi32(colour, 5), 4),
                    _mm256_and_si256(colour, bitOfWord)),
                one);
            whole = _mm256_sub_epi32(quotient, _mm256_and_si256(drop, noRemainder));
        }
        std::uint64_t eight = lowBytesOfLanes(whole);
        if (columns == GreyColumns::inOrder) {
            std::memcpy(out + x, &eight, sizeof eight);
        } else {
            eight = __builtin_bswap64(eight);
            std::memcpy(out + width - 8 - x, &eight, sizeof eight);
        }
    }
    const std::size_t rest = width - x;
    greyRowPlain(row + x * 3, rest, columns == GreyColumns::inOrder ? out + x : out, columns);
}

}  // namespace

void swapRedAndBlue(ConstPicture source, Picture destination) {
    for (int y = 0; y < source.height; ++y) {
        const std::uint8_t* in = source.row(y);
        std::uint8_t* out = destination.row(y);
        for (int x = 0; x < source.width; ++x, in += 3, out += 3) {
            out[0] = in[2];
            out[1] = in[1];
            out[2] = in[0];
        }
    }
}

void greyFromFrame(ConstPicture frame, std::uint8_t* grey, GreyColumns columns) {
    if (frame.width <= 0 || frame.height <= 0) {
        return;
    }
    const auto width = static_cast<std::size_t>(frame.width);
    const auto greyRow = hasAVX2 ? greyRowAvx2 : greyRowPlain;
    for (int y = 0; y < frame.height; ++y) {
        greyRow(frame.row(y), width, grey + static_cast<std::size_t>(y) * width, columns);
    }
}

void turnedGrey(const std::uint8_t* frame, FrameSize size, int left, int top, int right, int bottom,
                std::uint8_t* grey) {
    const auto width = static_cast<std::size_t>(size.width);
    for (int row = top; row < bottom && left < right; ++row) {
        const std::uint8_t* source =
            frame + (static_cast<std::size_t>(row) * width + static_cast<std::size_t>(left)) * 3;
        std::uint8_t* out = grey + static_cast<std::size_t>(size.height - 1 - row) * width + width -
                            static_cast<std::size_t>(right);
        greyFromFrame({source, right - left, 1, static_cast<std::ptrdiff_t>(width) * 3}, out,
                      GreyColumns::reversed);
    }
}

}  // namespace velvix
