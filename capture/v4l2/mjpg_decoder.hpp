#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// Motion JPEG frames as cameras send them, through libjpeg-turbo.
namespace velvix::v4l2 {

class MjpgDecoder {
  public:
    MjpgDecoder();
    ~MjpgDecoder();
    MjpgDecoder(const MjpgDecoder&) = delete;
    MjpgDecoder& operator=(const MjpgDecoder&) = delete;

    // Decodes one frame of exactly width x height pixels into rgb24 as rows of blue, green,
    // red, bottom row first (the layout samples are delivered in), reusing its storage. A
    // frame that is damaged, cut short or of another size is refused whole, and problem()
    // says why: a camera's bad frame must never reach the picture half decoded.
    bool decode(const std::uint8_t* data, std::size_t length, int width, int height,
                std::vector<std::uint8_t>& rgb24);
    const std::string& problem() const { return problem_; }

  private:
    void* handle_;
    std::string problem_;
};

}  // namespace velvix::v4l2
