// Landmark fitting with a model of the default size (5 stages, 98 landmarks, 6 trees of depth
// 5) on a 1280 x 720 grey picture. The result is checked to be a shape inside the picture.
#include <benchmark/benchmark.h>
#include <stb_image.h>
#include <stb_image_resize.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <random>
#include <vector>

#include "model_file.hpp"
#include "velvix/face/face_step.hpp"
#include "velvix/face/landmark_fitter.hpp"
#include "velvix/pipeline/frame_processor.hpp"

namespace {

using namespace velvix;

LandmarkModel defaultSizedModel() {
    testing::ModelFileContents contents;
    std::mt19937 random(9);
    std::vector<float> weights(196 * 9408);
    for (auto& weight : weights) {
        weight = std::uniform_real_distribution<float>(-1e-3f, 1e-3f)(random);
    }
    contents.weight = [&weights](int, int row, int column) {
        return weights[static_cast<std::size_t>(row) * 9408 + static_cast<std::size_t>(column)];
    };
    contents.feature = [](int, int landmark, int tree, int node) {
        const float a = 0.05f * static_cast<float>((landmark + tree + node) % 7 - 3);
        return std::array<float, 4>{a, -a, -a * 0.5f, a * 0.5f};
    };
    contents.threshold = [](int, int, int tree, int node) { return (tree * 7 + node) % 21 - 10; };
    std::FILE* file = testing::temporaryFile(testing::serialiseModel(contents));
    LandmarkModel model;
    LandmarkParams params;
    static_cast<void>(loadLandmarkModel(file, model, params));
    std::fclose(file);
    return model;
}

void BM_FitLandmarks(benchmark::State& state) {
    static const LandmarkModel model = defaultSizedModel();
    std::vector<std::uint8_t> pixels(1280 * 720);
    std::mt19937 random(4);
    for (auto& pixel : pixels) {
        pixel = static_cast<std::uint8_t>(random());
    }
    const LiteMat image = LiteMat::external(LiteMat::kUint8, 720, 1280, pixels.data());
    const FaceBox box = FaceBox::fromRectangle(500, 200, 250, 300);
    LiteMat shape;
    for (auto _ : state) {
        shape = fitLandmarks(image, box, model);
        benchmark::DoNotOptimize(shape.data());
    }
    for (int l = 0; l < shape.rows(); ++l) {
        const float x = shape.at(l, 0);
        const float y = shape.at(l, 1);
        if (!std::isfinite(x) || !std::isfinite(y) || x < 300 || x > 950 || y < 0 || y > 720) {
            state.SkipWithError("the fitted shape left the face");
            break;
        }
    }
    state.counters["landmarks"] = shape.rows();
}

// The upper part of the demo portrait, enlarged so that the face is about 240 pixels wide, as
// a 1280 x 720 frame in the worker's layout (blue, green, red, bottom row first).
std::vector<std::uint8_t> portraitFrame() {
    int width = 0;
    int height = 0;
    int channels = 0;
    stbi_uc* rgb = stbi_load(VELVIX_DEMO_PHOTO, &width, &height, &channels, 3);
    std::vector<std::uint8_t> frame(1280 * 720 * 3, 60);
    if (rgb == nullptr) {
        return frame;
    }
    const int side = 1250;
    std::vector<std::uint8_t> scaled(static_cast<std::size_t>(side * side * 3));
    stbir_resize_uint8(rgb, width, height, 0, scaled.data(), side, side, 0, 3);
    stbi_image_free(rgb);
    const int left = (1280 - side) / 2;
    for (int y = 0; y < side && y < 720; ++y) {
        for (int x = 0; x < side; ++x) {
            const std::uint8_t* pixel =
                scaled.data() + (static_cast<std::size_t>(y) * side + x) * 3;
            std::uint8_t* out =
                frame.data() + (static_cast<std::size_t>(719 - y) * 1280 + left + x) * 3;
            out[0] = pixel[2];
            out[1] = pixel[1];
            out[2] = pixel[0];
        }
    }
    return frame;
}

// The whole face step on a 1280 x 720 frame: turned copy, quarter-size copy, detection,
// rectangle, grey picture and the fit with a default-sized model.
void BM_FaceStep(benchmark::State& state) {
    const std::string modelPath = testing::writeModelFile(
        {}, "/tmp/velvix-bench-face-" + std::to_string(::getpid()) + ".dat");
    FaceProcessingStep step(makeFaceDetector(VELVIX_FACE_NETWORK), modelPath);
    FrameBuffers buffers;
    const auto frame = portraitFrame();
    std::copy(frame.begin(), frame.end(), buffers.output());
    FaceOutputs face;
    for (auto _ : state) {
        step.run(buffers.faceStepBuffers(kDefaultFrameSize), face);
    }
    std::remove(modelPath.c_str());
    if (!face.faceValid || !face.faceLandmarks) {
        state.SkipWithError("the face step found no face in the portrait");
    }
    state.SetLabel(step.detectorName());
}

// Writes more memory than the processor's caches hold, as the frame's other steps do between
// two fits, then reads the grey picture again: the face step makes it just before it fits.
void evictAllButGreyPicture(std::vector<std::uint8_t>& scratch, const LiteMat& grey) {
    for (std::size_t i = 0; i < scratch.size(); i += 64) {
        scratch[i] = static_cast<std::uint8_t>(scratch[i] + 1);
    }
    unsigned sum = 0;
    for (std::int32_t row = 0; row < grey.rows(); ++row) {
        for (std::int32_t col = 0; col < grey.cols(); col += 64) {
            sum += grey.byteAt(row, col);
        }
    }
    benchmark::DoNotOptimize(sum);
    benchmark::ClobberMemory();
}

// The shipped model on the portrait's face, boxed by the face step as at run time; with
// argument 1 every fit starts with the model out of the caches, as in the running program.
void BM_FitShippedModel(benchmark::State& state) {
    FaceProcessingStep step(makeFaceDetector(VELVIX_FACE_NETWORK), VELVIX_SHIPPED_MODEL);
    FrameBuffers buffers;
    const auto frame = portraitFrame();
    std::copy(frame.begin(), frame.end(), buffers.output());
    FaceOutputs face;
    step.run(buffers.faceStepBuffers(kDefaultFrameSize), face);
    if (!face.faceValid || !step.model().loaded()) {
        state.SkipWithError("no face in the portrait, or no shipped model");
        return;
    }
    const LiteMat grey = LiteMat::external(LiteMat::kUint8, 720, 1280, buffers.grey());
    const FaceBox box = FaceBox::fromRectangle(
        static_cast<float>(face.faceX), static_cast<float>(face.faceY),
        static_cast<float>(face.faceWidth), static_cast<float>(face.faceHeight));
    const bool coldCaches = state.range(0) == 1;
    std::vector<std::uint8_t> scratch(coldCaches ? std::size_t{64} << 20 : 0);
    LiteMat shape;
    for (auto _ : state) {
        if (coldCaches) {
            state.PauseTiming();
            evictAllButGreyPicture(scratch, grey);
            state.ResumeTiming();
        }
        shape = fitLandmarks(grey, box, step.model());
        benchmark::DoNotOptimize(shape.data());
    }
    for (int l = 0; l < shape.rows(); ++l) {
        const bool inBox = shape.at(l, 0) > box.x - box.width * 0.25f &&
                           shape.at(l, 0) < box.x + box.width * 1.25f &&
                           shape.at(l, 1) > box.y - box.height * 0.25f &&
                           shape.at(l, 1) < box.y + box.height * 1.25f;
        if (!inBox) {
            state.SkipWithError("a fitted landmark left the face");
            break;
        }
    }
}

BENCHMARK(BM_FitLandmarks)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_FitShippedModel)->Arg(0)->Arg(1)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_FaceStep)->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    std::printf("goals: fitLandmarks at most 1 ms per face, detection at most 10 ms\n");
    return 0;
}
