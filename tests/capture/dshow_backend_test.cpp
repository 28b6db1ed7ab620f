// The DirectShow backend with no camera at all, with a generated uncompressed AVI file as the
// source of its graph in place of a camera, and with a camera filter of the test's own that
// sends MJPG: the frames go through the backend's own sample grabber callback into the capture
// manager.
#include "velvix/capture/dshow_backend.hpp"

#include <gtest/gtest.h>
#include <wrl/client.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <tuple>

#include "camera_filter.hpp"
#include "photo_frames.hpp"
#include "process.hpp"
#include "test_support.hpp"
#include "velvix/capture/capture_manager.hpp"
#include "video_sources.hpp"

namespace velvix {
namespace {

using Microsoft::WRL::ComPtr;

constexpr int kWidth = 64;
constexpr int kHeight = 48;
constexpr int kFrames = 10;

// The colour of the picture's pixel (x, y), y counted from the top: red from x, green from y,
// blue from the frame number.
std::uint8_t redAt(int x) {
    return static_cast<std::uint8_t>(x * 4);
}
std::uint8_t greenAt(int y) {
    return static_cast<std::uint8_t>(y * 5);
}
std::uint8_t blueOf(int frame) {
    return static_cast<std::uint8_t>(100 + frame);
}

void put32(std::string& out, std::uint32_t value) {
    for (int i = 0; i < 4; ++i) {
        out.push_back(static_cast<char>(value >> (8 * i)));
    }
}

void put16(std::string& out, std::uint16_t value) {
    out.push_back(static_cast<char>(value));
    out.push_back(static_cast<char>(value >> 8));
}

std::string chunk(const std::string& id, const std::string& data) {
    std::string out = id;
    put32(out, static_cast<std::uint32_t>(data.size()));
    out += data;
    if (data.size() % 2 != 0) {
        out.push_back('\0');
    }
    return out;
}

std::string list(const std::string& type, const std::string& data) {
    return chunk("LIST", type + data);
}

// An AVI file of uncompressed 24-bit frames at 30 frames per second, rows stored bottom up as
// a DIB stores them.
void writeAvi(const std::string& path) {
    const std::uint32_t frameBytes = kWidth * kHeight * 3;
    std::string avih;
    for (const std::uint32_t value :
         {33333u, frameBytes * 30u, 0u, 0x10u /* has index */, std::uint32_t{kFrames}, 0u, 1u,
          frameBytes, std::uint32_t{kWidth}, std::uint32_t{kHeight}, 0u, 0u, 0u, 0u}) {
        put32(avih, value);
    }
    std::string strh = "vids";
    put32(strh, 0);  // handler: uncompressed
    for (const std::uint32_t value :
         {0u, 0u, 0u, 1u, 30u, 0u, std::uint32_t{kFrames}, frameBytes, 0xFFFFFFFFu, 0u}) {
        put32(strh, value);
    }
    put16(strh, 0);
    put16(strh, 0);
    put16(strh, static_cast<std::uint16_t>(kWidth));
    put16(strh, static_cast<std::uint16_t>(kHeight));
    std::string strf;
    for (const std::uint32_t value : {40u, std::uint32_t{kWidth}, std::uint32_t{kHeight}}) {
        put32(strf, value);
    }
    put16(strf, 1);
    put16(strf, 24);
    for (const std::uint32_t value : {0u, frameBytes, 0u, 0u, 0u, 0u}) {
        put32(strf, value);
    }
    const std::string header =
        list("hdrl", chunk("avih", avih) + list("strl", chunk("strh", strh) + chunk("strf", strf)));

    std::string movi;
    std::string index;
    for (int frame = 0; frame < kFrames; ++frame) {
        std::string pixels;
        for (int row = 0; row < kHeight; ++row) {
            const int y = kHeight - 1 - row;
            for (int x = 0; x < kWidth; ++x) {
                pixels += {static_cast<char>(blueOf(frame)), static_cast<char>(greenAt(y)),
                           static_cast<char>(redAt(x))};
            }
        }
        index += "00db";
        put32(index, 0x10);                                         // key frame
        put32(index, static_cast<std::uint32_t>(4 + movi.size()));  // from "movi"
        put32(index, frameBytes);
        movi += chunk("00db", pixels);
    }
    const std::string body = header + list("movi", movi) + chunk("idx1", index);
    std::ofstream(path, std::ios::binary) << chunk("RIFF", "AVI " + body);
}

std::wstring wide(const std::string& text) {
    return std::wstring(text.begin(), text.end());
}

// Video files as devices: the file source followed by the AVI splitter, whose video output
// offers the file's format. A path that does not exist makes a device whose graph cannot be
// built.
class FileVideoSources final : public VideoSources {
  public:
    explicit FileVideoSources(std::vector<std::string> paths) : paths_(std::move(paths)) {}

