#include "overlay.hpp"

#include <algorithm>
#include <array>
#include <cmath>

namespace velvix::process_tool {
namespace {

using Colour = std::array<std::uint8_t, 3>;

constexpr Colour kRectangleColour{40, 220, 90};
constexpr Colour kBoxColour{250, 210, 40};
constexpr Colour kOutlineColour{60, 140, 255};
constexpr Colour kLandmarkColour{240, 50, 50};

class Canvas {
  public:
    Canvas(std::vector<std::uint8_t>& rgb, FrameSize size) : rgb_(rgb), size_(size) {}

    void dot(int x, int y, const Colour& colour) {
        if (x < 0 || y < 0 || x >= size_.width || y >= size_.height) {
            return;
        }
        std::copy(colour.begin(), colour.end(),
                  rgb_.begin() + (static_cast<std::ptrdiff_t>(y) * size_.width + x) * 3);
    }

    void outline(float left, float top, float right, float bottom, int thickness,
                 const Colour& colour) {
        const int x0 = static_cast<int>(std::floor(left));
        const int y0 = static_cast<int>(std::floor(top));
        const int x1 = static_cast<int>(std::ceil(right));
        const int y1 = static_cast<int>(std::ceil(bottom));
        for (int t = 0; t < thickness; ++t) {
            for (int x = x0; x <= x1; ++x) {
                dot(x, y0 + t, colour);
                dot(x, y1 - t, colour);
            }
            for (int y = y0; y <= y1; ++y) {
                dot(x0 + t, y, colour);
                dot(x1 - t, y, colour);
            }
        }
    }

    void line(Point from, Point to, int radius, const Colour& colour) {
        const float length = std::hypot(to.x - from.x, to.y - from.y);
        const int steps = std::max(1, static_cast<int>(std::ceil(length)));
        for (int k = 0; k <= steps; ++k) {
            const float t = static_cast<float>(k) / static_cast<float>(steps);
            disc(from.x + t * (to.x - from.x), from.y + t * (to.y - from.y), radius, colour);
        }
    }

    void disc(float x, float y, int radius, const Colour& colour) {
        const int cx = static_cast<int>(std::lround(x));
        const int cy = static_cast<int>(std::lround(y));
        for (int dy = -radius; dy <= radius; ++dy) {
            for (int dx = -radius; dx <= radius; ++dx) {
                if (dx * dx + dy * dy <= radius * radius) {
                    dot(cx + dx, cy + dy, colour);
                }
            }
        }
    }

  private:
    std::vector<std::uint8_t>& rgb_;
    FrameSize size_;
};

}  // namespace

void drawOverlay(std::vector<std::uint8_t>& rgb, FrameSize size, const UprightFace& face) {
    if (!face.accepted) {
        return;
    }
    Canvas canvas(rgb, size);
    const int line = std::max(1, size.width / 400);
    canvas.outline(static_cast<float>(face.x), static_cast<float>(face.y),
                   static_cast<float>(face.x + face.width - 1),
                   static_cast<float>(face.y + face.height - 1), line + 1, kRectangleColour);
    for (std::size_t k = 0; k < face.maskOutline.size(); ++k) {
        canvas.line(face.maskOutline[k], face.maskOutline[(k + 1) % face.maskOutline.size()],
                    line / 2, kOutlineColour);
    }
    for (const auto& feature : face.featureOutlines) {
        for (std::size_t k = 0; k < feature.size(); ++k) {
            canvas.line(feature[k], feature[(k + 1) % feature.size()], line / 2, kBoxColour);
        }
    }
    for (const auto& box : face.protectedBoxes) {
        if (box[0] < box[2] && box[1] < box[3]) {
            canvas.outline(box[0], box[1], box[2], box[3], line, kBoxColour);
        }
    }
    for (const Point& point : face.landmarks) {
        canvas.disc(point.x, point.y, line + 1, kLandmarkColour);
    }
}

}  // namespace velvix::process_tool
