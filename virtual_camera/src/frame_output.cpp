#include "velvix/virtual_camera/frame_output.hpp"

#include <immintrin.h>

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstring>

#include "velvix/base/picture_rows.hpp"
#include "velvix/platform/cpu_info.hpp"

namespace velvix::virtual_camera {
namespace {

// BT.601 limited range in 15-bit fixed point: 219/255 and 224/255 of the full-range weights,
// small enough for the 16-bit multiplications of the AVX2 path, which gives the same bytes.
constexpr std::int32_t kLumaRed = 8414;
constexpr std::int32_t kLumaGreen = 16520;
constexpr std::int32_t kLumaBlue = 3208;
constexpr std::int32_t kLumaOffset = (16 << 15) + (1 << 14);  // 16, and a half for rounding
constexpr std::int32_t kBlueRed = -4857;
constexpr std::int32_t kBlueGreen = -9535;
constexpr std::int32_t kBlueBlue = 14392;
constexpr std::int32_t kRedRed = 14392;
constexpr std::int32_t kRedGreen = -12052;
constexpr std::int32_t kRedBlue = -2340;
// 128 and a half for rounding, for each pixel of a sum of two or four.
constexpr std::int32_t kChromaOffsetPerPixel = (128 << 15) + (1 << 14);

VELVIX_ALWAYS_INLINE std::uint8_t lumaOf(std::int32_t red, std::int32_t green, std::int32_t blue) {
    return static_cast<std::uint8_t>(
        (kLumaRed * red + kLumaGreen * green + kLumaBlue * blue + kLumaOffset) >> 15);
}

// Chroma of 2 ^ kSumShift pixels from the sums of their channels: 1 for the pixel pairs of
// YUYV, 2 for the squares of I420.
template <int kSumShift>
VELVIX_ALWAYS_INLINE std::uint8_t blueDifferenceOf(std::int32_t red, std::int32_t green,
                                                   std::int32_t blue) {
    return static_cast<std::uint8_t>((kBlueRed * red + kBlueGreen * green + kBlueBlue * blue +
                                      (kChromaOffsetPerPixel << kSumShift)) >>
                                     (15 + kSumShift));
}

template <int kSumShift>
VELVIX_ALWAYS_INLINE std::uint8_t redDifferenceOf(std::int32_t red, std::int32_t green,
                                                  std::int32_t blue) {
    return static_cast<std::uint8_t>((kRedRed * red + kRedGreen * green + kRedBlue * blue +
                                      (kChromaOffsetPerPixel << kSumShift)) >>
                                     (15 + kSumShift));
}

// A ring row split into planes of `width` + 1 bytes from `planes`, so that the loops that
// follow read and write in patterns the compiler can vectorise. The extra byte repeats the
// last pixel, with which an odd last pixel pairs.
VELVIX_ALWAYS_INLINE void splitRow(const std::uint8_t* __restrict bgr, int width,
                                   std::uint8_t* __restrict planes) {
    const auto stride = static_cast<std::size_t>(width) + 1;
    std::uint8_t* __restrict blue = planes;
    std::uint8_t* __restrict green = planes + stride;
    std::uint8_t* __restrict red = planes + 2 * stride;
    for (int x = 0; x < width; ++x) {
        blue[x] = bgr[3 * x + 0];
        green[x] = bgr[3 * x + 1];
        red[x] = bgr[3 * x + 2];
    }
    blue[width] = blue[width - 1];
    green[width] = green[width - 1];
    red[width] = red[width - 1];
}

VELVIX_ALWAYS_INLINE void yuyvRowBody(const std::uint8_t* __restrict bgr,
                                      std::uint8_t* __restrict yuyv, int width,
                                      std::uint8_t* __restrict scratch) {
    splitRow(bgr, width, scratch);
    const auto stride = static_cast<std::size_t>(width) + 1;
    const std::uint8_t* __restrict blue = scratch;
    const std::uint8_t* __restrict green = scratch + stride;
    const std::uint8_t* __restrict red = scratch + 2 * stride;
    const int pairs = (width + 1) / 2;
    for (int pair = 0; pair < pairs; ++pair) {
        const std::int32_t b0 = blue[2 * pair], g0 = green[2 * pair], r0 = red[2 * pair];
        const std::int32_t b1 = blue[2 * pair + 1], g1 = green[2 * pair + 1],
                           r1 = red[2 * pair + 1];
        yuyv[4 * pair + 0] = lumaOf(r0, g0, b0);
        yuyv[4 * pair + 1] = blueDifferenceOf<1>(r0 + r1, g0 + g1, b0 + b1);
        yuyv[4 * pair + 2] = lumaOf(r1, g1, b1);
        yuyv[4 * pair + 3] = redDifferenceOf<1>(r0 + r1, g0 + g1, b0 + b1);
    }
}

VELVIX_ALWAYS_INLINE void rgbRowBody(const std::uint8_t* __restrict bgr,
                                     std::uint8_t* __restrict rgb, int width, std::uint8_t*) {
    for (int x = 0; x < width; ++x) {
        rgb[3 * x + 0] = bgr[3 * x + 2];
        rgb[3 * x + 1] = bgr[3 * x + 1];
        rgb[3 * x + 2] = bgr[3 * x + 0];
    }
}

VELVIX_ALWAYS_INLINE void bgrxRowBody(const std::uint8_t* __restrict bgr,
                                      std::uint8_t* __restrict bgrx, int width, std::uint8_t*) {
    for (int x = 0; x < width; ++x) {
        bgrx[4 * x + 0] = bgr[3 * x + 0];
        bgrx[4 * x + 1] = bgr[3 * x + 1];
        bgrx[4 * x + 2] = bgr[3 * x + 2];
        bgrx[4 * x + 3] = 255;
    }
}

// Where one pair of output rows of I420 goes: two rows of Y, one of U and one of V.
struct I420Rows {
    std::uint8_t* lumaTop;
    std::uint8_t* lumaBottom;
    std::uint8_t* blueDifference;
    std::uint8_t* redDifference;
};

VELVIX_ALWAYS_INLINE void i420RowPairBody(const std::uint8_t* __restrict top,
                                          const std::uint8_t* __restrict bottom, I420Rows out,
                                          int width, std::uint8_t* __restrict scratch) {
    const auto stride = static_cast<std::size_t>(width) + 1;
    splitRow(top, width, scratch);
    splitRow(bottom, width, scratch + 3 * stride);
    const std::uint8_t* __restrict blue0 = scratch;
    const std::uint8_t* __restrict green0 = scratch + stride;
    const std::uint8_t* __restrict red0 = scratch + 2 * stride;
    const std::uint8_t* __restrict blue1 = scratch + 3 * stride;
    const std::uint8_t* __restrict green1 = scratch + 4 * stride;
    const std::uint8_t* __restrict red1 = scratch + 5 * stride;
    std::uint8_t* __restrict lumaTop = out.lumaTop;
    std::uint8_t* __restrict lumaBottom = out.lumaBottom;
    std::uint8_t* __restrict u = out.blueDifference;
    std::uint8_t* __restrict v = out.redDifference;
    for (int x = 0; x < width; ++x) {
        lumaTop[x] = lumaOf(red0[x], green0[x], blue0[x]);
        lumaBottom[x] = lumaOf(red1[x], green1[x], blue1[x]);
    }
    const int squares = (width + 1) / 2;
    for (int square = 0; square < squares; ++square) {
        const int x = 2 * square;
        const std::int32_t red = red0[x] + red0[x + 1] + red1[x] + red1[x + 1];
        const std::int32_t green = green0[x] + green0[x + 1] + green1[x] + green1[x + 1];
        const std::int32_t blue = blue0[x] + blue0[x + 1] + blue1[x] + blue1[x + 1];
        u[square] = blueDifferenceOf<2>(red, green, blue);
        v[square] = redDifferenceOf<2>(red, green, blue);
    }
}

void yuyvRowPlain(const std::uint8_t* bgr, std::uint8_t* yuyv, int width, std::uint8_t* scratch) {
    yuyvRowBody(bgr, yuyv, width, scratch);
}
void rgbRowPlain(const std::uint8_t* bgr, std::uint8_t* rgb, int width, std::uint8_t* scratch) {
    rgbRowBody(bgr, rgb, width, scratch);
}
VELVIX_AVX2_FUNCTION void rgbRowAvx2(const std::uint8_t* bgr, std::uint8_t* rgb, int width,
                                     std::uint8_t* scratch) {
    rgbRowBody(bgr, rgb, width, scratch);
}
void bgrxRowPlain(const std::uint8_t* bgr, std::uint8_t* bgrx, int width, std::uint8_t* scratch) {
    bgrxRowBody(bgr, bgrx, width, scratch);
}
void i420RowPairPlain(const std::uint8_t* top, const std::uint8_t* bottom, I420Rows out, int width,
                      std::uint8_t* scratch) {
    i420RowPairBody(top, bottom, out, width, scratch);
}

// The AVX2 path takes eight pixels a step: each half of a register takes four pixels (12 of
// the 16 bytes it loads, so a step reads 28 bytes from its first pixel on and steps stop 10
// pixels before the end of a row; the plain code does the rest). Byte shuffles spread each
// pixel to the 16-bit pairs (red, green) and (blue, 256), whose products with pairs of weights
// (16-bit multiply and add) give a channel of Y, U or V in one 32-bit lane per pixel.
constexpr int kStepReach = 10;

struct PixelPairs {
    __m256i redGreen;
    __m256i blueOne;
};

// Two 16-bit weights as one 32-bit lane: `low` for red or blue, `high` for green or 256.
constexpr std::int32_t weightPair(std::int32_t low, std::int32_t high) {
    return static_cast<std::int32_t>((static_cast<std::uint32_t>(high) << 16) |
                                     (static_cast<std::uint32_t>(low) & 0xFFFFu));
}

struct Weights {
    __m256i redGreen;
    __m256i blueOne;
};

VELVIX_AVX2_FUNCTION VELVIX_ALWAYS_INLINE Weights weightsOf(std::int32_t red, std::int32_t green,
                                                            std::int32_t blue,
                                                            std::int32_t offsetPerPixel) {
    return {_mm256_set1_epi32(weightPair(red, green)),
            _mm256_set1_epi32(weightPair(blue, offsetPerPixel / 256))};
}

VELVIX_AVX2_FUNCTION VELVIX_ALWAYS_INLINE PixelPairs loadPixels(const std::uint8_t* bgr) {
    const __m256i pixels = _mm256_loadu2_m128i(reinterpret_cast<const __m128i*>(bgr + 12),
                                               reinterpret_cast<const __m128i*>(bgr));
    const __m256i toRedGreen =
        _mm256_setr_epi8(2, -1, 1, -1, 5, -1, 4, -1, 8, -1, 7, -1, 11, -1, 10, -1, 2, -1, 1, -1, 5,
                         -1, 4, -1, 8, -1, 7, -1, 11, -1, 10, -1);
    const __m256i toBlue =
        _mm256_setr_epi8(0, -1, -1, -1, 3, -1, -1, -1, 6, -1, -1, -1, 9, -1, -1, -1, 0, -1, -1, -1,
                         3, -1, -1, -1, 6, -1, -1, -1, 9, -1, -1, -1);
    const __m256i one = _mm256_set1_epi32(256 << 16);
    return {_mm256_shuffle_epi8(pixels, toRedGreen),
            _mm256_or_si256(_mm256_shuffle_epi8(pixels, toBlue), one)};
}

VELVIX_AVX2_FUNCTION VELVIX_ALWAYS_INLINE __m256i weighted(PixelPairs pixels, Weights weights) {
    return _mm256_add_epi32(_mm256_madd_epi16(pixels.redGreen, weights.redGreen),
                            _mm256_madd_epi16(pixels.blueOne, weights.blueOne));
}

// Each lane plus its neighbour of the same pair.
VELVIX_AVX2_FUNCTION VELVIX_ALWAYS_INLINE __m256i pairSums(__m256i lanes) {
    return _mm256_add_epi32(lanes, _mm256_shuffle_epi32(lanes, _MM_SHUFFLE(2, 3, 0, 1)));
}

struct Avx2Weights {
    Weights luma;
    Weights blueDifference;
    Weights redDifference;
};

VELVIX_AVX2_FUNCTION VELVIX_ALWAYS_INLINE Avx2Weights avx2Weights() {
    return {weightsOf(kLumaRed, kLumaGreen, kLumaBlue, kLumaOffset),
            weightsOf(kBlueRed, kBlueGreen, kBlueBlue, kChromaOffsetPerPixel),
            weightsOf(kRedRed, kRedGreen, kRedBlue, kChromaOffsetPerPixel)};
}

// Eight pixels as Y and then U or V (U for the first of a pair) in 16 bits of each lane.
VELVIX_AVX2_FUNCTION VELVIX_ALWAYS_INLINE __m256i yuyvOf8(const std::uint8_t* bgr,
                                                          const Avx2Weights& weights) {
    const PixelPairs pixels = loadPixels(bgr);
    const __m256i luma = _mm256_srai_epi32(weighted(pixels, weights.luma), 15);
    const __m256i blue = _mm256_srai_epi32(pairSums(weighted(pixels, weights.blueDifference)), 16);
    const __m256i red = _mm256_srai_epi32(pairSums(weighted(pixels, weights.redDifference)), 16);
    const __m256i chroma = _mm256_blend_epi32(blue, red, 0b10101010);
    return _mm256_or_si256(luma, _mm256_slli_epi32(chroma, 8));
}

VELVIX_AVX2_FUNCTION void yuyvRowAvx2(const std::uint8_t* bgr, std::uint8_t* yuyv, int width,
                                      std::uint8_t* scratch) {
    const Avx2Weights weights = avx2Weights();
    int x = 0;
    for (; x + 16 + kStepReach - 8 <= width; x += 16) {
        const __m256i packed =
            _mm256_packus_epi32(yuyvOf8(bgr + 3 * x, weights), yuyvOf8(bgr + 3 * x + 24, weights));
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(yuyv + 2 * x),
                            _mm256_permute4x64_epi64(packed, _MM_SHUFFLE(3, 1, 2, 0)));
    }
    if (x < width) {
        yuyvRowBody(bgr + 3 * x, yuyv + 2 * x, width - x, scratch);
    }
}

VELVIX_AVX2_FUNCTION void bgrxRowAvx2(const std::uint8_t* bgr, std::uint8_t* bgrx, int width,
                                      std::uint8_t* scratch) {
    const __m256i spread = _mm256_setr_epi8(0, 1, 2, -1, 3, 4, 5, -1, 6, 7, 8, -1, 9, 10, 11, -1, 0,
                                            1, 2, -1, 3, 4, 5, -1, 6, 7, 8, -1, 9, 10, 11, -1);
    const __m256i opaque = _mm256_set1_epi32(static_cast<int>(0xFF000000u));
    int x = 0;
    for (; x + kStepReach <= width; x += 8) {
        const __m256i pixels =
            _mm256_loadu2_m128i(reinterpret_cast<const __m128i*>(bgr + 3 * x + 12),
                                reinterpret_cast<const __m128i*>(bgr + 3 * x));
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(bgrx + 4 * x),
                            _mm256_or_si256(_mm256_shuffle_epi8(pixels, spread), opaque));
    }
    if (x < width) {
        bgrxRowBody(bgr + 3 * x, bgrx + 4 * x, width - x, scratch);
    }
}

