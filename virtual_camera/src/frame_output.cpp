#include "velvix/virtual_camera/frame_output.hpp"

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstring>

#include "velvix/platform/cpu_info.hpp"

namespace velvix::virtual_camera {
namespace {

// BT.601 limited range in 16-bit fixed point: 219/255 and 224/255 of the full-range weights.
constexpr std::int32_t kHalf = 1 << 15;

VELVIX_ALWAYS_INLINE std::uint8_t lumaOf(std::int32_t red, std::int32_t green, std::int32_t blue) {
    return static_cast<std::uint8_t>(
        (16829 * red + 33039 * green + 6416 * blue + (16 << 16) + kHalf) >> 16);
}

// Chroma of a pixel pair from the sums of its two pixels' channels.
VELVIX_ALWAYS_INLINE std::uint8_t blueDifferenceOf(std::int32_t red2, std::int32_t green2,
                                                   std::int32_t blue2) {
    return static_cast<std::uint8_t>(
        (-9714 * red2 - 19070 * green2 + 28784 * blue2 + (256 << 16) + 2 * kHalf) >> 17);
}

VELVIX_ALWAYS_INLINE std::uint8_t redDifferenceOf(std::int32_t red2, std::int32_t green2,
                                                  std::int32_t blue2) {
    return static_cast<std::uint8_t>(
        (28784 * red2 - 24103 * green2 - 4681 * blue2 + (256 << 16) + 2 * kHalf) >> 17);
}

// One output row from one ring row, both `width` pixels wide, through three planes of
// `width` + 1 bytes in `scratch`: split first, so that both loops read and write in patterns
// the compiler can vectorise. An odd last pixel pairs with itself.
VELVIX_ALWAYS_INLINE void yuyvRowBody(const std::uint8_t* __restrict bgr,
                                      std::uint8_t* __restrict yuyv, int width,
                                      std::uint8_t* __restrict scratch) {
    const auto stride = static_cast<std::size_t>(width) + 1;
    std::uint8_t* __restrict blue = scratch;
    std::uint8_t* __restrict green = scratch + stride;
    std::uint8_t* __restrict red = scratch + 2 * stride;
    for (int x = 0; x < width; ++x) {
        blue[x] = bgr[3 * x + 0];
        green[x] = bgr[3 * x + 1];
        red[x] = bgr[3 * x + 2];
    }
    blue[width] = blue[width - 1];
    green[width] = green[width - 1];
    red[width] = red[width - 1];
    const int pairs = (width + 1) / 2;
    for (int pair = 0; pair < pairs; ++pair) {
        const std::int32_t b0 = blue[2 * pair], g0 = green[2 * pair], r0 = red[2 * pair];
        const std::int32_t b1 = blue[2 * pair + 1], g1 = green[2 * pair + 1],
                           r1 = red[2 * pair + 1];
        yuyv[4 * pair + 0] = lumaOf(r0, g0, b0);
        yuyv[4 * pair + 1] = blueDifferenceOf(r0 + r1, g0 + g1, b0 + b1);
        yuyv[4 * pair + 2] = lumaOf(r1, g1, b1);
        yuyv[4 * pair + 3] = redDifferenceOf(r0 + r1, g0 + g1, b0 + b1);
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

void yuyvRowPlain(const std::uint8_t* bgr, std::uint8_t* yuyv, int width, std::uint8_t* scratch) {
    yuyvRowBody(bgr, yuyv, width, scratch);
}
VELVIX_AVX2_FUNCTION void yuyvRowAvx2(const std::uint8_t* bgr, std::uint8_t* yuyv, int width,
                                      std::uint8_t* scratch) {
    yuyvRowBody(bgr, yuyv, width, scratch);
}
void rgbRowPlain(const std::uint8_t* bgr, std::uint8_t* rgb, int width, std::uint8_t* scratch) {
    rgbRowBody(bgr, rgb, width, scratch);
}
VELVIX_AVX2_FUNCTION void rgbRowAvx2(const std::uint8_t* bgr, std::uint8_t* rgb, int width,
                                     std::uint8_t* scratch) {
    rgbRowBody(bgr, rgb, width, scratch);
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
        case OutputFormat::rgb24:
            return hasAVX2 ? rgbRowAvx2 : rgbRowPlain;
        case OutputFormat::bitmapRgb24:
            break;
    }
    return bgrRow;
}

std::size_t outputRowBytes(int width, OutputFormat format) {
    const auto pixels = static_cast<std::size_t>(width);
    switch (format) {
        case OutputFormat::yuyv:
            return (pixels + 1) / 2 * 4;
        case OutputFormat::rgb24:
            return pixels * 3;
        case OutputFormat::bitmapRgb24:
            break;
    }
    return (pixels * 3 + 3) / 4 * 4;
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

std::size_t outputFrameBytes(FrameSize size, OutputFormat format) {
    return outputRowBytes(size.width, format) * static_cast<std::size_t>(size.height);
}

FrameConverter::FrameConverter(FrameSize output, OutputFormat format)
    : output_(output), format_(format), planes_(3 * (static_cast<std::size_t>(output.width) + 1)) {}

void FrameConverter::convert(const std::uint8_t* ringPixels, FrameSize input,
                             std::uint8_t* destination) {
    if (input != output_) {
        convertScaled(ringPixels, input, destination);
        return;
    }
    const RowConversion convertRow = rowConversionFor(format_);
    const std::size_t sourceRowBytes = static_cast<std::size_t>(input.width) * 3;
    const std::size_t destinationRowBytes = outputRowBytes(output_.width, format_);
    for (int y = 0; y < output_.height; ++y) {
        const std::uint8_t* sourceRow =
            ringPixels + static_cast<std::size_t>(input.height - 1 - y) * sourceRowBytes;
        convertRow(sourceRow,
                   destination + outputRowIndex(y, output_, format_) * destinationRowBytes,
                   output_.width, planes_.data());
    }
}

void FrameConverter::convertScaled(const std::uint8_t* ringPixels, FrameSize input,
                                   std::uint8_t* destination) {
    if (scaledFrom_ != input) {
        scaledFrom_ = input;
        sourceColumns_.resize(static_cast<std::size_t>(output_.width));
        for (int x = 0; x < output_.width; ++x) {
            sourceColumns_[static_cast<std::size_t>(x)] =
                static_cast<int>(std::int64_t{x} * input.width / output_.width);
        }
        sourceRows_.resize(static_cast<std::size_t>(output_.height));
        for (int y = 0; y < output_.height; ++y) {
            sourceRows_[static_cast<std::size_t>(y)] =
                input.height - 1 -
                static_cast<int>(std::int64_t{y} * input.height / output_.height);
        }
    }
    const RowConversion convertRow = rowConversionFor(format_);
    auto& row = scaledRow_;
    row.resize(static_cast<std::size_t>(output_.width) * 3);
    const std::size_t destinationRowBytes = outputRowBytes(output_.width, format_);
    for (int y = 0; y < output_.height; ++y) {
        const std::uint8_t* sourceRow =
            ringPixels + static_cast<std::size_t>(sourceRows_[static_cast<std::size_t>(y)]) *
                             static_cast<std::size_t>(input.width) * 3;
        for (std::size_t x = 0; x < sourceColumns_.size(); ++x) {
            const std::uint8_t* pixel = sourceRow + static_cast<std::size_t>(sourceColumns_[x]) * 3;
            std::copy(pixel, pixel + 3, row.begin() + static_cast<std::ptrdiff_t>(3 * x));
        }
        convertRow(row.data(),
                   destination + outputRowIndex(y, output_, format_) * destinationRowBytes,
                   output_.width, planes_.data());
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
    for (int y = 0; y < size.height; ++y) {
        // Ring frames hold the bottom row first.
        std::uint8_t* row = pixels.data() + static_cast<std::size_t>(size.height - 1 - y) *
                                                static_cast<std::size_t>(size.width) * 3;
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
