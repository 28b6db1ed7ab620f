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
#include <tuple>

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
using Points = std::vector<std::pair<float, float>>;

Rgb readRgb(const std::string& path, FrameSize expectedSize) {
    int width = 0, height = 0, channels = 0;
    stbi_uc* image = stbi_load(path.c_str(), &width, &height, &channels, 3);
    EXPECT_NE(image, nullptr) << path;
    EXPECT_EQ(FrameSize(width, height), expectedSize);
    Rgb rgb(image, image + (image ? static_cast<std::size_t>(width) * height * 3 : 0));
    stbi_image_free(image);
    return rgb;
}

bool writePng(const std::string& path, const Rgb& rgb, FrameSize size) {
    return stbi_write_png(path.c_str(), size.width, size.height, 3, rgb.data(), size.width * 3);
}

// The points of an iBUG .pts file.
Points readPoints(const std::string& path) {
    const std::string pts = testing::readFile(path);
    std::istringstream lines(pts.substr(std::min(pts.size(), pts.find('{') + 2)));
    Points read;
    for (float x = 0, y = 0; lines >> x >> y;) {
        read.emplace_back(x, y);
    }
    return read;
}

struct Rectangle {
    int x, y, width, height;
};

// The accepted face's rectangle from velvix-process's JSON line.
std::optional<Rectangle> faceRectangleOf(const std::string& json) {
    const auto at = json.find("\"face\":{\"accepted\":true,");
    Rectangle r{};
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

// A row of five pictures' same crop, added to a strip that writeStrip saves as a JPEG.
constexpr int kCellWidth = 180;
constexpr int kCellHeight = 200;

void addStripRow(Rgb& strip, const std::array<Rgb, 5>& cells, FrameSize size,
                 const Rectangle& crop) {
    for (int y = 0; y < kCellHeight; ++y) {
        const int sy = std::clamp(crop.y + y * crop.height / kCellHeight, 0, size.height - 1);
        for (const Rgb& cell : cells) {
            for (int x = 0; x < kCellWidth; ++x) {
                const int sx = std::clamp(crop.x + x * crop.width / kCellWidth, 0, size.width - 1);
                const auto source = cell.begin() + (std::ptrdiff_t{sy} * size.width + sx) * 3;
                strip.insert(strip.end(), source, source + 3);
            }
        }
    }
}

bool writeStrip(const Rgb& strip, const std::string& name) {
    return stbi_write_jpg((std::string(VELVIX_ARTEFACT_DIR) + "/" + name).c_str(), kCellWidth * 5,
                          static_cast<int>(strip.size() / (kCellWidth * 15)), 3, strip.data(), 90);
}

// A copy of the demo portrait's head (an ellipse round its face and hair, soft at the edge, of
// these middle and half axes in the portrait) in a frame, at its scale and middle.
struct Head {
    float scale;
    float centreX;
    float centreY;
    static constexpr float kX = 226;
    static constexpr float kY = 118;
    static constexpr float kHalfWidth = 92;
    static constexpr float kHalfHeight = 118;

    // 1 on the ellipse.
    float radius(int x, int y) const {
        return std::hypot((static_cast<float>(x) - centreX) / (kHalfWidth * scale),
                          (static_cast<float>(y) - centreY) / (kHalfHeight * scale));
    }
};

// The heads laid on beige paper in a 1280 x 720 frame, as a webcam sees people before a wall.
Rgb portraitsOnPaper(const std::vector<Head>& heads) {
    const Rgb portrait = readRgb(VELVIX_DEMO_PHOTO, {512, 512});
    const FrameSize frame = kDefaultFrameSize;
    Rgb rgb;
    for (int y = 0; y < frame.height; ++y) {
        for (int x = 0; x < frame.width; ++x) {
            const auto paper = testing::beigePaper(x, y);
            std::array<float, 3> value{float(paper[0]), float(paper[1]), float(paper[2])};
            for (const Head& head : heads) {
                const float weight = std::clamp((1.0f - head.radius(x, y)) * 20.0f, 0.0f, 1.0f);
                const int sx =
                    std::clamp(int(Head::kX + (float(x) - head.centreX) / head.scale), 0, 511);
                const int sy =
                    std::clamp(int(Head::kY + (float(y) - head.centreY) / head.scale), 0, 511);
                for (std::size_t c = 0; c < 3; ++c) {
                    value[c] +=
                        weight * (portrait[(std::size_t(sy) * 512 + sx) * 3 + c] - value[c]);
                }
            }
            for (const float v : value) {
                rgb.push_back(static_cast<std::uint8_t>(std::lround(v)));
            }
        }
    }
    return rgb;
}

// The frame the worker publishes for one camera frame with smoothing on at `level`, the face
// detector velvix-process finds among its data files and the landmark model `modelPath`.
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
        const auto* source = rgb.data() + (std::size_t(size.height - 1 - y) * size.width + x) * 3;
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
        for (const std::string& path : {input, output, points, other}) {
            std::remove(path.c_str());
        }
    }

    const std::string input = testing::temporaryPath("velvix-process-in") + ".png";
    const std::string output = testing::temporaryPath("velvix-process-out") + ".png";
    const std::string points = output + ".pts";
    const std::string other = output + ".other.png";
};