VELVIX_AVX2_FUNCTION void i420RowPairAvx2(const std::uint8_t* top, const std::uint8_t* bottom,
                                          I420Rows out, int width, std::uint8_t* scratch) {
    const Avx2Weights weights = avx2Weights();
    // U of the four squares in the lower half, V in the upper.
    const __m256i squaresFirst = _mm256_setr_epi32(0, 2, 4, 6, 1, 3, 5, 7);
    int x = 0;
    for (; x + kStepReach <= width; x += 8) {
        const PixelPairs upper = loadPixels(top + 3 * x);
        const PixelPairs lower = loadPixels(bottom + 3 * x);
        const __m256i luma =
            _mm256_packus_epi32(_mm256_srai_epi32(weighted(upper, weights.luma), 15),
                                _mm256_srai_epi32(weighted(lower, weights.luma), 15));
        const __m256i lumaBytes = _mm256_packus_epi16(
            _mm256_permute4x64_epi64(luma, _MM_SHUFFLE(3, 1, 2, 0)), _mm256_setzero_si256());
        _mm_storel_epi64(reinterpret_cast<__m128i*>(out.lumaTop + x),
                         _mm256_castsi256_si128(lumaBytes));
        _mm_storel_epi64(reinterpret_cast<__m128i*>(out.lumaBottom + x),
                         _mm256_extracti128_si256(lumaBytes, 1));
        const __m256i blue = pairSums(_mm256_add_epi32(weighted(upper, weights.blueDifference),
                                                       weighted(lower, weights.blueDifference)));
        const __m256i red = pairSums(_mm256_add_epi32(weighted(upper, weights.redDifference),
                                                      weighted(lower, weights.redDifference)));
        const __m256i chroma = _mm256_permutevar8x32_epi32(
            _mm256_srai_epi32(_mm256_blend_epi32(blue, red, 0b10101010), 17), squaresFirst);
        const __m256i words = _mm256_packus_epi32(chroma, chroma);
        const __m256i chromaBytes = _mm256_packus_epi16(words, words);
        const std::int32_t blueBytes = _mm256_cvtsi256_si32(chromaBytes);
        const std::int32_t redBytes = _mm_cvtsi128_si32(_mm256_extracti128_si256(chromaBytes, 1));
        std::copy_n(reinterpret_cast<const std::uint8_t*>(&blueBytes), 4,
                    out.blueDifference + x / 2);
        std::copy_n(reinterpret_cast<const std::uint8_t*>(&redBytes), 4, out.redDifference + x / 2);
    }
    if (x < width) {
        i420RowPairBody(top + 3 * x, bottom + 3 * x,
                        {out.lumaTop + x, out.lumaBottom + x, out.blueDifference + x / 2,
                         out.redDifference + x / 2},
                        width - x, scratch);
    }
}

