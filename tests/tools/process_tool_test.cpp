#include <gtest/gtest.h>
#include <stb_image.h>
#include <stb_image_write.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <optional>
#include <random>
#include <sstream>
#include <stop_token>

#include "beige_paper.hpp"
#include "host/smoothing_step.hpp"
#include "model_file.hpp"
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

// No landmark model. A frame without a face needs none, and the shipped 38 MB model takes
// seconds to load under the sanitizers.
constexpr char kNoModel[] = "/nonexistent/velvix.dat";

// A camera frame in the capture layout, bottom row first: skin-coloured on the left, grey on
// the right, with noise for the filter to smooth.
std::vector<std::uint8_t> noisyCaptureFrame(FrameSize size) {
    std::vector<std::uint8_t> pixels(static_cast<std::size_t>(size.pixels()) * 4);
    std::mt19937 random(17);
    for (std::size_t i = 0; i < pixels.size(); i += 4) {
        const bool skin =
            static_cast<int>((i / 4) % static_cast<std::size_t>(size.width)) < size.width / 2;
        const int noise = static_cast<int>(random() % 13) - 6;
        pixels[i + 0] = static_cast<std::uint8_t>((skin ? 205 : 128) + noise);
        pixels[i + 1] = static_cast<std::uint8_t>((skin ? 150 : 130) + noise);
        pixels[i + 2] = static_cast<std::uint8_t>((skin ? 120 : 126) + noise);
        pixels[i + 3] = 255;
    }
    return pixels;
}

// The frame as a picture file: upright, red, green and blue.
void writeUprightPng(const std::vector<std::uint8_t>& capture, FrameSize size,
                     const std::string& path) {
    std::vector<std::uint8_t> rgb;
    for (int row = size.height - 1; row >= 0; --row) {
        for (int x = 0; x < size.width; ++x) {
            const std::uint8_t* pixel =
                capture.data() + (static_cast<std::size_t>(row) * size.width + x) * 4;
            rgb.insert(rgb.end(), pixel, pixel + 3);
        }
    }
    ASSERT_NE(stbi_write_png(path.c_str(), size.width, size.height, 3, rgb.data(), size.width * 3),
              0);
}

std::vector<std::uint8_t> readRgb(const std::string& path, FrameSize expectedSize) {
    int width = 0;
    int height = 0;
    int channels = 0;
    stbi_uc* image = stbi_load(path.c_str(), &width, &height, &channels, 3);
    EXPECT_NE(image, nullptr) << path;
    if (image == nullptr) {
        return {};
    }
    EXPECT_EQ(FrameSize(width, height), expectedSize);
    std::vector<std::uint8_t> rgb(image, image + static_cast<std::size_t>(width) * height * 3);
    stbi_image_free(image);
    return rgb;
}

// The frame the worker publishes for one camera frame with smoothing on at `level`, with the
// face detector velvix-process finds among its data files and the landmark model `modelPath`.
RingFrame publishedByTheWorker(const std::vector<std::uint8_t>& capture, FrameSize size, int level,
                               const std::string& modelPath) {
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
    camera.queueFrame([&](int x, int y, std::uint8_t* pixel) {
        const std::uint8_t* source =
            capture.data() + (static_cast<std::size_t>(y) * size.width + x) * 4;
        std::copy(source, source + 4, pixel);
    });
    std::stop_source stop;
    worker.tick(stop.get_token());
    RingFrame frame;
    EXPECT_EQ(FrameRingReader::open(name.get()).readNewest(frame),
              FrameRingReader::ReadOutcome::frame);
    return frame;
}

class ProcessTool : public ::testing::Test {
  protected:
    void TearDown() override {
        unlink(input.c_str());
        unlink(output.c_str());
    }

    const std::string input =
        ::testing::TempDir() + "/velvix-process-in-" + std::to_string(getpid()) + ".png";
    const std::string output =
        ::testing::TempDir() + "/velvix-process-out-" + std::to_string(getpid()) + ".png";
};

