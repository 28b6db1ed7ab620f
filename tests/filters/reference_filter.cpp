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

// The vectorised filter's: the decay and each weight worked in double.
Coefficients coefficientsFor(float sigmaSpatial, float sigmaRange) {
    Coefficients c{};
    const double alpha = std::exp(-std::sqrt(2.0) / (double{sigmaSpatial} * 255.0));
    c.invAlpha = static_cast<float>(1.0 - alpha);
    const double s = 1.0 / double{sigmaRange * 255.0f};
    for (int i = 0; i < 256; ++i) {
        c.table[i] = static_cast<float>(std::exp(-i * s) * alpha);
    }
    return c;
}

// The fallback's own: the decay rounded to float first, the range step in float.
Coefficients scalarCoefficientsFor(float sigmaSpatial, float sigmaRange) {
    Coefficients c{};
    const auto alpha =
        static_cast<float>(std::exp(-std::sqrt(2.0) / double{sigmaSpatial * 255.0f}));
    c.invAlpha = 1.0f - alpha;
    const float s = 1.0f / (sigmaRange * 255.0f);
    for (int i = 0; i < 256; ++i) {
        c.table[i] = static_cast<float>(std::exp(double{-float(i) * s}) * double{alpha});
    }
    return c;
}

std::size_t offset(int width, int x, int y) {
    return (static_cast<std::size_t>(y) * static_cast<std::size_t>(width) +
            static_cast<std::size_t>(x)) *
           4;
}

int largestDistance(const std::uint8_t* a, const std::uint8_t* b) {
    int largest = 0;
    for (int c = 0; c < 3; ++c) {
        largest = std::max(largest, std::abs(a[c] - b[c]));
    }
    return largest;
}

int averageDistance(const std::uint8_t* a, const std::uint8_t* b) {
    int sum = 0;
    for (int c = 0; c < 4; ++c) {
        sum += std::abs(a[c] - b[c]);
    }
    return sum / 4;
}

int nearest(float value) {
    return static_cast<int>(std::nearbyint(value));
}

Image referenceRowPass(const Image& in, int width, int height, float sigmaSpatial,
                       float sigmaRange) {
    const Coefficients k = coefficientsFor(sigmaSpatial, sigmaRange);
    const auto pixel = [&](int x, int y) { return in.data() + offset(width, x, y); };
    Image out(in.size());
    std::vector<float> weight(static_cast<std::size_t>(width));
    std::vector<float> rightToLeft(static_cast<std::size_t>(width));
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            const std::uint8_t* next = x + 1 < width    ? pixel(x + 1, y)
                                       : y + 1 < height ? pixel(0, y + 1)
                                                        : pixel(x, y);
            weight[static_cast<std::size_t>(x)] = k.table[largestDistance(pixel(x, y), next)];
        }
        for (int c = 0; c < 4; ++c) {
            float colour = pixel(width - 1, y)[c];
            float factor = 1.0f;
            for (int x = width - 1; x >= 0; --x) {
                const float w = weight[static_cast<std::size_t>(x)];
                colour = w * colour + k.invAlpha * float(pixel(x, y)[c]);
                factor = w * factor + k.invAlpha;
                rightToLeft[static_cast<std::size_t>(x)] = colour / factor;
            }
            colour = 0.0f;
            factor = 0.0f;
            for (int x = 0; x < width; ++x) {
                const float w = x == 0 ? 0.0f : weight[static_cast<std::size_t>(x - 1)];
                colour = w * colour + k.invAlpha * float(pixel(x, y)[c]);
                factor = w * factor + k.invAlpha;
                const float sum = colour / factor + rightToLeft[static_cast<std::size_t>(x)];
                out[offset(width, x, y) + static_cast<std::size_t>(c)] =
                    static_cast<std::uint8_t>(nearest(sum) / 2);
            }
        }
    }
    return out;
}

