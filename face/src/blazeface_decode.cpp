#include <algorithm>
#include <cmath>

#include "blazeface.hpp"

namespace velvix {
namespace {

// The score's logit is clamped before the sigmoid, so that a wild value stays a number.
constexpr float kLogitLimit = 100.0f;

float sigmoid(float logit) {
    return 1.0f / (1.0f + std::exp(-std::clamp(logit, -kLogitLimit, kLogitLimit)));
}

void decodeGrid(const float* scores, const float* boxes, int cells, int anchorsPerCell,
                int inputSide, float minimumScore, std::vector<ScoredFace>& faces) {
    const float cellSide = static_cast<float>(inputSide) / static_cast<float>(cells);
    const int anchors = cells * cells * anchorsPerCell;
    for (int anchor = 0; anchor < anchors; ++anchor) {
        const float score = sigmoid(scores[anchor]);
        if (score < minimumScore) {
            continue;
        }
        const int cell = anchor / anchorsPerCell;
        const float anchorX = (static_cast<float>(cell % cells) + 0.5f) * cellSide;
        const float anchorY = (static_cast<float>(cell / cells) + 0.5f) * cellSide;
        const float* box = boxes + static_cast<std::ptrdiff_t>(anchor) * kBlazeFaceRegressors;
        const float width = box[2];
        const float height = box[3];
        ScoredFace face{score, anchorX + box[0] - width / 2, anchorY + box[1] - height / 2, width,
                        height};
        for (int k = 0; k < kBlazeFaceKeypoints; ++k) {
            face.keypoints[static_cast<std::size_t>(k)] = {anchorX + box[4 + 2 * k],
                                                           anchorY + box[5 + 2 * k]};
        }
        faces.push_back(face);
    }
}

float overlapOf(const ScoredFace& a, const ScoredFace& b) {
    const float width = std::min(a.x + a.width, b.x + b.width) - std::max(a.x, b.x);
    const float height = std::min(a.y + a.height, b.y + b.height) - std::max(a.y, b.y);
    if (width <= 0 || height <= 0) {
        return 0;
    }
    const float common = width * height;
    return common / (a.width * a.height + b.width * b.height - common);
}

}  // namespace

void decodeBlazeFace(const BlazeFaceOutputs& outputs, int inputSide, float minimumScore,
                     std::vector<ScoredFace>& faces) {
    if (outputs.fineBoxes == nullptr) {
        return;
    }
    decodeGrid(outputs.fineScores, outputs.fineBoxes, kBlazeFaceFineCells,
               kBlazeFaceFineAnchorsPerCell, inputSide, minimumScore, faces);
    decodeGrid(outputs.coarseScores, outputs.coarseBoxes, kBlazeFaceCoarseCells,
               kBlazeFaceCoarseAnchorsPerCell, inputSide, minimumScore, faces);
}

void mergeOverlappingFaces(std::vector<ScoredFace>& faces, float overlap,
                           std::vector<ScoredFace>& merged) {
    merged.clear();
    std::stable_sort(faces.begin(), faces.end(),
                     [](const ScoredFace& a, const ScoredFace& b) { return a.score > b.score; });
    std::vector<bool> taken(faces.size(), false);
    for (std::size_t best = 0; best < faces.size(); ++best) {
        if (taken[best]) {
            continue;
        }
        float weights = 0;
        ScoredFace mean{faces[best].score, 0, 0, 0, 0, {}};
        for (std::size_t other = best; other < faces.size(); ++other) {
            const bool same = other == best || overlapOf(faces[best], faces[other]) > overlap;
            if (taken[other] || !same) {
                continue;
            }
            taken[other] = true;
            const ScoredFace& face = faces[other];
            weights += face.score;
            mean.x += face.score * face.x;
            mean.y += face.score * face.y;
            mean.width += face.score * face.width;
            mean.height += face.score * face.height;
            for (std::size_t k = 0; k < mean.keypoints.size(); ++k) {
                mean.keypoints[k].x += face.score * face.keypoints[k].x;
                mean.keypoints[k].y += face.score * face.keypoints[k].y;
            }
        }
        mean.x /= weights;
        mean.y /= weights;
        mean.width /= weights;
        mean.height /= weights;
        for (PointF& point : mean.keypoints) {
            point = {point.x / weights, point.y / weights};
        }
        merged.push_back(mean);
    }
}

}  // namespace velvix
