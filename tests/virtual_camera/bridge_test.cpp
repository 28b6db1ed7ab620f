#include "velvix/virtual_camera/bridge.hpp"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cmath>
#include <csignal>
#include <functional>
#include <map>
#include <random>

#include "section_access.hpp"
#include "test_support.hpp"
#include "velvix/pipeline/frame_ring.hpp"
#include "velvix/platform/cpu_info.hpp"
#include "velvix/virtual_camera/frame_output.hpp"
#include "velvix/virtual_camera/linux_devices.hpp"

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

// BT.601 limited range, in floating point, rounded to the nearest step, of the mean of the
// pixels that share the value.
int reference(double offset, double range, std::array<double, 3> weights,
              std::initializer_list<Rgb> sharing) {
    double sum = 0;
    for (const Rgb& c : sharing) {
        sum += weights[0] * c[0] + weights[1] * c[1] + weights[2] * c[2];
    }
    return static_cast<int>(std::lround(offset + range / 255 * sum / double(sharing.size())));
}
int luma(Rgb c) {
    return reference(16, 219, {0.299, 0.587, 0.114}, {c});
}
int blueDifference(std::initializer_list<Rgb> sharing) {
    return reference(128, 224, {-0.168736, -0.331264, 0.5}, sharing);
}
int redDifference(std::initializer_list<Rgb> sharing) {
    return reference(128, 224, {0.5, -0.418688, -0.081312}, sharing);
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
    for (auto& c : colours) {
        c = {int(random() % 256), int(random() % 256), int(random() % 256)};
    }
    auto colourAt = [&](int x, int y) {
        x = std::min(x, size.width - 1);
        y = std::min(y, size.height - 1);
        return flat(x, y) ? kFlat[std::size_t(x / 2)] : colours[std::size_t(y * size.width + x)];
    };
    const Bytes ring = ringFrame(size, colourAt);
    std::map<OutputFormat, Bytes> plainOutput;
    for (const bool scalar : {true, false}) {
        const Avx2Choice paths(!scalar);
        const Bytes yuyv = converted(size, OutputFormat::yuyv, ring, size);
        ASSERT_EQ(yuyv.size(), static_cast<std::size_t>(19 * 4 * 9));
        for (int y = 0; y < size.height; ++y) {
            for (int x = 0; x < size.width; x += 2) {
                SCOPED_TRACE(::testing::Message() << x << "," << y);
                const int error = flat(x, y) ? 0 : 1;
                const Rgb left = colourAt(x, y), right = colourAt(x + 1, y);
                const std::uint8_t* quad = yuyv.data() + std::size_t(y) * 19 * 4 + 2 * x;
                EXPECT_NEAR(quad[0], luma(left), error);
                EXPECT_NEAR(quad[1], blueDifference({left, right}), error);
                EXPECT_NEAR(quad[2], luma(right), error);
                EXPECT_NEAR(quad[3], redDifference({left, right}), error);
            }
        }
        const Bytes planes = converted(size, OutputFormat::i420, ring, size);
        ASSERT_EQ(planes.size(), static_cast<std::size_t>(37 * 9 + 2 * 19 * 5));
        for (int y = 0; y < size.height; ++y) {
            for (int x = 0; x < size.width; ++x) {
                SCOPED_TRACE(::testing::Message() << x << "," << y);
                const int error = flat(x, y) ? 0 : 1;
                const auto square = {colourAt(x & ~1, y & ~1), colourAt(x | 1, y & ~1),
                                     colourAt(x & ~1, y | 1), colourAt(x | 1, y | 1)};
                const std::size_t chroma = 37 * 9 + std::size_t(y / 2 * 19 + x / 2);
                EXPECT_NEAR(planes[std::size_t(y * 37 + x)], luma(colourAt(x, y)), error);
                EXPECT_NEAR(planes[chroma], blueDifference(square), error);
                EXPECT_NEAR(planes[chroma + 19 * 5], redDifference(square), error);
            }
        }
        // Both paths give the same bytes in every format.
        for (const OutputFormat format :
             {OutputFormat::yuyv, OutputFormat::i420, OutputFormat::bgrx, OutputFormat::rgb24}) {
            const Bytes bytes = converted(size, format, ring, size);
            if (scalar) {
                plainOutput[format] = bytes;
            } else {
                EXPECT_EQ(bytes, plainOutput[format]) << static_cast<int>(format);
            }
        }
    }
}

