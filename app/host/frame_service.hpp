#pragma once

#include <string>
#include <thread>
#include <vector>

#include "camera_backends.hpp"
#include "options.hpp"
#include "velvix/capture/capture_manager.hpp"
#include "velvix/face/face_step.hpp"
#include "velvix/filters/smoothing.hpp"
#include "velvix/pipeline/frame_worker.hpp"

namespace velvix {

// The frame worker and everything it works with, as every host runs it: the cameras of the
// options, the face step and the smoother, publishing into the options' ring.
class FrameService {
  public:
    explicit FrameService(const AppOptions& options);

    // The worker on its own thread; destroying the thread asks the worker to stop and waits.
    std::jthread start();
    std::vector<std::string> cameraNames() const { return listCameraNames(backends_); }
    std::string detectorName() const { return faceStep_.detectorName(); }
    // What the worker published and how quickly, once its thread has ended.
    std::string statisticsLine() const;

    ControlBlock control;

  private:
    const CaptureBackends backends_;
    CaptureManager cameras_;
    SystemPacerClock clock_;
    FilterSmoother smoother_;
    FaceProcessingStep faceStep_;
    FrameWorker worker_;
};

}  // namespace velvix
