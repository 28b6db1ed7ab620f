#include "reference_filter.hpp"

#include <algorithm>
#include <cmath>
#include <cstdlib>

namespace velvix::testing {
namespace {

struct Coefficients {
    float invAlpha;
    float table[256];
};

// The vectorised filter works the decay and each weight in double; the fallback rounds the decay
// to float first and takes the range step in float.
Coefficients coefficientsFor(float sigmaSpatial, float sigmaRange, bool scalar) {
    Coefficients c{};
    const double alpha =
        scalar
            ? double{static_cast<float>(std::exp(-std::sqrt(2.0) / double{sigmaSpatial * 255.0f}))}
            : std::exp(-std::sqrt(2.0) / (double{sigmaSpatial} * 255.0));
    c.invAlpha = static_cast<float>(1.0 - alpha);
    const float scalarStep = 1.0f / (sigmaRange * 255.0f);
    const double step = 1.0 / double{sigmaRange * 255.0f};
    for (int i = 0; i < 256; ++i) {
        const double exponent = scalar ? double{-float(i) * scalarStep} : -i * step;
        c.table[i] = static_cast<float>(std::exp(exponent) * alpha);
    }
    return c;
}

std::size_t offset(int width, int x, int y) {
    return (static_cast<std::size_t>(y) * width + x) * 4;
}

int largestDistance(const std::uint8_t* a, const std::uint8_t* b) {
    return std::max({std::abs(a[0] - b[0]), std::abs(a[1] - b[1]), std::abs(a[2] - b[2])});
}

int averageDistance(const std::uint8_t* a, const std::uint8_t* b) {
    return (std::abs(a[0] - b[0]) + std::abs(a[1] - b[1]) + std::abs(a[2] - b[2]) +
            std::abs(a[3] - b[3])) /
           4;
}

int nearest(float value) {
    return static_cast<int>(std::nearbyint(value));
}

}  // namespace

Image referenceFilter(const Image& in, int width, int height, float sigmaSpatial,
                      float sigmaRange) {
    const Coefficients k = coefficientsFor(sigmaSpatial, sigmaRange, false);
    const int padded = (width + 15) / 16 * 16;
    const auto pixel = [&](int x, int y) {
        return in.data() + offset(width, std::min(x, width - 1), y);
    };
    Image rows(in.size());
    std::vector<float> weight(static_cast<std::size_t>(padded));
    std::vector<float> rightToLeft(weight.size());
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < padded; ++x) {
            const std::uint8_t* next = x + 1 < padded   ? pixel(x + 1, y)
                                       : y + 1 < height ? pixel(0, y + 1)
                                                        : pixel(x, y);
            weight[x] = k.table[largestDistance(pixel(x, y), next)];
        }
        for (int c = 0; c < 4; ++c) {
            float colour = pixel(padded - 1, y)[c];
            float factor = 1.0f;
            for (int x = padded - 1; x >= 0; --x) {
                colour = weight[x] * colour + k.invAlpha * float(pixel(x, y)[c]);
                factor = weight[x] * factor + k.invAlpha;
                rightToLeft[x] = colour / factor;
            }
            colour = factor = 0.0f;
            for (int x = 0; x < width; ++x) {
                const float w = x == 0 ? 0.0f : weight[x - 1];
                colour = w * colour + k.invAlpha * float(pixel(x, y)[c]);
                factor = w * factor + k.invAlpha;
                rows[offset(width, x, y) + c] =
                    static_cast<std::uint8_t>(nearest(colour / factor + rightToLeft[x]) / 2);
            }
        }
    }
    // Each column swept from either end, seeded with its end pixel, the two rounded to bytes and
    // averaged rounding up.
    const auto row = [&](int x, int y) { return rows.data() + offset(width, x, y); };
    Image out(in.size());
    std::vector<int> up(static_cast<std::size_t>(height));
    for (int x = 0; x < width; ++x) {
        for (int c = 0; c < 4; ++c) {
            for (const int step : {-1, 1}) {
                const int first = step < 0 ? height - 1 : 0;
                float colour = row(x, first)[c];
                float factor = 1.0f;
                for (int y = first; y >= 0 && y < height; y += step) {
                    if (y != first) {
                        const float w = k.table[largestDistance(row(x, y), row(x, y - step))];
                        factor = k.invAlpha + w * factor;
                        colour = k.invAlpha * float(row(x, y)[c]) + w * colour;
                    }
                    if (step < 0) {
                        up[y] = nearest(colour / factor);
                    } else {
                        out[offset(width, x, y) + c] =
                            static_cast<std::uint8_t>((up[y] + nearest(colour / factor) + 1) / 2);
                    }
                }
            }
        }
    }
    return out;
}

