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

class View {
  public:
    View(const Image& image, int width) : image_(image), width_(width) {}
    const std::uint8_t* pixel(int x, int y) const {
        return image_.data() + (static_cast<std::size_t>(y) * static_cast<std::size_t>(width_) +
                                static_cast<std::size_t>(x)) *
                                   4;
    }

  private:
    const Image& image_;
    int width_;
};

std::uint8_t* pixelOf(Image& image, int width, int x, int y) {
    return image.data() + (static_cast<std::size_t>(y) * static_cast<std::size_t>(width) +
                           static_cast<std::size_t>(x)) *
                              4;
}

int distance(const std::uint8_t* a, const std::uint8_t* b) {
    int largest = 0;
    for (int c = 0; c < 3; ++c) {
        largest = std::max(largest, std::abs(a[c] - b[c]));
    }
    return largest;
}

int nearest(float value) {
    return static_cast<int>(std::nearbyint(value));
}

}  // namespace

Image referenceRowPass(const Image& in, int width, int height, float sigmaSpatial,
                       float sigmaRange) {
    const Coefficients k = coefficientsFor(sigmaSpatial, sigmaRange);
    const View source(in, width);
    Image out(in.size());
    std::vector<float> weight(static_cast<std::size_t>(width));
    std::vector<float> rightToLeft(static_cast<std::size_t>(width) * 4);
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            const bool last = x == width - 1;
            const std::uint8_t* next = source.pixel(x, y);
            if (!last) {
                next = source.pixel(x + 1, y);
            } else if (y + 1 < height) {
                next = source.pixel(0, y + 1);
            }
            weight[static_cast<std::size_t>(x)] = k.table[distance(source.pixel(x, y), next)];
        }
        for (int c = 0; c < 4; ++c) {
            float colour = source.pixel(width - 1, y)[c];
            float factor = 1.0f;
            for (int x = width - 1; x >= 0; --x) {
                const float w = weight[static_cast<std::size_t>(x)];
                colour = w * colour + k.invAlpha * float(source.pixel(x, y)[c]);
                factor = w * factor + k.invAlpha;
                rightToLeft[static_cast<std::size_t>(x) * 4 + static_cast<std::size_t>(c)] =
                    colour / factor;
            }
            colour = 0.0f;
            factor = 0.0f;
            for (int x = 0; x < width; ++x) {
                const float w = x == 0 ? 0.0f : weight[static_cast<std::size_t>(x - 1)];
                colour = w * colour + k.invAlpha * float(source.pixel(x, y)[c]);
                factor = w * factor + k.invAlpha;
                const float sum =
                    colour / factor +
                    rightToLeft[static_cast<std::size_t>(x) * 4 + static_cast<std::size_t>(c)];
                pixelOf(out, width, x, y)[c] = static_cast<std::uint8_t>(nearest(sum) / 2);
            }
        }
    }
    return out;
}

Image referenceColumnPass(const Image& rowFiltered, int width, int height, float sigmaSpatial,
                          float sigmaRange) {
    const Coefficients k = coefficientsFor(sigmaSpatial, sigmaRange);
    const View source(rowFiltered, width);
    Image out(rowFiltered.size());
    for (int x = 0; x < width; ++x) {
        for (int c = 0; c < 4; ++c) {
            const auto value = [&](int y) { return float(source.pixel(x, y)[c]); };
            pixelOf(out, width, x, height - 1)[c] = source.pixel(x, height - 1)[c];
            float colour = value(height - 1);
            float factor = 1.0f;
            for (int y = height - 2; y >= 0; --y) {
                const float w = k.table[distance(source.pixel(x, y), source.pixel(x, y + 1))];
                factor = k.invAlpha + w * factor;
                colour = k.invAlpha * value(y) + w * colour;
                pixelOf(out, width, x, y)[c] = static_cast<std::uint8_t>(nearest(colour / factor));
            }
            std::uint8_t* top = pixelOf(out, width, x, 0);
            top[c] = static_cast<std::uint8_t>((top[c] + source.pixel(x, 0)[c] + 1) / 2);
            colour = value(0);
            factor = 1.0f;
            for (int y = 1; y < height; ++y) {
                const float w = k.table[distance(source.pixel(x, y), source.pixel(x, y - 1))];
                factor = k.invAlpha + w * factor;
                colour = k.invAlpha * value(y) + w * colour;
                std::uint8_t* pixel = pixelOf(out, width, x, y);
                pixel[c] = static_cast<std::uint8_t>((pixel[c] + nearest(colour / factor) + 1) / 2);
            }
        }
    }
    return out;
}

