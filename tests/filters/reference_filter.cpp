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
