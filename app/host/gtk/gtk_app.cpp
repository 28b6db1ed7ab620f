#include "gtk_app.hpp"

#include <gtk/gtk.h>

#include <optional>
#include <thread>

#include "camera_backends.hpp"
#include "gtk_host.hpp"
#include "service/web_service.hpp"
#include "velvix/capture/capture_manager.hpp"
#include "velvix/face/face_step.hpp"
#include "velvix/filters/smoothing.hpp"
#include "velvix/pipeline/frame_worker.hpp"
#include "velvix/platform/debug_output.hpp"

namespace velvix {
namespace {

std::string dataFolder() {
    return std::string(g_get_user_data_dir()) + "/velvix";
}

}  // namespace

int runWindow(const AppOptions& options) {
    if (!gtk_init_check(nullptr, nullptr)) {
        platform::debugOutput("velvix: no display to open the window on (use --headless)");
        return 1;
    }
    BundledService service;
    std::string origin = options.serviceOrigin;
    if (origin.empty()) {
        if (!service.start()) {
            platform::debugOutput("velvix: could not serve the pages on 127.0.0.1");
            return 1;
        }
        origin = service.origin();
    }
    const ServiceAddresses addresses = ServiceAddresses::forOrigin(origin, options.termsUrl);

    ControlBlock control;
    const CaptureBackends backends = cameraBackends(options.fileCameras);
    CaptureManager cameras(backends);
    SystemPacerClock clock;
    FilterSmoother smoother;
    FaceProcessingStep faceStep(makeFaceDetector());
    FrameWorker worker({control, cameras, {&faceStep, &smoother}, clock, options.ringName});
    const CameraNameLister listCameras = [&backends] { return listCameraNames(backends); };
    PageSetupScript pageSetup(listCameras);
    GtkWebViewHost host(pageSetup, platform::debugOutput);
    WebMessageHandler handler(control, host, addresses, listCameras, platform::debugOutput);
    host.setMessageReceiver([&handler](const std::u16string& message) { handler.handle(message); });
    platform::debugOutput("velvix: face detector: " + faceStep.detector().name());
    platform::debugOutput("velvix: pages from " + origin);

    host.open(addresses.signUpPage, dataFolder());
    {
        std::jthread workerThread([&worker](std::stop_token stop) { worker.run(stop); });
        gtk_main();
    }
    platform::debugOutput("velvix: stopped");
    return 0;
}

}  // namespace velvix
