#pragma once

#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "camera_backends.hpp"
#include "options.hpp"
#include "preview.hpp"
#include "smoothing_step.hpp"
#include "velvix/capture/capture_manager.hpp"
#include "velvix/face/face_step.hpp"
#include "velvix/pipeline/frame_worker.hpp"
#include "velvix/virtual_camera/camera_feeder.hpp"
#include "velvix/virtual_camera/loopback_setup.hpp"
#include "web_messages.hpp"

namespace velvix {

// The frame worker and everything it works with, as every host runs it: the cameras of the
// options, the face step and the smoother, publishing into the options' ring; and the
// virtual camera fed from that ring, with what the panel shows of it; and the panel's preview
// of the picture.
class FrameService final : public VirtualCameraPanel, public CameraStatus {
  public:
    explicit FrameService(const AppOptions& options);

    // The worker and the virtual camera's feeder, each on its own thread; destroying the
    // threads asks both to stop and waits for them. The served camera starts here too, on a
    // thread of its own that ends with the service.
    struct Threads {
        std::jthread worker;
        std::jthread virtualCamera;
    };
    Threads start();
    std::vector<std::string> cameraNames() const { return listCameraNames(backends_); }
    std::string detectorName() const { return faceStep_.detectorName(); }
    // What the worker published and how quickly, once its thread has ended.
    std::string statisticsLine() const;

    std::string stateText() override;
    void setUp() override;
    std::string cameraStateText() override;

    // What the panel's web message handler asks about.
    PanelSources panel(const AppOptions& options) {
        return {this, &preview_, this, options.verbose};
    }

    PanelPreview& preview() { return preview_; }

    ControlBlock control;

  private:
    std::string loopbackStateText();

    const CaptureBackends backends_;
    CaptureManager cameras_;
    SystemPacerClock clock_;
    FilterSmoothingStep smoother_;
    FaceProcessingStep faceStep_;
    PanelPreview preview_;
    FrameWorker worker_;

    const std::string ringName_;
    const bool feedsLoopback_;
    const bool servesCamera_;
    std::unique_ptr<virtual_camera::ServedCamera> servedCamera_;
    std::unique_ptr<virtual_camera::OutputDevices> outputDevices_;
    // None when the virtual camera is off or the system has none the program can feed.
    std::optional<virtual_camera::VirtualCameraFeeder> feeder_;
    // Declared last: its thread may still tell the feeder to search when it ends.
    virtual_camera::LoopbackSetup setup_;
};

}  // namespace velvix