// Every program answers --help; a command line or a picture it cannot use is refused with a
// line that names what is wrong: status 2 for the command line, 1 for the files. Data files
// planted in the current folder are not read.
TEST_F(ProcessTool, ProgramsAnswerHelpAndNameWhatIsMissing) {
    const std::string missing = testing::temporaryPath("velvix-missing.png");
    ASSERT_TRUE(writePng(other, Rgb(20 * 20 * 3), {20, 20}));
    ASSERT_TRUE(writePng(input, Rgb(100 * 40 * 3), {100, 40}));
    // Refused by the size in its header, before gigabytes are decoded.
    testing::writePngHeader(points, 16000, 16000);
    struct Row {
        std::vector<std::string> arguments;
        int status;
        std::string said;
        std::string unsaid = "\n\n";
    };
    std::vector<Row> rows = {
        {{VELVIX_APP, "--help"}, 0, "usage: velvix "},
        {{VELVIX_RING_TOOL, "frobnicate"}, 2, "cannot understand: frobnicate"},
        {{VELVIX_PROCESS_TOOL, "--help"}, 0, "usage: velvix-process "},
        {{VELVIX_PROCESS_TOOL, input, "--level", "101"}, 2, "--level takes"},
        {{VELVIX_PROCESS_TOOL, missing}, 1, "No such file or directory"},
        {{VELVIX_PROCESS_TOOL, other}, 1, "is 20 x 20 pixels"},
        {{VELVIX_PROCESS_TOOL, points}, 1, "is 16000 x 16000 pixels"},
        {{VELVIX_PROCESS_TOOL, VELVIX_DEMO_PHOTO, "--model", "/nonexistent/velvix.dat",
          "--landmarks", output},
         1,
         "no landmark model was loaded"},
        // A picture's report is one line of JSON.
        {{VELVIX_PROCESS_TOOL, input, "--no-face"},
         0,
         "{\"width\":100,\"height\":40,\"filter\":\""},
    };
#ifndef _WIN32
    rows.push_back({{VELVIX_RING_TOOL, "v4l2", "/dev/null"}, 2, "/dev/null is not a video device"});
    // Whoever can write to the folder a person works in must not choose the files the program
    // parses: a model, a network and a cascade planted there are never read.
    testing::ScopedFolder folder;
    for (const char* name : {"velvix.dat", "face_detection_back_256x256_barracuda.onnx",
                             "haarcascade_frontalface_alt2.xml"}) {
        std::ofstream(folder.path() + "/" + name) << "planted";
    }
    rows.push_back({{"/usr/bin/env", "-C", folder.path(), VELVIX_PROCESS_TOOL, VELVIX_DEMO_PHOTO},
                    0,
                    "\"landmarks\":true",
                    folder.path()});
#endif
#ifdef VELVIX_TRAIN_TOOL
    // A folder that is not there is named, not thrown out of the program as it was.
    rows.insert(
        rows.end(),
        {{{VELVIX_TRAIN_TOOL, "model.dat"}, 2, "no TRAINING_FOLDER given"},
         {{VELVIX_TRAIN_TOOL, "model.dat", missing}, 2, ": No such file or directory"},
         {{VELVIX_ACCURACY_TOOL, missing}, 1, "No such file or directory"},
         {{VELVIX_ACCURACY_TOOL, "model.dat", "--98", missing}, 2, ": No such file or directory"}});
#endif
    for (const Row& row : rows) {
        const auto result = runProgram(row.arguments);
        EXPECT_EQ(result.exitCode, row.status) << row.said << "\n" << result.output;
        EXPECT_NE(result.output.find(row.said), std::string::npos) << result.output;
        EXPECT_EQ(result.output.find(row.unsaid), std::string::npos) << result.output;
        if (row.said[0] == '{') {
            EXPECT_EQ(std::count(result.output.begin(), result.output.end(), '\n'), 1);
        }
    }
}