// The ring's own byte order: a copy.
void bgrRow(const std::uint8_t* bgr, std::uint8_t* out, int width, std::uint8_t*) {
    std::memcpy(out, bgr, static_cast<std::size_t>(width) * 3);
}

using RowConversion = void (*)(const std::uint8_t*, std::uint8_t*, int, std::uint8_t*);

RowConversion rowConversionFor(OutputFormat format) {
    switch (format) {
        case OutputFormat::yuyv:
            return hasAVX2 ? yuyvRowAvx2 : yuyvRowPlain;
        case OutputFormat::bgrx:
            return hasAVX2 ? bgrxRowAvx2 : bgrxRowPlain;
        case OutputFormat::bitmapRgb24:
            return bgrRow;
        default:
            return hasAVX2 ? rgbRowAvx2 : rgbRowPlain;
    }
}

// Where the picture's row y (counted from the top) lies in an output frame.
std::size_t outputRowIndex(int y, FrameSize output, OutputFormat format) {
    const int row = format == OutputFormat::bitmapRgb24 ? output.height - 1 - y : y;
    return static_cast<std::size_t>(row);
}

// 5 x 7 glyphs, one row per entry, the leftmost column in bit 4.
struct Glyph {
    char letter;
    std::array<std::uint8_t, 7> rows;
};

