#include "velvix/filters/smoothing.hpp"

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <memory>
#include <vector>

#include "velvix/filters/rb_filter.hpp"
#include "velvix/platform/cpu_info.hpp"
#include "velvix/platform/log.hpp"

namespace velvix {
namespace {

// The level's factors are float constants, widened to double like the level fraction.
constexpr float kSpatialPerLevel = 0.06f;
constexpr float kRangePerLevel = 0.14f;
constexpr double kLowestSigma = 0.02;

// Whole 32-bit pixels with constant masks, which the compiler turns into vector shifts.
VELVIX_ALWAYS_INLINE void swapRedAndBlueBody(std::uint8_t* pixels, std::size_t count) {
    for (std::size_t i = 0; i < count; ++i) {
        std::uint32_t pixel;
        std::memcpy(&pixel, pixels + 4 * i, sizeof pixel);
        pixel = (pixel & 0xFF00FF00u) | ((pixel >> 16) & 0xFFu) | ((pixel & 0xFFu) << 16);
        std::memcpy(pixels + 4 * i, &pixel, sizeof pixel);
    }
}

void swapRedAndBluePlain(std::uint8_t* pixels, std::size_t count) {
    swapRedAndBlueBody(pixels, count);
}

VELVIX_AVX2_FUNCTION void swapRedAndBlueAvx2(std::uint8_t* pixels, std::size_t count) {
    swapRedAndBlueBody(pixels, count);
}

std::size_t rowBytes(int width) {
    return static_cast<std::size_t>(width) * 4;
}

constexpr char kScalarInstead[] = "; smoothing with the scalar filter instead";

void growTo(std::vector<std::uint8_t>& buffer, std::size_t bytes) {
    if (buffer.size() < bytes) {
        buffer.resize(bytes);
    }
}

}  // namespace

SmoothingSigmas sigmasForLevel(int level) {
    // The page's slider goes from 0 to 100; levels beyond it would give weights that no longer
    // average the picture but darken it, and a page may post any number.
    const double fraction = std::clamp(level, kLowestLevel, kHighestLevel) / 100.0;
    return {static_cast<float>(std::max(fraction * kSpatialPerLevel, kLowestSigma)),
            static_cast<float>(std::max(fraction * kRangePerLevel, kLowestSigma))};
}

void smoothFrame(std::uint8_t* source, std::uint8_t* destination, int width, int height,
                 int level) {
    FilterSmoother().smoothFrame(source, destination, width, height, level);
}

int faceRectangleGrid() {
    return hasAVX2 ? kFilterGrid : 1;
}

void FilterSmoother::smoothFrame(std::uint8_t* source, std::uint8_t* destination, int width,
                                 int height, int level) {
    if (width <= 0 || height <= 0) {
        return;
    }
    const SmoothingSigmas sigmas = sigmasForLevel(level);
    const std::size_t pixels = static_cast<std::size_t>(width) * static_cast<std::size_t>(height);
    (hasAVX2 ? swapRedAndBlueAvx2 : swapRedAndBluePlain)(source, pixels);
    if (hasAVX2 && vectorisedFilterTakes(width, height) &&
        smoothVectorised(source, destination, width, height, sigmas)) {
        return;
    }
    smoothScalar(source, destination, width, height, sigmas);
}

// The filter is sized once for the largest picture so far.
bool FilterSmoother::sizeFilterFor(int width, int height) {
    if (width <= filter_.reservedWidth() && height <= filter_.reservedHeight()) {
        return true;
    }
    return filter_.initialize(std::max(width, filter_.reservedWidth()),
                              std::max(height, filter_.reservedHeight()));
}

// A failure is said once and the picture is smoothed by the scalar filter instead, so that no
// frame leaves half done.
bool FilterSmoother::smoothVectorised(const std::uint8_t* source, std::uint8_t* destination,
                                      int width, int height, SmoothingSigmas sigmas) {
    if (!sizeFilterFor(width, height)) {
        failures_.say(platform::LogCategory::filters, platform::LogSeverity::warn,
                      std::string(kFilterInitializeFailed) + kScalarInstead);
        return false;
    }
    filter_.setSigma(sigmas.spatial, sigmas.range);
    const int granule = filter_.threadCount() * 32;
    const int pitch = (width * 4 + granule - 1) / granule * granule;
    const bool filtered = pitch == width * 4
                              ? filter_.filter(destination, source, width, height, pitch)
                              : filterPadded(source, destination, width, height, pitch);
    if (!filtered) {
        failures_.say(platform::LogCategory::filters, platform::LogSeverity::warn,
                      std::string(kFilterFailed) + kScalarInstead);
    }
    return filtered;
}

// The filter covers every pixel position up to its pitch. Rows whose packed length is not a
// whole pitch are filtered in a padded copy in which each row goes on with copies of its last
// pixel, so that what flows back into the row from its right end is that pixel's own colour,
// not whatever lies in the padding.
bool FilterSmoother::filterPadded(const std::uint8_t* source, std::uint8_t* destination, int width,
                                  int height, int pitch) {
    const std::size_t packed = rowBytes(width);
    const auto paddedPitch = static_cast<std::size_t>(pitch);
    const std::size_t bytes = paddedPitch * static_cast<std::size_t>(height);
    growTo(paddedIn_, bytes);
    growTo(paddedOut_, bytes);
    for (std::size_t row = 0; row < static_cast<std::size_t>(height); ++row) {
        std::uint8_t* padded = paddedIn_.data() + row * paddedPitch;
        std::memcpy(padded, source + row * packed, packed);
        for (std::size_t offset = packed; offset < paddedPitch; offset += 4) {
            std::memcpy(padded + offset, padded + packed - 4, 4);
        }
    }
    if (!filter_.filter(paddedOut_.data(), paddedIn_.data(), width, height, pitch)) {
        return false;
    }
    for (std::size_t row = 0; row < static_cast<std::size_t>(height); ++row) {
        std::memcpy(destination + row * packed, paddedOut_.data() + row * paddedPitch, packed);
    }
    return true;
}

// The scalar filter's buffers are kept too, and grow only for a picture with more pixels.
void FilterSmoother::smoothScalar(const std::uint8_t* source, std::uint8_t* destination, int width,
                                  int height, SmoothingSigmas sigmas) {
    const auto pixels = [](int w, int h) { return std::int64_t{w} * h; };
    if (pixels(width, height) > pixels(scalar_.width, scalar_.height)) {
        scalar_.allocate(width, height, 4);
    }
    filterScalar(scalar_, source, destination, sigmas.spatial, sigmas.range, width, height);
}

}  // namespace velvix