// RGB24 for V4L2 upright in red, green, blue, BGRx upright; for DirectShow a bitmap's rows:
// bottom up in blue, green, red, each padded to 4 bytes. A ring frame of another size is
// scaled to the nearest pixel.
TEST(FrameConverter, RgbFormatsComeInTheirOwnLayoutsAndScaled) {
    const FrameSize size{3, 2};
    const Bytes ring = ringFrame(size, [](int x, int y) { return Rgb{x, y, 9}; });
    for (const auto& [format, expected] :
         {std::pair{OutputFormat::rgb24,
                    Bytes{0, 0, 9, 1, 0, 9, 2, 0, 9, 0, 1, 9, 1, 1, 9, 2, 1, 9}},
          std::pair{OutputFormat::bgrx, Bytes{9, 0, 0, 255, 9, 0, 1, 255, 9, 0, 2, 255,  //
                                              9, 1, 0, 255, 9, 1, 1, 255, 9, 1, 2, 255}},
          std::pair{OutputFormat::bitmapRgb24, Bytes{9, 1, 0, 9, 1, 1, 9, 1, 2, 0, 0, 0,
                                                     9, 0, 0, 9, 0, 1, 9, 0, 2, 0, 0, 0}}}) {
        EXPECT_EQ(converted(size, format, ring, size), expected);
    }

    const FrameSize small{4, 2};
    const Bytes smallRing = ringFrame(small, [](int x, int y) { return Rgb{10 * x, 100 + y, 0}; });
    for (const OutputFormat format : {OutputFormat::rgb24, OutputFormat::bitmapRgb24}) {
        const Bytes out = converted({8, 4}, format, smallRing, small);
        const bool bitmap = format == OutputFormat::bitmapRgb24;
        for (int y = 0; y < 4; ++y) {
            for (int x = 0; x < 8; ++x) {
                const std::uint8_t* pixel =
                    out.data() + static_cast<std::size_t>((bitmap ? 3 - y : y) * 8 + x) * 3;
                EXPECT_EQ(pixel[bitmap ? 2 : 0], 10 * (x / 2));
                EXPECT_EQ(pixel[1], 100 + y / 2);
            }
        }
    }
}

// A sink that keeps the last frame written.
class MemorySink final : public FrameSink {
  public:
    explicit MemorySink(Bytes& written) : written_(written) {}
    bool writeFrame(const std::uint8_t* data, std::size_t bytes) override {
        written_.assign(data, data + bytes);
        return true;
    }

  private:
    Bytes& written_;
};

class BridgeTest : public ::testing::Test {
  protected:
    VirtualCameraBridge makeBridge() {
        return VirtualCameraBridge({name.get(), size, OutputFormat::rgb24, false},
                                   [this] { return std::make_unique<MemorySink>(written); });
    }
    // The first output pixel's red byte tells which picture was written.
    int firstRed() const { return written.empty() ? -1 : written[0]; }

    std::optional<FrameRing> ringShowing(int red) {
        std::optional<FrameRing> ring = *FrameRing::create(name.get(), size, debug);
        ring->publish(ringFrame(size, [red](int, int) { return Rgb{red, 0, 0}; }).data());
        return ring;
    }

    ScopedRingName name;
    platform::DebugOnce debug;
    const FrameSize size{64, 32};
    Bytes written;
};