TEST_F(ProcessTool, WritesWhatTheWorkerPublishesForTheSameFrame) {
    const auto capture = noisyCaptureFrame(kDefaultFrameSize);
    writeUprightPng(capture, kDefaultFrameSize, input);
    const auto result = runProgram(
        {VELVIX_PROCESS_TOOL, input, "--output", output, "--level", "60", "--model", kNoModel});
    ASSERT_EQ(result.exitCode, 0) << result.output;

    const RingFrame published = publishedByTheWorker(capture, kDefaultFrameSize, 60, kNoModel);
    const auto expected = ring_tool::uprightRgb(published);
    const auto written = readRgb(output, kDefaultFrameSize);
    EXPECT_TRUE(written == expected);

    // Smoothing took place on the skin, and the grey half came through untouched.
    const auto unsmoothed = readRgb(input, kDefaultFrameSize);
    const std::size_t skin = (360 * 1280 + 100) * 3;
    const std::size_t grey = (360 * 1280 + 1100) * 3;
    EXPECT_NE(std::vector(written.begin() + skin, written.begin() + skin + 300),
              std::vector(unsmoothed.begin() + skin, unsmoothed.begin() + skin + 300));
    EXPECT_EQ(std::vector(written.begin() + grey, written.begin() + grey + 300),
              std::vector(unsmoothed.begin() + grey, unsmoothed.begin() + grey + 300));
}

TEST_F(ProcessTool, PrintsOneJsonLineWithSizePathAndStageTimes) {
    writeUprightPng(noisyCaptureFrame({100, 40}), {100, 40}, input);
    const auto result = runProgram({VELVIX_PROCESS_TOOL, input, "--no-face"});
    ASSERT_EQ(result.exitCode, 0) << result.output;
    EXPECT_EQ(std::count(result.output.begin(), result.output.end(), '\n'), 1) << result.output;
    for (const char* field :
         {"{\"width\":100,\"height\":40,", "\"face\":\"no face\"",
          "\"decode\":", "\"process\":", "\"smooth\":", "\"packAndMask\":", "\"encode\":"}) {
        EXPECT_NE(result.output.find(field), std::string::npos) << field << " in " << result.output;
    }
    EXPECT_TRUE(result.output.find("\"filter\":\"avx2\"") != std::string::npos ||
                result.output.find("\"filter\":\"scalar\"") != std::string::npos)
        << result.output;
}

// Every program answers --help; a command line it cannot use is refused with status 2 and a
// line that names what is missing or wrong.
TEST(Programs, AnswerHelpAndNameWhatIsMissing) {
    struct Row {
        std::vector<std::string> arguments;
        int status;
        const char* said;
    };
    const std::string picture = testing::temporaryPath("velvix-help.png");
    std::vector<Row> rows = {
        {{VELVIX_APP, "--help"}, 0, "usage: velvix "},
        {{VELVIX_APP, "--ring"}, 2, "--ring needs a name"},
        {{VELVIX_RING_TOOL, "--help"}, 0, "usage: velvix-ring "},
        {{VELVIX_RING_TOOL, "snapshot"}, 2, "snapshot needs one file"},
        {{VELVIX_RING_TOOL, "--ring"}, 2, "--ring needs a name"},
        {{VELVIX_RING_TOOL, "frobnicate"}, 2, "cannot understand: frobnicate"},
        {{VELVIX_PROCESS_TOOL, "--help"}, 0, "usage: velvix-process "},
        {{VELVIX_PROCESS_TOOL}, 2, "no input picture given"},
        {{VELVIX_PROCESS_TOOL, picture, "--level", "101"}, 2, "--level takes"},
        {{VELVIX_PROCESS_TOOL, picture, "--output"}, 2, "--output needs a value"},
        {{VELVIX_PROCESS_TOOL, picture, "--bogus"}, 2, "unexpected argument --bogus"},
        {{VELVIX_PROCESS_TOOL, picture}, 1, "No such file or directory"},
    };
#ifdef VELVIX_TRAIN_TOOL
    rows.insert(rows.end(),
                {
                    {{VELVIX_TRAIN_TOOL, "--help"}, 0, "usage: velvix-train "},
                    {{VELVIX_TRAIN_TOOL, "model.dat"}, 2, "no TRAINING_FOLDER given"},
                    {{VELVIX_TRAIN_TOOL, "--stages"}, 2, "--stages needs a value"},
                    {{VELVIX_ACCURACY_TOOL, "--help"}, 0, "usage: velvix-landmark-accuracy "},
                    {{VELVIX_ACCURACY_TOOL}, 2, "no model given"},
                    {{VELVIX_ACCURACY_TOOL, "--mapping"}, 2, "--mapping needs one folder"},
                    {{VELVIX_ACCURACY_TOOL, picture}, 1, "No such file or directory"},
                });
#endif
    for (const Row& row : rows) {
        const auto result = runProgram(row.arguments);
        EXPECT_EQ(result.exitCode, row.status) << row.said << "\n" << result.output;
        EXPECT_NE(result.output.find(row.said), std::string::npos) << result.output;
    }
}

