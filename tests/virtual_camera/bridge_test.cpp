#include "velvix/virtual_camera/bridge.hpp"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <functional>
#include <map>
#include <numeric>
#include <random>
#include <tuple>

#include "test_support.hpp"
#include "velvix/pipeline/frame_ring.hpp"
#include "velvix/platform/cpu_info.hpp"
#include "velvix/virtual_camera/frame_output.hpp"

namespace velvix::virtual_camera {
namespace {

using Bytes = std::vector<std::uint8_t>;
using testing::ScopedRingName;

constexpr std::uint64_t kSecond = 10'000'000;
constexpr std::uint64_t kFrame = kSecond / 30;

using Rgb = std::array<int, 3>;  // red, green, blue

// Ring layout: blue, green, red; the bottom row first.
Bytes ringFrame(FrameSize size, const std::function<Rgb(int x, int yFromTop)>& colour) {
    Bytes pixels;
    for (int y = size.height - 1; y >= 0; --y) {
        for (int x = 0; x < size.width; ++x) {
            const Rgb c = colour(x, y);
            pixels.insert(pixels.end(),
                          {std::uint8_t(c[2]), std::uint8_t(c[1]), std::uint8_t(c[0])});
        }
    }
    return pixels;
}

// BT.601 limited range in floating point, rounded, of the mean of the pixels sharing the value:
// channel 0 is the luma, 1 the blue difference, 2 the red difference.
int bt601(std::size_t channel, std::initializer_list<Rgb> sharing) {
    constexpr double kWeights[3][3] = {
        {0.299, 0.587, 0.114}, {-0.168736, -0.331264, 0.5}, {0.5, -0.418688, -0.081312}};
    double sum = 0;
    for (const Rgb& c : sharing) {
        sum += std::inner_product(c.begin(), c.end(), kWeights[channel], 0.0);
    }
    const double mean = sum / double(sharing.size());
    return int(std::lround(channel == 0 ? 16 + 219 / 255.0 * mean : 128 + 224 / 255.0 * mean));
}

Bytes converted(FrameSize output, OutputFormat format, const Bytes& ring, FrameSize ringSize) {
    FrameConverter converter(output, format);
    Bytes out(converter.frameBytes());
    converter.convert(ring.data(), ringSize, out.data());
    return out;
}

// Odd sizes: an odd last pixel (and row, in I420) shares its chroma with itself. The top left
// holds flat colours in squares of 2 x 2, which come out exactly: within a step of rounding,
// black could be 17 or grey tinted.
TEST(FrameConverter, YuvAgreesWithTheBt601ReferenceOnRandomPixelsInBothPaths) {
    const FrameSize size{37, 9};
    constexpr std::array<Rgb, 6> kFlat{
        {{0, 0, 0}, {255, 255, 255}, {128, 128, 128}, {255, 0, 0}, {0, 255, 0}, {0, 0, 255}}};
    const auto flat = [](int x, int y) { return x < 12 && y < 2; };
    std::mt19937 random(17);
    std::vector<Rgb> colours(static_cast<std::size_t>(size.pixels()));
    std::ranges::generate(colours, [&] {
        return Rgb{int(random() % 256), int(random() % 256), int(random() % 256)};
    });
    auto colourAt = [&](int x, int y) {
        x = std::min(x, size.width - 1);
        y = std::min(y, size.height - 1);
        return flat(x, y) ? kFlat[std::size_t(x / 2)] : colours[std::size_t(y * size.width + x)];
    };
    const Bytes ring = ringFrame(size, colourAt);
    std::map<OutputFormat, Bytes> plainOutput;
    for (const bool avx2 : {false, true}) {
        const Avx2Choice paths(avx2);
        const Bytes yuyv = converted(size, OutputFormat::yuyv, ring, size);
        const Bytes planes = converted(size, OutputFormat::i420, ring, size);
        ASSERT_EQ(yuyv.size(), 19u * 4 * 9);
        ASSERT_EQ(planes.size(), 37u * 9 + 2 * 19 * 5);
        for (int y = 0; y < size.height; ++y) {
            for (int x = 0; x < size.width; ++x) {
                SCOPED_TRACE(::testing::Message() << x << "," << y << (avx2 ? " AVX2" : ""));
                const int error = flat(x, y) ? 0 : 1;
                const int left = x & ~1, top = y & ~1;
                const auto pair = {colourAt(left, y), colourAt(left + 1, y)};
                const auto square = {colourAt(left, top), colourAt(left + 1, top),
                                     colourAt(left, top + 1), colourAt(left + 1, top + 1)};
                const std::uint8_t* quad = yuyv.data() + std::size_t(y * 19 * 4 + 2 * left);
                const std::size_t chroma = 37 * 9 + std::size_t(y / 2 * 19 + x / 2);
                EXPECT_NEAR(quad[2 * (x & 1)], bt601(0, {colourAt(x, y)}), error);
                EXPECT_NEAR(quad[1], bt601(1, pair), error);
                EXPECT_NEAR(quad[3], bt601(2, pair), error);
                EXPECT_NEAR(planes[std::size_t(y * 37 + x)], bt601(0, {colourAt(x, y)}), error);
                EXPECT_NEAR(planes[chroma], bt601(1, square), error);
                EXPECT_NEAR(planes[chroma + 19 * 5], bt601(2, square), error);
            }
        }
        // Both paths give the same bytes in every format.
        for (const OutputFormat format :
             {OutputFormat::yuyv, OutputFormat::i420, OutputFormat::bgrx, OutputFormat::rgb24}) {
            const Bytes bytes = converted(size, format, ring, size);
            if (avx2) {
                EXPECT_EQ(bytes, plainOutput[format]) << static_cast<int>(format);
            }
            plainOutput[format] = bytes;
        }
    }
}

// RGB24 for V4L2 upright in red, green, blue, BGRx upright; for DirectShow a bitmap's rows:
// bottom up in blue, green, red, each padded to 4 bytes. A ring frame of another size is
// scaled to the nearest pixel.
TEST(FrameConverter, RgbFormatsComeInTheirOwnLayoutsAndScaled) {
    const FrameSize size{3, 2};
    const Bytes ring = ringFrame(size, [](int x, int y) { return Rgb{x, y, 9}; });
    for (const auto& [format, output, expected] :
         {std::tuple{OutputFormat::rgb24, size,
                     Bytes{0, 0, 9, 1, 0, 9, 2, 0, 9,  //
                           0, 1, 9, 1, 1, 9, 2, 1, 9}},
          std::tuple{OutputFormat::bgrx, size, Bytes{9, 0, 0, 255, 9, 0, 1, 255, 9, 0, 2, 255,  //
                                                     9, 1, 0, 255, 9, 1, 1, 255, 9, 1, 2, 255}},
          std::tuple{OutputFormat::bitmapRgb24, size, Bytes{9, 1, 0, 9, 1, 1, 9, 1, 2, 0, 0, 0,  //
                                                            9, 0, 0, 9, 0, 1, 9, 0, 2, 0, 0, 0}},
          std::tuple{
              OutputFormat::rgb24, FrameSize{2, 4},
              Bytes{0, 0, 9, 1, 0, 9, 0, 0, 9, 1, 0, 9, 0, 1, 9, 1, 1, 9, 0, 1, 9, 1, 1, 9}}}) {
        EXPECT_EQ(converted(output, format, ring, size), expected)
            << static_cast<int>(format) << " at " << output.width;
    }
}

// Who reads a bridge's frames: the last frame written, and the sinks opened for it.
struct Consumer {
    Bytes written;
    bool there = true;  // while away, writes fail
    int sinksOpened = 0;
};

struct MemorySink final : FrameSink {
    explicit MemorySink(Consumer& reader) : consumer(reader) { ++consumer.sinksOpened; }
    bool writeFrame(const std::uint8_t* data, std::size_t bytes) override {
        consumer.written.assign(data, data + bytes);
        return consumer.there;
    }
    Consumer& consumer;
};

class BridgeTest : public ::testing::Test {
  protected:
    VirtualCameraBridge makeBridge(FrameSize output, bool askForTheSize = false) {
        return VirtualCameraBridge({name.get(), output, OutputFormat::rgb24, askForTheSize},
                                   [this] { return std::make_unique<MemorySink>(consumer); });
    }
    // The first output pixel's red byte tells which picture was written.
    int firstRed() const { return consumer.written.empty() ? -1 : consumer.written[0]; }

