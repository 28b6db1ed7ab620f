#include "file_frames.hpp"

#include <stb_image.h>

#include <algorithm>
#include <cstring>
#include <sstream>

#include "velvix/capture/layout_conversions.hpp"

namespace velvix::file_camera {
namespace {

constexpr int kMaxSide = 16384;
constexpr std::size_t kMaxHeaderLine = 4096;
constexpr char kY4mSignature[] = "YUV4MPEG2 ";
constexpr std::int64_t kUnitsPerSecond = 10'000'000;

std::uint8_t toByte(int value) {
    return static_cast<std::uint8_t>(std::clamp(value, 0, 255));
}

std::size_t area(int width, int height) {
    return static_cast<std::size_t>(width) * static_cast<std::size_t>(height);
}

bool usableSize(int width, int height, MediaSubtype delivered, std::string& error) {
    if (width <= 0 || height <= 0 || width > kMaxSide || height > kMaxSide) {
        error = "unusable picture size";
        return false;
    }
    if (delivered == MediaSubtype::nv12 && (width % 2 != 0 || height % 2 != 0)) {
        error = "NV12 needs an even width and height";
        return false;
    }
    return true;
}

class StillSource final : public FrameSource {
  public:
    StillSource(std::vector<std::uint8_t> sample, int width, int height)
        : sample_(std::move(sample)) {
        width_ = width;
        height_ = height;
    }

    bool nextFrame(std::vector<std::uint8_t>& sample) override {
        sample = sample_;
        return true;
    }

  private:
    std::vector<std::uint8_t> sample_;
};

// A YUV4MPEG2 stream: a header line, then frames of a "FRAME" line and the planes.
class Y4mSource final : public FrameSource {
  public:
    static OpenedSource open(const std::string& path, MediaSubtype delivered) {
        auto source = std::unique_ptr<Y4mSource>(new Y4mSource(path, delivered));
        std::string error = source->readHeader();
        if (!error.empty() || !usableSize(source->width_, source->height_, delivered, error)) {
            return {nullptr, error};
        }
        source->firstFrame_ = source->file_.tellg();
        if (!source->readFrame()) {
            return {nullptr, "no complete frame in the file"};
        }
        source->file_.seekg(source->firstFrame_);
        return {std::move(source), ""};
    }

    int framePeriod() const override { return framePeriod_; }

    bool nextFrame(std::vector<std::uint8_t>& sample) override {
        if (!readFrame()) {
            file_.clear();
            file_.seekg(firstFrame_);
            if (!readFrame()) {
                return false;
            }
        }
        if (delivered_ == MediaSubtype::nv12) {
            toNv12(sample);
        } else {
            toRgb24(sample);
        }
        return true;
    }

  private:
    Y4mSource(const std::string& path, MediaSubtype delivered)
        : file_(path, std::ios::binary), delivered_(delivered) {}

    std::string readHeader() {
        std::string line;
        if (!readLine(line) || !line.starts_with(kY4mSignature)) {
            return "not a YUV4MPEG2 file";
        }
        std::istringstream fields(line.substr(std::strlen(kY4mSignature)));
        std::string field;
        while (fields >> field) {
            const std::string value = field.substr(1);
            if (field[0] == 'W') {
                width_ = std::atoi(value.c_str());
            } else if (field[0] == 'H') {
                height_ = std::atoi(value.c_str());
            } else if (field[0] == 'F') {
                readFrameRate(value);
            } else if (field[0] == 'C') {
                mono_ = value == "mono";
                if (!mono_ && !value.starts_with("420")) {
                    return "colour space C" + value + " is not supported (4:2:0 or mono)";
                }
            }
        }
        return "";
    }

    void readFrameRate(const std::string& value) {
        long long numerator = 0;
        long long denominator = 0;
        if (std::sscanf(value.c_str(), "%lld:%lld", &numerator, &denominator) == 2 &&
            numerator > 0 && denominator > 0) {
            const long long period = kUnitsPerSecond * denominator / numerator;
            if (period > 0 && period <= kUnitsPerSecond * 10) {
                framePeriod_ = static_cast<int>(period);
            }
        }
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
            std::uint8_t* out = sample.data() + area(width_, height_ - 1 - y) * 3;
            const std::size_t chromaRow = static_cast<std::size_t>(y / 2) * chromaStride;
            for (int x = 0; x < width_; ++x, out += 3) {
                const std::size_t chroma = chromaRow + static_cast<std::size_t>(x / 2);
                const RgbPixel rgb = rgbFromYuv(
                    luma_[area(width_, y) + static_cast<std::size_t>(x)], u_[chroma], v_[chroma]);
                out[0] = rgb.blue;
                out[1] = rgb.green;
                out[2] = rgb.red;
            }
        }
    }

    std::ifstream file_;
    MediaSubtype delivered_;
    std::streampos firstFrame_;
    bool mono_ = false;
    int framePeriod_ = kNoFramePeriod;
    std::vector<std::uint8_t> luma_;
    std::vector<std::uint8_t> u_;
    std::vector<std::uint8_t> v_;
};

OpenedSource openStill(const std::string& path, MediaSubtype delivered) {
    int width = 0;
    int height = 0;
    int channels = 0;
    stbi_uc* rgb = stbi_load(path.c_str(), &width, &height, &channels, 3);
    if (rgb == nullptr) {
        return {nullptr, std::string("cannot read the picture: ") + stbi_failure_reason()};
    }
    std::string error;
    OpenedSource opened;
    if (usableSize(width, height, delivered, error)) {
        auto sample = delivered == MediaSubtype::nv12 ? nv12FromRgb(rgb, width, height)
                                                      : rgb24FromRgb(rgb, width, height);
        opened.source = std::make_unique<StillSource>(std::move(sample), width, height);
    } else {
        opened.error = error;
    }
    stbi_image_free(rgb);
    return opened;
}

bool startsWithY4mSignature(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    std::string start(std::strlen(kY4mSignature), '\0');
    file.read(start.data(), static_cast<std::streamsize>(start.size()));
    return file && start == kY4mSignature;
}

}  // namespace

OpenedSource openFrameSource(const std::string& path, MediaSubtype delivered) {
    return startsWithY4mSignature(path) ? Y4mSource::open(path, delivered)
                                        : openStill(path, delivered);
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
    const auto w = static_cast<std::size_t>(width);
    const auto h = static_cast<std::size_t>(height);
    std::vector<std::uint8_t> bgr(w * h * 3);
    for (std::size_t y = 0; y < h; ++y) {
        const std::uint8_t* in = rgb + y * w * 3;
        std::uint8_t* out = bgr.data() + (h - 1 - y) * w * 3;
        for (std::size_t x = 0; x < w; ++x) {
            out[x * 3] = in[x * 3 + 2];
            out[x * 3 + 1] = in[x * 3 + 1];
            out[x * 3 + 2] = in[x * 3];
        }
    }
    return bgr;
}

}  // namespace velvix::file_camera
