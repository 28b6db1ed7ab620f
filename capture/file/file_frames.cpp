#include "file_frames.hpp"

#include <stb_image.h>
#include <turbojpeg.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <iterator>
#include <sstream>

#include "layout_conversions.hpp"
#include "velvix/base/picture_rows.hpp"
#include "velvix/pipeline/pixels.hpp"

namespace velvix::file_camera {
namespace {

// 8K UHD (7680 x 4320) fits; the frame worker takes at most that much of a picture.
constexpr int kMaxSide = 8192;
constexpr std::size_t kMaxHeaderLine = 4096;
constexpr char kY4mSignature[] = "YUV4MPEG2 ";
constexpr char kFrameLine[] = "FRAME\n";
constexpr std::uint64_t kUnitsPerSecond = 10'000'000;
constexpr std::uint64_t kLongestFramePeriod = kUnitsPerSecond * 10;
// The 8-bit colour spaces of the format: 4:2:0 with its chroma sitings, and grey.
constexpr std::string_view kEightBit420[] = {"420", "420jpeg", "420paldv", "420mpeg2"};
constexpr std::string_view kMono = "mono";

std::uint8_t toByte(int value) {
    return static_cast<std::uint8_t>(std::clamp(value, 0, 255));
}

std::size_t area(int width, int height) {
    return static_cast<std::size_t>(width) * static_cast<std::size_t>(height);
}

// The product, or nothing when it does not fit.
std::optional<std::size_t> checkedProduct(std::size_t a, std::size_t b) {
    std::size_t product = 0;
    if (__builtin_mul_overflow(a, b, &product)) {
        return std::nullopt;
    }
    return product;
}

// A whole decimal number from `lowest` to `highest`, the whole text and nothing else.
template <typename Number>
std::optional<Number> numberIn(std::string_view text, Number lowest, Number highest) {
    Number value{};
    const char* end = text.data() + text.size();
    const auto [rest, error] = std::from_chars(text.data(), end, value);
    if (text.empty() || error != std::errc{} || rest != end || value < lowest || value > highest) {
        return std::nullopt;
    }
    return value;
}

std::string sizeText(int width, int height) {
    return std::to_string(width) + " x " + std::to_string(height);
}

Result<> usableSize(int width, int height, MediaSubtype delivered) {
    if (width <= 0 || height <= 0 || width > kMaxSide || height > kMaxSide) {
        return Failure{"the picture is " + sizeText(width, height) +
                       "; a test camera takes 1 x 1 to " + sizeText(kMaxSide, kMaxSide)};
    }
    if (delivered == MediaSubtype::nv12 && (width % 2 != 0 || height % 2 != 0)) {
        return Failure{"NV12 needs an even width and height"};
    }
    return {};
}

class StillSource final : public FrameSource {
  public:
    StillSource(std::vector<std::uint8_t> sample, int width, int height)
        : sample_(std::move(sample)) {
        width_ = width;
        height_ = height;
    }

    const std::vector<std::uint8_t>* nextFrame() override { return &sample_; }

  private:
    std::vector<std::uint8_t> sample_;
};

// A YUV4MPEG2 stream: a header line, then frames of a "FRAME" line and the planes.
class Y4mSource final : public FrameSource {
  public:
    static Result<std::unique_ptr<FrameSource>> open(const std::string& path,
                                                     MediaSubtype delivered) {
        auto source = std::unique_ptr<Y4mSource>(new Y4mSource(path, delivered));
        if (auto header = source->readHeader(); !header) {
            return Failure{header.error()};
        }
        if (auto usable = usableSize(source->width_, source->height_, delivered); !usable) {
            return Failure{usable.error()};
        }
        source->firstFrame_ = source->file_.tellg();
        // Nothing is allocated for a frame that the file is too short to hold.
        if (auto fits = source->frameFitsInFile(); !fits) {
            return Failure{fits.error()};
        }
        if (!source->readFrame()) {
            return Failure{"no complete frame in the file"};
        }
        source->file_.seekg(source->firstFrame_);
        return std::unique_ptr<FrameSource>(std::move(source));
    }