// Three copies of the demo portrait's head of different sizes on beige paper, at level 80: the
// middle of each face is smoothed, the paper keeps its pixels, the widest face is the one
// reported, and the worker publishes the same picture. The rectangle mask changes pixels in the
// corners of the face's rectangle, off the round jaw, that the face-shaped mask leaves alone. A
// row for each head (before, smoothed in the face's rectangle, in its outline, and both changes)
// goes to face-mask.jpg in the test's build folder (docs/developer/smoothing.md shows it).
TEST_F(ProcessTool, SmoothsEveryFaceOfAGroupAndReportsTheWidest) {
    const std::string model = VELVIX_SHIPPED_MODEL;
    const FrameSize size = kDefaultFrameSize;
    const std::vector<Head> heads{{1.15f, 250, 330}, {1.5f, 680, 380}, {1.3f, 1060, 340}};
    const Rgb before = portraitsOnPaper(heads);
    ASSERT_TRUE(writePng(input, before, size));
    runProgram({VELVIX_PROCESS_TOOL, input, "--model", model, "--level", "80", "--rectangle-mask",
                "--output", other});
    const auto group = runProgram(
        {VELVIX_PROCESS_TOOL, input, "--model", model, "--level", "80", "--output", output});
    const Rgb after = readRgb(output, size);
    const Rgb afterRectangle = readRgb(other, size);
    const auto face = faceRectangleOf(group.output);
    ASSERT_TRUE(face) << group.output;
    EXPECT_TRUE(float(face->x) < heads[1].centreX &&
                heads[1].centreX < float(face->x + face->width));

    // The pixels where `within` holds, and how many of them `picture` changed.
    const auto changes = [&](const Rgb& picture, auto within) {
        std::pair<int, int> count;
        for (int y = 0; y < size.height; ++y) {
            for (int x = 0; x < size.width; ++x) {
                const std::size_t i = (static_cast<std::size_t>(y) * size.width + x) * 3;
                count.first += within(x, y) ? 1 : 0;
                count.second +=
                    within(x, y) && !std::equal(&picture[i], &picture[i] + 3, &before[i]);
            }
        }
        return count;
    };
    Rgb strip;
    for (const Head& head : heads) {
        // Where its eyes, brows and lips are kept, much of the middle of a face still changes.
        const auto middle = changes(after, [&](int x, int y) { return head.radius(x, y) < 0.5f; });
        EXPECT_GT(middle.second * 3, middle.first) << "head at " << head.centreX;
        const auto width = int(Head::kHalfWidth * 2.4f * head.scale);
        addStripRow(strip,
                    {before, afterRectangle, after, amplifiedChange(before, afterRectangle),
                     amplifiedChange(before, after)},
                    size,
                    {int(head.centreX) - width / 2, int(head.centreY) - width / 2, width,
                     width * kCellHeight / kCellWidth});
    }
    const auto inCorner = [&](int x, int y) {
        const int across = (x - face->x) * 6 / face->width;
        return (x >= face->x && (across == 0 || across == 5)) &&
               y >= face->y + face->height * 5 / 6 && y < face->y + face->height;
    };
    EXPECT_GT(changes(afterRectangle, inCorner).second, 4 * changes(after, inCorner).second + 20);
    const auto offTheHeads = [&](int x, int y) {
        return std::all_of(heads.begin(), heads.end(),
                           [&](auto& head) { return head.radius(x, y) > 1.1f; });
    };
    EXPECT_EQ(changes(after, offTheHeads).second, 0);
    EXPECT_TRUE(publishedByTheWorker(before, size, 80, model) == after);
    EXPECT_TRUE(writeStrip(strip, "face-mask.jpg"));
}

