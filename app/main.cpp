#include <chrono>
#include <cstdio>
#include <thread>

#include "options.hpp"
#include "velvix/filters/cpu_info.hpp"
#include "velvix/filters/smoothing.hpp"
#include "velvix/pipeline/frame_worker.hpp"
#include "velvix/platform/debug_output.hpp"
#include "velvix/platform/stop_signals.hpp"

namespace {

using namespace velvix;

// This build has no camera backend: the worker ticks, keeps the ring and opens nothing.
class NoCameras final : public CaptureSource {
  public:
    int countDevices() override { return 0; }
    int deviceCount() const override { return 0; }
    void setFramePeriod(int, int) override {}
    void setAskSize(int, int, int, MediaSubtype) override {}
    void setConnector(int, ConnectorKind) override {}
    void setReconnect(int, int) override {}
    bool openDevice(int) override { return false; }
    void closeDevice(int) override {}
    bool isCapturing(int) const override { return false; }
    bool pollNewFrame(int) override { return false; }
    bool fetchFrame(int, std::uint8_t*, FrameSize) override { return false; }
};

void waitForStop(platform::StopSignals& signals, std::optional<int> runSeconds) {
    const auto start = std::chrono::steady_clock::now();
    while (!signals.wait(100)) {
        if (runSeconds &&
            std::chrono::steady_clock::now() - start >= std::chrono::seconds(*runSeconds)) {
            return;
        }
    }
}

int runHeadless(const AppOptions& options) {
    platform::StopSignals signals;
    ControlBlock control;
    NoCameras cameras;
    SystemPacerClock clock;
    FilterSmoother smoother;
    FrameWorker worker({control, cameras, {nullptr, &smoother}, clock, options.ringName});
    platform::debugOutput(std::string("velvix: running headless; ") +
                          (hasAVX2 ? "AVX2 available" : "no AVX2") + "; stop with Ctrl+C");
    std::jthread workerThread([&worker](std::stop_token stop) { worker.run(stop); });
    waitForStop(signals, options.runSeconds);
    workerThread.request_stop();
    workerThread.join();
    platform::debugOutput("velvix: stopped");
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    const auto parsed = velvix::parseAppOptions({argv + 1, argv + argc});
    if (!parsed.error.empty()) {
        std::fprintf(stderr, "velvix: %s\n%s", parsed.error.c_str(), velvix::appUsage().c_str());
        return 2;
    }
    if (parsed.options.help) {
        std::printf("%s", velvix::appUsage().c_str());
        return 0;
    }
    if (!parsed.options.headless) {
        std::fprintf(stderr, "velvix: this build runs without a window only; pass --headless\n%s",
                     velvix::appUsage().c_str());
        return 2;
    }
    return runHeadless(parsed.options);
}
