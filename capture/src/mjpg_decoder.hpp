#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

// Motion JPEG frames as cameras send them, through libjpeg-turbo.
namespace velvix {

class MjpgDecoder {
  public:
    MjpgDecoder();
    ~MjpgDecoder();
    MjpgDecoder(const MjpgDecoder&) = delete;
    MjpgDecoder& operator=(const MjpgDecoder&) = delete;

    // Decodes one frame of exactly width x height pixels straight into the capture layout
    // (red, green, blue, 255; bottom row first) at destination, which holds width x height x 4
    // bytes. The decoder's working storage is kept from frame to frame. A frame that is
    // damaged, cut short or of another size is refused, and problem() says why; the
    // destination may then hold part of it, so a refused frame must never be shown.
    bool decode(const std::uint8_t* data, std::size_t length, int width, int height,
                std::uint8_t* destination);
    const std::string& problem() const { return problem_; }

  private:
    void* handle_;  // libjpeg-turbo's, made on the first frame
    std::string problem_;
};

}  // namespace velvix
