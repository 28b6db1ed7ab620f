#include "drawn_faces.hpp"

#include <algorithm>
#include <cmath>

namespace velvix::testing {
namespace {

constexpr int kSide = 160;

// A fixed layout in -1 ... 1: a grid of 10 x 10 places (the last two unused), far enough
// apart that each point's spot stands alone.
train::Point layoutPoint(int k) {
    return {-0.9f + 0.2f * static_cast<float>(k % 10), -0.9f + 0.2f * static_cast<float>(k / 10)};
}

train::TrainingFace drawnFace(std::mt19937& random) {
    std::uniform_real_distribution<float> shift(-6.0f, 6.0f);
    std::uniform_real_distribution<float> size(48.0f, 56.0f);
    std::uniform_real_distribution<float> turn(-0.15f, 0.15f);
    std::normal_distribution<float> wobble(0.0f, 0.01f);
    std::uniform_real_distribution<float> boxShift(-0.04f, 0.04f);
    std::uniform_real_distribution<float> boxScale(0.94f, 1.06f);
    const float scale = size(random);
    const float angle = turn(random);
    const float centreX = kSide / 2.0f + shift(random);
    const float centreY = kSide / 2.0f + shift(random);
    train::TrainingFace face;
    face.name = "drawn";
    for (int k = 0; k < 98; ++k) {
        const train::Point p = layoutPoint(k);
        const float x = p.x + wobble(random);
        const float y = p.y + wobble(random);
        face.points.push_back({centreX + scale * (std::cos(angle) * x - std::sin(angle) * y),
                               centreY + scale * (std::sin(angle) * x + std::cos(angle) * y)});
    }
    face.image.width = kSide;
    face.image.height = kSide;
    face.image.pixels.resize(kSide * kSide);
    for (int y = 0; y < kSide; ++y) {
        for (int x = 0; x < kSide; ++x) {
            face.image.pixels[static_cast<std::size_t>(y * kSide + x)] =
                static_cast<std::uint8_t>(190 + (x * 7 + y * 13) % 17);
        }
    }
    for (const train::Point& p : face.points) {
        for (int y = std::max(0, static_cast<int>(p.y) - 3);
             y <= std::min(kSide - 1, static_cast<int>(p.y) + 3); ++y) {
            for (int x = std::max(0, static_cast<int>(p.x) - 3);
                 x <= std::min(kSide - 1, static_cast<int>(p.x) + 3); ++x) {
                const float distance =
                    std::hypot(static_cast<float>(x) - p.x, static_cast<float>(y) - p.y);
                auto& pixel = face.image.pixels[static_cast<std::size_t>(y * kSide + x)];
                pixel = std::min<std::uint8_t>(
                    pixel, static_cast<std::uint8_t>(std::clamp(distance * 60.0f, 20.0f, 255.0f)));
            }
        }
    }
    // A detector's box sits a little off the points.
    const FaceBox tight = train::boxAroundPoints(face.points);
    const float width = tight.width * boxScale(random);
    const float height = tight.height * boxScale(random);
    face.box = FaceBox::fromRectangle(tight.centreX + boxShift(random) * tight.width - width / 2,
                                      tight.centreY + boxShift(random) * tight.height - height / 2,
                                      width, height);
    return face;
}

}  // namespace

std::vector<train::TrainingFace> drawnFaces(int count, std::mt19937& random) {
    std::vector<train::TrainingFace> faces;
    for (int k = 0; k < count; ++k) {
        faces.push_back(drawnFace(random));
    }
    return faces;
}

}  // namespace velvix::testing