    std::vector<std::u16string> names() override {
        std::vector<std::u16string> found;
        for (const auto& path : paths_) {
            const auto name = std::filesystem::path(path).filename().string();
            found.emplace_back(name.begin(), name.end());
        }
        return found;
    }

    HRESULT addSource(int index, IGraphBuilder& graph, IBaseFilter** source) override {
        ComPtr<IBaseFilter> file;
        ComPtr<IBaseFilter> splitter;
        HRESULT result = graph.AddSourceFilter(wide(paths_.at(index)).c_str(), L"File", &file);
        if (FAILED(result)) {
            return result;
        }
        if (FAILED(result = CoCreateInstance(CLSID_AviSplitter, nullptr, CLSCTX_INPROC_SERVER,
                                             IID_IBaseFilter, &splitter)) ||
            FAILED(result = graph.AddFilter(splitter.Get(), L"AVI Splitter")) ||
            FAILED(result =
                       graph.ConnectDirect(pin(*file.Get(), PINDIR_OUTPUT).Get(),
                                           pin(*splitter.Get(), PINDIR_INPUT).Get(), nullptr))) {
            return result;
        }
        *source = splitter.Detach();
        return S_OK;
    }

  private:
    static ComPtr<IPin> pin(IBaseFilter& filter, PIN_DIRECTION wanted) {
        ComPtr<IEnumPins> pins;
        ComPtr<IPin> found;
        filter.EnumPins(&pins);
        while (pins->Next(1, found.ReleaseAndGetAddressOf(), nullptr) == S_OK) {
            PIN_DIRECTION direction{};
            found->QueryDirection(&direction);
            if (direction == wanted) {
                return found;
            }
        }
        return nullptr;
    }

    std::vector<std::string> paths_;
};

// One camera of the test's own (see camera_filter.hpp) with the capabilities and frame given;
// it keeps what the camera was set to.
class TestCamera final : public VideoSources {
  public:
    TestCamera(std::vector<testing::CameraCapability> capabilities, std::vector<std::uint8_t> frame)
        : capabilities_(std::move(capabilities)), frame_(std::move(frame)) {}

    std::vector<std::u16string> names() override { return {u"MJPG camera"}; }

    HRESULT addSource(int /*index*/, IGraphBuilder& graph, IBaseFilter** source) override {
        ComPtr<IBaseFilter> camera;
        camera.Attach(testing::makeCameraFilter(capabilities_, frame_, formatsSet));
        const HRESULT result = graph.AddFilter(camera.Get(), L"MJPG camera");
        if (SUCCEEDED(result)) {
            *source = camera.Detach();
        }
        return result;
    }

    std::vector<testing::FormatSet> formatsSet;

  private:
    std::vector<testing::CameraCapability> capabilities_;
    std::vector<std::uint8_t> frame_;
};

// Opens the one camera asked for 1280x720 at 30 fps, as the frame worker asks; what the open
// said on the debug output, or nothing when the camera did not open (what it said then goes to
// standard error).
std::optional<std::string> openAsTheWorkerDoes(CaptureManager& manager) {
    if (manager.countDevices() != 1) {
        return std::nullopt;
    }
    manager.setFramePeriod(0, 333333);
    manager.setAskSize(0, 1280, 720, MediaSubtype::rgb24);
    ::testing::internal::CaptureStderr();
    const bool opened = manager.openDevice(0);
    const std::string report = ::testing::internal::GetCapturedStderr();
    if (!opened) {
        std::fputs(report.c_str(), stderr);
        return std::nullopt;
    }
    return report;
}

bool waitForFrame(CaptureManager& manager) {
    return testing::waitUntil([&manager] { return manager.pollNewFrame(0); },
                              std::chrono::seconds(20));
}

class DirectShowBackendTest : public ::testing::Test {
  protected:
    void SetUp() override { writeAvi(video_); }
    void TearDown() override {
        std::error_code ignored;
        std::filesystem::remove(video_, ignored);
        std::filesystem::remove(graphFile_, ignored);
        _putenv("OPENCV_DSHOW_SAVEGRAPH_FILENAME=");
    }

    CaptureManager managerOf(std::vector<std::string> paths) {
        return CaptureManager(
            {std::make_shared<DirectShowBackend>(std::make_shared<FileVideoSources>(paths))});
    }