    int framePeriod() const override { return framePeriod_; }

    const std::vector<std::uint8_t>* nextFrame() override {
        if (!readFrame()) {
            file_.clear();
            file_.seekg(firstFrame_);
            if (!readFrame()) {
                return nullptr;
            }
        }
        if (delivered_ == MediaSubtype::nv12) {
            toNv12(sample_);
        } else {
            toRgb24(sample_);
        }
        return &sample_;
    }

  private:
    Y4mSource(const std::string& path, MediaSubtype delivered)
        : file_(path, std::ios::binary), delivered_(delivered) {}

    Result<> readHeader() {
        std::string line;
        if (!readLine(line) || !line.starts_with(kY4mSignature)) {
            return Failure{"not a YUV4MPEG2 file"};
        }
        std::istringstream fields(line.substr(std::strlen(kY4mSignature)));
        std::string field;
        while (fields >> field) {
            const std::string_view value = std::string_view(field).substr(1);
            Result<> read;
            if (field[0] == 'W') {
                read = readSide(value, "width", width_);
            } else if (field[0] == 'H') {
                read = readSide(value, "height", height_);
            } else if (field[0] == 'F') {
                read = readFrameRate(value);
            } else if (field[0] == 'C') {
                read = readColourSpace(value);
            }
            if (!read) {
                return Failure{"YUV4MPEG2 header field " + field + ": " + read.error()};
            }
        }
        if (width_ == 0 || height_ == 0) {
            return Failure{"the YUV4MPEG2 header gives no width (W) or no height (H)"};
        }
        return {};
    }

    static Result<> readSide(std::string_view value, const char* what, int& side) {
        const auto number = numberIn(value, 1, kMaxSide);
        if (!number) {
            return Failure{std::string("the ") + what + " is not a whole number from 1 to " +
                           std::to_string(kMaxSide)};
        }
        side = *number;
        return {};
    }

    // "F30000:1001"; "F0:0" means that the rate is not known.
    Result<> readFrameRate(std::string_view value) {
        const auto colon = value.find(':');
        const auto numerator = numberIn<std::uint64_t>(value.substr(0, colon), 0, UINT32_MAX);
        const auto denominator =
            colon == std::string_view::npos
                ? std::nullopt
                : numberIn<std::uint64_t>(value.substr(colon + 1), 0, UINT32_MAX);
        if (!numerator || !denominator) {
            return Failure{
                "the frame rate is not two whole numbers up to 4294967295 (such as 30000:1001)"};
        }
        if (*numerator == 0 && *denominator == 0) {
            return {};
        }
        // Both factors are below 2^32 and 10^7 is below 2^24: no product overflows.
        const std::uint64_t period =
            *numerator == 0 ? 0 : kUnitsPerSecond * *denominator / *numerator;
        if (period == 0 || period > kLongestFramePeriod) {
            return Failure{"the frame rate gives no frame period from 100 ns to 10 s"};
        }
        framePeriod_ = static_cast<int>(period);
        return {};
    }

    Result<> readColourSpace(std::string_view value) {
        mono_ = value == kMono;
        if (!mono_ && std::find(std::begin(kEightBit420), std::end(kEightBit420), value) ==
                          std::end(kEightBit420)) {
            return Failure{"the colour space is not supported (8-bit 4:2:0 or mono only)"};
        }
        return {};
    }

    // The bytes of one frame after its "FRAME" line, if they can be counted.
    std::optional<std::size_t> frameBytes() const {
        const auto luma =
            checkedProduct(static_cast<std::size_t>(width_), static_cast<std::size_t>(height_));
        const auto chroma = checkedProduct(static_cast<std::size_t>(chromaWidth()),
                                           static_cast<std::size_t>(chromaHeight()));
        const auto bothChroma = chroma ? checkedProduct(*chroma, 2) : std::nullopt;
        if (!luma || !bothChroma) {
            return std::nullopt;
        }
        return mono_ ? *luma : *luma + *bothChroma;
    }

