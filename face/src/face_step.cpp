#include "velvix/face/face_step.hpp"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "velvix/face/face_rectangle.hpp"
#include "velvix/face/landmark_fitter.hpp"
#include "velvix/filters/ImageFIlters.hpp"
#include "velvix/filters/cpu_info.hpp"
#include "velvix/pipeline/pixels.hpp"
#include "velvix/platform/data_files.hpp"
#include "velvix/platform/debug_output.hpp"

namespace velvix {
namespace {

void turnHalfway(const std::uint8_t* frame, std::uint8_t* turned, FrameSize size) {
    const auto width = static_cast<std::size_t>(size.width);
    const auto height = static_cast<std::size_t>(size.height);
    for (std::size_t row = 0; row < height; ++row) {
        const std::uint8_t* source = frame + (height - 1 - row) * width * 3;
        std::uint8_t* destination = turned + row * width * 3;
        for (std::size_t column = 0; column < width; ++column) {
            std::memcpy(destination + column * 3, source + (width - 1 - column) * 3, 3);
        }
    }
}

std::string modelProblemLine(const std::string& path, const std::string& problem) {
    return "landmark model " + path + ": " + problem +
           "; faces are smoothed without sparing eyes, brows, nostrils and mouth";
}

}  // namespace

FaceProcessingStep::FaceProcessingStep(std::unique_ptr<FaceDetector> detector,
                                       std::string modelPath)
    : detector_(std::move(detector)), modelPath_(std::move(modelPath)) {}

void FaceProcessingStep::loadModelOnce() {
    if (modelLoadAttempted_) {
        return;
    }
    modelLoadAttempted_ = true;
    const std::string path =
        modelPath_.empty() ? platform::findDataFile(kModelFileName) : modelPath_;
    std::FILE* file = path.empty() ? nullptr : std::fopen(path.c_str(), "rb");
    if (file == nullptr) {
        platform::debugOutput(
            path.empty()
                ? modelProblemLine(kModelFileName, platform::missingDataFileText(kModelFileName))
                : modelProblemLine(path, "no such file"));
        return;
    }
    const auto problem = loadLandmarkModel(file, model_, landmarkParams());
    std::fclose(file);
    if (problem) {
        platform::debugOutput(modelProblemLine(path, *problem));
    } else if (model_.landmarks != kLandmarkCount) {
        platform::debugOutput(
            modelProblemLine(path, "it places " + std::to_string(model_.landmarks) +
                                       " landmarks, not " + std::to_string(kLandmarkCount)));
        model_ = LandmarkModel{};
    } else {
        platform::debugOutput("landmark model " + path + ": " + std::to_string(model_.stages) +
                              " stages");
    }
}

void FaceProcessingStep::run(const FaceStepBuffers& buffers, FaceOutputs& face) {
    const FrameSize size = buffers.size;
    turnHalfway(buffers.frame, buffers.turned, size);
    loadModelOnce();
    face.faceValid = false;
    face.faceX = face.faceY = face.faceWidth = face.faceHeight = 0;
    const FrameSize small{size.width / 4, size.height / 4};
    if (small.width < kMinimumResizeWidth || small.height < 2) {
        return;  // too small to look for a face in
    }
    resizeBilinear(buffers.turned, size.width, size.height, std::int64_t{size.width} * 3,
                   buffers.small, small.width, small.height, std::int64_t{small.width} * 3);
    const int* detections = detector_->detect(detectionResultBuffer(), buffers.small, small.width,
                                              small.height, small.width * 3);
    const FaceRectangle rectangle =
        chooseFaceRectangle(detections, detector_->recordShorts(), size, hasAVX2);
    face.faceX = rectangle.x;
    face.faceY = rectangle.y;
    face.faceWidth = rectangle.width;
    face.faceHeight = rectangle.height;
    if (!acceptableFaceRectangle(rectangle)) {
        return;
    }
    face.faceValid = true;
    fitAcceptedFace(buffers, face);
}

// Landmarks relative to the rectangle; without a model the rectangle is smoothed whole, so
// that no landmarks of an earlier rectangle are used with this one.
void FaceProcessingStep::fitAcceptedFace(const FaceStepBuffers& buffers, FaceOutputs& face) {
    if (!model_.loaded()) {
        face.faceLandmarks.reset();
        return;
    }
    const FrameSize size = buffers.size;
    greyFromFrame(buffers.turned, buffers.grey, size.width, size.height, size.width);
    const LiteMat grey = LiteMat::external(LiteMat::kUint8, size.height, size.width, buffers.grey);
    const FaceBox box = FaceBox::fromRectangle(
        static_cast<float>(face.faceX), static_cast<float>(face.faceY),
        static_cast<float>(face.faceWidth), static_cast<float>(face.faceHeight));
    const LiteMat shape = fitLandmarks(grey, box, model_);
    FaceLandmarks landmarks;
    for (int k = 0; k < kLandmarkCount; ++k) {
        landmarks[static_cast<std::size_t>(k)] = {shape.at(k, 0) - static_cast<float>(face.faceX),
                                                  shape.at(k, 1) - static_cast<float>(face.faceY)};
    }
    face.faceLandmarks = landmarks;
}

}  // namespace velvix