    std::optional<FrameRing> ringShowing(int red) {
        std::optional<FrameRing> ring = *FrameRing::create(name.get(), size, debug);
        ring->publish(ringFrame(size, [red](int, int) { return Rgb{red, 0, 0}; }).data());
        return ring;
    }

    ScopedRingName name;
    platform::DebugOnce debug;
    const FrameSize size{64, 32};
    Consumer consumer;
};

// The bridge looks for the program's ring once a second while it shows no new frame. Once the
// program has gone and its ring with it, the last frame stays until the bridge looks again;
// once it has stopped and left its ring, the placeholder comes at once. Either way the bridge
// picks up the program's next ring. A consumer that goes away makes the next write fail: the
// sink is dropped, and opened again for the next consumer.
TEST_F(BridgeTest, ShowsThePlaceholderAroundTheProgramAndTakesUpItsNextRing) {
    constexpr std::uint64_t kChanged = kSecond + 2 * kFrame;
    for (const bool ringRemoved : {true, false}) {
        SCOPED_TRACE(ringRemoved ? "ring removed" : "ring left");
        auto bridge = makeBridge(size);
        consumer = {{}, false, 0};
        EXPECT_EQ(bridge.step(0), BridgeFrame::notWritten);
        consumer.there = true;
        auto ring = ringShowing(50);
        EXPECT_EQ(bridge.step(kFrame), BridgeFrame::placeholder);  // not looked for yet
        EXPECT_EQ(consumer.sinksOpened, 2);
        EXPECT_EQ(bridge.step(kSecond), BridgeFrame::newest);
        EXPECT_EQ(bridge.step(kSecond + kFrame), BridgeFrame::repeated);
        EXPECT_EQ(firstRed(), 50);
        ring->publish(ringFrame(size, [](int, int) { return Rgb{70, 0, 0}; }).data());
        EXPECT_EQ(bridge.step(kChanged), BridgeFrame::newest);
        EXPECT_EQ(firstRed(), 70);
        if (ringRemoved) {
            ring.reset();
            platform::SharedSection::remove(name.get());
            EXPECT_EQ(bridge.step(kChanged + kSecond / 2), BridgeFrame::repeated);
            EXPECT_EQ(bridge.step(kChanged + kSecond), BridgeFrame::placeholder);
        } else {
            ring->endPublishing();  // what the program does when it stops
            EXPECT_EQ(bridge.step(kChanged + kFrame), BridgeFrame::placeholder);
        }
        EXPECT_NE(firstRed(), 70);
        ring.reset();
        ring = ringShowing(90);  // a stopped program's ring is taken up at once, on the next frame
        EXPECT_EQ(bridge.step(kChanged + (ringRemoved ? 2 * kSecond : 2 * kFrame)),
                  BridgeFrame::newest);
        EXPECT_EQ(firstRed(), 90);
        ring.reset();
        platform::SharedSection::remove(name.get());
    }
}

// Rings the bridge cannot take as they are: one planted where others may open it, whose picture
// is never shown, and one the program made again at its own size instead of the size asked for
// (saying why on its side), whose frames are scaled.
TEST_F(BridgeTest, SaysWhatIsWrongWithARingNotAsAskedFor) {
    const std::string path = platform::SharedSection::location(name.get());
    for (const auto& [mode, problem] :
         {std::pair{0666u, "mode 0666"},
          std::pair{0600u, "made the ring at 64 x 32, not at the 32 x 16 asked for"}}) {
        SCOPED_TRACE(problem);
        auto ring = ringShowing(90);
        ASSERT_EQ(chmod(path.c_str(), mode), 0);
        auto bridge = makeBridge({32, 16}, true);
        bridge.step(0);
        if (mode == 0600) {
            ring.reset();
            ring = ringShowing(90);
        }
        bridge.step(kFrame);
        EXPECT_EQ(firstRed() == 90, mode == 0600);
        EXPECT_NE(bridge.ringProblem().find(problem), std::string::npos) << bridge.ringProblem();
        ring.reset();
        platform::SharedSection::remove(name.get());
    }
}

}  // namespace
}  // namespace velvix::virtual_camera
