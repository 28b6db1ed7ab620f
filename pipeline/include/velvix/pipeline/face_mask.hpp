#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>

#include "velvix/pipeline/face_outputs.hpp"
#include "velvix/pipeline/frame_size.hpp"

// The smoothing mask of a frame with a face: an alpha of 0 (the pixel stays as it is) to 255
// (it takes its smoothed value) per pixel, shaped like the face and with a soft edge, so that
// nothing off the face changes and nothing on it shows a seam.
namespace velvix {

// The outline closes over the forehead along the upper brow edges, raised by this share of the
// height from the brows to the chin. Measured on the annotated faces, the skin of a visible
// forehead ends at a median of 0.30 to 0.31 of that height above the brows, and 0.45 reaches
// the hairline of 90 % of them (docs/developer/smoothing.md says how).
inline constexpr float kForeheadShare = 0.45f;
// The soft edge lies inside the outline: alpha rises from 0 on the outline to 255 this share
// of the face's width further in.
inline constexpr float kSoftEdgeShare = 0.05f;
// The widest soft edge, in pixels (faces wider than 2500 pixels get a narrower share).
inline constexpr int kSoftEdgeMaximum = 126;
inline constexpr int kOutlinePointsMaximum = 48;
// The eyes with their lids, the brows, the nostrils and the lips are kept as they are within
// their landmarks' outline grown by this share of the face's width, and smoothing comes back
// over a soft edge as wide as the face's beyond it: the skin under an eye or beside the mouth
// meets no line where smoothing stops.
inline constexpr float kFeatureMarginShare = 0.03f;
// The upper lid reaches from the lid's edge this share of the way up to the brow's underside.
inline constexpr float kUpperLidShare = 0.4f;
inline constexpr int kFeatureCount = 6;

// A closed convex polygon and the width of the soft edge inside it.
struct FaceOutline {
    std::array<PointF, kOutlinePointsMaximum> points{};
    int count = 0;
    float softEdge = 0;  // pixels
};

// The face in the landmarks' own coordinates: the convex hull of the jaw line (points 0 to 32)
// and the upper edges of both brows raised by kForeheadShare of the height from the brows'
// middle to the chin (point 16). The soft edge is kSoftEdgeShare of the distance between the
// jaw's ends. The landmarks must be finite.
FaceOutline faceOutline(const FaceLandmarks& landmarks);

// The outlines of the features in the landmarks' own coordinates, each grown by
// kFeatureMarginShare and a soft edge of kSoftEdgeShare of the distance between the jaw's ends:
// the soft edge lies inside each, where alpha falls from its full value on the outer side to 0
// on the feature's side. The landmarks must be finite.
std::array<FaceOutline, kFeatureCount> featureOutlines(const FaceLandmarks& landmarks);

// The ellipse inscribed in a rectangle of width x height pixels whose first pixel is at 0, 0,
// with a soft edge of kSoftEdgeShare of the width.
FaceOutline ellipseOutline(float width, float height);

// Pixels of a frame: columns x to x + width - 1, rows y to y + height - 1.
struct PixelArea {
    int x = 0;
    int y = 0;
    int width = 0;
    int height = 0;

    bool empty() const { return width <= 0 || height <= 0; }
    std::size_t pixels() const {
        return empty() ? 0 : static_cast<std::size_t>(width) * static_cast<std::size_t>(height);
    }
};

PixelArea intersection(const PixelArea& a, const PixelArea& b);

// A face in the worker's buffers, in their columns and rows (memory order, bottom row first).
struct FaceRegion {
    FrameSize frame;
    FaceOutline outline;
    PixelArea bounds;  // holds every pixel whose alpha may be above 0; inside the frame
    // The features kept unsmoothed; outlines without points for a face without landmarks.
    std::array<FaceOutline, kFeatureCount> features{};
    // The landmarks in the buffers' columns and rows, for a face that has them.
    std::optional<FaceLandmarks> landmarks;
};

// The region of a face: its outline from the landmarks, or the ellipse in its rectangle when it
// has none; nothing when the region misses the frame.
std::optional<FaceRegion> faceRegionOf(const FaceInFrame& face, FrameSize size);
// The region of the widest face the face step accepted; nothing when it accepted none.
std::optional<FaceRegion> faceRegionOf(const FaceOutputs& face, FrameSize size);

// One alpha byte per pixel of `area`, rows `stride` bytes apart.
struct AlphaView {
    std::uint8_t* pixels = nullptr;
    PixelArea area;
    int stride = 0;
};

// Work memory for drawing a mask into a frame of `size`.
struct MaskScratch {
    std::uint8_t* rowSums = nullptr;      // width x (height + 2 x kSoftEdgeMaximum + 2) bytes
    std::uint32_t* columnSums = nullptr;  // width values
};

std::size_t maskRowSumBytes(FrameSize size);

// Fills the view: alpha 255 deeper inside the outline than its soft edge, 0 outside it,
// rising in between, laid over `floor` (alpha = floor + mask x (255 - floor) / 255); then
// 0 inside the features, rising back over their soft edges. Where the outline leaves the frame the
// face goes on beyond it, so the soft edge follows the outline only.
void drawFaceMask(const FaceRegion& region, std::uint8_t floor, const AlphaView& alpha,
                  const MaskScratch& scratch);

// Remembers the face's region across frames on which the face step loses the face, and
// fades between smoothing the face only and smoothing the whole frame (masked by skin colour,
// as on a frame without a face), instead of switching from one frame to the next: a face lost
// for a frame or two changes nothing.
class FaceRegionFade {
  public:
    // Frames on which a lost face's region is still smoothed as it was.
    static constexpr int kHoldFrames = 4;
    // Frames over which the rest of the frame fades in after the hold, and out once a face is
    // back.
    static constexpr int kFadeInFrames = 10;
    static constexpr int kFadeOutFrames = 5;

    struct Step {
        const FaceRegion* region = nullptr;  // the face to smooth; valid until the next call
        std::uint8_t background = 255;       // alpha of the rest of the frame
    };

    // The smoothing of this frame, given the region of the face found on it. The first frame
    // after a start or forget() takes its own answer without fading.
    Step next(std::optional<FaceRegion> found, FrameSize size);

    // Starts afresh: smoothing was switched off, or another mask was chosen.
    void forget();

  private:
    static constexpr int kSteps = kFadeInFrames * kFadeOutFrames;

    std::optional<FaceRegion> region_;
    bool started_ = false;
    int framesLost_ = 0;
    int background_ = 0;  // 0 to kSteps
};

}  // namespace velvix
