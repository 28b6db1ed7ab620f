#include "mjpg_decoder.hpp"

#include <turbojpeg.h>

namespace velvix {

MjpgDecoder::MjpgDecoder() : handle_(nullptr) {}

MjpgDecoder::~MjpgDecoder() {
    if (handle_ != nullptr) {
        tjDestroy(handle_);
    }
}

bool MjpgDecoder::decode(const std::uint8_t* data, std::size_t length, int width, int height,
                         std::uint8_t* destination) {
    // Made for the first frame: every device record of a manager has a decoder, and most never
    // see an MJPG camera.
    if (handle_ == nullptr) {
        handle_ = tjInitDecompress();
    }
    if (handle_ == nullptr) {
        problem_ = "no JPEG decoder";
        return false;
    }
    if (length == 0) {
        problem_ = "an empty frame";
        return false;
    }
    int frameWidth = 0;
    int frameHeight = 0;
    int subsampling = 0;
    int colourspace = 0;
    if (tjDecompressHeader3(handle_, data, static_cast<unsigned long>(length), &frameWidth,
                            &frameHeight, &subsampling, &colourspace) != 0) {
        problem_ = tjGetErrorStr2(handle_);
        return false;
    }
    if (frameWidth != width || frameHeight != height) {
        problem_ = "a frame of " + std::to_string(frameWidth) + "x" + std::to_string(frameHeight);
        return false;
    }
    // RGBA, unlike RGBX, has libjpeg-turbo write 255 into the fourth byte: the capture layout
    // comes out of the decoder with no pass of its own. A frame cut short decodes with a
    // warning and grey rows at its end; that is a refusal.
    if (tjDecompress2(handle_, data, static_cast<unsigned long>(length), destination, width, 0,
                      height, TJPF_RGBA, TJFLAG_BOTTOMUP | TJFLAG_STOPONWARNING) != 0) {
        problem_ = tjGetErrorStr2(handle_);
        return false;
    }
    return true;
}

}  // namespace velvix