constexpr std::array<Glyph, 14> kGlyphs{{
    {' ', {0, 0, 0, 0, 0, 0, 0}},
    {'A', {0x0E, 0x11, 0x11, 0x1F, 0x11, 0x11, 0x11}},
    {'E', {0x1F, 0x10, 0x10, 0x1E, 0x10, 0x10, 0x1F}},
    {'F', {0x1F, 0x10, 0x10, 0x1E, 0x10, 0x10, 0x10}},
    {'G', {0x0E, 0x11, 0x10, 0x17, 0x11, 0x11, 0x0F}},
    {'I', {0x0E, 0x04, 0x04, 0x04, 0x04, 0x04, 0x0E}},
    {'L', {0x10, 0x10, 0x10, 0x10, 0x10, 0x10, 0x1F}},
    {'N', {0x11, 0x19, 0x15, 0x13, 0x11, 0x11, 0x11}},
    {'O', {0x0E, 0x11, 0x11, 0x11, 0x11, 0x11, 0x0E}},
    {'R', {0x1E, 0x11, 0x11, 0x1E, 0x14, 0x12, 0x11}},
    {'T', {0x1F, 0x04, 0x04, 0x04, 0x04, 0x04, 0x04}},
    {'V', {0x11, 0x11, 0x11, 0x11, 0x11, 0x0A, 0x04}},
    {'W', {0x11, 0x11, 0x11, 0x15, 0x15, 0x15, 0x0A}},
    {'X', {0x11, 0x11, 0x0A, 0x04, 0x0A, 0x11, 0x11}},
}};

