#pragma once

#include <array>
#include <memory>
#include <string>
#include <vector>

#include "velvix/base/result.hpp"
#include "velvix/face/face_detector.hpp"

// MediaPipe's BlazeFace networks: a square RGB input of N x N pixels scaled to [-1, 1], and per
// anchor a score (before the sigmoid) and 16 regressors: the box centre's offset from the
// anchor, the box width and height, and six key points, all in input pixels. The anchors sit
// at the centres of the cells of a 16 x 16 grid (2 per cell) and of an 8 x 8 grid (6 per cell).
namespace velvix {

inline constexpr int kBlazeFaceFineCells = 16;
inline constexpr int kBlazeFaceFineAnchorsPerCell = 2;
inline constexpr int kBlazeFaceCoarseCells = 8;
inline constexpr int kBlazeFaceCoarseAnchorsPerCell = 6;
inline constexpr int kBlazeFaceFineAnchors =
    kBlazeFaceFineCells * kBlazeFaceFineCells * kBlazeFaceFineAnchorsPerCell;  // 512
inline constexpr int kBlazeFaceCoarseAnchors =
    kBlazeFaceCoarseCells * kBlazeFaceCoarseCells * kBlazeFaceCoarseAnchorsPerCell;  // 384
inline constexpr int kBlazeFaceRegressors = 16;
inline constexpr int kBlazeFaceKeypoints = 6;

// The networks' files as the setup script installs them, with the SHA-256 digest each was
// published with. A file with another digest is never handed to OpenCV's importer, which
// crashes on some damaged files instead of refusing them.
struct BlazeFaceNetwork {
    const char* fileName;
    const char* label;
    int inputSide;
    const char* sha256;
};
inline constexpr BlazeFaceNetwork kBlazeFaceFullRange{
    "face_detection_back_256x256_barracuda.onnx", "BlazeFace full-range", 256,
    "427cbbe0fc41448d09e1dc9cfabe2423d997cf2faaeab91fadd09a510b63b8e2"};
inline constexpr BlazeFaceNetwork kBlazeFaceShortRange{
    "face_detection_front_128x128_barracuda.onnx", "BlazeFace short-range", 128,
    "d388b1cf8a5f6f1af2b3f4c14f6d0f138bab970cd618cccd12dddb7484e82e51"};

// The four outputs of one run, each row-major.
struct BlazeFaceOutputs {
    const float* fineScores = nullptr;    // 512
    const float* coarseScores = nullptr;  // 384
    const float* fineBoxes = nullptr;     // 512 x 16
    const float* coarseBoxes = nullptr;   // 384 x 16
};

// A face box (left, top, size) in input pixels with its score (0 to 1) and its key points
// (eyes, nose tip, mouth, ears), also in input pixels.
struct ScoredFace {
    float score = 0;
    float x = 0;
    float y = 0;
    float width = 0;
    float height = 0;
    std::array<PointF, kBlazeFaceKeypoints> keypoints{};
};

// The networks' boxes sit lower on the face and are smaller than the boxes the landmark model
// was trained on (the cascade's): measured against the annotated points' boxes on 600 faces of
// landmarks68/train, the network's box centre lies 0.103 point-box heights lower and its sides
// are 0.92 times as long. Each box is moved and scaled by this much of its own size so that
// it sits on the face as those did, and the model keeps its accuracy.
struct BoxCalibration {
    float centreX = 0;  // shift of the centre, in box widths
    float centreY = 0;  // in box heights
    float width = 1;    // factor of the width
    float height = 1;
};
inline constexpr BoxCalibration kBlazeFaceCalibration{0.0135f, -0.0957f, 1.0857f, 1.0870f};

// Scores below this are no face.
inline constexpr float kBlazeFaceMinimumScore = 0.5f;
// Boxes overlapping more than this (intersection over union) are one face.
inline constexpr float kBlazeFaceSameFaceOverlap = 0.3f;

// Appends every anchor whose score, through the sigmoid, reaches `minimumScore`, with its box
// decoded, to `faces`.
void decodeBlazeFace(const BlazeFaceOutputs& outputs, int inputSide, float minimumScore,
                     std::vector<ScoredFace>& faces);

// One box per face: the best-scored box takes every box overlapping it more than `overlap`,
// and becomes their score-weighted mean (its key points too), keeping its own score. Best faces
// first.
void mergeOverlappingFaces(std::vector<ScoredFace>& faces, float overlap,
                           std::vector<ScoredFace>& merged);

// The network of `path`, run by OpenCV's dnn module on a letterboxed copy of the picture. Fails
// when the file cannot be read, is not the published file of `network` (its digest), or its
// network does not give BlazeFace's outputs.
Result<std::unique_ptr<FaceDetector>> loadBlazeFaceDetector(const std::string& path,
                                                            const BlazeFaceNetwork& network);

}  // namespace velvix