    Result<> frameFitsInFile() {
        const auto bytes = frameBytes();
        file_.seekg(0, std::ios::end);
        const std::streamoff end = file_.tellg();
        file_.seekg(firstFrame_);
        const std::streamoff available = end - static_cast<std::streamoff>(firstFrame_);
        const std::size_t needed = bytes ? *bytes + std::strlen(kFrameLine) : 0;
        if (!bytes || !file_ || available < 0 || static_cast<std::size_t>(available) < needed) {
            return Failure{"the file holds " +
                           std::to_string(std::max<std::streamoff>(available, 0)) +
                           " bytes after its header, less than one " + sizeText(width_, height_) +
                           " frame (" + std::to_string(needed) + " bytes)"};
        }
        return {};
    }

    bool readLine(std::string& line) {
        line.clear();
        char c = 0;
        while (file_.get(c) && c != '\n') {
            if (line.size() == kMaxHeaderLine) {
                return false;
            }
            line.push_back(c);
        }
        return static_cast<bool>(file_);
    }

    bool readFrame() {
        std::string line;
        if (!readLine(line) || !line.starts_with("FRAME")) {
            return false;
        }
        luma_.resize(area(width_, height_));
        const std::size_t chromaBytes = area(chromaWidth(), chromaHeight());
        u_.assign(chromaBytes, 128);
        v_.assign(chromaBytes, 128);
        readBytes(luma_);
        if (!mono_) {
            readBytes(u_);
            readBytes(v_);
        }
        return static_cast<bool>(file_);
    }

    void readBytes(std::vector<std::uint8_t>& plane) {
        file_.read(reinterpret_cast<char*>(plane.data()),
                   static_cast<std::streamsize>(plane.size()));
    }

    int chromaWidth() const { return (width_ + 1) / 2; }
    int chromaHeight() const { return (height_ + 1) / 2; }

    void toNv12(std::vector<std::uint8_t>& sample) const {
        sample.assign(luma_.begin(), luma_.end());
        for (std::size_t i = 0; i < u_.size(); ++i) {
            sample.push_back(u_[i]);
            sample.push_back(v_[i]);
        }
    }

    void toRgb24(std::vector<std::uint8_t>& sample) const {
        sample.resize(area(width_, height_) * 3);
        const auto chromaStride = static_cast<std::size_t>(chromaWidth());
        for (int y = 0; y < height_; ++y) {
            const std::size_t chromaRow = static_cast<std::size_t>(y / 2) * chromaStride;
            rgb24RowFromYuv420(luma_.data() + area(width_, y), u_.data() + chromaRow,
                               v_.data() + chromaRow, width_,
                               sample.data() + area(width_, height_ - 1 - y) * 3);
        }
    }

