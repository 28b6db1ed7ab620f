#include <gtest/gtest.h>
#include <stb_image.h>
#include <stb_image_write.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <optional>
#include <sstream>
#include <stop_token>

#include "beige_paper.hpp"
#include "host/smoothing_step.hpp"
#include "process.hpp"
#include "ring_commands.hpp"
#include "test_support.hpp"
#include "velvix/face/face_step.hpp"
#include "velvix/pipeline/frame_worker.hpp"
#include "velvix/platform/cpu_info.hpp"
#ifndef _WIN32
#include "virtual_display.hpp"
#endif

namespace velvix {
namespace {

using testing::runProgram;
using Rgb = std::vector<std::uint8_t>;

Rgb readRgb(const std::string& path, FrameSize expectedSize) {
    int width = 0;
    int height = 0;
    int channels = 0;
    stbi_uc* image = stbi_load(path.c_str(), &width, &height, &channels, 3);
    EXPECT_NE(image, nullptr) << path;
    if (image == nullptr) {
        return {};
    }
    EXPECT_EQ(FrameSize(width, height), expectedSize);
    Rgb rgb(image, image + static_cast<std::size_t>(width) * height * 3);
    stbi_image_free(image);
    return rgb;
}

bool writePng(const std::string& path, const Rgb& rgb, FrameSize size) {
    return stbi_write_png(path.c_str(), size.width, size.height, 3, rgb.data(), size.width * 3) !=
           0;
}

// The points of an iBUG .pts file.
std::vector<std::pair<float, float>> readPoints(const std::string& path) {
    const std::string pts = testing::readFile(path);
    std::vector<std::pair<float, float>> read;
    std::istringstream lines(pts.substr(std::min(pts.size(), pts.find('{') + 2)));
    float x = 0;
    float y = 0;
    while (lines >> x >> y) {
        read.emplace_back(x, y);
    }
    return read;
}

struct Rectangle {
    int x = 0;
    int y = 0;
    int width = 0;
    int height = 0;
};

// The accepted face's rectangle from velvix-process's JSON line.
std::optional<Rectangle> faceRectangleOf(const std::string& json) {
    const auto at = json.find("\"face\":{\"accepted\":true,");
    Rectangle r;
    if (at == std::string::npos ||
        std::sscanf(json.c_str() + at,
                    "\"face\":{\"accepted\":true,\"x\":%d,\"y\":%d,\"width\":%d,\"height\":%d",
                    &r.x, &r.y, &r.width, &r.height) != 4) {
        return std::nullopt;
    }
    return r;
}

// The change from one picture to another, six times as strong, so that it shows.
Rgb amplifiedChange(const Rgb& before, const Rgb& after) {
    Rgb amplified(after.size());
    for (std::size_t i = 0; i < after.size(); ++i) {
        amplified[i] = static_cast<std::uint8_t>(std::min(255, 6 * std::abs(after[i] - before[i])));
    }
    return amplified;
}

// Pieces of pictures side by side, five to a row, each the same crop of one frame: the rows
// are added to `strip`, which writeStrip saves as a JPEG.
constexpr int kCellWidth = 180;
constexpr int kCellHeight = 200;
constexpr std::size_t kCells = 5;

void addStripRow(Rgb& strip, const std::array<Rgb, kCells>& cells, FrameSize size,
                 const Rectangle& crop) {
    for (int y = 0; y < kCellHeight; ++y) {
        const int sy = std::clamp(crop.y + y * crop.height / kCellHeight, 0, size.height - 1);
        for (const Rgb& cell : cells) {
            for (int x = 0; x < kCellWidth; ++x) {
                const int sx = std::clamp(crop.x + x * crop.width / kCellWidth, 0, size.width - 1);
                const auto source =
                    cell.begin() + (static_cast<std::ptrdiff_t>(sy) * size.width + sx) * 3;
                strip.insert(strip.end(), source, source + 3);
            }
        }
    }
}

bool writeStrip(const Rgb& strip, const std::string& name) {
    const int rows = static_cast<int>(strip.size() / (kCellWidth * kCells * 3));
    return stbi_write_jpg((std::string(VELVIX_ARTEFACT_DIR) + "/" + name).c_str(),
                          kCellWidth * static_cast<int>(kCells), rows, 3, strip.data(), 90) != 0;
}

// Where a copy of the demo portrait's head lies in a frame: its scale and its middle.
struct Head {
    float scale = 1;
    float centreX = 640;
    float centreY = 360;
    // The head's middle and half axes in the portrait.
    static constexpr float kX = 226;
    static constexpr float kY = 118;
    static constexpr float kHalfWidth = 92;
    static constexpr float kHalfHeight = 118;

