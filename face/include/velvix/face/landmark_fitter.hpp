#pragma once

#include <algorithm>
#include <cmath>

#include "velvix/face/landmark_model.hpp"
#include "velvix/face/lite_mat.hpp"

namespace velvix {

// A face box as the fitter takes it; only the centre and the half sizes (scale) are used.
struct FaceBox {
    float x = 0;
    float y = 0;
    float centreX = 0;
    float centreY = 0;
    float scaleX = 0;
    float scaleY = 0;
    float width = 0;
    float height = 0;

    static FaceBox fromRectangle(float left, float top, float width, float height);
};

struct SimilarityTransform {
    float scale = 1.0f;
    LiteMat rotation;  // 2 x 2, (cos, -sin; sin, cos)
};

// Absolute image coordinates to box coordinates (the box spans -1 to +1), and back.
LiteMat project(const LiteMat& shape, const FaceBox& box);
LiteMat reproject(const LiteMat& shape, const FaceBox& box);

// The scale and rotation that carry shape `from` onto shape `to` (both L x 2).
SimilarityTransform similarityTransform(const LiteMat& from, const LiteMat& to);

// A sample position (a column or row) kept inside an image `size` pixels across; a position
// that is not a number reads column or row 0. Inline, as a fit takes some 24,000 samples.
inline int clampedSamplePosition(float position, int size) {
    if (std::isnan(position)) {
        return 0;
    }
    return static_cast<int>(std::clamp(position, 0.0f, static_cast<float>(size - 1)));
}

// The leaf each tree of a stage reaches on the grey image around the current (absolute)
// shape, as column indices into the stage's weights: 1 x (L x T) int32 values.
LiteMat localBinaryFeatures(const LandmarkModel& model, std::int32_t stage, const LiteMat& image,
                            const LiteMat& current, const FaceBox& box,
                            const SimilarityTransform& transform);

// The box-coordinate displacement of every landmark (L x 2) that a stage's weights give for
// the features.
LiteMat globalRegression(const LandmarkModel& model, std::int32_t stage, const LiteMat& features);

// One stage of the fit: the absolute shape `current` moved by the stage's regression. The
// trainer runs the stages one at a time, as it builds them.
LiteMat fitStage(const LiteMat& image, const FaceBox& box, const LandmarkModel& model,
                 std::int32_t stage, const LiteMat& current);

// Places the model's landmarks on the face in `box` of the 8-bit grey `image`; the result is
// L x 2 floats in image coordinates.
LiteMat fitLandmarks(const LiteMat& image, const FaceBox& box, const LandmarkModel& model);

}  // namespace velvix