    std::ifstream file_;
    MediaSubtype delivered_;
    std::streampos firstFrame_;
    bool mono_ = false;
    int framePeriod_ = kNoFramePeriod;
    std::vector<std::uint8_t> sample_;
    std::vector<std::uint8_t> luma_;
    std::vector<std::uint8_t> u_;
    std::vector<std::uint8_t> v_;
};

Result<std::unique_ptr<FrameSource>> openStill(const std::string& path, MediaSubtype delivered,
                                               StillFit fit) {
    int width = 0;
    int height = 0;
    int channels = 0;
    if (std::FILE* file = std::fopen(path.c_str(), "rb")) {
        std::fclose(file);
    } else {
        return Failure{"cannot read the picture: " + std::string(std::strerror(errno))};
    }
    // The size first: a small file may describe a picture of gigabytes.
    if (stbi_info(path.c_str(), &width, &height, &channels) == 0) {
        return Failure{std::string("cannot read the picture: ") + stbi_failure_reason()};
    }
    if (auto usable = usableSize(width, height, delivered); !usable) {
        return Failure{usable.error()};
    }
    const int describedWidth = width;
    const int describedHeight = height;
    stbi_uc* rgb = stbi_load(path.c_str(), &width, &height, &channels, 3);
    if (rgb == nullptr) {
        return Failure{std::string("cannot read the picture: ") + stbi_failure_reason()};
    }
    if (width != describedWidth || height != describedHeight) {
        stbi_image_free(rgb);
        return Failure{"the picture changed while it was read"};
    }
    std::vector<std::uint8_t> whole;
    if (fit == StillFit::whole) {
        whole = wholeIn16By9(rgb, width, height);
    }
    const std::uint8_t* picture = whole.empty() ? rgb : whole.data();
    auto sample = delivered == MediaSubtype::nv12 ? nv12FromRgb(picture, width, height)
                                                  : rgb24FromRgb(picture, width, height);
    stbi_image_free(rgb);
    return std::unique_ptr<FrameSource>(
        std::make_unique<StillSource>(std::move(sample), width, height));
}

// JPEG images back to back, handed out as they are in turn and looped: MJPG as a camera sends
// it. An image starts with the start-of-image marker followed by another marker, which the
// coded data of an image never holds. Every image must have the first one's size.
class JpegFramesSource final : public FrameSource {
  public:
    static Result<std::unique_ptr<FrameSource>> open(const std::string& path) {
        std::ifstream file(path, std::ios::binary);
        if (!file) {
            return Failure{"cannot read the JPEG frames: " + std::string(std::strerror(errno))};
        }
        const std::vector<std::uint8_t> bytes((std::istreambuf_iterator<char>(file)),
                                              std::istreambuf_iterator<char>());
        auto source = std::make_unique<JpegFramesSource>();
        const std::unique_ptr<void, decltype(&tjDestroy)> decoder(tjInitDecompress(), tjDestroy);
        for (std::size_t start = 0; start < bytes.size();) {
            if (imageStart(bytes, start) != start) {
                return Failure{"not JPEG frames: no image starts at byte " + std::to_string(start)};
            }
            const std::size_t end = imageStart(bytes, start + 1);
            std::vector<std::uint8_t> frame(bytes.begin() + static_cast<std::ptrdiff_t>(start),
                                            bytes.begin() + static_cast<std::ptrdiff_t>(end));
            int width = 0;
            int height = 0;
            int subsampling = 0;
            int colourspace = 0;
            if (tjDecompressHeader3(decoder.get(), frame.data(),
                                    static_cast<unsigned long>(frame.size()), &width, &height,
                                    &subsampling, &colourspace) != 0) {
                return Failure{"not JPEG frames: " + std::string(tjGetErrorStr2(decoder.get()))};
            }
            if (source->frames_.empty()) {
                if (auto usable = usableSize(width, height, MediaSubtype::mjpg); !usable) {
                    return Failure{usable.error()};
                }
                source->width_ = width;
                source->height_ = height;
            } else if (width != source->width_ || height != source->height_) {
                return Failure{"JPEG frames of different sizes"};
            }
            source->frames_.push_back(std::move(frame));
            start = end;
        }
        if (source->frames_.empty()) {
            return Failure{"not JPEG frames: the file is empty"};
        }
        return std::unique_ptr<FrameSource>(std::move(source));
    }

    const std::vector<std::uint8_t>* nextFrame() override {
        const std::vector<std::uint8_t>* frame = &frames_[next_];
        next_ = (next_ + 1) % frames_.size();
        return frame;
    }

  private:
    // Where the first image at or after `from` starts; the end when none does.
    static std::size_t imageStart(const std::vector<std::uint8_t>& bytes, std::size_t from) {
        for (std::size_t at = from; at + 2 < bytes.size(); ++at) {
            if (bytes[at] == 0xFF && bytes[at + 1] == 0xD8 && bytes[at + 2] == 0xFF) {
                return at;
            }
        }
        return bytes.size();
    }