TEST_F(ProcessTool, RefusesBadArgumentsAndPictures) {
    const auto missing = runProgram({VELVIX_PROCESS_TOOL, input});
    EXPECT_EQ(missing.exitCode, 1);
    EXPECT_NE(missing.output.find("cannot read"), std::string::npos) << missing.output;

    writeUprightPng(noisyCaptureFrame({20, 20}), {20, 20}, input);
    const auto small = runProgram({VELVIX_PROCESS_TOOL, input});
    EXPECT_EQ(small.exitCode, 1);
    EXPECT_NE(small.output.find("20 x 20 pixels"), std::string::npos) << small.output;

    // Refused by the size in its header, before gigabytes are decoded.
    testing::writePngHeader(input, 16000, 16000);
    const auto huge = runProgram({VELVIX_PROCESS_TOOL, input});
    EXPECT_EQ(huge.exitCode, 1);
    EXPECT_NE(huge.output.find("16000 x 16000 pixels"), std::string::npos) << huge.output;
}

using Rgb = std::vector<std::uint8_t>;

// Where a copy of the demo portrait's head lies in a frame: its scale and its middle.
struct Head {
    float scale = 1;
    float centreX = 640;
    float centreY = 360;
};

// The demo portrait's heads (an ellipse round its face and hair, soft at the edge), scaled and
// laid on beige paper in a 1280 x 720 frame: upright red, green and blue, as a webcam would
// see people before a beige wall.
Rgb portraitsOnPaper(const std::vector<Head>& heads) {
    int width = 0;
    int height = 0;
    int channels = 0;
    stbi_uc* portrait = stbi_load(VELVIX_DEMO_PHOTO, &width, &height, &channels, 3);
    EXPECT_NE(portrait, nullptr);
    if (portrait == nullptr) {
        return {};
    }
    const FrameSize frame = kDefaultFrameSize;
    constexpr float kHeadX = 226;  // the head's middle and half axes in the portrait
    constexpr float kHeadY = 118;
    constexpr float kHalfWidth = 92;
    constexpr float kHalfHeight = 118;
    Rgb rgb(static_cast<std::size_t>(frame.pixels()) * 3);
    for (int y = 0; y < frame.height; ++y) {
        for (int x = 0; x < frame.width; ++x) {
            const auto paper = testing::beigePaper(x, y);
            std::array<float, 3> value{static_cast<float>(paper[0]), static_cast<float>(paper[1]),
                                       static_cast<float>(paper[2])};
            for (const Head& head : heads) {
                const float px = kHeadX + (static_cast<float>(x) - head.centreX) / head.scale;
                const float py = kHeadY + (static_cast<float>(y) - head.centreY) / head.scale;
                const float radius =
                    std::hypot((px - kHeadX) / kHalfWidth, (py - kHeadY) / kHalfHeight);
                const float weight = std::clamp((1.0f - radius) * 20.0f, 0.0f, 1.0f);
                const int sx = std::clamp(static_cast<int>(px), 0, width - 1);
                const int sy = std::clamp(static_cast<int>(py), 0, height - 1);
                for (std::size_t c = 0; c < 3; ++c) {
                    const float photo =
                        portrait[(static_cast<std::size_t>(sy) * width + sx) * 3 + c];
                    value[c] += weight * (photo - value[c]);
                }
            }
            for (std::size_t c = 0; c < 3; ++c) {
                rgb[(static_cast<std::size_t>(y) * frame.width + x) * 3 + c] =
                    static_cast<std::uint8_t>(std::lround(value[c]));
            }
        }
    }
    stbi_image_free(portrait);
    return rgb;
}

