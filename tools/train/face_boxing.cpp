#include "face_boxing.hpp"

#include <algorithm>
#include <cstring>

#include "velvix/face/face_rectangle.hpp"
#include "velvix/filters/bilinear_scale.hpp"
#include "velvix/filters/smoothing.hpp"

namespace velvix::train {
namespace {

ColourPicture mirrored(const ColourPicture& picture) {
    ColourPicture result = picture;
    const auto width = static_cast<std::size_t>(picture.width);
    for (std::size_t row = 0; row < static_cast<std::size_t>(picture.height); ++row) {
        const std::uint8_t* source = picture.pixels.data() + row * width * 3;
        std::uint8_t* destination = result.pixels.data() + row * width * 3;
        for (std::size_t column = 0; column < width; ++column) {
            std::memcpy(destination + column * 3, source + (width - 1 - column) * 3, 3);
        }
    }
    return result;
}

}  // namespace

std::optional<FaceBox> detectedFaceBox(FaceDetector& detector, const ColourPicture& picture,
                                       const std::vector<Point>& points) {
    const FrameSize size{picture.width, picture.height};
    const FrameSize small{size.width / 4, size.height / 4};
    if (small.width < kMinimumResizeWidth || small.height < 2) {
        return std::nullopt;
    }
    const ColourPicture turned = mirrored(picture);
    std::vector<std::uint8_t> smallPixels(static_cast<std::size_t>(small.width) *
                                          static_cast<std::size_t>(small.height) * 3);
    const Picture smallPicture = packedPicture(smallPixels.data(), small, 3);
    resizeBilinear(packedPicture<const std::uint8_t>(turned.pixels.data(), size, 3), smallPicture);
    // The face the face step reports: the widest it accepts.
    const std::vector<FaceRectangle> rectangles =
        chooseFaceRectangles(detector.detect(smallPicture), size, faceRectangleGrid());
    const auto accepted =
        std::find_if(rectangles.begin(), rectangles.end(), acceptableFaceRectangle);
    if (accepted == rectangles.end()) {
        return std::nullopt;
    }
    const FaceRectangle& rectangle = *accepted;
    const auto left = static_cast<float>(size.width - rectangle.x - rectangle.width);
    const FaceBox box = FaceBox::fromRectangle(left, static_cast<float>(rectangle.y),
                                               static_cast<float>(rectangle.width),
                                               static_cast<float>(rectangle.height));
    const FaceBox around = boxAroundPoints(points);
    if (std::abs(box.centreX - around.centreX) > around.scaleX ||
        std::abs(box.centreY - around.centreY) > around.scaleY) {
        return std::nullopt;
    }
    return box;
}

BoxRelation BoxRelation::measured(const std::vector<FaceBox>& detected,
                                  const std::vector<FaceBox>& pointBoxes) {
    BoxRelation relation;
    if (detected.empty()) {
        return relation;
    }
    double sums[4] = {0, 0, 0, 0};
    for (std::size_t k = 0; k < detected.size(); ++k) {
        const FaceBox& d = detected[k];
        const FaceBox& p = pointBoxes[k];
        sums[0] += (d.centreX - p.centreX) / p.width;
        sums[1] += (d.centreY - p.centreY) / p.height;
        sums[2] += d.width / p.width;
        sums[3] += d.height / p.height;
    }
    const auto n = static_cast<double>(detected.size());
    relation.centreX = static_cast<float>(sums[0] / n);
    relation.centreY = static_cast<float>(sums[1] / n);
    relation.width = static_cast<float>(sums[2] / n);
    relation.height = static_cast<float>(sums[3] / n);
    return relation;
}

FaceBox BoxRelation::applied(const FaceBox& pointBox) const {
    const float w = pointBox.width * width;
    const float h = pointBox.height * height;
    return FaceBox::fromRectangle(pointBox.centreX + centreX * pointBox.width - w / 2,
                                  pointBox.centreY + centreY * pointBox.height - h / 2, w, h);
}

}  // namespace velvix::train