    std::vector<std::vector<std::uint8_t>> frames_;
    std::size_t next_ = 0;
};

bool startsWithY4mSignature(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    std::string start(std::strlen(kY4mSignature), '\0');
    file.read(start.data(), static_cast<std::streamsize>(start.size()));
    return file && start == kY4mSignature;
}

}  // namespace

Result<std::unique_ptr<FrameSource>> openFrameSource(const std::string& path,
                                                     MediaSubtype delivered, StillFit fit) {
    if (delivered == MediaSubtype::mjpg) {
        return JpegFramesSource::open(path);
    }
    return startsWithY4mSignature(path) ? Y4mSource::open(path, delivered)
                                        : openStill(path, delivered, fit);
}

std::vector<std::uint8_t> wholeIn16By9(const std::uint8_t* rgb, int& width, int& height) {
    const auto even = [](std::int64_t side) { return side + side % 2; };
    const std::int64_t wideWidth = even(std::max<std::int64_t>(width, (height * 16LL + 8) / 9));
    const std::int64_t wideHeight = even(std::max<std::int64_t>(height, (width * 9LL + 15) / 16));
    if (wideWidth > kMaxSide || wideHeight > kMaxSide ||
        (wideWidth == width && wideHeight == height)) {
        return {};
    }
    std::vector<std::uint8_t> wide(static_cast<std::size_t>(wideWidth * wideHeight * 3),
                                   kNeutralGrey);
    const std::int64_t left = (wideWidth - width) / 2;
    const std::int64_t top = (wideHeight - height) / 2;
    for (std::int64_t y = 0; y < height; ++y) {
        std::memcpy(&wide[static_cast<std::size_t>(((top + y) * wideWidth + left) * 3)],
                    rgb + y * width * 3, static_cast<std::size_t>(width) * 3);
    }
    width = static_cast<int>(wideWidth);
    height = static_cast<int>(wideHeight);
    return wide;
}

std::vector<std::uint8_t> nv12FromRgb(const std::uint8_t* rgb, int width, int height) {
    const auto w = static_cast<std::size_t>(width);
    const auto h = static_cast<std::size_t>(height);
    std::vector<std::uint8_t> nv12(w * h * 3 / 2);
    auto pixel = [&](std::size_t x, std::size_t y) { return rgb + (y * w + x) * 3; };
    for (std::size_t y = 0; y < h; ++y) {
        for (std::size_t x = 0; x < w; ++x) {
            const std::uint8_t* p = pixel(x, y);
            nv12[y * w + x] = toByte(((66 * p[0] + 129 * p[1] + 25 * p[2] + 128) >> 8) + 16);
        }
    }
    std::uint8_t* chroma = nv12.data() + w * h;
    for (std::size_t y = 0; y < h; y += 2) {
        for (std::size_t x = 0; x < w; x += 2, chroma += 2) {
            int red = 0;
            int green = 0;
            int blue = 0;
            for (const auto* p :
                 {pixel(x, y), pixel(x + 1, y), pixel(x, y + 1), pixel(x + 1, y + 1)}) {
                red += p[0];
                green += p[1];
                blue += p[2];
            }
            red = (red + 2) / 4;
            green = (green + 2) / 4;
            blue = (blue + 2) / 4;
            chroma[0] = toByte(((-38 * red - 74 * green + 112 * blue + 128) >> 8) + 128);
            chroma[1] = toByte(((112 * red - 94 * green - 18 * blue + 128) >> 8) + 128);
        }
    }
    return nv12;
}

std::vector<std::uint8_t> rgb24FromRgb(const std::uint8_t* rgb, int width, int height) {
    const FrameSize size{width, height};
    std::vector<std::uint8_t> bgr(static_cast<std::size_t>(size.pixels()) * 3);
    swapRedAndBlue(packedPicture(rgb, size, 3), upsideDown(packedPicture(bgr.data(), size, 3)));
    return bgr;
}

}  // namespace velvix::file_camera