    const std::string video_ = testing::temporaryPath("velvix-capture") + ".avi";
    const std::string graphFile_ = testing::temporaryPath("velvix-graph") + ".grf";
};

TEST(DirectShowBackend, FindsNoCameraWhereThereIsNone) {
    CaptureManager manager({std::make_shared<DirectShowBackend>()});
    EXPECT_EQ(manager.countDevices(), 0);
    EXPECT_FALSE(manager.openDevice(0));
    EXPECT_FALSE(manager.isCapturing(0));
}

// The frame fetched is the file's first, in the capture layout with the picture's bottom row
// first, as every camera delivers it.
TEST_F(DirectShowBackendTest, DeliversTheSourcesFramesThroughTheSampleCallback) {
    CaptureManager manager = managerOf({video_});
    ASSERT_EQ(manager.countDevices(), 1);
    EXPECT_EQ(manager.deviceName(0), std::filesystem::path(video_).filename().string());
    manager.setAskSize(0, kWidth, kHeight, MediaSubtype::rgb24);
    ASSERT_TRUE(manager.openDevice(0));
    EXPECT_EQ(manager.record(0).width, kWidth);
    EXPECT_EQ(manager.record(0).height, kHeight);
    EXPECT_EQ(manager.record(0).bufferSize, std::size_t{kWidth} * kHeight * 3);

    ASSERT_TRUE(waitForFrame(manager));
    std::vector<std::uint8_t> frame(std::size_t{kWidth} * kHeight * 4);
    ASSERT_TRUE(manager.fetchFrame(0, frame.data(), {kWidth, kHeight}));
    for (int row = 0; row < kHeight; ++row) {
        for (int x = 0; x < kWidth; ++x) {
            const std::uint8_t* pixel =
                frame.data() + (static_cast<std::size_t>(row) * kWidth + x) * 4;
            const int y = kHeight - 1 - row;
            ASSERT_EQ(pixel[0], redAt(x)) << "x " << x << ", row " << row;
            ASSERT_EQ(pixel[1], greenAt(y)) << "x " << x << ", row " << row;
            ASSERT_EQ(pixel[2], blueOf(0)) << "x " << x << ", row " << row;
            ASSERT_EQ(pixel[3], 255);
        }
    }
}

// A webcam that lists only MJPG, each size described by a VIDEOINFOHEADER2 as many do: it is
// asked once, for the chosen size and rate in its own header kind, and its frames are fetched
// decoded, right side up in their colours.
TEST(DirectShowBackend, OpensACameraListingOnlyMjpgAndFetchesItsFramesDecoded) {
    const testing::Photo picture = testing::photoInFrame(1280, 720);
    const auto jpeg = testing::cameraJpeg(picture);
    ASSERT_FALSE(jpeg.empty());
    const auto camera = std::make_shared<TestCamera>(
        std::vector{testing::mjpgCapability(640, 480, 333333, 2000000),
                    testing::mjpgCapability(1280, 720, 333333, 2000000),
                    testing::mjpgCapability(1920, 1080, 666666, 2000000)},
        jpeg);
    CaptureManager manager({std::make_shared<DirectShowBackend>(camera)});
    const auto report = openAsTheWorkerDoes(manager);
    ASSERT_TRUE(report) << "the camera did not open";
    EXPECT_NE(report->find("camera: MJPG 1280x720 at 30 fps"), std::string::npos) << *report;
    ASSERT_EQ(camera->formatsSet.size(), 1u);
    const testing::FormatSet& set = camera->formatsSet.front();
    EXPECT_TRUE(IsEqualGUID(set.formatType, FORMAT_VideoInfo2));
    EXPECT_EQ(set.width, 1280);
    EXPECT_EQ(set.height, 720);
    EXPECT_EQ(set.framePeriod, 333333);
    EXPECT_EQ(manager.record(0).subtype, MediaSubtype::mjpg);
    EXPECT_EQ(manager.cameraNote(), "");

    ASSERT_TRUE(waitForFrame(manager));
    std::vector<std::uint8_t> frame(std::size_t{1280} * 720 * 4);
    ASSERT_TRUE(manager.fetchFrame(0, frame.data(), {1280, 720}));
    EXPECT_LT(testing::meanDifference(frame.data(), testing::kCaptureLayout, picture), 3.0);
    EXPECT_EQ(frame[3], 255);
}

// What cameras' capability lists, each size described by a VIDEOINFOHEADER2, are set to when
// 1280x720 at 30 fps is asked for: one whose current format is H.264 is first set to the first
// listed format it can be opened in; one that sends that size slower says so.
TEST(DirectShowBackend, SetsCamerasToTheChosenFormat) {
    const GUID mjpg = testing::mjpgCapability(1, 1, 1, 1).subtype;
    auto h264 = testing::mjpgCapability(1280, 720, 333333, 2000000);
    h264.subtype =
        GUID{0x34363248, 0x0000, 0x0010, {0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71}};
    struct Case {
        const char* camera;
        std::vector<testing::CameraCapability> listed;
        std::vector<std::tuple<int, int, REFERENCE_TIME>> formatsSet;  // width, height, period
        const char* choice;
        const char* note;
    };
    const Case cases[] = {
        {"sending H.264 now",
         {h264, testing::mjpgCapability(640, 480, 333333, 2000000),
          testing::mjpgCapability(1280, 720, 333333, 2000000)},
         {{640, 480, 333333}, {1280, 720, 333333}},
         "camera: MJPG 1280x720 at 30 fps",
         ""},
        {"slow at 1280x720",
         {testing::mjpgCapability(640, 480, 333333, 2000000),
          testing::mjpgCapability(1280, 720, 666666, 2000000)},
         {{1280, 720, 666666}},
         "camera: MJPG 1280x720 at 15 fps",
         "15 fps: the camera sends no faster at this size"},
    };
    for (const Case& test : cases) {
        const auto camera =
            std::make_shared<TestCamera>(test.listed, std::vector<std::uint8_t>(64));
        CaptureManager manager({std::make_shared<DirectShowBackend>(camera)});
        const auto report = openAsTheWorkerDoes(manager);
        ASSERT_TRUE(report) << test.camera << " did not open";
        EXPECT_NE(report->find(test.choice), std::string::npos) << test.camera << ": " << *report;
        EXPECT_EQ(manager.cameraNote(), test.note) << test.camera;
        std::vector<std::tuple<int, int, REFERENCE_TIME>> set;
        for (const testing::FormatSet& format : camera->formatsSet) {
            EXPECT_TRUE(IsEqualGUID(format.subtype, mjpg)) << test.camera;
            set.emplace_back(format.width, format.height, format.framePeriod);
        }
        EXPECT_EQ(set, test.formatsSet) << test.camera;
    }
}

TEST_F(DirectShowBackendTest, ADeviceWhoseGraphCannotBeBuiltIsReportedAndLeftClosed) {
    CaptureManager manager = managerOf({video_, video_ + ".missing"});
    ASSERT_EQ(manager.countDevices(), 2);
    ::testing::internal::CaptureStderr();
    EXPECT_FALSE(manager.openDevice(1));
    const std::string report = ::testing::internal::GetCapturedStderr();
    EXPECT_NE(report.find("camera 1: adding the device's source filter failed"), std::string::npos)
        << report;
    EXPECT_FALSE(manager.isCapturing(1));
    // The other device is unaffected.
    EXPECT_TRUE(manager.openDevice(0));
}

// wine's filter graph cannot save itself: there the open still succeeds and says why no file
// was written.
TEST_F(DirectShowBackendTest, SavesTheGraphWhereTheVariableSays) {
    {
        CaptureManager manager = managerOf({video_});
        ASSERT_TRUE(manager.openDevice(0));
        EXPECT_FALSE(std::filesystem::exists(graphFile_));
    }
    ASSERT_EQ(_putenv(("OPENCV_DSHOW_SAVEGRAPH_FILENAME=" + graphFile_).c_str()), 0);
    CaptureManager manager = managerOf({video_});
    ::testing::internal::CaptureStderr();
    ASSERT_TRUE(manager.openDevice(0));
    const std::string report = ::testing::internal::GetCapturedStderr();
    if (report.find("OPENCV_DSHOW_SAVEGRAPH_FILENAME: cannot write") != std::string::npos) {
        EXPECT_FALSE(std::filesystem::exists(graphFile_));
        GTEST_SKIP() << "this system's filter graph cannot save itself: " << report;
    }
    ComPtr<IStorage> storage;
    ASSERT_EQ(StgOpenStorage(wide(graphFile_).c_str(), nullptr, STGM_READ | STGM_SHARE_EXCLUSIVE,
                             nullptr, 0, &storage),
              S_OK);
    ComPtr<IStream> stream;
    EXPECT_EQ(storage->OpenStream(L"ActiveMovieGraph", nullptr, STGM_READ | STGM_SHARE_EXCLUSIVE, 0,
                                  &stream),
              S_OK);
}

}  // namespace
}  // namespace velvix
