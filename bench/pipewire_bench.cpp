// The PipeWire camera's processor time per delivered frame at 1280 x 720, for each format it
// offers: the camera runs in this process, fed from a ring that a thread of this process
// writes at 30 frames per second, in a PipeWire session of its own (dbus-daemon, pipewire,
// wireplumber), and velvix-pipewire-reader reads it in that format. The camera's time is the
// process's processor time less that of the writer and of the waiting main thread: the
// camera's thread and PipeWire's data thread, conversion included.
//   velvix-bench-pipewire [SECONDS [FORMAT...]]   (formats: yuy2 i420 bgrx rgb, the default)
#include <sys/resource.h>

#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <random>
#include <thread>

#include "pipewire_session.hpp"
#include "process.hpp"
#include "test_support.hpp"
#include "velvix/platform/clock.hpp"
#include "velvix/platform/shared_memory.hpp"
#include "velvix/virtual_camera/pipewire_camera.hpp"

namespace {

using namespace velvix;

constexpr FrameSize kSize = kDefaultFrameSize;
constexpr double kGoalMilliseconds = 1.0;  // in YUY2

double processSeconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

double threadSeconds() {
    timespec time{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &time);
    return static_cast<double>(time.tv_sec) + static_cast<double>(time.tv_nsec) / 1e9;
}

// Publishes a noisy frame into the ring 30 times a second until stopped; its own processor
// time is left in `seconds`.
std::jthread startWriter(const std::string& ring, double& seconds) {
    return std::jthread([ring, &seconds](std::stop_token stop) {
        platform::DebugOnce debug;
        auto writer = FrameRing::create(ring, kSize, debug);
        std::vector<std::uint8_t> frame(static_cast<std::size_t>(kSize.pixels()) * 3);
        std::mt19937 random(7);
        for (auto& byte : frame) {
            byte = static_cast<std::uint8_t>(random());
        }
        std::uint64_t deadline = platform::clockNow100ns();
        while (!stop.stop_requested()) {
            if (writer) {
                writer->publish(frame.data());
            }
            deadline += kFramePeriod;
            const std::uint64_t now = platform::clockNow100ns();
            if (deadline > now) {
                std::this_thread::sleep_for(std::chrono::microseconds((deadline - now) / 10));
            }
        }
        seconds = threadSeconds();
    });
}

struct Measurement {
    double millisecondsPerFrame = 0;
    std::uint64_t frames = 0;
    bool ok = false;
};

Measurement measure(const std::string& ring, const std::string& format, int seconds,
                    const std::string& folder) {
    virtual_camera::PipeWireCamera camera({ring}, [](std::string_view) {});
    if (!testing::waitUntil(
            [&] { return camera.state() == virtual_camera::ServedCamera::State::offered; })) {
        return {};
    }
    const double mainBefore = threadSeconds();
    const double before = processSeconds();
    const std::uint64_t framesBefore = camera.deliveredFrames();
    double writerSeconds = 0;
    int exitCode = -1;
    {
        const std::jthread writer = startWriter(ring, writerSeconds);
        testing::ChildProcess reader(
            {VELVIX_PIPEWIRE_READER, format, std::to_string(seconds * 30), folder + "/bench.png"},
            folder + "/bench-reader.log");
        exitCode = reader.waitForExit((seconds + 30) * 1000);
    }
    const double cameraSeconds =
        processSeconds() - before - writerSeconds - (threadSeconds() - mainBefore);
    const std::uint64_t frames = camera.deliveredFrames() - framesBefore;
    if (exitCode != 0 || frames == 0) {
        return {};
    }
    return {cameraSeconds * 1e3 / static_cast<double>(frames), frames, true};
}

}  // namespace

int main(int argc, char** argv) {
    const int seconds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 5;
    std::vector<std::string> formats(argv + std::min(argc, 2), argv + argc);
    if (formats.empty()) {
        formats = {"yuy2", "i420", "bgrx", "rgb"};
    }
    testing::PipeWireSession session("bench");
    if (const std::string problem = session.start(); !problem.empty()) {
        std::fprintf(stderr, "velvix-bench-pipewire: %s\n", problem.c_str());
        return 1;
    }
    const std::string ring = "velvix-bench-pipewire";
    std::printf("PipeWire camera, %d x %d, %d s per format: processor time per delivered frame\n",
                kSize.width, kSize.height, seconds);
    bool allOk = true;
    for (const std::string& format : formats) {
        const Measurement result = measure(ring, format, seconds, session.folder());
        allOk = allOk && result.ok;
        if (!result.ok) {
            std::printf("  %-5s failed: %s\n", format.c_str(),
                        testing::readFile(session.folder() + "/bench-reader.log").c_str());
            continue;
        }
        std::printf("  %-5s %6.3f ms per frame over %llu frames%s\n", format.c_str(),
                    result.millisecondsPerFrame, static_cast<unsigned long long>(result.frames),
                    format == "yuy2" ? (result.millisecondsPerFrame <= kGoalMilliseconds
                                            ? "  (goal: at most 1 ms: met)"
                                            : "  (goal: at most 1 ms: MISSED)")
                                     : "");
    }
    platform::SharedSection::remove(ring);
    return allOk ? 0 : 1;
}