    // A point of the portrait where this copy puts it in the frame.
    std::pair<float, float> placed(std::pair<float, float> portrait) const {
        return {centreX + (portrait.first - kX) * scale, centreY + (portrait.second - kY) * scale};
    }
};

// The demo portrait's heads (an ellipse round its face and hair, soft at the edge), scaled and
// laid on beige paper in a 1280 x 720 frame: upright red, green and blue, as a webcam would
// see people before a beige wall.
Rgb portraitsOnPaper(const std::vector<Head>& heads) {
    const FrameSize portraitSize{512, 512};
    const Rgb portrait = readRgb(VELVIX_DEMO_PHOTO, portraitSize);
    const FrameSize frame = kDefaultFrameSize;
    Rgb rgb(static_cast<std::size_t>(frame.pixels()) * 3);
    for (int y = 0; y < frame.height; ++y) {
        for (int x = 0; x < frame.width; ++x) {
            const auto paper = testing::beigePaper(x, y);
            std::array<float, 3> value{float(paper[0]), float(paper[1]), float(paper[2])};
            for (const Head& head : heads) {
                const float px = Head::kX + (static_cast<float>(x) - head.centreX) / head.scale;
                const float py = Head::kY + (static_cast<float>(y) - head.centreY) / head.scale;
                const float radius = std::hypot((px - Head::kX) / Head::kHalfWidth,
                                                (py - Head::kY) / Head::kHalfHeight);
                const float weight = std::clamp((1.0f - radius) * 20.0f, 0.0f, 1.0f);
                const int sx = std::clamp(static_cast<int>(px), 0, portraitSize.width - 1);
                const int sy = std::clamp(static_cast<int>(py), 0, portraitSize.height - 1);
                for (std::size_t c = 0; c < 3; ++c) {
                    const float photo =
                        portrait[(static_cast<std::size_t>(sy) * portraitSize.width + sx) * 3 + c];
                    value[c] += weight * (photo - value[c]);
                }
            }
            for (std::size_t c = 0; c < 3; ++c) {
                rgb[(static_cast<std::size_t>(y) * frame.width + x) * 3 + c] =
                    static_cast<std::uint8_t>(std::lround(value[c]));
            }
        }
    }
    return rgb;
}

// Whether a pixel lies off every head (beyond 1.1 times its ellipse).
bool offTheHeads(const std::vector<Head>& heads, int x, int y) {
    return std::all_of(heads.begin(), heads.end(), [&](const Head& head) {
        const float dx = (static_cast<float>(x) - head.centreX) / (Head::kHalfWidth * head.scale);
        const float dy = (static_cast<float>(y) - head.centreY) / (Head::kHalfHeight * head.scale);
        return dx * dx + dy * dy > 1.1f * 1.1f;
    });
}

// The frame the worker publishes for one camera frame (upright red, green and blue) with
// smoothing on at `level`, with the face detector velvix-process finds among its data files and
// the landmark model `modelPath`, turned upright again.
Rgb publishedByTheWorker(const Rgb& rgb, FrameSize size, int level, const std::string& modelPath) {
    testing::ScopedRingName name;
    ControlBlock control;
    testing::ScriptedCamera camera;
    testing::FakeClock clock;
    FilterSmoothingStep smoother;
    FaceProcessingStep faceStep(makeFaceDetector(VELVIX_FACE_NETWORK), modelPath);
    FrameWorker worker({control, camera, {&faceStep, &smoother}, clock, name.get()});
    worker.startUp();
    control.requestCamera(0);
    control.requestSmoothOn(level);
    // The capture layout holds the bottom row first.
    camera.queueFrame([&](int x, int y, std::uint8_t* pixel) {
        const std::uint8_t* source =
            rgb.data() + (static_cast<std::size_t>(size.height - 1 - y) * size.width + x) * 3;
        std::copy(source, source + 3, pixel);
        pixel[3] = 255;
    });
    std::stop_source stop;
    worker.tick(stop.get_token());
    RingFrame frame;
    EXPECT_EQ(FrameRingReader::open(name.get()).readNewest(frame),
              FrameRingReader::ReadOutcome::frame);
    return ring_tool::uprightRgb(frame);
}

class ProcessTool : public ::testing::Test {
  protected:
    void TearDown() override {
        for (const std::string& path : {input, output, points}) {
            std::remove(path.c_str());
        }
    }

