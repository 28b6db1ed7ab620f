// Skin smoothing and resampling costs, side by side with OpenCV's edge-preserving filters on the
// same photo-like picture: a whole 1280 x 720 frame and a 320 x 400 face region; and the
// smoothing of a frame 1270 pixels wide, whose rows the driver pads; and the scaling of camera
// pictures of other sizes to cover the frame, next to OpenCV's cv::resize. Each benchmark
// checks the output it timed.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <map>
#include <opencv2/imgproc.hpp>
#include <opencv2/photo.hpp>
#include <random>
#include <string>
#include <vector>

#include "velvix/filters/bilinear_scale.hpp"
#include "velvix/filters/smoothing.hpp"
#include "velvix/platform/cpu_info.hpp"

namespace {

using namespace velvix;
using Bytes = std::vector<std::uint8_t>;

constexpr FrameSize kFrame{1280, 720};

// A part of the frame: the whole of it, the face region, or all but its last 10 columns.
struct Area {
    FrameSize size;
    int left;
    int top;
    bool hasStripes;
};
constexpr Area kAreas[] = {
    {kFrame, 0, 0, true}, {{320, 400}, 480, 160, false}, {{1270, 720}, 0, 0, true}};

const Area& areaOf(const benchmark::State& state) {
    return kAreas[state.range(0)];
}
// The level the demo uses; OpenCV gets the same spatial and colour scales.
constexpr int kLevel = 60;

// 4 bytes per pixel: a skin-coloured oval with fine noise on a background of soft gradients
// crossed by hard-edged stripes.
Bytes photoLikeFrame() {
    Bytes pixels(static_cast<std::size_t>(kFrame.pixels()) * 4);
    std::mt19937 random(2024);
    std::normal_distribution<float> grain(0.0f, 5.0f);
    for (int y = 0; y < kFrame.height; ++y) {
        for (int x = 0; x < kFrame.width; ++x) {
            const float dx = static_cast<float>(x - 640) / 220.0f;
            const float dy = static_cast<float>(y - 360) / 260.0f;
            const bool skin = dx * dx + dy * dy < 1.0f;
            const bool stripe = !skin && (x / 40) % 4 == 0;
            float colour[3] = {200.0f - static_cast<float>(y) * 0.1f, 150.0f, 120.0f};
            if (!skin) {
                colour[0] = stripe ? 30.0f : 90.0f + static_cast<float>(x) * 0.05f;
                colour[1] = stripe ? 40.0f : 140.0f;
                colour[2] = stripe ? 220.0f : 60.0f + static_cast<float>(y) * 0.1f;
            }
            const float n = grain(random);
            std::uint8_t* pixel =
                pixels.data() + (static_cast<std::size_t>(y) * kFrame.width + x) * 4;
            for (int c = 0; c < 3; ++c) {
                pixel[c] = static_cast<std::uint8_t>(std::clamp(colour[c] + n, 0.0f, 255.0f));
            }
            pixel[3] = 255;
        }
    }
    return pixels;
}

const Bytes& frame() {
    static const Bytes pixels = photoLikeFrame();
    return pixels;
}

// The picture to filter, `channels` bytes per pixel.
Bytes picture(const Area& area, int channels) {
    const auto [size, left, top, hasStripes] = area;
    Bytes pixels;
    pixels.reserve(static_cast<std::size_t>(size.pixels()) * static_cast<std::size_t>(channels));
    for (int y = 0; y < size.height; ++y) {
        for (int x = 0; x < size.width; ++x) {
            const std::uint8_t* pixel =
                frame().data() + (static_cast<std::size_t>(top + y) * kFrame.width + left + x) * 4;
            pixels.insert(pixels.end(), pixel, pixel + channels);
        }
    }
    return pixels;
}

// Mean absolute difference of horizontally adjacent bytes in the middle of the skin oval.
double grain(const Bytes& pixels, FrameSize size, int channels) {
    double sum = 0;
    int count = 0;
    for (int y = size.height / 2 - 40; y < size.height / 2 + 40; ++y) {
        for (int x = size.width / 2 - 60; x < size.width / 2 + 60; ++x) {
            for (int c = 0; c < 3; ++c) {
                const std::size_t i = (static_cast<std::size_t>(y) * size.width + x) * channels + c;
                sum += std::abs(int{pixels[i]} - int{pixels[i + channels]});
                ++count;
            }
        }
    }
    return sum / count;
}

// Smoothed means: the skin grain at most half of what it was, and the hard edge of the first
// stripe of the frame (blue 30 against about 90) kept to at least four fifths.
std::string checkSmoothed(const Bytes& before, const Bytes& after, const Area& area, int channels) {
    const FrameSize size = area.size;
    if (grain(after, size, channels) > 0.5 * grain(before, size, channels)) {
        return "the skin was not smoothed";
    }
    if (area.hasStripes) {
        const auto edge = [&](const Bytes& pixels) {
            const std::size_t row = static_cast<std::size_t>(20) * size.width;
            return std::abs(int{pixels[(row + 38) * channels]} -
                            int{pixels[(row + 41) * channels]});
        };
        if (edge(after) * 5 < edge(before) * 4) {
            return "a hard edge was smoothed away";
        }
    }
    return {};
}

void reportSize(benchmark::State& state, FrameSize size) {
    state.counters["pixels"] = static_cast<double>(size.pixels());
}

void BM_SmoothFrame(benchmark::State& state) {
    const Area& area = areaOf(state);
    const bool avx2 = state.range(1) != 0;
    if (avx2 && !hasAVX2) {
        state.SkipWithError("this processor has no AVX2");
        return;
    }
    const Avx2Choice choice(avx2);
    const FrameSize size = area.size;
    const Bytes input = picture(area, 4);
    Bytes source = input;
    Bytes destination(input.size());
    for (auto _ : state) {
        // Each call swaps bytes 0 and 2 of the source in place, which costs the same either way.
        smoothFrame(source.data(), destination.data(), size.width, size.height, kLevel);
        benchmark::ClobberMemory();
    }
    source = input;
    smoothFrame(source.data(), destination.data(), size.width, size.height, kLevel);
    if (const auto problem = checkSmoothed(source, destination, area, 4); !problem.empty()) {
        state.SkipWithError(problem.c_str());
    }
    reportSize(state, size);
}

// Times one OpenCV filter on the 3-byte picture and checks what it made.
template <typename Filter>
void timeOpenCv(benchmark::State& state, Filter filter) {
    const Area& area = areaOf(state);
    const FrameSize size = area.size;
    Bytes input = picture(area, 3);
    const cv::Mat source(size.height, size.width, CV_8UC3, input.data());
    cv::Mat destination;
    for (auto _ : state) {
        filter(source, destination, sigmasForLevel(kLevel));
        benchmark::ClobberMemory();
    }
    const Bytes output(destination.data, destination.data + input.size());
    if (const auto problem = checkSmoothed(input, output, area, 3); !problem.empty()) {
        state.SkipWithError(problem.c_str());
    }
    reportSize(state, size);
}

void BM_OpenCvBilateral(benchmark::State& state) {
    timeOpenCv(state, [](const cv::Mat& source, cv::Mat& destination, SmoothingSigmas sigmas) {
        cv::bilateralFilter(source, destination, 9, sigmas.range * 255.0, sigmas.spatial * 255.0);
    });
}

// Its range term sums the three channels' differences on a 0 to 1 scale and carries a factor
// of sqrt(2); the range sigma below gives a step of d in every channel the same weight as the
// largest-channel distance d gets in smoothFrame.
void BM_OpenCvEdgePreserving(benchmark::State& state) {
    timeOpenCv(state, [](const cv::Mat& source, cv::Mat& destination, SmoothingSigmas sigmas) {
        cv::edgePreservingFilter(source, destination, cv::RECURS_FILTER, sigmas.spatial * 255.0f,
                                 3.0f * std::sqrt(2.0f) * sigmas.range);
    });
}

void BM_ResizeBilinear(benchmark::State& state) {
    const bool avx2 = state.range(0) != 0;
    if (avx2 && !hasAVX2) {
        state.SkipWithError("this processor has no AVX2");
        return;
    }
    const Avx2Choice choice(avx2);
    const Bytes source = picture(kAreas[0], 3);
    const FrameSize small{kFrame.width / 4, kFrame.height / 4};
    Bytes destination(static_cast<std::size_t>(small.pixels()) * 3);
    for (auto _ : state) {
        resizeBilinear(packedPicture<const std::uint8_t>(source.data(), kFrame, 3),
                       packedPicture(destination.data(), small, 3));
        benchmark::ClobberMemory();
    }
    for (int y = 0; y < small.height; y += 7) {
        for (int x = 0; x < small.width; x += 5) {
            const auto at = [&](int sx, int sy) {
                return int{source[(static_cast<std::size_t>(sy) * kFrame.width + sx) * 3]};
            };
            const int sum = at(4 * x + 1, 4 * y + 1) + at(4 * x + 2, 4 * y + 1) +
                            at(4 * x + 1, 4 * y + 2) + at(4 * x + 2, 4 * y + 2);
            if (destination[(static_cast<std::size_t>(y) * small.width + x) * 3] != (sum + 2) / 4) {
                state.SkipWithError("resizeBilinear did not average the middle 2 x 2 pixels");
                return;
            }
        }
    }
    reportSize(state, kFrame);
}

// The camera sizes the cover scaling is timed for, and the part of each picture that covers
// the frame (the whole of it, or its middle 640 x 360).
struct CameraPicture {
    FrameSize size;
    cv::Rect covering;
};
const CameraPicture kCameraPictures[] = {{{640, 480}, {0, 60, 640, 360}},
                                         {{1920, 1080}, {0, 0, 1920, 1080}}};

cv::Mat randomCameraPicture(FrameSize size) {
    cv::Mat picture(size.height, size.width, CV_8UC4);
    cv::randu(picture, cv::Scalar::all(0), cv::Scalar::all(256));
    return picture;
}

// cv::resize of the covering part, in OpenCV's own bilinear arithmetic.
cv::Mat openCvCovering(const cv::Mat& picture, const cv::Rect& covering) {
    cv::Mat frame;
    cv::resize(picture(covering), frame, cv::Size(kFrame.width, kFrame.height), 0, 0,
               cv::INTER_LINEAR);
    return frame;
}

void BM_CoverScale(benchmark::State& state) {
    const CameraPicture& camera = kCameraPictures[state.range(0)];
    const bool avx2 = state.range(1) != 0;
    if (avx2 && !hasAVX2) {
        state.SkipWithError("this processor has no AVX2");
        return;
    }
    const Avx2Choice choice(avx2);
    const cv::Mat picture = randomCameraPicture(camera.size);
    cv::Mat frame(kFrame.height, kFrame.width, CV_8UC4);
    BilinearScaler scaler = coverScaler(camera.size, kFrame);
    for (auto _ : state) {
        scaler.scale(packedPicture<const std::uint8_t>(picture.data, camera.size, 4),
                     packedPicture(frame.data, kFrame, 4));
        benchmark::ClobberMemory();
    }
    // OpenCV clamps at the covering part's edge where the scaler reads the rows beyond it, so
    // the frame's edge pixels are left out of the comparison.
    cv::Mat difference;
    cv::absdiff(frame, openCvCovering(picture, camera.covering), difference);
    double largest = 0;
    cv::minMaxLoc(difference(cv::Rect(1, 1, kFrame.width - 2, kFrame.height - 2)).reshape(1),
                  nullptr, &largest);
    if (largest > 2) {
        state.SkipWithError("the scaled frame differs from cv::resize's by more than 2");
        return;
    }
    reportSize(state, kFrame);
}

void BM_OpenCvResize(benchmark::State& state) {
    const CameraPicture& camera = kCameraPictures[state.range(0)];
    const cv::Mat picture = randomCameraPicture(camera.size);
    cv::Mat frame(kFrame.height, kFrame.width, CV_8UC4);
    for (auto _ : state) {
        cv::resize(picture(camera.covering), frame, frame.size(), 0, 0, cv::INTER_LINEAR);
        benchmark::ClobberMemory();
    }
    reportSize(state, kFrame);
}

// Wall-clock time, since the filter runs on two threads; the fastest of five runs, since the
// development machine's two cores are shared with other work.
double fastest(const std::vector<double>& times) {
    return *std::min_element(times.begin(), times.end());
}

benchmark::internal::Benchmark* measured(benchmark::internal::Benchmark* benchmark) {
    return benchmark->Unit(benchmark::kMillisecond)
        ->UseRealTime()
        ->Repetitions(5)
        ->ReportAggregatesOnly(true)
        ->ComputeStatistics("min", fastest);
}

BENCHMARK(BM_SmoothFrame)->Apply([](auto* b) {
    measured(b->Args({0, 1})->Args({0, 0})->Args({1, 1})->Args({1, 0})->Args({2, 1})->ArgNames(
        {"area", "avx2"}));
});
BENCHMARK(BM_OpenCvBilateral)->Apply([](auto* b) { measured(b->Arg(0)->Arg(1)->ArgName("area")); });
BENCHMARK(BM_OpenCvEdgePreserving)->Apply([](auto* b) {
    measured(b->Arg(0)->Arg(1)->ArgName("area"));
});
BENCHMARK(BM_ResizeBilinear)->Apply([](auto* b) { measured(b->Arg(1)->Arg(0)->ArgName("avx2")); });
BENCHMARK(BM_CoverScale)->Apply([](auto* b) {
    measured(
        b->Args({0, 1})->Args({1, 1})->Args({0, 0})->Args({1, 0})->ArgNames({"camera", "avx2"}));
});
BENCHMARK(BM_OpenCvResize)->Apply([](auto* b) { measured(b->Arg(0)->Arg(1)->ArgName("camera")); });

// Prints the usual table, then each result per frame and per megapixel, and the goals.
class SummaryReporter : public benchmark::ConsoleReporter {
  public:
    void ReportRuns(const std::vector<Run>& runs) override {
        ConsoleReporter::ReportRuns(runs);
        for (const auto& run : runs) {
            if (!run.error_occurred && run.aggregate_name == "min") {
                const auto pixels = run.counters.find("pixels");
                results_[run.run_name.function_name + "/" + run.run_name.args] = {
                    run.GetAdjustedRealTime(),  // the table is in milliseconds
                    pixels == run.counters.end() ? 0.0 : pixels->second.value / 1e6};
            }
        }
    }

