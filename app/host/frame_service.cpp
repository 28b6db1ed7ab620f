#include "frame_service.hpp"

namespace velvix {

FrameService::FrameService(const AppOptions& options)
    : backends_(cameraBackends(options.fileCameras)),
      cameras_(backends_),
      faceStep_(makeFaceDetector()),
      worker_({control, cameras_, {&faceStep_, &smoother_}, clock_, options.ringName}) {}

std::jthread FrameService::start() {
    return std::jthread([this](std::stop_token stop) { worker_.run(stop); });
}

}  // namespace velvix
