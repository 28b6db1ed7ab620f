#include "camera_samples.hpp"

#include <stb_image.h>
#include <turbojpeg.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <fstream>
#include <map>
#include <memory>
#include <sstream>
#include <stdexcept>

namespace velvix::testing {

Photo testPhoto() {
    Photo photo;
    int channels = 0;
    const std::unique_ptr<stbi_uc, decltype(&stbi_image_free)> pixels(
        stbi_load(VELVIX_DEMO_PHOTO, &photo.width, &photo.height, &channels, 3), stbi_image_free);
    if (pixels) {
        photo.rgb.assign(pixels.get(), pixels.get() + photo.width * photo.height * 3);
    }
    return photo;
}

Photo photoInFrame(int width, int height) {
    const Photo photo = testPhoto();
    Photo frame{width, height, std::vector<std::uint8_t>(std::size_t(width) * height * 3, 128)};
    const int left = (width - photo.width) / 2;
    const int top = (height - photo.height) / 2;
    for (int y = 0; y < photo.height; ++y) {
        std::copy_n(photo.rgb.begin() + y * photo.width * 3, photo.width * 3,
                    frame.rgb.begin() + ((top + y) * width + left) * 3);
    }
    return frame;
}

std::vector<std::uint8_t> cameraJpeg(const Photo& photo) {
    const std::unique_ptr<void, decltype(&tjDestroy)> coder(tjInitCompress(), tjDestroy);
    unsigned char* jpeg = nullptr;
    unsigned long length = 0;
    if (photo.rgb.empty() ||
        tjCompress2(coder.get(), photo.rgb.data(), photo.width, 0, photo.height, TJPF_RGB, &jpeg,
                    &length, TJSAMP_422, 85, 0) != 0) {
        return {};
    }
    std::vector<std::uint8_t> bytes(jpeg, jpeg + length);
    tjFree(jpeg);
    return bytes;
}

double meanDifference(const std::uint8_t* frame, const Photo& photo) {
    double sum = 0;
    for (int y = 0; y < photo.height; ++y) {
        const std::uint8_t* out = frame + std::size_t(photo.height - 1 - y) * photo.width * 4;
        const std::uint8_t* in = photo.rgb.data() + std::size_t(y) * photo.width * 3;
        for (int x = 0; x < photo.width; ++x, out += 4, in += 3) {
            sum += std::abs(out[0] - in[0]) + std::abs(out[1] - in[1]) + std::abs(out[2] - in[2]);
        }
    }
    return sum / (3.0 * photo.width * photo.height);
}

std::vector<CameraMode> cameraModes(const std::string& camera) {
    // As V4L2 prints them.
    const std::map<std::string, MediaSubtype> subtypes = {{"YUYV", MediaSubtype::yuy2},
                                                          {"MJPG", MediaSubtype::mjpg},
                                                          {"NV12", MediaSubtype::nv12},
                                                          {"YU12", MediaSubtype::i420}};
    const std::string path = std::string(VELVIX_CAMERA_LISTS) + "/" + camera + ".txt";
    std::ifstream file(path);
    if (!file) {
        throw std::runtime_error("no camera list " + path);
    }
    std::vector<CameraMode> modes;
    for (std::string line; std::getline(file, line);) {
        std::istringstream fields(line);
        std::string fourcc;
        CameraMode mode{};
        char times = 0;
        fields >> fourcc >> mode.width >> times >> mode.height;
        const auto subtype = subtypes.find(fourcc);
        if (line.starts_with('#') || subtype == subtypes.end()) {
            continue;
        }
        mode.subtype = subtype->second;
        for (double rate = 0; fields >> rate;) {
            // 100 ns units, as the capture layer counts frame periods.
            mode.framePeriods.push_back(static_cast<int>(std::lround(1e7 / rate)));
        }
        modes.push_back(mode);
    }
    return modes;
}

}  // namespace velvix::testing