    const std::string input = testing::temporaryPath("velvix-process-in") + ".png";
    const std::string output = testing::temporaryPath("velvix-process-out") + ".png";
    const std::string points = output + ".pts";
};

// Every program answers --help; a command line or a picture it cannot use is refused with a
// line that names what is missing or wrong: status 2 for the command line, 1 for the files.
TEST_F(ProcessTool, ProgramsAnswerHelpAndNameWhatIsMissing) {
    struct Row {
        std::vector<std::string> arguments;
        int status;
        const char* said;
    };
    const std::string missing = testing::temporaryPath("velvix-missing.png");
    const std::string small = input + ".small.png";
    ASSERT_TRUE(writePng(small, Rgb(20 * 20 * 3), {20, 20}));
    ASSERT_TRUE(writePng(input, Rgb(100 * 40 * 3), {100, 40}));
    // Refused by the size in its header, before gigabytes are decoded.
    const std::string huge = input + ".huge.png";
    testing::writePngHeader(huge, 16000, 16000);
    std::vector<Row> rows = {
        {{VELVIX_APP, "--help"}, 0, "usage: velvix "},
        {{VELVIX_APP, "--ring"}, 2, "--ring needs a name"},
        {{VELVIX_RING_TOOL, "--help"}, 0, "usage: velvix-ring "},
        {{VELVIX_RING_TOOL, "snapshot"}, 2, "snapshot needs one file"},
        {{VELVIX_RING_TOOL, "--ring"}, 2, "--ring needs a name"},
        {{VELVIX_RING_TOOL, "frobnicate"}, 2, "cannot understand: frobnicate"},
        {{VELVIX_PROCESS_TOOL, "--help"}, 0, "usage: velvix-process "},
        {{VELVIX_PROCESS_TOOL}, 2, "no input picture given"},
        {{VELVIX_PROCESS_TOOL, input, "--level", "101"}, 2, "--level takes"},
        {{VELVIX_PROCESS_TOOL, input, "--output"}, 2, "--output needs a value"},
        {{VELVIX_PROCESS_TOOL, input, "--bogus"}, 2, "unexpected argument --bogus"},
        {{VELVIX_PROCESS_TOOL, missing}, 1, "No such file or directory"},
        {{VELVIX_PROCESS_TOOL, small}, 1, "is 20 x 20 pixels"},
        {{VELVIX_PROCESS_TOOL, huge}, 1, "is 16000 x 16000 pixels"},
        {{VELVIX_PROCESS_TOOL, input, "--no-face"},
         0,
         "{\"width\":100,\"height\":40,\"filter\":\""},
        {{VELVIX_PROCESS_TOOL, input, "--no-face"},
         0,
         "\"face\":\"no face\",\"detector\":null,\"milliseconds\":{\"decode\":"},
        {{VELVIX_PROCESS_TOOL, VELVIX_DEMO_PHOTO, "--model", "/nonexistent/velvix.dat",
          "--landmarks", points},
         1,
         "no landmark model was loaded"},
    };
#ifndef _WIN32
    rows.insert(
        rows.end(),
        {
            {{VELVIX_RING_TOOL, "v4l2", "/dev/null"}, 2, "/dev/null is not a video device"},
            {{VELVIX_RING_TOOL, "v4l2", "/dev/velvix-none"}, 2, "cannot open /dev/velvix-none"},
            {{VELVIX_RING_TOOL, "v4l2", "/dev/null", "--size", "640by480"}, 2, "--size needs"},
            {{VELVIX_RING_TOOL, "v4l2", "/dev/null", "--format", "mjpeg"}, 2, "--format is"},
        });
#endif
#ifdef VELVIX_TRAIN_TOOL
    rows.insert(rows.end(),
                {
                    {{VELVIX_TRAIN_TOOL, "--help"}, 0, "usage: velvix-train "},
                    {{VELVIX_TRAIN_TOOL, "model.dat"}, 2, "no TRAINING_FOLDER given"},
                    {{VELVIX_TRAIN_TOOL, "--stages"}, 2, "--stages needs a value"},
                    {{VELVIX_ACCURACY_TOOL, "--help"}, 0, "usage: velvix-landmark-accuracy "},
                    {{VELVIX_ACCURACY_TOOL}, 2, "no model given"},
                    {{VELVIX_ACCURACY_TOOL, "--mapping"}, 2, "--mapping needs one folder"},
                    {{VELVIX_ACCURACY_TOOL, missing}, 1, "No such file or directory"},
                });
#endif
    for (const Row& row : rows) {
        const auto result = runProgram(row.arguments);
        EXPECT_EQ(result.exitCode, row.status) << row.said << "\n" << result.output;
        EXPECT_NE(result.output.find(row.said), std::string::npos) << result.output;
        // A picture's report is one line of JSON.
        if (row.said[0] == '{') {
            EXPECT_EQ(std::count(result.output.begin(), result.output.end(), '\n'), 1);
        }
    }
    std::remove(small.c_str());
    std::remove(huge.c_str());
}

// Three copies of the demo portrait's head of different sizes on beige paper, at level 80: each
// face's skin is smoothed, its pupils and lips (where the portrait's own landmarks put them) and
// the paper keep their pixels, the widest face is the one reported, and the worker publishes
// the same picture. The rectangle mask changes pixels in the corners of the face's rectangle,
// off the round jaw, that the face-shaped mask leaves alone. A row for each head (before,
// smoothed in the face's rectangle, in its outline, and both changes) goes to face-mask.jpg in
// the test's build folder (docs/developer/smoothing.md shows it).
TEST_F(ProcessTool, SmoothsEveryFaceOfAGroupAndReportsTheWidest) {
    const std::string model = VELVIX_SHIPPED_MODEL;
    const FrameSize size = kDefaultFrameSize;
    const auto portraitRun = runProgram({VELVIX_PROCESS_TOOL, VELVIX_DEMO_PHOTO, "--model", model,
                                         "--landmarks", points, "--output", output});
    ASSERT_EQ(portraitRun.exitCode, 0) << portraitRun.output;
    const auto landmarks = readPoints(points);
    ASSERT_EQ(landmarks.size(), 98u);
    const auto portraitFace = faceRectangleOf(portraitRun.output);
    ASSERT_TRUE(portraitFace) << portraitRun.output;

    const std::vector<Head> heads{{1.15f, 250, 330}, {1.5f, 680, 380}, {1.3f, 1060, 340}};
    const Rgb before = portraitsOnPaper(heads);
    ASSERT_TRUE(writePng(input, before, size));
    const std::string rectangle = output + ".rectangle.png";
    const auto byRectangle = runProgram({VELVIX_PROCESS_TOOL, input, "--model", model, "--level",
                                         "80", "--rectangle-mask", "--output", rectangle});
    const auto group = runProgram(
        {VELVIX_PROCESS_TOOL, input, "--model", model, "--level", "80", "--output", output});
    ASSERT_EQ(byRectangle.exitCode, 0) << byRectangle.output;
    ASSERT_EQ(group.exitCode, 0) << group.output;
    const Rgb after = readRgb(output, size);
    const Rgb afterRectangle = readRgb(rectangle, size);
    std::remove(rectangle.c_str());

    const auto reported = faceRectangleOf(group.output);
    ASSERT_TRUE(reported) << group.output;
    EXPECT_GT(heads[1].centreX, reported->x);
    EXPECT_LT(heads[1].centreX, reported->x + reported->width);

    const auto changed = [&](const Rgb& picture, int x, int y) {
        const std::size_t i = (static_cast<std::size_t>(y) * size.width + x) * 3;
        return !std::equal(&picture[i], &picture[i] + 3, &before[i]);
    };
    Rgb strip;
    for (std::size_t k = 0; k < heads.size(); ++k) {
        std::vector<std::pair<float, float>> p;
        for (const auto& point : landmarks) {
            p.push_back(heads[k].placed(point));
        }
        // Half of a cheek's pixels change: the square between the image-left eye's outer
        // corner (60) and the mouth's corner (76), below the eye.
        const int left = static_cast<int>(std::min(p[60].first, p[76].first));
        const int right = static_cast<int>(std::max(p[60].first, p[76].first));
        const int top = static_cast<int>(p[60].second + (p[76].second - p[60].second) / 3);
        const int bottom = static_cast<int>(p[76].second);
        int cheek = 0;
        int cheekChanged = 0;
        for (int y = top; y < bottom; ++y) {
            for (int x = left; x < right; ++x) {
                ++cheek;
                cheekChanged += changed(after, x, y) ? 1 : 0;
            }
        }
        EXPECT_GT(cheekChanged * 2, cheek) << "head " << k;
        // The pupils and the middle of the lips keep their pixels.
        const std::pair<float, float> lips{(p[79].first + p[85].first) / 2,
                                           (p[79].second + p[85].second) / 2};
        for (const auto& [fx, fy] : {p[96], p[97], lips}) {
            for (int dy = -2; dy <= 2; ++dy) {
                for (int dx = -2; dx <= 2; ++dx) {
                    EXPECT_FALSE(
                        changed(after, static_cast<int>(fx) + dx, static_cast<int>(fy) + dy))
                        << "head " << k << " at " << fx << ", " << fy;
                }
            }
        }
        const auto [faceX, faceY] = heads[k].placed({portraitFace->x, portraitFace->y});
        const int width =
            static_cast<int>(static_cast<float>(portraitFace->width) * heads[k].scale);
        const Rectangle crop{static_cast<int>(faceX) - width / 2,
                             static_cast<int>(faceY) - width * 2 / 5, width * 2,
                             width * 2 * kCellHeight / kCellWidth};
        addStripRow(strip,
                    {before, afterRectangle, after, amplifiedChange(before, afterRectangle),
                     amplifiedChange(before, after)},
                    size, crop);
    }
    // Changed pixels in the lower corners of the reported face's rectangle.
    const auto changedInCorners = [&](const Rgb& picture) {
        int count = 0;
        const Rectangle& face = *reported;
        for (int y = face.y + face.height * 5 / 6; y < face.y + face.height; ++y) {
            for (int x = face.x; x < face.x + face.width; ++x) {
                const bool corner = x < face.x + face.width / 6 || x >= face.x + face.width * 5 / 6;
                count += corner && changed(picture, x, y) ? 1 : 0;
            }
        }
        return count;
    };
    EXPECT_GT(changedInCorners(afterRectangle), 4 * changedInCorners(after) + 20);
    for (int y = 0; y < size.height; y += 3) {
        for (int x = 0; x < size.width; ++x) {
            if (offTheHeads(heads, x, y)) {
                ASSERT_FALSE(changed(after, x, y)) << "column " << x << " row " << y;
            }
        }
    }
    EXPECT_TRUE(publishedByTheWorker(before, size, 80, model) == after);
    EXPECT_TRUE(writeStrip(strip, "face-mask.jpg"));
}

// The slider's levels on the demo portrait: each level changes the face more than the one below
// it, and none touches the picture's corners, which are off the face. The crops before, at 30,
// 60 and 100, and the change at 100 go to levels.jpg in the test's build folder
// (docs/developer/smoothing.md shows them).
TEST_F(ProcessTool, EachLevelChangesTheFaceMoreThanTheOneBelow) {
    const FrameSize size{512, 512};
    const Rgb before = readRgb(VELVIX_DEMO_PHOTO, size);
    std::array<Rgb, kCells> cells{before};
    std::optional<Rectangle> face;
    double previousChange = 0.0;
    int cell = 1;
    for (const int level : {30, 60, 100}) {
        const auto run =
            runProgram({VELVIX_PROCESS_TOOL, VELVIX_DEMO_PHOTO, "--model", VELVIX_SHIPPED_MODEL,
                        "--level", std::to_string(level), "--output", output});
        ASSERT_EQ(run.exitCode, 0) << run.output;
        face = faceRectangleOf(run.output);
        ASSERT_TRUE(face) << run.output;
        const Rgb after = readRgb(output, size);
        double change = 0.0;
        for (int y = face->y; y < face->y + face->height; ++y) {
            for (int x = face->x; x < face->x + face->width; ++x) {
                const std::size_t i = (static_cast<std::size_t>(y) * size.width + x) * 3;
                change += std::abs(after[i] - before[i]) + std::abs(after[i + 1] - before[i + 1]) +
                          std::abs(after[i + 2] - before[i + 2]);
            }
        }
        EXPECT_GT(change, previousChange * 1.2) << "level " << level;
        previousChange = change;
        for (const std::size_t corner :
             {std::size_t{0}, static_cast<std::size_t>(size.width - 1) * 3, after.size() - 3}) {
            EXPECT_EQ(after[corner], before[corner]) << "level " << level;
        }
        cells[static_cast<std::size_t>(cell++)] = after;
    }
    cells[4] = amplifiedChange(before, cells[3]);
    const int cropWidth = face->width * 3 / 2;
    Rgb strip;
    addStripRow(strip, cells, size,
                {face->x - face->width / 4, face->y - face->height / 5, cropWidth,
                 cropWidth * kCellHeight / kCellWidth});
    EXPECT_TRUE(writeStrip(strip, "levels.jpg"));
}

std::uint64_t fnv1a(std::string_view bytes) {
    std::uint64_t hash = 14695981039346656037ull;
    for (const char byte : bytes) {
        hash = (hash ^ static_cast<std::uint8_t>(byte)) * 1099511628211ull;
    }
    return hash;
}

// Every build of the program gives the same picture and the same landmarks for the same photo
// with the same detector: the digests are those the Linux build gives with each detector (with
// the cascade when the network is not beside it), and the Windows build is held to them.
struct BuildDigests {
    const char* detector;
    std::uint64_t pixels;
    std::uint64_t landmarks;
};
constexpr BuildDigests kLinuxDigests[] = {
    {"BlazeFace full-range face_detection_back_256x256_barracuda.onnx", 0xb55c5c34cfacff52ull,
     0x31c64a176b30a619ull},
    {"OpenCV cascade haarcascade_frontalface_alt2.xml", 0xdd9f0b056a273879ull,
     0xc3dad4224d434d4dull},
};

// The landmarks are written upright: the astronaut's face lies in the upper middle of the
// portrait, the image-left eye on the image's left, the eyes above the mouth; the overlay
// draws on the photo.
TEST_F(ProcessTool, GivesTheSamePixelsAndLandmarksAsTheLinuxBuild) {
    const std::string overlay = output + ".overlay.png";
    const auto result =
        runProgram({VELVIX_PROCESS_TOOL, VELVIX_DEMO_PHOTO, "--model", VELVIX_SHIPPED_MODEL,
                    "--output", output, "--landmarks", points, "--overlay", overlay});
    ASSERT_EQ(result.exitCode, 0) << result.output;
    EXPECT_NE(result.output.find("\"landmarks\":true"), std::string::npos) << result.output;
    ASSERT_EQ(testing::readFile(points).rfind("version: 1\nn_points: 98\n{\n", 0), 0u);
    const auto read = readPoints(points);
    ASSERT_EQ(read.size(), 98u);
    EXPECT_LT(read[60].first, read[72].first);
    EXPECT_LT(read[96].first, read[97].first);
    EXPECT_LT(read[60].second, read[79].second);
    for (const auto& [px, py] : read) {
        EXPECT_TRUE(px > 150 && px < 330 && py > 40 && py < 220) << px << ", " << py;
    }
    EXPECT_NE(readRgb(overlay, {512, 512}), readRgb(VELVIX_DEMO_PHOTO, {512, 512}));
    std::remove(overlay.c_str());

    if (!hasAVX2) {
        GTEST_SKIP() << "the digests are those of the AVX2 path";
    }
    const BuildDigests* expected = nullptr;
    for (const BuildDigests& digests : kLinuxDigests) {
        if (result.output.find("\"detector\":\"" + std::string(digests.detector) + "\"") !=
            std::string::npos) {
            expected = &digests;
        }
    }
    ASSERT_NE(expected, nullptr) << result.output;
    const auto pixels = readRgb(output, {512, 512});
    EXPECT_EQ(fnv1a({reinterpret_cast<const char*>(pixels.data()), pixels.size()}),
              expected->pixels)
        << expected->detector;
    EXPECT_EQ(fnv1a(testing::readFile(points)), expected->landmarks) << expected->detector;
}

#ifndef _WIN32
// Whoever can write to the folder a person works in must not choose the files the program
// parses: a model, a network and a cascade planted there are never read.
TEST_F(ProcessTool, IgnoresDataFilesPlantedInTheCurrentFolder) {
    testing::ScopedFolder folder;
    for (const char* name : {"velvix.dat", "face_detection_back_256x256_barracuda.onnx",
                             "haarcascade_frontalface_alt2.xml"}) {
        std::ofstream(folder.path() + "/" + name) << "planted";
    }
    const auto result =
        runProgram({"/usr/bin/env", "-C", folder.path(), VELVIX_PROCESS_TOOL, VELVIX_DEMO_PHOTO});
    EXPECT_EQ(result.exitCode, 0) << result.output;
    EXPECT_NE(result.output.find("\"landmarks\":true"), std::string::npos) << result.output;
    EXPECT_EQ(result.output.find("planted"), std::string::npos) << result.output;
    EXPECT_EQ(result.output.find(folder.path()), std::string::npos) << result.output;
}
#endif

}  // namespace
}  // namespace velvix
