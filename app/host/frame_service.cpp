#include "frame_service.hpp"

#include <cstdio>

namespace velvix {

FrameService::FrameService(const AppOptions& options)
    : backends_(cameraBackends(options.fileCameras)),
      cameras_(backends_),
      faceStep_(makeFaceDetector(), {}, FaceSearch::tracking),
      worker_({control, cameras_, {&faceStep_, &smoother_}, clock_, options.ringName}) {}

std::string FrameService::statisticsLine() const {
    const FrameStatistics& statistics = worker_.statistics();
    char line[160];
    std::snprintf(line, sizeof line,
                  "%llu frames published, %.2f frames per second, fetch to publish at most %.2f ms",
                  static_cast<unsigned long long>(statistics.published),
                  statistics.framesPerSecond(),
                  static_cast<double>(statistics.worstFetchToPublish) / 1e4);
    return line;
}

std::jthread FrameService::start() {
    return std::jthread([this](std::stop_token stop) { worker_.run(stop); });
}

}  // namespace velvix
