// The capture fetch at 1280 x 720: one delivered frame converted into the capture layout, for
// RGB24 and NV12 cameras and for a 1920 x 1080 camera scaled to the frame. Each benchmark
// checks the frame it fetched against a conversion written out pixel by pixel here (and scaled
// by the scaler the capture manager uses).
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdio>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "frame_time_reporter.hpp"
#include "media_types.hpp"
#include "velvix/capture/capture_manager.hpp"
#include "velvix/filters/bilinear_scale.hpp"

namespace {

using namespace velvix;

constexpr FrameSize kFrame = kDefaultFrameSize;

// One camera that delivers whatever format it is asked for; the benchmark feeds its sink.
class BenchBackend final : public CaptureBackend {
  public:
    explicit BenchBackend(VideoFormat format) : format_(format) {}

    std::vector<std::u16string> deviceNames() override { return {u"Bench camera"}; }
    std::unique_ptr<DeviceConnection> connect(int) override {
        return std::make_unique<Connection>(*this);
    }

    SampleSink* sink = nullptr;

  private:
    class Connection final : public DeviceConnection {
      public:
        explicit Connection(BenchBackend& backend) : backend_(backend) {}
        std::optional<VideoFormat> currentFormat() override { return backend_.format_; }
        bool setFormat(const VideoFormat& format) override {
            return format.width == backend_.format_.width &&
                   format.height == backend_.format_.height &&
                   format.subtype == backend_.format_.subtype;
        }
        std::vector<SizeCapability> capabilities() override { return {}; }
        bool startStreaming(MediaSubtype, SampleSink& sink) override {
            backend_.sink = &sink;
            return true;
        }
        void stopStreaming() override { backend_.sink = nullptr; }

      private:
        BenchBackend& backend_;
    };

    VideoFormat format_;
};

std::vector<std::uint8_t> randomBytes(std::size_t count) {
    std::vector<std::uint8_t> bytes(count);
    std::mt19937 random(7);
    for (auto& byte : bytes) {
        byte = static_cast<std::uint8_t>(random());
    }
    return bytes;
}

std::uint8_t clampShifted(long long value) {
    return static_cast<std::uint8_t>(std::clamp<long long>(value >> 16, 0, 255));
}

// The capture layout of a delivered frame, worked out pixel by pixel.
std::vector<std::uint8_t> expectedFrame(MediaSubtype subtype, const std::vector<std::uint8_t>& in,
                                        FrameSize own) {
    const int w = own.width;
    const int h = own.height;
    std::vector<std::uint8_t> full(static_cast<std::size_t>(w) * h * 4);
    for (int y = 0; y < h; ++y) {
        for (int x = 0; x < w; ++x) {
            std::uint8_t* out;
            std::uint8_t red;
            std::uint8_t green;
            std::uint8_t blue;
            if (subtype == MediaSubtype::nv12) {
                const long long luma = 76309LL * (in[y * w + x] - 16);
                const std::uint8_t* chroma = &in[w * h + (y / 2) * w + (x / 2) * 2];
                red = clampShifted(luma + 104597LL * (chroma[1] - 128));
                green =
                    clampShifted(luma - 53279LL * (chroma[1] - 128) - 25675LL * (chroma[0] - 128));
                blue = clampShifted(luma + 132201LL * (chroma[0] - 128));
                out = &full[((h - 1 - y) * w + (w - 1 - x)) * 4];
            } else {
                const std::uint8_t* pixel = &in[(y * w + x) * 3];
                blue = pixel[0];
                green = pixel[1];
                red = pixel[2];
                out = &full[(y * w + x) * 4];
            }
            out[0] = red;
            out[1] = green;
            out[2] = blue;
            out[3] = 255;
        }
    }
    if (own == kFrame) {
        return full;
    }
    std::vector<std::uint8_t> scaled(static_cast<std::size_t>(kFrame.pixels()) * 4);
    coverScaler(own, kFrame)
        .scale(packedPicture<const std::uint8_t>(full.data(), own, 4),
               packedPicture(scaled.data(), kFrame, 4));
    return scaled;
}

void fetchBenchmark(benchmark::State& state, MediaSubtype subtype, FrameSize own) {
    auto backend = std::make_shared<BenchBackend>(VideoFormat{own.width, own.height, subtype});
    CaptureManager manager({backend});
    manager.setAskSize(0, own.width, own.height, subtype);
    if (!manager.openDevice(0) || backend->sink == nullptr) {
        state.SkipWithError("the bench camera did not open");
        return;
    }
    const auto sample =
        randomBytes(*deliveredFrameBytes(deliveredSubtype(subtype), own.width, own.height));
    std::vector<std::uint8_t> frame(static_cast<std::size_t>(kFrame.pixels()) * 4);
    for (auto _ : state) {
        state.PauseTiming();
        backend->sink->deliverSample(sample.data(), sample.size());
        state.ResumeTiming();
        if (!manager.pollNewFrame(0) || !manager.fetchFrame(0, frame.data(), kFrame)) {
            state.SkipWithError("no frame to fetch");
            return;
        }
        benchmark::ClobberMemory();
    }
    if (frame != expectedFrame(subtype, sample, own)) {
        state.SkipWithError("the fetched frame is wrong");
    }
    state.counters["pixels"] = static_cast<double>(kFrame.pixels());
}

void BM_FetchRgb24(benchmark::State& state) {
    fetchBenchmark(state, MediaSubtype::rgb24, kFrame);
}

void BM_FetchNv12(benchmark::State& state) {
    fetchBenchmark(state, MediaSubtype::nv12, kFrame);
}

void BM_FetchRgb24From1080p(benchmark::State& state) {
    fetchBenchmark(state, MediaSubtype::rgb24, {1920, 1080});
}

BENCHMARK(BM_FetchRgb24)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_FetchNv12)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_FetchRgb24From1080p)->Unit(benchmark::kMicrosecond);

void printSummary(const std::map<std::string, double>& nanosecondsPerFrame) {
    std::printf("\nfetchFrame into a 1280 x 720 frame:\n");
    for (const auto& [name, nanoseconds] : nanosecondsPerFrame) {
        std::printf("  %-26s %8.3f ms per frame, %6.3f ns per pixel\n", name.c_str(),
                    nanoseconds / 1e6, nanoseconds / static_cast<double>(kFrame.pixels()));
    }
}

}  // namespace

int main(int argc, char** argv) {
    return velvix::bench::runBenchmarks(argc, argv, printSummary);
}
