#include "frame_service.hpp"

#include <cstdio>

#include "velvix/platform/log.hpp"

namespace velvix {

FrameService::FrameService(const AppOptions& options)
    : backends_(cameraBackends(options.fileCameras)),
      cameras_(backends_),
      faceStep_(makeFaceDetector(), {}, FaceSearch::tracking),
      worker_({control, cameras_, {&faceStep_, &smoother_, &preview_}, clock_, options.ringName}),
      ringName_(options.ringName),
      feedsLoopback_(options.feedsLoopback()),
      servesCamera_(options.feedsPipeWire()),
      outputDevices_(feedsLoopback_ ? virtualCameraDevices() : nullptr),
      setup_(runSetupCommand, [this] {
          if (feeder_) {
              feeder_->searchSoon();
          }
      }) {
    if (outputDevices_) {
        std::optional<std::string> device;
        if (options.virtualCamera == AppOptions::VirtualCamera::device) {
            device = options.virtualCameraDevice;
        }
        feeder_.emplace(
            virtual_camera::FeederSettings{options.ringName, device}, *outputDevices_,
            platform::logLines(platform::LogCategory::vcam, platform::LogSeverity::notice));
    }
}

// The served camera first, when it is there, then the loopback devices as before: the page
// shows both.
std::string FrameService::stateText() {
    const std::string loopback = loopbackStateText();
    if (!servedCamera_) {
        return loopback;
    }
    switch (servedCamera_->state()) {
        case virtual_camera::ServedCamera::State::offered:
            return "pipewire=idle;" + loopback;
        case virtual_camera::ServedCamera::State::read:
            return "pipewire=reading;" + loopback;
        default:
            return loopback;
    }
}

std::string FrameService::loopbackStateText() {
    if (!feedsLoopback_) {
        return "off";
    }
    // Windows: a virtual camera of its own reads the ring; the program feeds none.
    if (auto reading = readingCameraState(ringName_)) {
        return *reading;
    }
    if (!feeder_) {
        return "off";
    }
    if (setup_.running()) {
        return "setting-up";
    }
    const auto fed = feeder_->fedDevices();
    if (!fed.empty()) {
        std::string names;
        for (const auto& device : fed) {
            names += (names.empty() ? "" : ", ") + device.label;
        }
        return "feeding:" + names;
    }
    if (const std::string failure = setup_.failure(); !failure.empty()) {
        return "failed:" + failure;
    }
    const std::string problem = feeder_->problem();
    return problem.empty() ? "none" : "none:" + problem;
}

std::string FrameService::cameraStateText() {
    switch (worker_.cameraState()) {
        case CameraState::starting:
            return "starting";
        case CameraState::working: {
            const std::string note = cameras_.cameraNote();
            return note.empty() ? "working" : "working:" + note;
        }
        case CameraState::lost:
            return "lost";
        case CameraState::none:
            break;
    }
    return "none";
}

void FrameService::setUp() {
    if (feeder_) {
        setup_.start();
    }
}

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

FrameService::Threads FrameService::start() {
    Threads threads;
    threads.worker = std::jthread([this](std::stop_token stop) {
        faceStep_.prepare();
        worker_.run(stop);
    });
    if (feeder_) {
        threads.virtualCamera = std::jthread([this](std::stop_token stop) { feeder_->run(stop); });
    }
    if (servesCamera_ && !servedCamera_) {
        servedCamera_ = startServedCamera(ringName_);
    }
    return threads;
}

}  // namespace velvix