namespace {

// The fallback's running average along a line of `count` pixels, the n-th at pixel index
// first + n * step: distances measured on the source, the values averaged taken from `values`
// (four a pixel). Colours (four a position) and factors in the order of travel.
std::pair<std::vector<float>, std::vector<float>> runAlong(const Image& in,
                                                           const std::vector<float>& values,
                                                           std::ptrdiff_t first,
                                                           std::ptrdiff_t step, int count,
                                                           const Coefficients& k) {
    std::vector<float> colour(static_cast<std::size_t>(count) * 4);
    std::vector<float> factor(static_cast<std::size_t>(count));
    for (int n = 0; n < count; ++n) {
        const std::ptrdiff_t at = first + n * step;
        const float w = n == 0 ? 0.0f : k.table[averageDistance(&in[at * 4], &in[(at - step) * 4])];
        factor[n] = n == 0 ? 1.0f : k.invAlpha + w * factor[n - 1];
        for (int c = 0; c < 4; ++c) {
            const float value = values[at * 4 + c];
            colour[n * 4 + c] = n == 0 ? value : w * colour[n * 4 + c - 4] + k.invAlpha * value;
        }
    }
    return {colour, factor};
}

}  // namespace

Image referenceScalarFilter(const Image& in, int width, int height, float sigmaSpatial,
                            float sigmaRange) {
    const Coefficients k = coefficientsFor(sigmaSpatial, sigmaRange, true);
    std::vector<float> values(in.begin(), in.end());  // each row replaced by its filtered row
    for (int y = 0; y < height; ++y) {
        const std::ptrdiff_t start = static_cast<std::ptrdiff_t>(y) * width;
        const auto [right, rightFactor] = runAlong(in, values, start, 1, width, k);
        const auto [left, leftFactor] = runAlong(in, values, start + width - 1, -1, width, k);
        for (int x = 0; x < width; ++x) {
            const int l = width - 1 - x;
            for (int c = 0; c < 4; ++c) {
                values[(start + x) * 4 + c] =
                    (right[x * 4 + c] + left[l * 4 + c]) / (rightFactor[x] + leftFactor[l]);
            }
        }
    }
    Image out(in.size());
    for (int x = 0; x < width; ++x) {
        const auto [down, downFactor] = runAlong(in, values, x, width, height, k);
        const auto [up, upFactor] = runAlong(
            in, values, x + static_cast<std::ptrdiff_t>(height - 1) * width, -width, height, k);
        for (int y = 0; y < height; ++y) {
            const int u = height - 1 - y;
            const float inverse = 1.0f / (downFactor[y] + upFactor[u]);
            for (int c = 0; c < 4; ++c) {
                out[offset(width, x, y) + c] = static_cast<std::uint8_t>(
                    static_cast<int>(inverse * (down[y * 4 + c] + up[u * 4 + c])));
            }
        }
    }
    return out;
}

ImageDifference compareImages(const Image& a, const Image& b) {
    ImageDifference difference;
    for (std::size_t i = 0; i < std::min(a.size(), b.size()); ++i) {
        const int d = std::abs(int{a[i]} - int{b[i]});
        difference.largest = std::max(difference.largest, d);
        difference.differingBytes += d != 0 ? 1 : 0;
    }
    return difference;
}

}  // namespace velvix::testing
