#include "landmark_face_fitter.hpp"

#include <algorithm>
#include <cmath>

namespace velvix {
namespace {

// The looks are sampled over this much of the face box either side of its centre, in the mean
// shape's coordinates (the box spans -1 to +1): brows to chin, cheek to cheek.
constexpr double kLooksReach = 0.9;

// Least-squares affine map from mean-shape coordinates to the landmarks: for each axis of the
// picture, the coefficients of u, v and 1.
struct AffineMap {
    double x[3] = {0, 0, 0};
    double y[3] = {0, 0, 0};
};

bool solve3(double a[3][3], const double b[3], double result[3]) {
    const double determinant = a[0][0] * (a[1][1] * a[2][2] - a[1][2] * a[2][1]) -
                               a[0][1] * (a[1][0] * a[2][2] - a[1][2] * a[2][0]) +
                               a[0][2] * (a[1][0] * a[2][1] - a[1][1] * a[2][0]);
    if (std::abs(determinant) < 1e-12) {
        return false;
    }
    for (int column = 0; column < 3; ++column) {
        double replaced[3][3];
        for (int row = 0; row < 3; ++row) {
            for (int k = 0; k < 3; ++k) {
                replaced[row][k] = k == column ? b[row] : a[row][k];
            }
        }
        result[column] =
            (replaced[0][0] * (replaced[1][1] * replaced[2][2] - replaced[1][2] * replaced[2][1]) -
             replaced[0][1] * (replaced[1][0] * replaced[2][2] - replaced[1][2] * replaced[2][0]) +
             replaced[0][2] * (replaced[1][0] * replaced[2][1] - replaced[1][1] * replaced[2][0])) /
            determinant;
    }
    return true;
}

std::optional<AffineMap> affineMap(const LiteMat& meanShape, const FaceLandmarks& landmarks) {
    double normal[3][3] = {};
    double towardsX[3] = {};
    double towardsY[3] = {};
    const int count = std::min<int>(meanShape.rows(), kLandmarkCount);
    for (int k = 0; k < count; ++k) {
        const double basis[3] = {meanShape.at(k, 0), meanShape.at(k, 1), 1.0};
        const PointF point = landmarks[static_cast<std::size_t>(k)];
        for (int i = 0; i < 3; ++i) {
            for (int j = 0; j < 3; ++j) {
                normal[i][j] += basis[i] * basis[j];
            }
            towardsX[i] += basis[i] * point.x;
            towardsY[i] += basis[i] * point.y;
        }
    }
    AffineMap map;
    if (!solve3(normal, towardsX, map.x) || !solve3(normal, towardsY, map.y)) {
        return std::nullopt;
    }
    return map;
}

float bilinear(const LiteMat& grey, double x, double y) {
    x = std::clamp(x, 0.0, static_cast<double>(grey.cols() - 1));
    y = std::clamp(y, 0.0, static_cast<double>(grey.rows() - 1));
    const int left = std::min(static_cast<int>(x), grey.cols() - 2);
    const int top = std::min(static_cast<int>(y), grey.rows() - 2);
    const double fx = x - left;
    const double fy = y - top;
    const double upper = grey.byteAt(top, left) * (1 - fx) + grey.byteAt(top, left + 1) * fx;
    const double lower =
        grey.byteAt(top + 1, left) * (1 - fx) + grey.byteAt(top + 1, left + 1) * fx;
    return static_cast<float>(upper * (1 - fy) + lower * fy);
}

}  // namespace

FaceLandmarks landmarksOf(const LiteMat& shape) {
    FaceLandmarks landmarks;
    for (int k = 0; k < kLandmarkCount; ++k) {
        landmarks[static_cast<std::size_t>(k)] = {shape.at(k, 0), shape.at(k, 1)};
    }
    return landmarks;
}

LandmarkFaceFitter::LandmarkFaceFitter(const LandmarkModel& model) : model_(model) {}

std::optional<FaceLandmarks> LandmarkFaceFitter::fit(int slot, const FaceBox& box, bool compare) {
    const FaceLandmarks landmarks = landmarksOf(fitLandmarks(grey_->around(box), box, model_));
    if (compare) {
        const Looks looks = looksAt(landmarks);
        const Looks& remembered = remembered_.at(static_cast<std::size_t>(slot));
        lastCorrelation_ = 0;
        for (std::size_t i = 0; i < looks.size(); ++i) {
            lastCorrelation_ += looks[i] * remembered[i];
        }
        if (!(lastCorrelation_ >= kSameFaceCorrelation)) {
            return std::nullopt;
        }
    }
    return landmarks;
}

void LandmarkFaceFitter::remember(int slot, const FaceLandmarks& landmarks) {
    remembered_.at(static_cast<std::size_t>(slot)) = looksAt(landmarks);
}

FaceBox LandmarkFaceFitter::boxAround(const FaceLandmarks& landmarks) const {
    return boxAroundLandmarks(landmarks, model_.meanShape);
}

LandmarkFaceFitter::Looks LandmarkFaceFitter::looksAt(const FaceLandmarks& landmarks) const {
    Looks looks{};
    const auto map = affineMap(model_.meanShape, landmarks);
    if (!map || grey_ == nullptr) {
        return looks;
    }
    const LiteMat& grey = grey_->around(boxAround(landmarks));
    double sum = 0;
    for (int row = 0; row < kSide; ++row) {
        const double v = kLooksReach * (2 * (row + 0.5) / kSide - 1);
        for (int column = 0; column < kSide; ++column) {
            const double u = kLooksReach * (2 * (column + 0.5) / kSide - 1);
            const double x = map->x[0] * u + map->x[1] * v + map->x[2];
            const double y = map->y[0] * u + map->y[1] * v + map->y[2];
            const float value = bilinear(grey, x, y);
            looks[static_cast<std::size_t>(row * kSide + column)] = value;
            sum += value;
        }
    }
    const auto mean = static_cast<float>(sum / looks.size());
    double squares = 0;
    for (float& value : looks) {
        value -= mean;
        squares += double{value} * value;
    }
    if (squares <= 0) {
        looks.fill(0);
        return looks;
    }
    const auto scale = static_cast<float>(1 / std::sqrt(squares));
    for (float& value : looks) {
        value *= scale;
    }
    return looks;
}

}  // namespace velvix
