#include "augmentation.hpp"

#include <cmath>
#include <numbers>

#include "velvix/pipeline/landmark_layout.hpp"

namespace velvix::train {
namespace {

std::uint8_t bilinearSample(const GreyImage& image, float x, float y) {
    if (x < 0 || y < 0 || x > static_cast<float>(image.width - 1) ||
        y > static_cast<float>(image.height - 1)) {
        return 0;
    }
    const int x0 = static_cast<int>(x);
    const int y0 = static_cast<int>(y);
    const int x1 = std::min(x0 + 1, image.width - 1);
    const int y1 = std::min(y0 + 1, image.height - 1);
    const float fx = x - static_cast<float>(x0);
    const float fy = y - static_cast<float>(y0);
    const float top = image.at(x0, y0) * (1 - fx) + image.at(x1, y0) * fx;
    const float bottom = image.at(x0, y1) * (1 - fx) + image.at(x1, y1) * fx;
    return static_cast<std::uint8_t>(top * (1 - fy) + bottom * fy + 0.5f);
}

}  // namespace

TrainingFace mirroredFace(const TrainingFace& face) {
    TrainingFace mirrored = face;
    mirrored.name += "_mirrored";
    const int width = face.image.width;
    for (int y = 0; y < face.image.height; ++y) {
        for (int x = 0; x < width; ++x) {
            mirrored.image.pixels[static_cast<std::size_t>(y * width + x)] =
                face.image.at(width - 1 - x, y);
        }
    }
    for (std::size_t k = 0; k < face.points.size(); ++k) {
        const Point& source = face.points[kMirroredLandmark[k]];
        mirrored.points[k] = {static_cast<float>(width - 1) - source.x, source.y};
    }
    mirrored.box =
        FaceBox::fromRectangle(static_cast<float>(width - 1) - face.box.x - face.box.width,
                               face.box.y, face.box.width, face.box.height);
    return mirrored;
}

TrainingFace rotatedFace(const TrainingFace& face, float degrees) {
    TrainingFace rotated = face;
    rotated.name += "_turned";
    const float angle = degrees * std::numbers::pi_v<float> / 180.0f;
    const float c = std::cos(angle);
    const float s = std::sin(angle);
    const float cx = face.box.centreX;
    const float cy = face.box.centreY;
    // Each output pixel reads the source where the inverse turn takes it.
    for (int y = 0; y < face.image.height; ++y) {
        for (int x = 0; x < face.image.width; ++x) {
            const float dx = static_cast<float>(x) - cx;
            const float dy = static_cast<float>(y) - cy;
            rotated.image.pixels[static_cast<std::size_t>(y * face.image.width + x)] =
                bilinearSample(face.image, c * dx + s * dy + cx, -s * dx + c * dy + cy);
        }
    }
    for (std::size_t k = 0; k < face.points.size(); ++k) {
        const float dx = face.points[k].x - cx;
        const float dy = face.points[k].y - cy;
        rotated.points[k] = {c * dx - s * dy + cx, s * dx + c * dy + cy};
    }
    rotated.box = boxAroundPoints(rotated.points);
    return rotated;
}

TrainingFace jitteredBox(const TrainingFace& face, float factor, float shiftX, float shiftY) {
    TrainingFace jittered = face;
    const float width = face.box.width * factor;
    const float height = face.box.height * factor;
    jittered.box = FaceBox::fromRectangle(face.box.centreX + shiftX * face.box.width - width / 2,
                                          face.box.centreY + shiftY * face.box.height - height / 2,
                                          width, height);
    return jittered;
}

std::vector<TrainingFace> augmentedFaces(const std::vector<TrainingFace>& faces,
                                         const AugmentationOptions& options, std::mt19937& random) {
    std::vector<TrainingFace> originals = faces;
    if (options.mirror) {
        for (const TrainingFace& face : faces) {
            originals.push_back(mirroredFace(face));
        }
    }
    std::uniform_real_distribution<float> degrees(-options.maximumDegrees, options.maximumDegrees);
    std::uniform_real_distribution<float> scale(1 - options.scaleJitter, 1 + options.scaleJitter);
    std::uniform_real_distribution<float> shift(-options.scaleJitter / 2, options.scaleJitter / 2);
    std::vector<TrainingFace> result;
    for (const TrainingFace& face : originals) {
        result.push_back(jitteredBox(face, scale(random), shift(random), shift(random)));
        for (int k = 0; k < options.rotations; ++k) {
            result.push_back(jitteredBox(rotatedFace(face, degrees(random)), scale(random),
                                         shift(random), shift(random)));
        }
    }
    return result;
}

}  // namespace velvix::train
