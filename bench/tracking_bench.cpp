// How still the landmarks stay and how closely they follow a moving face: the face step with
// tracking (as the program runs it) against a fresh detection and fit on every frame, on the
// demo portrait in 1280 x 720 frames: repeated exactly (the test camera's still), repeated with
// camera-like noise, and moved, turned and scaled through a clip.
//   velvix-bench-tracking
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "portrait_clip.hpp"
#include "velvix/face/face_step.hpp"
#include "velvix/pipeline/frame_processor.hpp"

namespace {

using namespace velvix;
using testing::PortraitClip;
using testing::PortraitPose;

struct Series {
    int frames = 0;
    int found = 0;
    double stepMilliseconds = 0;
    // Mean landmark movement from one frame to the next, taken back into the photo's own
    // coordinates (so that the clip's motion itself does not count), over the face's width.
    double movement = 0;
    int movements = 0;
    std::vector<std::vector<PointF>> landmarks;  // photo coordinates, per frame; empty if none
};

// The landmarks of a face step's output, upright in the photo's own coordinates.
std::vector<PointF> inPhoto(const FaceOutputs& face, const PortraitPose& pose) {
    std::vector<PointF> points;
    if (!face.faceValid || !face.faceLandmarks) {
        return points;
    }
    const float radians = pose.degrees * 3.14159265f / 180;
    const float scale = pose.faceWidth / 100.0f;
    for (const PointF& p : *face.faceLandmarks) {
        // Turned frame to upright frame, then by the inverse turn and scale into the photo.
        const float x = 1279.0f - (p.x + static_cast<float>(face.faceX)) - pose.centreX;
        const float y = p.y + static_cast<float>(face.faceY) - pose.centreY;
        points.push_back({(std::cos(radians) * x + std::sin(radians) * y) / scale,
                          (-std::sin(radians) * x + std::cos(radians) * y) / scale});
    }
    return points;
}

double meanDistance(const std::vector<PointF>& a, const std::vector<PointF>& b) {
    double sum = 0;
    for (std::size_t i = 0; i < a.size(); ++i) {
        sum += std::hypot(a[i].x - b[i].x, a[i].y - b[i].y);
    }
    return sum / static_cast<double>(a.size());
}

Series runSeries(FaceSearch search, int frames, const std::function<PortraitPose(int)>& poseOf,
                 const std::function<std::vector<std::uint8_t>(int)>& frameOf) {
    FaceProcessingStep step(makeFaceDetector(VELVIX_FACE_NETWORK), VELVIX_SHIPPED_MODEL, search);
    FrameBuffers buffers;
    Series series;
    for (int k = 0; k < frames; ++k) {
        const auto frame = frameOf(k);
        std::copy(frame.begin(), frame.end(), buffers.output());
        FaceOutputs face;
        const auto start = std::chrono::steady_clock::now();
        step.run(buffers.faceStepBuffers(kDefaultFrameSize), face);
        series.stepMilliseconds +=
            std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
                .count();
        step.waitForDetection();
        ++series.frames;
        series.landmarks.push_back(inPhoto(face, poseOf(k)));
        if (series.landmarks.back().empty()) {
            continue;
        }
        ++series.found;
        if (k > 0 && !series.landmarks[static_cast<std::size_t>(k - 1)].empty()) {
            series.movement += meanDistance(series.landmarks.back(),
                                            series.landmarks[static_cast<std::size_t>(k - 1)]) /
                               100.0;
            ++series.movements;
        }
    }
    return series;
}

void report(const char* name, const Series& tracked, const Series& fresh) {
    double apart = 0;
    int compared = 0;
    for (std::size_t k = 0; k < tracked.landmarks.size(); ++k) {
        if (!tracked.landmarks[k].empty() && !fresh.landmarks[k].empty()) {
            apart += meanDistance(tracked.landmarks[k], fresh.landmarks[k]) / 100.0;
            ++compared;
        }
    }
    const auto perFrame = [](const Series& s) {
        return s.movements > 0 ? s.movement / s.movements : 0.0;
    };
    std::printf("| %s | %d / %d | %d / %d | %.4f | %.4f | %.4f | %.2f / %.2f ms |\n", name,
                tracked.found, tracked.frames, fresh.found, fresh.frames, perFrame(tracked),
                perFrame(fresh), compared > 0 ? apart / compared : 0.0,
                tracked.stepMilliseconds / tracked.frames, fresh.stepMilliseconds / fresh.frames);
}

}  // namespace

int main() {
    const PortraitClip clip(VELVIX_DEMO_PHOTO);
    if (!clip.loaded()) {
        std::fprintf(stderr, "no demo portrait at %s\n", VELVIX_DEMO_PHOTO);
        return 1;
    }
    std::printf("detector: %s\n", makeFaceDetector(VELVIX_FACE_NETWORK)->name().c_str());
    std::printf(
        "Landmark movement per frame and distance between the two, in the photo's own "
        "coordinates, over the face's width\n");
    std::printf(
        "| picture | found, tracked | found, fresh | movement per frame, tracked | "
        "fresh | tracked to fresh | face step per frame, tracked / fresh |\n"
        "|---|---|---|---|---|---|---|\n");

    const PortraitPose still{640, 340, 240, 0};
    const auto stillFrame = clip.frame(still);
    const auto stillPose = [&still](int) { return still; };
    const auto exact = [&stillFrame](int) { return stillFrame; };
    report("still", runSeries(FaceSearch::tracking, 60, stillPose, exact),
           runSeries(FaceSearch::everyFrame, 60, stillPose, exact));

    // Camera noise: every value moved by a normal deviation of 3, new on every frame.
    const auto noisy = [&stillFrame](int k) {
        std::mt19937 random(static_cast<unsigned>(k));
        std::normal_distribution<float> noise(0, 3);
        auto frame = stillFrame;
        for (auto& value : frame) {
            value = static_cast<std::uint8_t>(std::clamp(value + noise(random), 0.0f, 255.0f));
        }
        return frame;
    };
    report("still with noise", runSeries(FaceSearch::tracking, 60, stillPose, noisy),
           runSeries(FaceSearch::everyFrame, 60, stillPose, noisy));

    constexpr int kFrames = 150;
    const auto movingPose = [](int k) { return PortraitClip::movingPose(k, kFrames); };
    const auto moving = [&clip, &movingPose](int k) { return clip.frame(movingPose(k)); };
    report("moving, turning, scaling", runSeries(FaceSearch::tracking, kFrames, movingPose, moving),
           runSeries(FaceSearch::everyFrame, kFrames, movingPose, moving));
    return 0;
}