// Whether a pixel lies off every head (beyond 1.1 times its ellipse).
bool offTheHeads(const std::vector<Head>& heads, int x, int y) {
    return std::all_of(heads.begin(), heads.end(), [&](const Head& head) {
        const float dx = (static_cast<float>(x) - head.centreX) / (92 * head.scale);
        const float dy = (static_cast<float>(y) - head.centreY) / (118 * head.scale);
        return dx * dx + dy * dy > 1.1f * 1.1f;
    });
}

// Upright red, green and blue into the capture layout, bottom row first.
std::vector<std::uint8_t> captureOf(const Rgb& rgb, FrameSize size) {
    std::vector<std::uint8_t> capture(static_cast<std::size_t>(size.pixels()) * 4);
    for (int row = 0; row < size.height; ++row) {
        for (int x = 0; x < size.width; ++x) {
            const std::uint8_t* source =
                rgb.data() + (static_cast<std::size_t>(size.height - 1 - row) * size.width + x) * 3;
            std::uint8_t* pixel =
                capture.data() + (static_cast<std::size_t>(row) * size.width + x) * 4;
            std::copy(source, source + 3, pixel);
            pixel[3] = 255;
        }
    }
    return capture;
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
                    "\"face\":{\"accepted\":true,\"x\":%d,\"y\":%d,\"width\":%d,"
                    "\"height\":%d",
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

// Pieces of pictures side by side, five to a row, each the same crop of one frame.
class Strip {
  public:
    static constexpr int kCellWidth = 180;
    static constexpr int kCellHeight = 200;
    static constexpr int kCells = 5;

    void addRow(const std::array<Rgb, kCells>& cells, FrameSize size, const Rectangle& crop) {
        const std::size_t rowStart = pixels_.size();
        pixels_.resize(rowStart + static_cast<std::size_t>(kCellWidth) * kCells * kCellHeight * 3);
        for (int cell = 0; cell < kCells; ++cell) {
            for (int y = 0; y < kCellHeight; ++y) {
                for (int x = 0; x < kCellWidth; ++x) {
                    const int sx =
                        std::clamp(crop.x + x * crop.width / kCellWidth, 0, size.width - 1);
                    const int sy =
                        std::clamp(crop.y + y * crop.height / kCellHeight, 0, size.height - 1);
                    const std::uint8_t* source =
                        cells[static_cast<std::size_t>(cell)].data() +
                        (static_cast<std::size_t>(sy) * size.width + sx) * 3;
                    std::copy(
                        source, source + 3,
                        pixels_.begin() +
                            static_cast<std::ptrdiff_t>(
                                rowStart +
                                ((static_cast<std::size_t>(y) * kCells + cell) * kCellWidth + x) *
                                    3));
                }
            }
        }
    }

    bool writeJpeg(const std::string& path) const {
        const int rows =
            static_cast<int>(pixels_.size() / (static_cast<std::size_t>(kCellWidth) * kCells * 3));
        return stbi_write_jpg(path.c_str(), kCellWidth * kCells, rows, 3, pixels_.data(), 90) != 0;
    }

  private:
    Rgb pixels_;
};

// The face-shaped mask on frames a user's camera might deliver: the demo portrait's head laid
// on beige paper, and the portrait itself. velvix-process and the worker make the same
// picture; nothing off the head changes, while the rectangle mask changes pixels round the
// face that the face-shaped mask leaves alone. The rows of before and after pictures go to
// face-mask.jpg in the test's build folder (docs/ shows them): each row before, smoothed in
// the face's rectangle, smoothed in its outline, and both changes.
TEST_F(ProcessTool, SmoothsThePortraitsFaceButNotThePaperBehindItAsTheWorkerDoes) {
    const std::string model = VELVIX_SHIPPED_MODEL;
    const std::string outline = output + ".outline.png";
    Strip strip;
    struct Placement {
        float scale;
        float centreX;
    };
    for (const Placement& placement : {Placement{1.6f, 330.0f}, Placement{2.0f, 660.0f},
                                       Placement{2.4f, 960.0f}, Placement{0.0f, 0.0f}}) {
        const bool plainPortrait = placement.scale == 0.0f;
        const FrameSize size = plainPortrait ? FrameSize{512, 512} : kDefaultFrameSize;
        const std::string source = plainPortrait ? std::string(VELVIX_DEMO_PHOTO) : input;
        if (!plainPortrait) {
            const Rgb frame = portraitsOnPaper({{placement.scale, placement.centreX}});
            ASSERT_NE(stbi_write_png(input.c_str(), size.width, size.height, 3, frame.data(),
                                     size.width * 3),
                      0);
        }
        const auto byOutline = runProgram(
            {VELVIX_PROCESS_TOOL, source, "--model", model, "--level", "80", "--output", outline});
        const auto byRectangle =
            runProgram({VELVIX_PROCESS_TOOL, source, "--model", model, "--level", "80",
                        "--rectangle-mask", "--output", output});
        ASSERT_EQ(byOutline.exitCode, 0) << byOutline.output;
        ASSERT_EQ(byRectangle.exitCode, 0) << byRectangle.output;
        const auto face = faceRectangleOf(byOutline.output);
        ASSERT_TRUE(face) << byOutline.output;
        const Rgb before = readRgb(source, size);
        const Rgb afterOutline = readRgb(outline, size);
        const Rgb afterRectangle = readRgb(output, size);

        // Changed pixels in the rectangle's lower corners, which lie off the round jaw.
        const auto changedInCorners = [&](const Rgb& after) {
            int changed = 0;
            for (int y = face->y + face->height * 5 / 6; y < face->y + face->height; ++y) {
                for (int x = face->x; x < face->x + face->width; ++x) {
                    const bool corner =
                        x < face->x + face->width / 6 || x >= face->x + face->width * 5 / 6;
                    const std::size_t i = (static_cast<std::size_t>(y) * size.width + x) * 3;
                    changed += corner && after[i] != before[i] ? 1 : 0;
                }
            }
            return changed;
        };
        EXPECT_GT(changedInCorners(afterRectangle), 4 * changedInCorners(afterOutline) + 20);
        if (!plainPortrait) {
            // The paper, away from the head, is as it was.
            const std::vector<Head> heads{{placement.scale, placement.centreX}};
            for (int y = 0; y < size.height; y += 3) {
                for (int x = 0; x < size.width; ++x) {
                    const std::size_t i = (static_cast<std::size_t>(y) * size.width + x) * 3;
                    if (offTheHeads(heads, x, y)) {
                        ASSERT_EQ(afterOutline[i], before[i]) << "column " << x << " row " << y;
                    }
                }
            }
        }
        if (placement.scale == 2.0f) {
            const RingFrame published =
                publishedByTheWorker(captureOf(before, size), size, 80, model);
            EXPECT_TRUE(ring_tool::uprightRgb(published) == afterOutline);
        }
        const int cropWidth = face->width * 2;
        const Rectangle crop{face->x - face->width / 2, face->y - face->height * 2 / 5, cropWidth,
                             cropWidth * Strip::kCellHeight / Strip::kCellWidth};
        strip.addRow({before, afterRectangle, afterOutline, amplifiedChange(before, afterRectangle),
                      amplifiedChange(before, afterOutline)},
                     size, crop);
    }
    EXPECT_TRUE(strip.writeJpeg(std::string(VELVIX_ARTEFACT_DIR) + "/face-mask.jpg"));
    unlink(outline.c_str());
}

// The 98 points of an iBUG .pts file.
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

// Three copies of the demo portrait's head of different sizes on the paper: each face's skin
// is smoothed, its pupils and lips (placed by the landmarks of that head alone in the picture)
// and the paper are as they were, the widest face is the one reported, and the worker
// publishes the same picture.
TEST_F(ProcessTool, SmoothsEveryFaceOfAGroupAndReportsTheWidest) {
    const std::string model = VELVIX_SHIPPED_MODEL;
    const std::string points = output + ".pts";
    const FrameSize size = kDefaultFrameSize;
    const std::vector<Head> heads{{1.15f, 250, 330}, {1.5f, 680, 380}, {1.3f, 1060, 340}};
    const auto writeInput = [&](const std::vector<Head>& shown) {
        const Rgb frame = portraitsOnPaper(shown);
        ASSERT_NE(
            stbi_write_png(input.c_str(), size.width, size.height, 3, frame.data(), size.width * 3),
            0);
    };
    // Each head alone first, for its landmarks.
    std::vector<std::vector<std::pair<float, float>>> landmarks;
    for (const Head& head : heads) {
        writeInput({head});
        const auto alone = runProgram({VELVIX_PROCESS_TOOL, input, "--model", model, "--landmarks",
                                       points, "--output", output});
        ASSERT_EQ(alone.exitCode, 0) << alone.output;
        landmarks.push_back(readPoints(points));
        ASSERT_EQ(landmarks.back().size(), 98u) << alone.output;
    }
    writeInput(heads);
    const auto group = runProgram(
        {VELVIX_PROCESS_TOOL, input, "--model", model, "--level", "80", "--output", output});
    ASSERT_EQ(group.exitCode, 0) << group.output;
    const Rgb before = readRgb(input, size);
    const Rgb after = readRgb(output, size);

    const auto reported = faceRectangleOf(group.output);
    ASSERT_TRUE(reported) << group.output;
    EXPECT_GT(heads[1].centreX, reported->x);
    EXPECT_LT(heads[1].centreX, reported->x + reported->width);

    const auto changed = [&](int x, int y) {
        const std::size_t i = (static_cast<std::size_t>(y) * size.width + x) * 3;
        return after[i] != before[i] || after[i + 1] != before[i + 1] ||
               after[i + 2] != before[i + 2];
    };
    for (std::size_t k = 0; k < heads.size(); ++k) {
        const auto& p = landmarks[k];
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
                cheekChanged += changed(x, y) ? 1 : 0;
            }
        }
        EXPECT_GT(cheekChanged * 2, cheek) << "head " << k;
        // The pupils and the middle of the lips keep their pixels.
        const std::pair<float, float> lips{(p[79].first + p[85].first) / 2,
                                           (p[79].second + p[85].second) / 2};
        for (const auto& [fx, fy] : {p[96], p[97], lips}) {
            for (int dy = -2; dy <= 2; ++dy) {
                for (int dx = -2; dx <= 2; ++dx) {
                    EXPECT_FALSE(changed(static_cast<int>(fx) + dx, static_cast<int>(fy) + dy))
                        << "head " << k << " at " << fx << ", " << fy;
                }
            }
        }
    }
    for (int y = 0; y < size.height; y += 3) {
        for (int x = 0; x < size.width; ++x) {
            if (offTheHeads(heads, x, y)) {
                ASSERT_FALSE(changed(x, y)) << "column " << x << " row " << y;
            }
        }
    }
    const RingFrame published = publishedByTheWorker(captureOf(before, size), size, 80, model);
    EXPECT_TRUE(ring_tool::uprightRgb(published) == after);
    unlink(points.c_str());
}

