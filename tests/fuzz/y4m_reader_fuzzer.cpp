// Feeds any bytes to the test camera's YUV4MPEG2 reader as the file after its signature, and
// reads a few frames as the streaming thread would. The first byte chooses RGB24 or NV12.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

#include "file_frames.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    // In memory: a file on disk would make the disk the fuzzer's pace.
    static const std::string path = "/dev/shm/velvix-fuzz-" + std::to_string(getpid()) + ".y4m";
    if (size == 0) {
        return 0;
    }
    std::FILE* file = std::fopen(path.c_str(), "wb");
    if (file == nullptr) {
        return 0;
    }
    std::fputs("YUV4MPEG2 ", file);
    std::fwrite(data + 1, 1, size - 1, file);
    std::fclose(file);
    const auto delivered =
        data[0] % 2 == 0 ? velvix::MediaSubtype::rgb24 : velvix::MediaSubtype::nv12;
    auto opened = velvix::file_camera::openFrameSource(path, delivered);
    if (opened) {
        for (int frame = 0; frame < 3 && (*opened)->nextFrame() != nullptr; ++frame) {
        }
    }
    return 0;
}
