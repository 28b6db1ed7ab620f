#pragma once

#include <array>

#include "velvix/face/face_tracker.hpp"
#include "velvix/face/landmark_model.hpp"

namespace velvix {

// The fitter's L x 2 shape (98 points) as landmarks.
FaceLandmarks landmarksOf(const LiteMat& shape);

// The grey picture of the current frame as a fit reads it: brought up to date around a box
// before the fit reads there, so that a frame need not be converted whole.
class GreyFrame {
  public:
    virtual ~GreyFrame() = default;
    // The whole picture, up to date at least where a fit of the landmarks in `box` reads.
    virtual const LiteMat& around(const FaceBox& box) = 0;
};

// The landmark model's fit, judged by the face's looks: a small grey picture of the face,
// sampled in the frame of its own landmarks (so that it moves, turns and scales with the face),
// compared by normalised correlation with the one remembered when the face was found, one
// face per slot.
class LandmarkFaceFitter final : public FaceFitter {
  public:
    static constexpr int kSide = 16;
    // Correlation below which the fit is taken for another picture than the face.
    static constexpr float kSameFaceCorrelation = 0.5f;

    explicit LandmarkFaceFitter(const LandmarkModel& model);

    // The grey picture of the current frame, for the calls that follow until the next.
    void setPicture(GreyFrame* grey) { grey_ = grey; }

    std::optional<FaceLandmarks> fit(int slot, const FaceBox& box, bool compare) override;
    void remember(int slot, const FaceLandmarks& landmarks) override;
    FaceBox boxAround(const FaceLandmarks& landmarks) const override;

    using Looks = std::array<float, kSide * kSide>;
    // The face's looks at these landmarks: mean 0 and length 1, or all 0 for a flat picture.
    Looks looksAt(const FaceLandmarks& landmarks) const;
    float lastCorrelation() const { return lastCorrelation_; }

  private:
    const LandmarkModel& model_;
    GreyFrame* grey_ = nullptr;
    std::array<Looks, kMaxFaces> remembered_{};
    float lastCorrelation_ = 0;
};

}  // namespace velvix
