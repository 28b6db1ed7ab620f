#include "velvix/pipeline/pixels.hpp"

#include <array>
#include <cstddef>
#include <cstring>

namespace velvix {
namespace {

// The chroma test, scaled to whole numbers: Cb = 128 + cb / 256000 and Cr = 128 + cr / 256000
// with the coefficients of the BT.601 conversion times 1000. A check over all 2^24 colours
// (in the tests) shows that this gives the same answer as the floating-point formula.
constexpr std::int32_t kCbLow = (77 - 128) * 256000;   // Cb >= 77
constexpr std::int32_t kCbHigh = (128 - 128) * 256000;  // Cb <= 127, that is Cb < 128
constexpr std::int32_t kCrLow = (133 - 128) * 256000;   // Cr >= 133
constexpr std::int32_t kCrHigh = (174 - 128) * 256000;  // Cr <= 173, that is Cr < 174

inline bool skinChroma(std::int32_t blue, std::int32_t green, std::int32_t red) {
    const std::int32_t cb = 112000 * blue - 37797 * red - 74203 * green;
    const std::int32_t cr = 112000 * red - 93786 * green - 18214 * blue;
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

// An open interval; the empty one never contains anything.
struct Interval {
    float low = 1.0f;
    float high = 0.0f;
    bool contains(float value) const { return low < value && value < high; }
};

struct FeatureBox {
    Interval horizontal;
    Interval vertical;
};

// Eyes with their brows (one box each), the nostrils and the mouth, in the turned coordinates
// of the face rectangle.
std::array<FeatureBox, 4> featureBoxes(const FaceLandmarks& p) {
    const float mouthSpread = p[79].x - p[78].x;
    return {{
        {{p[33].x, (p[51].x + p[64].x) * 0.5f}, {p[35].y, p[66].y + (p[66].y - p[40].y) * 0.5f}},
        {{(p[51].x + p[68].x) * 0.5f, p[46].x}, {p[44].y, p[74].y + (p[74].y - p[48].y) * 0.5f}},
        {{2.0f * p[55].x - p[56].x, 2.0f * p[59].x - p[58].x}, {p[54].y + 10.0f, p[57].y + 10.0f}},
        {{p[76].x - mouthSpread, p[82].x + mouthSpread}, {p[78].y - 10.0f, p[85].y + 10.0f}},
    }};
}

// Gives a smoothed pixel its unsmoothed colour back unless `keep`; its byte 3 stays.
inline void restoreUnless(bool keep, const std::uint8_t* unsmoothed, std::uint8_t* smoothed) {
    const std::uint32_t original = load32(unsmoothed);
    const std::uint32_t current = load32(smoothed);
    const std::uint32_t colourMask = keep ? 0u : 0x00FFFFFFu;
    store32(smoothed, (current & ~colourMask) | (original & colourMask));
}

inline bool skinPixel(const std::uint8_t* pixel) {
    return skinChroma(pixel[0], pixel[1], pixel[2]);
}

void maskRowBySkin(const std::uint8_t* unsmoothed, std::uint8_t* smoothed, int width) {
    for (int i = 0; i < width; ++i) {
        const std::size_t offset = static_cast<std::size_t>(i) * 4;
        restoreUnless(skinPixel(unsmoothed + offset), unsmoothed + offset, smoothed + offset);
    }
}

void maskRowBySkinAndBoxes(const std::uint8_t* unsmoothed, std::uint8_t* smoothed, int width,
                           const std::array<Interval, 4>& columns) {
    for (int i = 0; i < width; ++i) {
        const auto u = static_cast<float>(width - i);
        bool inFeature = false;
        for (const Interval& interval : columns) {
            inFeature |= interval.contains(u);
        }
        const std::size_t offset = static_cast<std::size_t>(i) * 4;
        restoreUnless(!inFeature && skinPixel(unsmoothed + offset), unsmoothed + offset,
                      smoothed + offset);
    }
}

}  // namespace

bool isSkinColour(std::uint8_t blue, std::uint8_t green, std::uint8_t red) {
    return skinChroma(blue, green, red);
}

void packPixels(const std::uint8_t* source, std::uint8_t* destination, int width, int height,
                bool keepOrder) {
    if (width <= 0 || height <= 0) {
        return;
    }
    const std::size_t count = static_cast<std::size_t>(width) * static_cast<std::size_t>(height);
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

void maskFeatures(const std::uint8_t* unsmoothed, std::uint8_t* smoothed, int width, int height,
                  bool rectangleMode, const FaceOutputs& face) {
    if (width <= 0 || height <= 0) {
        return;
    }
    const bool useBoxes = rectangleMode && face.faceValid && face.faceLandmarks.has_value();
    const auto boxes = useBoxes ? featureBoxes(*face.faceLandmarks) : std::array<FeatureBox, 4>{};
    const std::size_t rowBytes = static_cast<std::size_t>(width) * 4;
    for (int j = 0; j < height; ++j) {
        const std::uint8_t* unsmoothedRow = unsmoothed + rowBytes * static_cast<std::size_t>(j);
        std::uint8_t* smoothedRow = smoothed + rowBytes * static_cast<std::size_t>(j);
        const auto v = static_cast<float>(height - j);
        std::array<Interval, 4> columns{};
        bool anyBox = false;
        for (std::size_t k = 0; k < boxes.size(); ++k) {
            if (boxes[k].vertical.contains(v)) {
                columns[k] = boxes[k].horizontal;
                anyBox = true;
            }
        }
        if (anyBox) {
            maskRowBySkinAndBoxes(unsmoothedRow, smoothedRow, width, columns);
        } else {
            maskRowBySkin(unsmoothedRow, smoothedRow, width);
        }
    }
}

void greyFromFrame(const std::uint8_t* source, std::uint8_t* destination, int width, int height,
                   int sourceStride) {
    if (width <= 0 || height <= 0) {
        return;
    }
    for (int y = 0; y < height; ++y) {
        const std::uint8_t* row =
            source + static_cast<std::size_t>(y) * static_cast<std::size_t>(sourceStride) * 3;
        std::uint8_t* out = destination + static_cast<std::size_t>(y) * static_cast<std::size_t>(width);
        for (int x = 0; x < width; ++x) {
            const std::uint8_t* pixel = row + static_cast<std::size_t>(x) * 3;
            const double luma = 0.299 * pixel[2] + 0.587 * pixel[1] + 0.114 * pixel[0];
            out[x] = static_cast<std::uint8_t>(luma);
        }
    }
}

}  // namespace velvix