constexpr std::string_view kPlaceholderText = "WAITING FOR VELVIX";
constexpr int kGlyphWidth = 5;
constexpr int kGlyphHeight = 7;
constexpr int kGlyphAdvance = 6;

const std::array<std::uint8_t, 7>& glyphRows(char letter) {
    for (const Glyph& glyph : kGlyphs) {
        if (glyph.letter == letter) {
            return glyph.rows;
        }
    }
    return kGlyphs[0].rows;
}

bool textPixel(std::string_view text, int x, int y) {
    const int letter = x / kGlyphAdvance;
    const int column = x % kGlyphAdvance;
    if (letter < 0 || letter >= static_cast<int>(text.size()) || column >= kGlyphWidth || y < 0 ||
        y >= kGlyphHeight) {
        return false;
    }
    const auto bits =
        glyphRows(text[static_cast<std::size_t>(letter)])[static_cast<std::size_t>(y)];
    return ((bits >> (kGlyphWidth - 1 - column)) & 1u) != 0;
}

}  // namespace

std::optional<OutputFormat> outputFormatFromName(std::string_view name) {
    if (name == "yuyv") {
        return OutputFormat::yuyv;
    }
    if (name == "rgb24") {
        return OutputFormat::rgb24;
    }
    return std::nullopt;
}