    void Finalize() override {
        ConsoleReporter::Finalize();
        std::printf(
            "\nFastest of five runs (area 0: 1280 x 720, 1: 320 x 400, 2: 1270 x 720; "
            "camera 0: 640 x 480, 1: 1920 x 1080, scaled to 1280 x 720)\n");
        std::printf("%-46s %12s %12s\n", "", "ms / frame", "ms / Mpixel");
        for (const auto& [name, result] : results_) {
            std::printf("%-46s %12.3f %12.3f\n", name.c_str(), result.milliseconds,
                        result.milliseconds / result.megapixels);
        }
        printGoals();
    }

  private:
    struct Timing {
        double milliseconds = 0;
        double megapixels = 0;
    };

    double time(const std::string& name) const {
        const auto found = results_.find(name);
        return found == results_.end() ? NAN : found->second.milliseconds;
    }

    void printGoals() const {
        const double avx2 = time("BM_SmoothFrame/area:0/avx2:1");
        const double bilateral = time("BM_OpenCvBilateral/area:0");
        const double recursive = time("BM_OpenCvEdgePreserving/area:0");
        const double resize = time("BM_ResizeBilinear/avx2:1");
        std::printf("\nGoals for 1280 x 720:\n");
        std::printf("  smoothFrame with AVX2: %.3f ms (goal: at most 4 ms)\n", avx2);
        std::printf("  cv::bilateralFilter / smoothFrame: %.1f times (goal: at least 10)\n",
                    bilateral / avx2);
        std::printf("  cv::edgePreservingFilter / smoothFrame: %.1f times (goal: above 1)\n",
                    recursive / avx2);
        std::printf("  smoothFrame with AVX2 at 1270 x 720, rows padded: %.3f ms\n",
                    time("BM_SmoothFrame/area:2/avx2:1"));
        std::printf("  resizeBilinear to 320 x 180: %.3f ms (goal: at most 0.3 ms)\n", resize);
        const char* const cameras[] = {"640 x 480", "1920 x 1080"};
        for (int camera = 0; camera < 2; ++camera) {
            const std::string arg = "camera:" + std::to_string(camera);
            std::printf(
                "  coverScaler from %s: %.3f ms with AVX2, %.3f ms plain; cv::resize "
                "%.3f ms (goal: at most 1.5 ms)\n",
                cameras[camera], time("BM_CoverScale/" + arg + "/avx2:1"),
                time("BM_CoverScale/" + arg + "/avx2:0"), time("BM_OpenCvResize/" + arg));
        }
    }

    std::map<std::string, Timing> results_;
};

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    SummaryReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    return 0;
}
