// Detection on webcam-like frames: each annotated face of the test set, about 250 pixels wide
// in a 1280 x 720 frame, through the whole face step.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>

#include "velvix/face/face_step.hpp"
#include "velvix/filters/cpu_info.hpp"
#include "velvix/pipeline/frame_processor.hpp"
#include "webcam_faces.hpp"

namespace velvix {
namespace {

// The program's detector, timed.
class TimedDetector final : public FaceDetector {
  public:
    explicit TimedDetector(std::unique_ptr<FaceDetector> inner) : inner_(std::move(inner)) {}
    std::string name() const override { return inner_->name(); }
    int recordShorts() const override { return inner_->recordShorts(); }
    int* detect(unsigned char* buffer, const unsigned char* image, int width, int height,
                int step) override {
        const auto start = std::chrono::steady_clock::now();
        int* result = inner_->detect(buffer, image, width, height, step);
        seconds += std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        ++calls;
        return result;
    }
    double seconds = 0;
    int calls = 0;

  private:
    std::unique_ptr<FaceDetector> inner_;
};

TEST(FaceDetectionData, TheFaceStepFindsFacesInWebcamSizedFrames) {
    const auto folder = testing::faceDataFolder("landmarks68/test");
    if (!folder) {
        GTEST_SKIP() << "../shared/data/landmarks68/test is not here";
    }
    const auto faces = testing::webcamFaces(*folder, 250.0f);
    ASSERT_GT(faces.size(), 300u);

    auto* timed = new TimedDetector(makeFaceDetector());
    FaceProcessingStep step(std::unique_ptr<FaceDetector>(timed), "/nonexistent/velvix.dat");
    FrameBuffers buffers;
    int found = 0;
    for (const auto& face : faces) {
        std::copy(face.frame.begin(), face.frame.end(), buffers.output());
        FaceOutputs outputs;
        step.run(buffers.faceStepBuffers(face.size), outputs);
        const auto inside = [](float value, int start, int length) {
            return value >= static_cast<float>(start) && value < static_cast<float>(start + length);
        };
        const bool containsCentre = outputs.faceValid &&
                                    inside(face.centreX, outputs.faceX, outputs.faceWidth) &&
                                    inside(face.centreY, outputs.faceY, outputs.faceHeight);
        found += containsCentre ? 1 : 0;
    }
    const double share = static_cast<double>(found) / static_cast<double>(faces.size());
    const double milliseconds = timed->seconds * 1e3 / timed->calls;
    std::printf(
        "%s: a rectangle around the face in %d of %zu frames (%.1f %%), %.2f ms per "
        "detection on the 320 x 180 copy (AVX2 %s)\n",
        timed->name().c_str(), found, faces.size(), 100 * share, milliseconds,
        hasAVX2 ? "on" : "off");
    RecordProperty("share", std::to_string(share));
    RecordProperty("milliseconds_per_detection", std::to_string(milliseconds));
    EXPECT_GE(share, 0.9);
}

}  // namespace
}  // namespace velvix