// The slider's levels on the demo portrait: each level changes the face more than the one below
// it, and none touches the picture's corners, which are off the face. The crops before, at 30,
// 60 and 100, and the change at 100 go to levels.jpg in the test's build folder
// (docs/developer/smoothing.md shows them).
TEST_F(ProcessTool, EachLevelChangesTheFaceMoreThanTheOneBelow) {
    const FrameSize size{512, 512};
    const Rgb before = readRgb(VELVIX_DEMO_PHOTO, size);
    std::array<Rgb, Strip::kCells> cells{before};
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
    const Rectangle crop{face->x - face->width / 4, face->y - face->height / 5, cropWidth,
                         cropWidth * Strip::kCellHeight / Strip::kCellWidth};
    Strip strip;
    strip.addRow(cells, size, crop);
    EXPECT_TRUE(strip.writeJpeg(std::string(VELVIX_ARTEFACT_DIR) + "/levels.jpg"));
}

// A model that leaves a plausible mean face where the box is: eyes high and apart, the mouth
// low and in the middle, so that the image-left and image-right points can be told apart.
std::string writeMeanFaceModel() {
    testing::ModelFileContents contents;
    contents.stages = 1;
    contents.trees = 1;
    contents.depth = 1;
    contents.meanShape = [](int landmark, int axis) {
        const bool imageLeft = (landmark >= 60 && landmark <= 67) || landmark == 96 ||
                               (landmark >= 33 && landmark <= 41) || landmark < 16;
        const bool imageRight = (landmark >= 68 && landmark <= 75) || landmark == 97 ||
                                (landmark >= 42 && landmark <= 50) ||
                                (landmark > 16 && landmark <= 32);
        if (axis == 0) {
            return imageLeft ? -0.4f : (imageRight ? 0.4f : 0.0f);
        }
        return landmark >= 76 && landmark <= 95 ? 0.5f : -0.3f;
    };
    return testing::writeModelFile(contents, ::testing::TempDir() + "/velvix-process-model-" +
                                                 std::to_string(getpid()) + ".dat");
}