// The bridge looks for the program's ring once a second while it shows no new frame. Once the
// program has gone and its ring with it, the last frame stays until the bridge looks again;
// once it has stopped and left its ring, the placeholder comes at once. Either way the bridge
// picks up the program's next ring.
TEST_F(BridgeTest, ShowsThePlaceholderWithoutAFrameEveryFrameWholeAndTheProgramsNextRing) {
    constexpr std::uint64_t kChanged = kSecond + 2 * kFrame;
    for (const bool ringRemoved : {true, false}) {
        SCOPED_TRACE(ringRemoved ? "ring removed" : "ring left");
        auto bridge = makeBridge();
        EXPECT_EQ(bridge.step(0), BridgeFrame::placeholder);
        EXPECT_EQ(written.size(), outputFrameBytes(size, OutputFormat::rgb24));
        auto ring = ringShowing(50);
        EXPECT_EQ(bridge.step(kFrame), BridgeFrame::placeholder);  // not looked for yet
        EXPECT_EQ(bridge.step(kSecond), BridgeFrame::newest);
        EXPECT_EQ(firstRed(), 50);
        EXPECT_EQ(bridge.step(kSecond + kFrame), BridgeFrame::repeated);
        EXPECT_EQ(firstRed(), 50);
        ring->publish(ringFrame(size, [](int, int) { return Rgb{70, 0, 0}; }).data());
        EXPECT_EQ(bridge.step(kChanged), BridgeFrame::newest);
        EXPECT_EQ(firstRed(), 70);
        EXPECT_EQ(written.size(), outputFrameBytes(size, OutputFormat::rgb24));

        if (ringRemoved) {
            ring.reset();
            platform::SharedSection::remove(name.get());
            EXPECT_EQ(bridge.step(kChanged + kSecond / 2), BridgeFrame::repeated);
            EXPECT_EQ(firstRed(), 70);
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

TEST_F(BridgeTest, ShowsThePlaceholderAndSaysWhyForASectionOthersMayOpen) {
    const auto layout = *RingLayout::forSize(size);
    ASSERT_TRUE(testing::makeSection(name.get(), 0666, layout.totalBytes));
    {
        // A planted ring with a red picture, made while the section was still private.
        const std::string path = platform::SharedSection::location(name.get());
        ASSERT_EQ(chmod(path.c_str(), 0600), 0);
        auto planted = ringShowing(200);
        ASSERT_EQ(chmod(path.c_str(), 0666), 0);
    }
    auto bridge = makeBridge();
    EXPECT_EQ(bridge.step(0), BridgeFrame::placeholder);
    EXPECT_NE(firstRed(), 200);
    EXPECT_NE(bridge.ringProblem().find("mode 0666"), std::string::npos) << bridge.ringProblem();
}

// The program may make the ring at another size than the bridge asked for (it says why on its
// side); the bridge then scales its frames and says so instead of passing it over.
TEST_F(BridgeTest, SaysWhenTheProgramMadeTheRingAtAnotherSizeThanAskedFor) {
    auto ring = ringShowing(70);
    const FrameSize asked{32, 16};
    VirtualCameraBridge bridge({name.get(), asked, OutputFormat::rgb24, true},
                               [this] { return std::make_unique<MemorySink>(written); });
    EXPECT_EQ(bridge.step(0), BridgeFrame::newest);
    const auto header = FrameRingReader::open(name.get()).header();
    ASSERT_EQ((FrameSize{header.width, header.height}), asked);
    EXPECT_EQ(bridge.ringProblem(), "");

    ring.reset();
    ring = ringShowing(90);  // made again at the program's own size
    ring->publish(ringFrame(size, [](int, int) { return Rgb{90, 0, 0}; }).data());
    EXPECT_EQ(bridge.step(kFrame), BridgeFrame::newest);
    EXPECT_EQ(firstRed(), 90);
    EXPECT_NE(bridge.ringProblem().find("made the ring at 64 x 32, not at the 32 x 16 asked for"),
              std::string::npos)
        << bridge.ringProblem();
}

// A consumer that goes away makes the next write fail: the sink is dropped, and opened again
// for the next consumer.
TEST(BridgeSink, AConsumerThatGoesAwayIsDroppedAndTheNextOneServed) {
    std::signal(SIGPIPE, SIG_IGN);
    ScopedRingName name;
    const FrameSize size{32, 16};
    bool consumerWaiting = false;
    int readEnd = -1;
    VirtualCameraBridge bridge({name.get(), size, OutputFormat::yuyv, false},
                               [&]() -> std::unique_ptr<FrameSink> {
                                   int ends[2];
                                   if (!consumerWaiting || pipe(ends) != 0) {
                                       return nullptr;
                                   }
                                   consumerWaiting = false;
                                   readEnd = ends[0];
                                   return std::make_unique<DescriptorSink>(ends[1]);
                               });
    EXPECT_EQ(bridge.step(0), BridgeFrame::notWritten);
    const Bytes placeholder = converted(size, OutputFormat::yuyv, placeholderFrame(size), size);
    for (std::uint64_t consumer = 1; consumer <= 2; ++consumer) {
        consumerWaiting = true;
        EXPECT_EQ(bridge.step(consumer * kSecond), BridgeFrame::placeholder);
        Bytes frame(placeholder.size());
        EXPECT_EQ(read(readEnd, frame.data(), frame.size()), ssize_t(frame.size()));
        EXPECT_EQ(frame, placeholder);
        close(readEnd);
        EXPECT_EQ(bridge.step(consumer * kSecond + 1), BridgeFrame::notWritten);
    }
}

}  // namespace
}  // namespace velvix::virtual_camera