// The slider's levels on the demo portrait: each level changes it (which is its face) more than
// the one below it. The crops before, at 30, 60 and 100, and the change at 100 go to levels.jpg in
// the test's build folder (docs/developer/smoothing.md shows them).
TEST_F(ProcessTool, EachLevelChangesTheFaceMoreThanTheOneBelow) {
    const FrameSize size{512, 512};
    std::array<Rgb, 5> cells{readRgb(VELVIX_DEMO_PHOTO, size)};
    double previousChange = 0.0;
    for (std::size_t cell = 1; cell < 4; ++cell) {
        const int level = cell == 3 ? 100 : 30 * static_cast<int>(cell);
        const auto run =
            runProgram({VELVIX_PROCESS_TOOL, VELVIX_DEMO_PHOTO, "--model", VELVIX_SHIPPED_MODEL,
                        "--level", std::to_string(level), "--output", output});
        ASSERT_EQ(run.exitCode, 0) << run.output;
        cells[cell] = readRgb(output, size);
        double change = 0.0;
        for (std::size_t i = 0; i < cells[0].size(); ++i) {
            change += std::abs(cells[cell][i] - cells[0][i]);
        }
        EXPECT_GT(change, previousChange * 1.2) << "level " << level;
        previousChange = change;
    }
    cells[4] = amplifiedChange(cells[0], cells[3]);
    Rgb strip;
    // The astronaut's face, with a little of what is about it.
    addStripRow(strip, cells, size, {140, 35, 168, 186});
    EXPECT_TRUE(writeStrip(strip, "levels.jpg"));
}

std::uint64_t fnv1a(std::string_view bytes) {
    std::uint64_t hash = 14695981039346656037ull;
    for (const char byte : bytes) {
        hash = (hash ^ static_cast<std::uint8_t>(byte)) * 1099511628211ull;
    }
    return hash;
}

// Every build gives the same picture and landmarks for the same photo with the same detector:
// the digests are those the Linux build gives with each detector (with the cascade when the
// network is not beside it), and the Windows build is held to them. The landmarks are written
// upright: the astronaut's face lies in the upper middle of the portrait, the image-left eye on
// the image's left, the eyes above the mouth; the overlay draws on the photo.
TEST_F(ProcessTool, GivesTheSamePixelsAndLandmarksAsTheLinuxBuild) {
    // The detector, the digests of the pixels and of the landmarks file.
    const std::tuple<std::string, std::uint64_t, std::uint64_t> linuxDigests[] = {
        {"BlazeFace full-range face_detection_back_256x256_barracuda.onnx", 0xab63892ea5c10109ull,
         0xa1d354744a605883ull},
        {"OpenCV cascade haarcascade_frontalface_alt2.xml", 0xdcd25f9926c134c9ull,
         0xcf7c575cfed23179ull},
    };
    const auto result =
        runProgram({VELVIX_PROCESS_TOOL, VELVIX_DEMO_PHOTO, "--model", VELVIX_SHIPPED_MODEL,
                    "--output", output, "--landmarks", points, "--overlay", other});
    ASSERT_EQ(result.exitCode, 0) << result.output;
    const Points read = readPoints(points);
    ASSERT_EQ(read.size(), 98u);
    EXPECT_LT(read[60].first, read[72].first);
    EXPECT_LT(read[96].first, read[97].first);
    EXPECT_LT(read[60].second, read[79].second);
    for (const auto& [px, py] : read) {
        EXPECT_TRUE(px > 150 && px < 330 && py > 40 && py < 220) << px << ", " << py;
    }
    EXPECT_NE(readRgb(other, {512, 512}), readRgb(VELVIX_DEMO_PHOTO, {512, 512}));
    if (!hasAVX2) {
        GTEST_SKIP() << "the digests are those of the AVX2 path";
    }
    const auto expected =
        std::find_if(std::begin(linuxDigests), std::end(linuxDigests), [&](auto& d) {
            return result.output.find("\"detector\":\"" + std::get<0>(d) + "\"") !=
                   std::string::npos;
        });
    ASSERT_NE(expected, std::end(linuxDigests)) << result.output;
    const auto& [detector, pixelDigest, landmarksDigest] = *expected;
    const Rgb pixels = readRgb(output, {512, 512});
    EXPECT_EQ(fnv1a({reinterpret_cast<const char*>(pixels.data()), pixels.size()}), pixelDigest)
        << detector;
    EXPECT_EQ(fnv1a(testing::readFile(points)), landmarksDigest) << detector;
}

}  // namespace
}  // namespace velvix