TEST_F(ProcessTool, FindsTheFaceAndWritesItsLandmarksUprightAndAnOverlay) {
    const std::string model = writeMeanFaceModel();
    const std::string points = output + ".pts";
    const auto result = runProgram({VELVIX_PROCESS_TOOL, VELVIX_DEMO_PHOTO, "--model", model,
                                    "--landmarks", points, "--overlay", output});
    ASSERT_EQ(result.exitCode, 0) << result.output;
    EXPECT_NE(result.output.find("\"face\":{\"accepted\":true"), std::string::npos)
        << result.output;
    EXPECT_NE(result.output.find("\"landmarks\":true"), std::string::npos) << result.output;
    EXPECT_NE(result.output.find("\"detector\":\""), std::string::npos) << result.output;

    // The astronaut's face lies in the upper middle of the 512 x 512 portrait.
    const std::string pts = testing::readFile(points);
    ASSERT_EQ(pts.rfind("version: 1\nn_points: 98\n{\n", 0), 0u) << pts;
    std::vector<std::pair<float, float>> read;
    std::istringstream lines(pts.substr(pts.find('{') + 2));
    float x = 0;
    float y = 0;
    while (lines >> x >> y) {
        read.emplace_back(x, y);
    }
    ASSERT_EQ(read.size(), 98u);
    EXPECT_LT(read[60].first, read[72].first);  // image-left eye on the image's left
    EXPECT_LT(read[96].first, read[97].first);
    EXPECT_LT(read[60].second, read[79].second);  // eyes above the mouth
    for (const auto& [px, py] : read) {
        EXPECT_GT(px, 150);
        EXPECT_LT(px, 330);
        EXPECT_GT(py, 40);
        EXPECT_LT(py, 220);
    }
    const auto overlay = readRgb(output, {512, 512});
    const auto photo = readRgb(VELVIX_DEMO_PHOTO, {512, 512});
    EXPECT_NE(overlay, photo);
    unlink(points.c_str());
    unlink(model.c_str());
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

TEST_F(ProcessTool, GivesTheSamePixelsAndLandmarksAsTheLinuxBuild) {
    if (!hasAVX2) {
        GTEST_SKIP() << "the digests are those of the AVX2 path";
    }
    const std::string points = output + ".pts";
    const auto result =
        runProgram({VELVIX_PROCESS_TOOL, VELVIX_DEMO_PHOTO, "--model", VELVIX_SHIPPED_MODEL,
                    "--output", output, "--landmarks", points});
    ASSERT_EQ(result.exitCode, 0) << result.output;
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
    std::remove(points.c_str());
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

TEST_F(ProcessTool, SaysSoWhenThereAreNoLandmarksToWrite) {
    const std::string points = output + ".pts";
    const auto result = runProgram(
        {VELVIX_PROCESS_TOOL, VELVIX_DEMO_PHOTO, "--model", kNoModel, "--landmarks", points});
    EXPECT_EQ(result.exitCode, 1);
    EXPECT_NE(result.output.find("no landmark model was loaded"), std::string::npos)
        << result.output;
}

}  // namespace
}  // namespace velvix
