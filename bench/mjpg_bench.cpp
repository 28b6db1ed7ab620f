// One 1280 x 720 MJPG camera frame made into the capture layout: decoded straight into it as
// the capture manager fetches it, beside libv4l's conversion of the same frame to BGR24 and
// that converted to the capture layout. The frame is the test photo
// enlarged to the size, with a camera's sensor noise, coded as webcams code (4:2:2 chroma).
#include <benchmark/benchmark.h>
#include <libv4l-plugin.h>
#include <libv4lconvert.h>
#include <linux/videodev2.h>
#include <stb_image.h>
#include <turbojpeg.h>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <memory>
#include <random>
#include <vector>

#include "layout_conversions.hpp"
#include "mjpg_decoder.hpp"
#include "velvix/pipeline/frame_size.hpp"

namespace {

using namespace velvix;

constexpr FrameSize kFrame = kDefaultFrameSize;

// The photo stretched to cover the frame (its middle kept), with +-4 of noise per channel.
std::vector<std::uint8_t> cameraPicture() {
    int width = 0;
    int height = 0;
    int channels = 0;
    const std::unique_ptr<stbi_uc, decltype(&stbi_image_free)> photo(
        stbi_load(VELVIX_DEMO_PHOTO, &width, &height, &channels, 3), stbi_image_free);
    std::vector<std::uint8_t> rgb(static_cast<std::size_t>(kFrame.pixels()) * 3);
    if (!photo) {
        return {};
    }
    const double scale = std::max(double(kFrame.width) / width, double(kFrame.height) / height);
    const double top = (height - kFrame.height / scale) / 2;
    std::mt19937 random(7);
    std::uniform_int_distribution<int> noise(-4, 4);
    for (int y = 0; y < kFrame.height; ++y) {
        for (int x = 0; x < kFrame.width; ++x) {
            const int sx = std::min(width - 1, static_cast<int>(x / scale));
            const int sy = std::min(height - 1, static_cast<int>(top + y / scale));
            for (int c = 0; c < 3; ++c) {
                const int value = photo.get()[(sy * width + sx) * 3 + c] + noise(random);
                rgb[(static_cast<std::size_t>(y) * kFrame.width + x) * 3 + c] =
                    static_cast<std::uint8_t>(std::clamp(value, 0, 255));
            }
        }
    }
    return rgb;
}

const std::vector<std::uint8_t>& cameraFrame() {
    static const std::vector<std::uint8_t> frame = [] {
        const auto rgb = cameraPicture();
        std::vector<std::uint8_t> jpeg;
        if (rgb.empty()) {
            return jpeg;
        }
        tjhandle coder = tjInitCompress();
        unsigned char* bytes = nullptr;
        unsigned long length = 0;
        if (tjCompress2(coder, rgb.data(), kFrame.width, 0, kFrame.height, TJPF_RGB, &bytes,
                        &length, TJSAMP_422, 85, 0) == 0) {
            jpeg.assign(bytes, bytes + length);
        }
        tjFree(bytes);
        tjDestroy(coder);
        return jpeg;
    }();
    return frame;
}

void BM_MjpgToCaptureLayout(benchmark::State& state) {
    const auto& jpeg = cameraFrame();
    MjpgDecoder decoder;
    std::vector<std::uint8_t> capture(static_cast<std::size_t>(kFrame.pixels()) * 4);
    for (auto _ : state) {
        if (!decoder.decode(jpeg.data(), jpeg.size(), kFrame.width, kFrame.height,
                            capture.data())) {
            state.SkipWithError(decoder.problem().c_str());
            return;
        }
        benchmark::DoNotOptimize(capture.data());
    }
    state.counters["jpeg_kB"] = static_cast<double>(jpeg.size()) / 1000.0;
}

// libv4lconvert asks its device what it is; without a camera it is told of a plain one.
int plainCameraIoctl(void* /*priv*/, int /*fd*/, unsigned long request, void* argument) {
    if (request == VIDIOC_QUERYCAP) {
        auto* capability = static_cast<v4l2_capability*>(argument);
        std::memset(capability, 0, sizeof *capability);
        std::strcpy(reinterpret_cast<char*>(capability->driver), "uvcvideo");
        capability->capabilities = V4L2_CAP_VIDEO_CAPTURE | V4L2_CAP_STREAMING;
        capability->device_caps = capability->capabilities;
        return 0;
    }
    errno = EINVAL;
    return -1;
}

void BM_LibV4lMjpgToCaptureLayout(benchmark::State& state) {
    const auto& jpeg = cameraFrame();
    libv4l_dev_ops plainCamera{};
    plainCamera.ioctl = plainCameraIoctl;
    const std::unique_ptr<v4lconvert_data, decltype(&v4lconvert_destroy)> converter(
        v4lconvert_create_with_dev_ops(-1, nullptr, &plainCamera), v4lconvert_destroy);
    if (!converter) {
        state.SkipWithError("libv4lconvert could not start");
        return;
    }
    v4l2_format source{};
    source.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    source.fmt.pix.width = static_cast<std::uint32_t>(kFrame.width);
    source.fmt.pix.height = static_cast<std::uint32_t>(kFrame.height);
    source.fmt.pix.pixelformat = V4L2_PIX_FMT_MJPEG;
    v4l2_format destination = source;
    destination.fmt.pix.pixelformat = V4L2_PIX_FMT_BGR24;
    destination.fmt.pix.bytesperline = static_cast<std::uint32_t>(kFrame.width) * 3;
    destination.fmt.pix.sizeimage = destination.fmt.pix.bytesperline * source.fmt.pix.height;
    std::vector<std::uint8_t> bgr(destination.fmt.pix.sizeimage);
    std::vector<std::uint8_t> input = jpeg;
    std::vector<std::uint8_t> capture(static_cast<std::size_t>(kFrame.pixels()) * 4);
    for (auto _ : state) {
        if (v4lconvert_convert(converter.get(), &source, &destination, input.data(),
                               static_cast<int>(input.size()), bgr.data(),
                               static_cast<int>(bgr.size())) < 0) {
            state.SkipWithError(v4lconvert_get_error_message(converter.get()));
            return;
        }
        convertRgb24(bgr.data(), capture.data(), kFrame.width, kFrame.height);
        benchmark::DoNotOptimize(capture.data());
    }
}

}  // namespace

BENCHMARK(BM_MjpgToCaptureLayout)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_LibV4lMjpgToCaptureLayout)->Unit(benchmark::kMillisecond);

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (cameraFrame().empty()) {
        std::fprintf(stderr, "velvix-bench-mjpg: could not make the camera frame\n");
        return 1;
    }
    std::printf("One %dx%d MJPG frame of %zu bytes; goal: at most 3 ms of processor time.\n",
                kFrame.width, kFrame.height, cameraFrame().size());
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
