#include "face_data.hpp"

#include <stb_image.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "face_boxing.hpp"
#include "landmark_mapping.hpp"
#include "velvix/pipeline/pixels.hpp"

namespace velvix::train {

LiteMat GreyImage::view() const {
    return LiteMat::external(LiteMat::kUint8, height, width,
                             const_cast<std::uint8_t*>(pixels.data()));
}

std::optional<std::vector<Point>> readPointsFile(const std::string& path) {
    std::ifstream file(path);
    std::string line;
    std::size_t expected = 0;
    std::vector<Point> points;
    bool inside = false;
    while (std::getline(file, line)) {
        if (line.rfind("n_points:", 0) == 0) {
            expected = static_cast<std::size_t>(std::stoul(line.substr(9)));
        } else if (line.find('{') != std::string::npos) {
            inside = true;
        } else if (line.find('}') != std::string::npos) {
            break;
        } else if (inside) {
            std::istringstream values(line);
            Point point;
            if (!(values >> point.x >> point.y)) {
                return std::nullopt;
            }
            points.push_back(point);
        }
    }
    if (points.empty() || points.size() != expected) {
        return std::nullopt;
    }
    return points;
}

std::string folderProblem(const std::vector<std::string>& folders) {
    for (const std::string& folder : folders) {
        if (folder.empty()) {
            continue;
        }
        std::error_code error;
        if (!std::filesystem::is_directory(folder, error)) {
            return folder + ": " + (error ? error.message() : "not a folder");
        }
        std::filesystem::directory_iterator(folder, error);
        if (error) {
            return folder + ": " + error.message();
        }
    }
    return "";
}

std::vector<std::filesystem::path> annotatedPictures(const std::string& folder) {
    std::vector<std::filesystem::path> photos;
    for (const auto& entry : std::filesystem::directory_iterator(folder)) {
        if (entry.path().extension() == ".jpg") {
            photos.push_back(entry.path());
        }
    }
    std::sort(photos.begin(), photos.end());
    return photos;
}

std::optional<ColourPicture> readColourPicture(const std::string& path) {
    int width = 0;
    int height = 0;
    int channels = 0;
    stbi_uc* rgb = stbi_load(path.c_str(), &width, &height, &channels, 3);
    if (rgb == nullptr) {
        return std::nullopt;
    }
    ColourPicture picture{
        width, height,
        std::vector<std::uint8_t>(
            rgb, rgb + static_cast<std::size_t>(width) * static_cast<std::size_t>(height) * 3)};
    stbi_image_free(rgb);
    for (std::size_t i = 0; i < picture.pixels.size(); i += 3) {
        std::swap(picture.pixels[i], picture.pixels[i + 2]);
    }
    return picture;
}

GreyImage greyOf(const ColourPicture& picture) {
    GreyImage image{picture.width, picture.height,
                    std::vector<std::uint8_t>(static_cast<std::size_t>(picture.width) *
                                              static_cast<std::size_t>(picture.height))};
    greyFromFrame(packedPicture<const std::uint8_t>(picture.pixels.data(),
                                                    {picture.width, picture.height}, 3),
                  image.pixels.data());
    return image;
}

FaceBox boxAroundPoints(const std::vector<Point>& points) {
    float left = points.front().x;
    float right = left;
    float top = points.front().y;
    float bottom = top;
    for (const Point& p : points) {
        left = std::min(left, p.x);
        right = std::max(right, p.x);
        top = std::min(top, p.y);
        bottom = std::max(bottom, p.y);
    }
    return FaceBox::fromRectangle(left, top, right - left, bottom - top);
}

std::vector<TrainingFace> readFaceFolder(const std::string& folder, int limit,
                                         FaceDetector* detector) {
    std::vector<TrainingFace> faces;
    std::vector<FaceBox> detectedBoxes;
    std::vector<FaceBox> theirPointBoxes;
    for (const auto& photo : annotatedPictures(folder)) {
        if (limit > 0 && static_cast<int>(faces.size()) >= limit) {
            break;
        }
        auto points = readPointsFile(std::filesystem::path(photo).replace_extension(".pts"));
        if (!points || (points->size() != 68 && points->size() != 98)) {
            continue;
        }
        const auto picture = readColourPicture(photo.string());
        if (!picture) {
            continue;
        }
        TrainingFace face;
        face.name = photo.stem().string();
        face.image = greyOf(*picture);
        face.points = points->size() == 68 ? pointsFrom68(*points) : std::move(*points);
        face.box = boxAroundPoints(face.points);
        if (detector != nullptr) {
            if (const auto box = detectedFaceBox(*detector, *picture, face.points)) {
                detectedBoxes.push_back(*box);
                theirPointBoxes.push_back(face.box);
                face.box = *box;
                face.detected = true;
            }
        }
        faces.push_back(std::move(face));
    }
    const BoxRelation relation = BoxRelation::measured(detectedBoxes, theirPointBoxes);
    for (TrainingFace& face : faces) {
        if (!face.detected) {
            face.box = relation.applied(face.box);
        }
    }
    return faces;
}

LiteMat shapeOf(const std::vector<Point>& points) {
    LiteMat shape(LiteMat::kFloat32, static_cast<std::int32_t>(points.size()), 2);
    for (std::size_t k = 0; k < points.size(); ++k) {
        shape.at(static_cast<std::int32_t>(k), 0) = points[k].x;
        shape.at(static_cast<std::int32_t>(k), 1) = points[k].y;
    }
    return shape;
}

std::vector<Point> pointsOf(const LiteMat& shape) {
    std::vector<Point> points(static_cast<std::size_t>(shape.rows()));
    for (std::int32_t k = 0; k < shape.rows(); ++k) {
        points[static_cast<std::size_t>(k)] = {shape.at(k, 0), shape.at(k, 1)};
    }
    return points;
}

float normalisedMeanError(const std::vector<Point>& fitted, const std::vector<Point>& truth,
                          const std::vector<int>& indices) {
    std::vector<int> chosen = indices;
    if (chosen.empty()) {
        for (int i = 0; i < static_cast<int>(truth.size()); ++i) {
            chosen.push_back(i);
        }
    }
    double sum = 0.0;
    for (int i : chosen) {
        const auto k = static_cast<std::size_t>(i);
        sum += std::hypot(fitted[k].x - truth[k].x, fitted[k].y - truth[k].y);
    }
    const Point a = truth[kOuterEyeCornerLeft];
    const Point b = truth[kOuterEyeCornerRight];
    const double eyes = std::hypot(a.x - b.x, a.y - b.y);
    return static_cast<float>(sum / static_cast<double>(chosen.size()) / eyes);
}

}  // namespace velvix::train
