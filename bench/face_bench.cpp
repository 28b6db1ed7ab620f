// Landmark fitting with a model of the default size (5 stages, 98 landmarks, 6 trees of depth
// 5) on a 1280 x 720 grey picture. The result is checked to be a shape inside the picture.
#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdio>
#include <random>

#include "model_file.hpp"
#include "velvix/face/landmark_fitter.hpp"

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
    loadLandmarkModel(file, model, params);
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

BENCHMARK(BM_FitLandmarks)->Unit(benchmark::kMicrosecond);

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    std::printf("goal: fitLandmarks at most 1 ms per face\n");
    return 0;
}
