// Feeds hostile camera frames to the MJPG decoder: bytes as they come, or a good frame of a
// synthetic picture that the bytes cut short and overwrite (its header sizes included). The
// first byte chooses which, and the size the stream is said to have.
#include <turbojpeg.h>

#include <cstddef>
#include <cstdint>
#include <vector>

#include "mjpg_decoder.hpp"

namespace {

constexpr int kWidth = 48;
constexpr int kHeight = 32;

std::vector<std::uint8_t> goodFrame() {
    std::vector<std::uint8_t> rgb(kWidth * kHeight * 3);
    for (std::size_t i = 0; i < rgb.size(); ++i) {
        rgb[i] = static_cast<std::uint8_t>(i * 7 + i / 97);
    }
    tjhandle coder = tjInitCompress();
    unsigned char* jpeg = nullptr;
    unsigned long length = 0;
    tjCompress2(coder, rgb.data(), kWidth, 0, kHeight, TJPF_RGB, &jpeg, &length, TJSAMP_422, 80, 0);
    std::vector<std::uint8_t> frame(jpeg, jpeg + length);
    tjFree(jpeg);
    tjDestroy(coder);
    return frame;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const std::vector<std::uint8_t> good = goodFrame();
    static velvix::MjpgDecoder decoder;
    static std::vector<std::uint8_t> frame(kWidth * 2 * kHeight * 4);
    if (size < 5) {
        return 0;
    }
    const int width = data[0] % 4 == 0 ? kWidth * 2 : kWidth;
    if (data[0] % 2 == 0) {
        decoder.decode(data + 1, size - 1, width, kHeight, frame.data());
        return 0;
    }
    std::vector<std::uint8_t> damaged = good;
    const std::size_t at = (data[1] | data[2] << 8) % damaged.size();
    const std::size_t keep = (data[3] | data[4] << 8) % (damaged.size() + 1);
    for (std::size_t i = 5; i < size && at + i - 5 < damaged.size(); ++i) {
        damaged[at + i - 5] = data[i];
    }
    damaged.resize(keep);
    decoder.decode(damaged.data(), damaged.size(), width, kHeight, frame.data());
    return 0;
}
