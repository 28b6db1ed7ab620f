// The virtual-camera bridge at 1280 x 720: converting a ring frame for the video device, and a
// whole bridge step (copy out of the ring, convert, write). Each benchmark checks its output.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "frame_time_reporter.hpp"
#include "velvix/platform/cpu_info.hpp"
#include "velvix/platform/shared_memory.hpp"
#include "velvix/virtual_camera/bridge.hpp"
#include "velvix/virtual_camera/frame_output.hpp"
#include "velvix/virtual_camera/linux_devices.hpp"

namespace {

using namespace velvix;
using namespace velvix::virtual_camera;

constexpr FrameSize kSize = kDefaultFrameSize;
const auto kPixels = static_cast<std::size_t>(kSize.pixels());

std::vector<std::uint8_t> noisyFrame() {
    std::vector<std::uint8_t> pixels(kPixels * 3);
    std::mt19937 random(7);
    for (auto& byte : pixels) {
        byte = static_cast<std::uint8_t>(random());
    }
    return pixels;
}

// In the order of the benchmarks' format argument.
constexpr OutputFormat kFormats[] = {OutputFormat::yuyv, OutputFormat::rgb24, OutputFormat::i420,
                                     OutputFormat::bgrx};

OutputFormat formatOf(const benchmark::State& state) {
    return kFormats[state.range(0)];
}

void BM_Convert(benchmark::State& state) {
    const Avx2Choice avx2(state.range(1) != 0);
    const auto ring = noisyFrame();
    FrameConverter converter(kSize, formatOf(state));
    std::vector<std::uint8_t> out(converter.frameBytes());
    for (auto _ : state) {
        converter.convert(ring.data(), kSize, out.data());
        benchmark::ClobberMemory();
    }
    // The top-left output pixel comes from the last ring row.
    const std::uint8_t* source =
        ring.data() + (kPixels - static_cast<std::size_t>(kSize.width)) * 3;
    const bool right = formatOf(state) == OutputFormat::rgb24  ? out[0] == source[2]
                       : formatOf(state) == OutputFormat::bgrx ? out[0] == source[0]
                                                               : out[0] >= 16 && out[0] <= 235;
    if (!right) {
        state.SkipWithError("the converted frame is wrong");
    }
}

class NullSink final : public FrameSink {
  public:
    bool writeFrame(const std::uint8_t*, std::size_t bytes) override {
        written += bytes;
        return true;
    }
    std::size_t written = 0;
};

void BM_BridgeStep(benchmark::State& state) {
    const std::string name = "velvix-bench-bridge-" + std::to_string(getpid());
    platform::SharedSection::remove(name);
    platform::DebugOnce debug;
    auto ring = FrameRing::create(name, kSize, debug);
    const auto frame = noisyFrame();
    NullSink* sink = nullptr;
    VirtualCameraBridge bridge({name, kSize, formatOf(state), false}, [&] {
        auto made = std::make_unique<NullSink>();
        sink = made.get();
        return made;
    });
    std::uint64_t now = 0;
    for (auto _ : state) {
        state.PauseTiming();
        ring->publish(frame.data());  // a new frame every step, as at 30 frames per second
        state.ResumeTiming();
        if (bridge.step(now += kFramePeriod) != BridgeFrame::newest) {
            state.SkipWithError("the bridge did not write the newest frame");
            break;
        }
    }
    if (sink == nullptr ||
        sink->written != outputFrameBytes(kSize, formatOf(state)) * state.iterations()) {
        state.SkipWithError("the bridge wrote the wrong number of bytes");
    }
    platform::SharedSection::remove(name);
}

// Formats 0 to 3: YUYV, RGB24, I420, BGRx.
BENCHMARK(BM_Convert)
    ->ArgsProduct({{0, 1, 2, 3}, {0, 1}})
    ->ArgNames({"format", "avx2"})
    ->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_BridgeStep)->Arg(0)->Arg(1)->ArgName("rgb24")->Unit(benchmark::kMicrosecond);

}  // namespace

int main(int argc, char** argv) {
    return bench::runBenchmarks(argc, argv, [](const std::map<std::string, double>& nanoseconds) {
        std::printf("\n1280 x 720 frame (goal for the bridge: at most 2 ms per frame):\n");
        for (const auto& [name, perFrame] : nanoseconds) {
            std::printf("  %-30s %7.3f ms per frame, %6.3f ns per pixel\n", name.c_str(),
                        perFrame / 1e6, perFrame / static_cast<double>(kPixels));
        }
    });
}