std::size_t outputStride(int width, OutputFormat format) {
    const auto pixels = static_cast<std::size_t>(width);
    switch (format) {
        case OutputFormat::yuyv:
            return (pixels + 1) / 2 * 4;
        case OutputFormat::rgb24:
            return pixels * 3;
        case OutputFormat::i420:
            return pixels;
        case OutputFormat::bgrx:
            return pixels * 4;
        case OutputFormat::bitmapRgb24:
            return (pixels * 3 + 3) / 4 * 4;
    }
    return 0;
}

std::size_t outputFrameBytes(FrameSize size, OutputFormat format) {
    const auto rows = static_cast<std::size_t>(size.height);
    if (format == OutputFormat::i420) {
        const std::size_t chromaPlane =
            (static_cast<std::size_t>(size.width) + 1) / 2 * ((rows + 1) / 2);
        return outputStride(size.width, format) * rows + 2 * chromaPlane;
    }
    return outputStride(size.width, format) * rows;
}

FrameConverter::FrameConverter(FrameSize output, OutputFormat format)
    : output_(output),
      format_(format),
      spareLuma_(static_cast<std::size_t>(output.width)),
      planes_(6 * (static_cast<std::size_t>(output.width) + 1)) {}

const std::uint8_t* FrameConverter::sourceRow(const std::uint8_t* ringPixels, FrameSize input,
                                              int y, std::vector<std::uint8_t>& scaled) {
    // Ring frames hold the bottom row first.
    const ConstPicture upright = upsideDown(packedPicture(ringPixels, input, 3));
    if (input == output_) {
        return upright.row(y);
    }
    if (scaledFrom_ != input) {
        scaledFrom_ = input;
        sourceColumns_.resize(static_cast<std::size_t>(output_.width));
        for (int x = 0; x < output_.width; ++x) {
            sourceColumns_[static_cast<std::size_t>(x)] =
                static_cast<int>(std::int64_t{x} * input.width / output_.width);
        }
        sourceRows_.resize(static_cast<std::size_t>(output_.height));
        for (int row = 0; row < output_.height; ++row) {
            sourceRows_[static_cast<std::size_t>(row)] =
                static_cast<int>(std::int64_t{row} * input.height / output_.height);
        }
    }
    scaled.resize(static_cast<std::size_t>(output_.width) * 3);
    const std::uint8_t* row = upright.row(sourceRows_[static_cast<std::size_t>(y)]);
    for (std::size_t x = 0; x < sourceColumns_.size(); ++x) {
        const std::uint8_t* pixel = row + static_cast<std::size_t>(sourceColumns_[x]) * 3;
        std::copy(pixel, pixel + 3, scaled.begin() + static_cast<std::ptrdiff_t>(3 * x));
    }
    return scaled.data();
}