Image referenceFilter(const Image& in, int width, int height, float sigmaSpatial,
                      float sigmaRange) {
    return referenceColumnPass(referenceRowPass(in, width, height, sigmaSpatial, sigmaRange), width,
                               height, sigmaSpatial, sigmaRange);
}

namespace {

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

int averageDistance(const std::uint8_t* a, const std::uint8_t* b) {
    int sum = 0;
    for (int c = 0; c < 4; ++c) {
        sum += std::abs(a[c] - b[c]);
    }
    return sum / 4;
}

// One running average along a line of pixels: `at(n)` is the n-th pixel of the line in the
// direction of travel, `value(n, c)` the value averaged there. Returns colour and factor per
// position.
struct Running {
    std::vector<float> colour;  // 4 per position
    std::vector<float> factor;
};

template <typename At, typename Value>
Running runAlong(int count, const Coefficients& k, At at, Value value) {
    Running run{std::vector<float>(static_cast<std::size_t>(count) * 4),
                std::vector<float>(static_cast<std::size_t>(count))};
    for (int n = 0; n < count; ++n) {
        const auto i = static_cast<std::size_t>(n);
        if (n == 0) {
            run.factor[i] = 1.0f;
            for (int c = 0; c < 4; ++c) {
                run.colour[i * 4 + static_cast<std::size_t>(c)] = value(n, c);
            }
            continue;
        }
        const float w = k.table[averageDistance(at(n), at(n - 1))];
        run.factor[i] = k.invAlpha + w * run.factor[i - 1];
        for (int c = 0; c < 4; ++c) {
            const std::size_t j = i * 4 + static_cast<std::size_t>(c);
            run.colour[j] = w * run.colour[j - 4] + k.invAlpha * value(n, c);
        }
    }
    return run;
}

}  // namespace

Image referenceScalarFilter(const Image& in, int width, int height, float sigmaSpatial,
                            float sigmaRange) {
    const Coefficients k = scalarCoefficientsFor(sigmaSpatial, sigmaRange);
    const View source(in, width);
    const auto index = [width](int x, int y) {
        return (static_cast<std::size_t>(y) * static_cast<std::size_t>(width) +
                static_cast<std::size_t>(x)) *
               4;
    };
    std::vector<float> rows(in.size());
    for (int y = 0; y < height; ++y) {
        const auto right = runAlong(
            width, k, [&](int n) { return source.pixel(n, y); },
            [&](int n, int c) { return float(source.pixel(n, y)[c]); });
        const int last = width - 1;
        const auto left = runAlong(
            width, k, [&](int n) { return source.pixel(last - n, y); },
            [&](int n, int c) { return float(source.pixel(last - n, y)[c]); });
        for (int x = 0; x < width; ++x) {
            const auto r = static_cast<std::size_t>(x);
            const auto l = static_cast<std::size_t>(last - x);
            const float factor = right.factor[r] + left.factor[l];
            for (int c = 0; c < 4; ++c) {
                const auto channel = static_cast<std::size_t>(c);
                rows[index(x, y) + channel] =
                    (right.colour[r * 4 + channel] + left.colour[l * 4 + channel]) / factor;
            }
        }
    }
    Image out(in.size());
    for (int x = 0; x < width; ++x) {
        const int last = height - 1;
        const auto down = runAlong(
            height, k, [&](int n) { return source.pixel(x, n); },
            [&](int n, int c) { return rows[index(x, n) + static_cast<std::size_t>(c)]; });
        const auto up = runAlong(
            height, k, [&](int n) { return source.pixel(x, last - n); },
            [&](int n, int c) { return rows[index(x, last - n) + static_cast<std::size_t>(c)]; });
        for (int y = 0; y < height; ++y) {
            const auto d = static_cast<std::size_t>(y);
            const auto u = static_cast<std::size_t>(last - y);
            const float inverse = 1.0f / (down.factor[d] + up.factor[u]);
            for (int c = 0; c < 4; ++c) {
                const auto channel = static_cast<std::size_t>(c);
                const float sum = down.colour[d * 4 + channel] + up.colour[u * 4 + channel];
                out[index(x, y) + channel] =
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
