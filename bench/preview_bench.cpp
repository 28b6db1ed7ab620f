// The panel's preview at 1280 x 720: what the worker pays per frame (scaling the frame into the
// preview's picture, or only the check when nobody looks) and what the user-interface thread
// pays per picture shown (taking it, encoding the JPEG and the data address). Frames are the
// demo photo stretched to the frame size, so the encoder sees a real picture.
//   velvix-bench-preview
#include <benchmark/benchmark.h>
#include <stb_image.h>

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "preview.hpp"
#include "velvix/filters/bilinear_scale.hpp"
#include "web_text.hpp"

namespace {

using namespace velvix;

constexpr FrameSize kSize = kDefaultFrameSize;

const std::vector<std::uint8_t>& photoFrame() {
    static const std::vector<std::uint8_t> frame = [] {
        int width = 0;
        int height = 0;
        int channels = 0;
        const std::unique_ptr<stbi_uc, decltype(&stbi_image_free)> photo(
            stbi_load(VELVIX_DEMO_PHOTO, &width, &height, &channels, 3), stbi_image_free);
        std::vector<std::uint8_t> pixels(static_cast<std::size_t>(kSize.pixels()) * 3);
        if (!photo) {
            std::fprintf(stderr, "cannot read %s\n", VELVIX_DEMO_PHOTO);
            return pixels;
        }
        resizeBilinear(packedPicture<const std::uint8_t>(photo.get(), {width, height}, 3),
                       packedPicture(pixels.data(), kSize, 3));
        return pixels;
    }();
    return frame;
}

// The worker's two calls per frame while nobody has asked for a picture.
void BM_PreviewNobodyLooks(benchmark::State& state) {
    PanelPreview preview;
    const auto& frame = photoFrame();
    for (auto _ : state) {
        preview.unsmoothed(frame.data(), kSize);
        preview.published(frame.data(), kSize);
    }
    if (preview.copiedFrames() != 0) {
        state.SkipWithError("copied a frame nobody asked for");
    }
}
BENCHMARK(BM_PreviewNobodyLooks);

// The worker's two calls per frame while the page looks: one of them scales the frame.
void BM_PreviewWorkerCopies(benchmark::State& state) {
    PanelPreview preview;
    const auto& frame = photoFrame();
    std::uint64_t frames = 0;
    for (auto _ : state) {
        // The page asks about twice per frame; its asking is timed by BM_PreviewWholePicture.
        if (frames++ % 16 == 0) {
            state.PauseTiming();
            preview.newJpeg(PreviewPicture::smoothed);
            state.ResumeTiming();
        }
        preview.unsmoothed(frame.data(), kSize);
        preview.published(frame.data(), kSize);
    }
    if (preview.copiedFrames() + 1 < frames) {
        state.SkipWithError("did not copy every frame");
    }
}
BENCHMARK(BM_PreviewWorkerCopies);

// One whole picture: the worker's copy, then the request's JPEG and data address.
void BM_PreviewWholePicture(benchmark::State& state) {
    PanelPreview preview;
    const auto& frame = photoFrame();
    preview.newJpeg(PreviewPicture::smoothed);
    std::size_t jpegBytes = 0;
    for (auto _ : state) {
        preview.unsmoothed(frame.data(), kSize);
        preview.published(frame.data(), kSize);
        const auto jpeg = preview.newJpeg(PreviewPicture::smoothed);
        if (!jpeg || jpeg->empty()) {
            state.SkipWithError("no picture");
            break;
        }
        std::u16string answer;
        appendBase64(answer, *jpeg);
        benchmark::DoNotOptimize(answer.data());
        jpegBytes = jpeg->size();
    }
    state.counters["jpeg_bytes"] = static_cast<double>(jpegBytes);
}
BENCHMARK(BM_PreviewWholePicture);

}  // namespace

BENCHMARK_MAIN();
