#include "velvix/filters/smoothing.hpp"

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <memory>

#include "velvix/filters/cpu_info.hpp"
#include "velvix/filters/rb_filter.hpp"
#include "velvix/platform/debug_output.hpp"

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

// Diagnostics go to the debug output: standard output carries only the headless host's
// protocol. The messages' leading line feed kept them apart from other output on a shared
// stream; a line of its own needs none.
void report(std::string_view message) {
    if (message.starts_with('\n')) {
        message.remove_prefix(1);
    }
    platform::debugOutput(message);
}

std::size_t rowBytes(int width) {
    return static_cast<std::size_t>(width) * 4;
}

// The filter covers every pixel position up to its pitch. Rows whose packed length is not a
// whole pitch are filtered in a padded copy in which each row goes on with copies of its last
// pixel, so that what flows back into the row from its right end is that pixel's own colour,
// not whatever lies in the padding.
bool filterPadded(CRBFilterAVX2& filter, const std::uint8_t* source, std::uint8_t* destination,
                  int width, int height, int pitch) {
    const std::size_t packed = rowBytes(width);
    const auto paddedPitch = static_cast<std::size_t>(pitch);
    const std::size_t bytes = paddedPitch * static_cast<std::size_t>(height);
    const auto in = std::make_unique_for_overwrite<std::uint8_t[]>(bytes);
    const auto out = std::make_unique_for_overwrite<std::uint8_t[]>(bytes);
    for (std::size_t row = 0; row < static_cast<std::size_t>(height); ++row) {
        std::uint8_t* padded = in.get() + row * paddedPitch;
        std::memcpy(padded, source + row * packed, packed);
        for (std::size_t offset = packed; offset < paddedPitch; offset += 4) {
            std::memcpy(padded + offset, padded + packed - 4, 4);
        }
    }
    if (!filter.filter(out.get(), in.get(), width, height, pitch)) {
        return false;
    }
    for (std::size_t row = 0; row < static_cast<std::size_t>(height); ++row) {
        std::memcpy(destination + row * packed, out.get() + row * paddedPitch, packed);
    }
    return true;
}

void smoothVectorised(const std::uint8_t* source, std::uint8_t* destination, int width, int height,
                      SmoothingSigmas sigmas) {
    CRBFilterAVX2 filter;
    if (!filter.initialize(width, height)) {
        report(kFilterInitializeFailed);
        return;
    }
    filter.setSigma(sigmas.spatial, sigmas.range);
    const int granule = filter.threadCount() * 32;
    const int pitch = (width * 4 + granule - 1) / granule * granule;
    const bool filtered = pitch == width * 4
                              ? filter.filter(destination, source, width, height, pitch)
                              : filterPadded(filter, source, destination, width, height, pitch);
    if (!filtered) {
        report(kFilterFailed);
    }
}

void smoothScalar(const std::uint8_t* source, std::uint8_t* destination, int width, int height,
                  SmoothingSigmas sigmas) {
    ScalarBuffers buffers;
    buffers.allocate(width, height, 4);
    filterScalar(buffers, source, destination, sigmas.spatial, sigmas.range, width, height);
    buffers.empty();
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
    const SmoothingSigmas sigmas = sigmasForLevel(level);
    if (width > 0 && height > 0) {
        const std::size_t pixels =
            static_cast<std::size_t>(width) * static_cast<std::size_t>(height);
        (hasAVX2 ? swapRedAndBlueAvx2 : swapRedAndBluePlain)(source, pixels);
    }
    if (hasAVX2) {
        smoothVectorised(source, destination, width, height, sigmas);
    } else if (width > 0 && height > 0) {
        smoothScalar(source, destination, width, height, sigmas);
    }
}

void FilterSmoother::smoothFrame(std::uint8_t* source, std::uint8_t* destination, int width,
                                 int height, int level) {
    velvix::smoothFrame(source, destination, width, height, level);
}

}  // namespace velvix