void FrameConverter::convert(const std::uint8_t* ringPixels, FrameSize input,
                             std::uint8_t* destination) {
    if (format_ == OutputFormat::i420) {
        convertPlanar(ringPixels, input, destination);
        return;
    }
    const RowConversion convertRow = rowConversionFor(format_);
    const std::size_t destinationRowBytes = outputStride(output_.width, format_);
    for (int y = 0; y < output_.height; ++y) {
        convertRow(sourceRow(ringPixels, input, y, scaledRows_[0]),
                   destination + outputRowIndex(y, output_, format_) * destinationRowBytes,
                   output_.width, planes_.data());
    }
}

void FrameConverter::convertPlanar(const std::uint8_t* ringPixels, FrameSize input,
                                   std::uint8_t* destination) {
    const auto width = static_cast<std::size_t>(output_.width);
    const std::size_t chromaWidth = (width + 1) / 2;
    std::uint8_t* const luma = destination;
    std::uint8_t* const blueDifference = luma + width * static_cast<std::size_t>(output_.height);
    std::uint8_t* const redDifference =
        blueDifference + chromaWidth * ((static_cast<std::size_t>(output_.height) + 1) / 2);
    const auto convertPair = hasAVX2 ? i420RowPairAvx2 : i420RowPairPlain;
    for (int y = 0; y < output_.height; y += 2) {
        const auto row = static_cast<std::size_t>(y);
        const bool pair = y + 1 < output_.height;  // an odd last row pairs with itself
        const std::uint8_t* top = sourceRow(ringPixels, input, y, scaledRows_[0]);
        const std::uint8_t* bottom =
            pair ? sourceRow(ringPixels, input, y + 1, scaledRows_[1]) : top;
        const I420Rows out{luma + row * width, pair ? luma + (row + 1) * width : spareLuma_.data(),
                           blueDifference + row / 2 * chromaWidth,
                           redDifference + row / 2 * chromaWidth};
        convertPair(top, bottom, out, output_.width, planes_.data());
    }
}

std::vector<std::uint8_t> placeholderFrame(FrameSize size) {
    constexpr std::uint8_t kBackground = 40;
    constexpr std::uint8_t kInk = 200;
    std::vector<std::uint8_t> pixels(static_cast<std::size_t>(size.pixels()) * 3, kBackground);
    const int textWidth = static_cast<int>(kPlaceholderText.size()) * kGlyphAdvance;
    const int scale =
        std::max(1, std::min(size.width * 3 / 4 / textWidth, size.height / 12 / kGlyphHeight));
    const int left = (size.width - textWidth * scale) / 2;
    const int top = (size.height - kGlyphHeight * scale) / 2;
    // Ring frames hold the bottom row first.
    const Picture upright = upsideDown(packedPicture(pixels.data(), size, 3));
    for (int y = 0; y < size.height; ++y) {
        std::uint8_t* row = upright.row(y);
        for (int x = 0; x < size.width; ++x) {
            if (x >= left && y >= top &&
                textPixel(kPlaceholderText, (x - left) / scale, (y - top) / scale)) {
                std::fill_n(row + 3 * x, 3, kInk);
            }
        }
    }
    return pixels;
}

}  // namespace velvix::virtual_camera
