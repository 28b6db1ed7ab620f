#include <cmath>
#include <cstddef>
#include <cstdlib>

#include "velvix/filters/rb_filter.hpp"

namespace velvix {
namespace {

constexpr int kChannels = 4;

// One recursion: pixels are seeded with their own values and factor 1, every further pixel
// of a sweep is advanced from its predecessor in the direction of travel. The values being
// averaged come from `values`; the weights always from the distances between the source's
// pixels.
struct Sweep {
    const ScalarBuffers& buffers;
    const std::uint8_t* source;
    const FilterCoefficients& coefficients;
    float* colour;
    float* factor;

    void seed(std::ptrdiff_t i, const float* x) const {
        factor[i] = 1.0f;
        for (int c = 0; c < kChannels; ++c) {
            colour[kChannels * i + c] = x[c];
        }
    }

    void advance(std::ptrdiff_t i, std::ptrdiff_t previous, const float* x) const {
        const float invAlpha = coefficients.invAlpha;
        const int distance =
            channelDistance(buffers, source + kChannels * i, source + kChannels * previous);
        const float w = coefficients.rangeTable[static_cast<std::size_t>(distance)];
        factor[i] = invAlpha + w * factor[previous];
        for (int c = 0; c < kChannels; ++c) {
            colour[kChannels * i + c] = w * colour[kChannels * previous + c] + invAlpha * x[c];
        }
    }
};

void sweepRow(const Sweep& sweep, const std::uint8_t* source, std::ptrdiff_t first,
              std::ptrdiff_t step, std::ptrdiff_t count) {
    float x[kChannels];
    const auto load = [&](std::ptrdiff_t i) {
        for (int c = 0; c < kChannels; ++c) {
            x[c] = source[kChannels * i + c];
        }
    };
    load(first);
    sweep.seed(first, x);
    for (std::ptrdiff_t n = 1, i = first + step; n < count; ++n, i += step) {
        load(i);
        sweep.advance(i, i - step, x);
    }
}

// All columns at once, row after row, so that memory is walked in order.
void sweepColumns(const Sweep& sweep, const float* values, std::ptrdiff_t width,
                  std::ptrdiff_t height, bool downwards) {
    const std::ptrdiff_t firstRow = downwards ? 0 : height - 1;
    const std::ptrdiff_t step = downwards ? width : -width;
    for (std::ptrdiff_t x = 0; x < width; ++x) {
        const std::ptrdiff_t i = firstRow * width + x;
        sweep.seed(i, values + kChannels * i);
    }
    for (std::ptrdiff_t n = 1, row = firstRow * width + step; n < height; ++n, row += step) {
        for (std::ptrdiff_t x = 0; x < width; ++x) {
            sweep.advance(row + x, row + x - step, values + kChannels * (row + x));
        }
    }
}

}  // namespace

FilterCoefficients scalarCoefficients(float sigmaSpatial, float sigmaRange) {
    FilterCoefficients coefficients;
    coefficients.alpha =
        static_cast<float>(std::exp(-std::sqrt(2.0) / static_cast<double>(sigmaSpatial * 255.0f)));
    coefficients.invAlpha = 1.0f - coefficients.alpha;
    const float s = 1.0f / (sigmaRange * 255.0f);
    for (int i = 0; i < kRangeTableSize; ++i) {
        const auto exponent = static_cast<double>(static_cast<float>(-i) * s);
        coefficients.rangeTable[static_cast<std::size_t>(i)] =
            static_cast<float>(std::exp(exponent) * static_cast<double>(coefficients.alpha));
    }
    return coefficients;
}

void ScalarBuffers::allocate(int imageWidth, int imageHeight, int channelCount) {
    width = imageWidth;
    height = imageHeight;
    channels = channelCount;
    const std::size_t pixels = static_cast<std::size_t>(width) * static_cast<std::size_t>(height);
    for (auto* colour : {&colourRight, &colourLeft, &colourDown, &colourUp}) {
        *colour = std::make_unique_for_overwrite<float[]>(pixels * kChannels);
    }
    for (auto* factor : {&factorRight, &factorLeft, &factorDown, &factorUp}) {
        *factor = std::make_unique_for_overwrite<float[]>(pixels);
    }
}

void ScalarBuffers::empty() {
    for (auto* buffer : {&colourRight, &factorRight, &colourLeft, &factorLeft, &colourDown,
                         &factorDown, &colourUp, &factorUp}) {
        buffer->reset();
    }
    width = 0;
    height = 0;
    channels = 0;
}

int channelDistance(const ScalarBuffers& buffers, const std::uint8_t* a, const std::uint8_t* b) {
    const auto d = [a, b](int channel) { return std::abs(int{a[channel]} - int{b[channel]}); };
    switch (buffers.channels) {
        case 1:
            return d(0);
        case 2:
            return (d(0) + d(1)) / 2;
        case 3:
            return (d(0) + d(2)) / 4 + d(1) / 2;
        case 4:
            return (d(0) + d(1) + d(2) + d(3)) / 4;
        default:
            return 0;
    }
}

void filterScalar(ScalarBuffers& buffers, const std::uint8_t* in, std::uint8_t* out,
                  float sigmaSpatial, float sigmaRange, int width, int height) {
    if (width <= 0 || height <= 0) {
        return;
    }
    const FilterCoefficients coefficients = scalarCoefficients(sigmaSpatial, sigmaRange);
    const std::ptrdiff_t w = width;
    const std::ptrdiff_t pixels = w * height;
    const Sweep right{buffers, in, coefficients, buffers.colourRight.get(),
                      buffers.factorRight.get()};
    const Sweep left{buffers, in, coefficients, buffers.colourLeft.get(), buffers.factorLeft.get()};
    for (std::ptrdiff_t row = 0; row < pixels; row += w) {
        sweepRow(right, in, row, 1, w);
        sweepRow(left, in, row + w - 1, -1, w);
    }

    float* merged = buffers.colourRight.get();
    for (std::ptrdiff_t i = 0; i < pixels; ++i) {
        const float factor = buffers.factorRight[i] + buffers.factorLeft[i];
        for (int c = 0; c < kChannels; ++c) {
            merged[kChannels * i + c] =
                (merged[kChannels * i + c] + buffers.colourLeft[kChannels * i + c]) / factor;
        }
    }

    sweepColumns({buffers, in, coefficients, buffers.colourDown.get(), buffers.factorDown.get()},
                 merged, w, height, true);
    sweepColumns({buffers, in, coefficients, buffers.colourUp.get(), buffers.factorUp.get()},
                 merged, w, height, false);

    for (std::ptrdiff_t i = 0; i < pixels; ++i) {
        const float p = 1.0f / (buffers.factorDown[i] + buffers.factorUp[i]);
        for (int c = 0; c < kChannels; ++c) {
            const float sum =
                buffers.colourDown[kChannels * i + c] + buffers.colourUp[kChannels * i + c];
            out[kChannels * i + c] = static_cast<std::uint8_t>(static_cast<int>(p * sum));
        }
    }
}

}  // namespace velvix