Image referenceColumnPass(const Image& rowFiltered, int width, int height, float sigmaSpatial,
                          float sigmaRange) {
    const Coefficients k = coefficientsFor(sigmaSpatial, sigmaRange);
    const auto pixel = [&](int x, int y) { return rowFiltered.data() + offset(width, x, y); };
    Image out(rowFiltered.size());
    for (int x = 0; x < width; ++x) {
        for (int c = 0; c < 4; ++c) {
            const auto result = [&](int y) -> std::uint8_t& {
                return out[offset(width, x, y) + static_cast<std::size_t>(c)];
            };
            result(height - 1) = pixel(x, height - 1)[c];
            float colour = pixel(x, height - 1)[c];
            float factor = 1.0f;
            for (int y = height - 2; y >= 0; --y) {
                const float w = k.table[largestDistance(pixel(x, y), pixel(x, y + 1))];
                factor = k.invAlpha + w * factor;
                colour = k.invAlpha * float(pixel(x, y)[c]) + w * colour;
                result(y) = static_cast<std::uint8_t>(nearest(colour / factor));
            }
            result(0) = static_cast<std::uint8_t>((result(0) + pixel(x, 0)[c] + 1) / 2);
            colour = pixel(x, 0)[c];
            factor = 1.0f;
            for (int y = 1; y < height; ++y) {
                const float w = k.table[largestDistance(pixel(x, y), pixel(x, y - 1))];
                factor = k.invAlpha + w * factor;
                colour = k.invAlpha * float(pixel(x, y)[c]) + w * colour;
                result(y) =
                    static_cast<std::uint8_t>((result(y) + nearest(colour / factor) + 1) / 2);
            }
        }
    }
    return out;
}

}  // namespace

Image referenceFilter(const Image& in, int width, int height, float sigmaSpatial,
                      float sigmaRange) {
    return referenceColumnPass(referenceRowPass(in, width, height, sigmaSpatial, sigmaRange), width,
                               height, sigmaSpatial, sigmaRange);
}

namespace {

// One running average along a line of `count` pixels: `at(n)` is the n-th pixel of the line in
// the direction of travel, `value(n, c)` the value averaged there. Colours (4 per position)
// and factors.
struct Running {
    std::vector<float> colour;
    std::vector<float> factor;
};

template <typename At, typename Value>
Running runAlong(int count, const Coefficients& k, At at, Value value) {
    Running run{std::vector<float>(static_cast<std::size_t>(count) * 4),
                std::vector<float>(static_cast<std::size_t>(count))};
    for (std::size_t n = 0; n < static_cast<std::size_t>(count); ++n) {
        const int i = static_cast<int>(n);
        const float w = n == 0 ? 0.0f : k.table[averageDistance(at(i), at(i - 1))];
        run.factor[n] = n == 0 ? 1.0f : k.invAlpha + w * run.factor[n - 1];
        for (int c = 0; c < 4; ++c) {
            const std::size_t j = n * 4 + static_cast<std::size_t>(c);
            run.colour[j] = n == 0 ? value(i, c) : w * run.colour[j - 4] + k.invAlpha * value(i, c);
        }
    }
    return run;
}

}  // namespace

Image referenceScalarFilter(const Image& in, int width, int height, float sigmaSpatial,
                            float sigmaRange) {
    const Coefficients k = scalarCoefficientsFor(sigmaSpatial, sigmaRange);
    const auto pixel = [&](int x, int y) { return in.data() + offset(width, x, y); };
    std::vector<float> rows(in.size());
    const int lastX = width - 1;
    for (int y = 0; y < height; ++y) {
        const auto right = runAlong(
            width, k, [&](int n) { return pixel(n, y); },
            [&](int n, int c) { return float(pixel(n, y)[c]); });
        const auto left = runAlong(
            width, k, [&](int n) { return pixel(lastX - n, y); },
            [&](int n, int c) { return float(pixel(lastX - n, y)[c]); });
        for (std::size_t x = 0; x < static_cast<std::size_t>(width); ++x) {
            const std::size_t l = static_cast<std::size_t>(lastX) - x;
            const float factor = right.factor[x] + left.factor[l];
            for (std::size_t c = 0; c < 4; ++c) {
                rows[offset(width, static_cast<int>(x), y) + c] =
                    (right.colour[x * 4 + c] + left.colour[l * 4 + c]) / factor;
            }
        }
    }
    Image out(in.size());
    const int lastY = height - 1;
    for (int x = 0; x < width; ++x) {
        const auto row = [&](int y, int c) { return rows[offset(width, x, y) + std::size_t(c)]; };
        const auto down = runAlong(
            height, k, [&](int n) { return pixel(x, n); }, row);
        const auto up = runAlong(
            height, k, [&](int n) { return pixel(x, lastY - n); },
            [&](int n, int c) { return row(lastY - n, c); });
        for (std::size_t y = 0; y < static_cast<std::size_t>(height); ++y) {
            const std::size_t u = static_cast<std::size_t>(lastY) - y;
            const float inverse = 1.0f / (down.factor[y] + up.factor[u]);
            for (std::size_t c = 0; c < 4; ++c) {
                const float sum = down.colour[y * 4 + c] + up.colour[u * 4 + c];
                out[offset(width, x, static_cast<int>(y)) + c] =
                    static_cast<std::uint8_t>(static_cast<int>(inverse * sum));
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
