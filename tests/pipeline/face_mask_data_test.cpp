// The smoothing on annotated faces: where the forehead ends, what the face-shaped mask changes on
// webcam-like frames against the rectangle mask, and what it leaves to features, hair and beards.
#include <gtest/gtest.h>
#include <stb_image_resize.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <optional>

#include "beige_paper.hpp"
#include "face_data.hpp"
#include "host/smoothing_step.hpp"
#include "landmark_mapping.hpp"
#include "outline_distance.hpp"
#include "velvix/face/face_step.hpp"
#include "velvix/pipeline/frame_processor.hpp"
#include "velvix/pipeline/landmark_layout.hpp"
#include "velvix/pipeline/pixels.hpp"
#include "webcam_faces.hpp"

namespace velvix {
namespace {

using testing::signedDistance;
constexpr FrameSize kFrame{1280, 720};

std::size_t indexOf(int column, int row) {
    return static_cast<std::size_t>(row) * kFrame.width + static_cast<std::size_t>(column);
}

struct Colour {
    float luma = 0;
    float cb = 0;
    float cr = 0;
};

Colour colourOf(float red, float green, float blue) {
    return {0.299f * red + 0.587f * green + 0.114f * blue,
            128 + (-37.797f * red - 74.203f * green + 112 * blue) / 256,
            128 + (112 * red - 93.786f * green - 18.214f * blue) / 256};
}

// A pixel in the capture layout (red, green, blue, fourth byte).
Colour colourOfPixel(const std::uint8_t* pixel) {
    return colourOf(pixel[0], pixel[1], pixel[2]);
}

float median(std::vector<float> values) {
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

Colour medianColour(const std::vector<Colour>& colours) {
    std::vector<float> luma, cb, cr;
    for (const Colour& c : colours) {
        luma.push_back(c.luma);
        cb.push_back(c.cb);
        cr.push_back(c.cr);
    }
    return {median(luma), median(cb), median(cr)};
}

float chromaDistance(const Colour& a, const Colour& b) {
    return std::abs(a.cb - b.cb) + std::abs(a.cr - b.cr);
}

PointF centreOf(const std::vector<PointF>& polygon) {
    PointF centre{};
    for (const PointF& p : polygon) {
        centre = {centre.x + p.x / static_cast<float>(polygon.size()),
                  centre.y + p.y / static_cast<float>(polygon.size())};
    }
    return centre;
}

// The polygon scaled about the mean of its corners.
std::vector<PointF> grown(std::vector<PointF> polygon, float factor) {
    const PointF centre = centreOf(polygon);
    for (PointF& p : polygon) {
        p = {centre.x + (p.x - centre.x) * factor, centre.y + (p.y - centre.y) * factor};
    }
    return polygon;
}

std::vector<PointF> polygonOf(const FaceOutline& outline) {
    return {outline.points.begin(), outline.points.begin() + outline.count};
}

std::vector<PointF> pointsOf(const FaceLandmarks& p, std::initializer_list<int> indices) {
    std::vector<PointF> points;
    for (const int k : indices) {
        points.push_back(p[static_cast<std::size_t>(k)]);
    }
    return points;
}

PointF browMiddle(const FaceLandmarks& p) {
    PointF middle{};
    for (const int k : landmark::kUpperBrows) {
        middle = {middle.x + p[static_cast<std::size_t>(k)].x / 10,
                  middle.y + p[static_cast<std::size_t>(k)].y / 10};
    }
    return middle;
}

// An annotated face in the 98-point layout, with its picture (blue, green, red).
struct AnnotatedFace {
    train::ColourPicture picture;
    FaceLandmarks points{};
};

std::vector<AnnotatedFace> annotatedFaces(const std::string& folder) {
    std::vector<AnnotatedFace> faces;
    for (const auto& photo : train::annotatedPictures(folder)) {
        auto points =
            train::readPointsFile(std::filesystem::path(photo).replace_extension(".pts").string());
        auto picture = train::readColourPicture(photo.string());
        if (!points || !picture) {
            continue;
        }
        if (points->size() == 68) {
            points = train::pointsFrom68(*points);
        }
        AnnotatedFace& face = faces.emplace_back(AnnotatedFace{std::move(*picture)});
        for (std::size_t k = 0; k < face.points.size(); ++k) {
            face.points[k] = {(*points)[k].x, (*points)[k].y};
        }
    }
    return faces;
}

// The mean colour of the 3 x 3 pixels round a point, or nothing off the picture.
std::optional<Colour> colourAt(const train::ColourPicture& picture, PointF point) {
    const int cx = static_cast<int>(std::lround(point.x));
    const int cy = static_cast<int>(std::lround(point.y));
    if (cx < 1 || cy < 1 || cx >= picture.width - 1 || cy >= picture.height - 1) {
        return std::nullopt;
    }
    std::array<float, 3> sums{};  // blue, green, red
    for (int dy = -1; dy <= 1; ++dy) {
        for (int dx = -1; dx <= 1; ++dx) {
            const auto pixel = (static_cast<std::size_t>(cy + dy) * picture.width + cx + dx) * 3;
            for (std::size_t c = 0; c < 3; ++c) {
                sums[c] += picture.pixels[pixel + c] / 9.0f;
            }
        }
    }
    return colourOf(sums[2], sums[1], sums[0]);
}

// How far above the upper brow edges the skin of the forehead reaches, as a share of the
// height from the brows' middle to the chin, on three lines straight up (from the middle of
// each brow and from between the brows): the forehead's colour is taken just above the
// brows and followed up to the first stretch of 4 % of that height that differs from it
// (hair, a hat, the background). A face whose forehead just above the brows does not have its
// cheeks' colour has no visible forehead (hair or a hat covers it): nothing.
std::optional<float> visibleForeheadShare(const AnnotatedFace& face) {
    using namespace landmark;
    const auto& p = face.points;
    const PointF middle = browMiddle(p);
    const float height = std::hypot(middle.x - p[kChin].x, middle.y - p[kChin].y);
    const PointF up{(middle.x - p[kChin].x) / height, (middle.y - p[kChin].y) / height};
    const auto along = [&](PointF from, float distance) {
        return colourAt(face.picture, {from.x + up.x * distance, from.y + up.y * distance});
    };
    std::vector<Colour> cheeks;
    for (const auto& [eye, mouth] :
         {std::pair{kLeftEyeLowerLid, kLeftMouthCorner}, {kRightEyeLowerLid, kRightMouthCorner}}) {
        const PointF a = p[static_cast<std::size_t>(eye)];
        const PointF b = p[static_cast<std::size_t>(mouth)];
        for (float t = 0.25f; t <= 0.75f; t += 0.05f) {
            if (const auto c =
                    colourAt(face.picture, {a.x + t * (b.x - a.x), a.y + t * (b.y - a.y)})) {
                cheeks.push_back(*c);
            }
        }
    }
    if (cheeks.empty()) {
        return std::nullopt;
    }
    const Colour cheek = medianColour(cheeks);
    const PointF betweenBrows = centreOf(pointsOf(p, {kUpperBrows[4], kUpperBrows[5]}));
    std::vector<float> shares;
    for (const PointF start : {p[kLeftBrowTop], p[kRightBrowTop], betweenBrows}) {
        std::vector<Colour> justAbove;
        for (float d = 0.04f * height; d <= 0.10f * height; d += 0.5f) {
            if (const auto c = along(start, d)) {
                justAbove.push_back(*c);
            }
        }
        if (justAbove.empty()) {
            return std::nullopt;
        }
        const Colour forehead = medianColour(justAbove);
        if (chromaDistance(forehead, cheek) >= 14 || forehead.luma < 0.7f * cheek.luma) {
            return std::nullopt;
        }
        float top = 1.2f * height;  // as far as the line was followed
        float differentSince = -1;
        for (float d = 0.04f * height; d <= 1.2f * height; d += 0.5f) {
            const auto c = along(start, d);
            if (!c) {
                break;
            }
            if (chromaDistance(*c, forehead) < 8 && c->luma > 0.75f * forehead.luma &&
                c->luma < 1.35f * forehead.luma + 8) {
                differentSince = -1;
            } else if (differentSince < 0) {
                differentSince = d;
            } else if (d - differentSince >= 0.04f * height) {
                top = differentSince;
                break;
            }
        }
        shares.push_back(top / height);
    }
    return median(shares);
}

TEST(FaceMaskData, TheForeheadShareCoversMostVisibleForeheads) {
    int folders = 0;
    for (const char* subfolder : {"landmarks98/dev", "landmarks68/test"}) {
        const auto folder = testing::faceDataFolder(subfolder);
        if (!folder) {
            continue;
        }
        ++folders;
        std::vector<float> shares;
        const auto faces = annotatedFaces(*folder);
        for (const auto& face : faces) {
            if (const auto share = visibleForeheadShare(face)) {
                shares.push_back(*share);
            }
        }
        ASSERT_GT(shares.size(), faces.size() / 4) << subfolder;
        std::sort(shares.begin(), shares.end());
        const auto quantile = [&](double q) {
            return shares[static_cast<std::size_t>(q * static_cast<double>(shares.size() - 1))];
        };
        const auto covered =
            static_cast<double>(std::upper_bound(shares.begin(), shares.end(), kForeheadShare) -
                                shares.begin()) /
            static_cast<double>(shares.size());
        std::printf(
            "%s: %zu of %zu faces show their forehead; its skin ends above the brows at "
            "%.3f, %.3f, %.3f, %.3f of the brow-to-chin height (quartiles and 90 %%); "
            "%.2f covers %.1f %% of them\n",
            subfolder, shares.size(), faces.size(), quantile(0.25), quantile(0.5), quantile(0.75),
            quantile(0.9), kForeheadShare, 100 * covered);
        EXPECT_GT(kForeheadShare, quantile(0.75)) << subfolder;
        EXPECT_GE(covered, 0.85) << subfolder;
        EXPECT_LT(covered, 0.97) << subfolder << ": a lower share would do";
    }
    if (folders == 0) {
        GTEST_SKIP() << "../shared/data is not here";
    }
}

bool within(std::pair<int, int> columns, int column) {
    return columns.first <= column && column <= columns.second;
}

// The paper over the whole frame, in the capture layout.
const std::vector<std::uint8_t>& beigePaperFrame() {
    static const std::vector<std::uint8_t> paper = [] {
        std::vector<std::uint8_t> pixels(static_cast<std::size_t>(kFrame.pixels()) * 4, 255);
        for (int row = 0; row < kFrame.height; ++row) {
            for (int column = 0; column < kFrame.width; ++column) {
                const auto colour = testing::beigePaper(column, row);
                std::copy(colour.begin(), colour.end(), pixels.data() + indexOf(column, row) * 4);
            }
        }
        return pixels;
    }();
    return paper;
}

// One annotated face, about 250 pixels wide, cut out along its outline grown by a fifth (so
// that hair and ears come along) and laid on beige paper in a 1280 x 720 frame.
struct PaperFrame {
    std::vector<std::uint8_t> capture;  // capture layout, bottom row first
    std::vector<PointF> outline;        // the annotated face's outline, in buffer coordinates
    std::array<std::vector<PointF>, 2> cheeks;
    FaceLandmarks points{};  // the annotated points, in buffer coordinates
};

PaperFrame paperFrame(const AnnotatedFace& face, int index) {
    float left = 1e9f, right = -1e9f, top = 1e9f, bottom = -1e9f;
    for (const PointF& point : face.points) {
        left = std::min(left, point.x);
        right = std::max(right, point.x);
        top = std::min(top, point.y);
        bottom = std::max(bottom, point.y);
    }
    const float scale = std::min(250.0f / (right - left), 600.0f / (bottom - top));
    const int width = static_cast<int>(std::lround(static_cast<float>(face.picture.width) * scale));
    const int height =
        static_cast<int>(std::lround(static_cast<float>(face.picture.height) * scale));
    std::vector<std::uint8_t> scaled(static_cast<std::size_t>(width) * height * 3);
    stbir_resize_uint8(face.picture.pixels.data(), face.picture.width, face.picture.height, 0,
                       scaled.data(), width, height, 0, 3);
    // Spread over the frame, as people sit left, right or in the middle.
    const float offsetX =
        200.0f + static_cast<float>((index * 263) % 880) - (left + right) / 2 * scale;
    const float offsetY = 360.0f - (top + bottom) / 2 * scale;

    PaperFrame frame;
    for (std::size_t k = 0; k < frame.points.size(); ++k) {  // rows bottom first
        frame.points[k] = {
            offsetX + face.points[k].x * scale,
            static_cast<float>(kFrame.height - 1) - (offsetY + face.points[k].y * scale)};
    }
    frame.outline = polygonOf(faceOutline(frame.points));
    frame.cheeks = {grown(pointsOf(frame.points, {66, 55, 76, 6}), 0.7f),
                    grown(pointsOf(frame.points, {74, 59, 82, 26}), 0.7f)};

    // The cut fades over a few pixels, as a hard cut would itself look like an edge of a face.
    constexpr int kFade = 10;
    const auto cutOut = grown(frame.outline, 1.25f);
    frame.capture = beigePaperFrame();
    for (int row = 0; row < kFrame.height; ++row) {
        const int sy =
            static_cast<int>(std::floor(static_cast<float>(kFrame.height - 1 - row) - offsetY));
        const auto [first, last] = testing::columnsInside(cutOut, row);
        const auto above = testing::columnsInside(cutOut, row - kFade);
        const auto below = testing::columnsInside(cutOut, row + kFade);
        for (int column = std::max(0, first); column <= std::min(kFrame.width - 1, last);
             ++column) {
            const int sx = static_cast<int>(std::floor(static_cast<float>(column) - offsetX));
            if (sx < 0 || sy < 0 || sx >= width || sy >= height) {
                continue;
            }
            const bool nearCut = column - first < kFade || last - column < kFade ||
                                 !within(above, column) || !within(below, column);
            const double weight =
                nearCut ? std::min(1.0, signedDistance(cutOut, column, row) / kFade) : 1.0;
            std::uint8_t* pixel = frame.capture.data() + indexOf(column, row) * 4;
            const std::uint8_t* source =
                scaled.data() + (static_cast<std::size_t>(sy) * width + sx) * 3;
            for (std::size_t c = 0; c < 3; ++c) {  // blue, green, red into red, green, blue
                pixel[c] = static_cast<std::uint8_t>(
                    std::lround(pixel[c] + weight * (source[2 - c] - pixel[c])));
            }
        }
    }
    return frame;
}

// An annotated test face the face step found and fitted: its region holds the face's cheek.
struct FoundFace {
    PaperFrame frame;
    FaceOutputs face;
    FaceRegion region;
};

class FoundTestFaces : public ::testing::Test {
  protected:
    void SetUp() override {
        const auto folder = testing::faceDataFolder("landmarks68/test");
        if (!folder) {
            GTEST_SKIP() << "../shared/data/landmarks68/test is not here";
        }
        const auto faces = annotatedFaces(*folder);
        ASSERT_GT(faces.size(), 300u);
        FaceProcessingStep faceStep(makeFaceDetector(VELVIX_FACE_NETWORK), VELVIX_SHIPPED_MODEL);
        FrameBuffers buffers(kFrame);
        for (std::size_t k = 0; k < faces.size(); ++k) {
            PaperFrame frame = paperFrame(faces[k], static_cast<int>(k));
            packPixels(frame.capture.data(), buffers.output(), kFrame.width, kFrame.height,
                       PackFrom::captureLayout);
            FaceOutputs face;
            faceStep.run(buffers.faceStepBuffers(kFrame), face);
            const auto region = faceRegionOf(face, kFrame);
            if (face.faceLandmarks && region &&
                signedDistance(polygonOf(region->outline), frame.cheeks[0][0].x,
                               frame.cheeks[0][0].y) > 0) {
                found.push_back({std::move(frame), face, *region});
            }
        }
        ASSERT_GT(found.size(), 300u) << "faces found and fitted";
    }

    std::vector<FoundFace> found;
};

// Gives the face the face step found before, so that every mask sees the same face.
class RecordedFace final : public FaceStep {
  public:
    explicit RecordedFace(const FaceOutputs& face) : face_(face) {}
    void run(const FaceStepBuffers&, FaceOutputs& outputs) override { outputs = face_; }

  private:
    FaceOutputs face_;
};

// The change of each pixel: the mean over its three bytes of |after - before|.
std::vector<float> changeImage(const std::vector<std::uint8_t>& capture,
                               const std::uint8_t* output) {
    std::vector<float> change(static_cast<std::size_t>(kFrame.pixels()));
    for (std::size_t i = 0; i < change.size(); ++i) {
        const std::uint8_t* before = capture.data() + i * 4;  // red, green, blue
        const std::uint8_t* after = output + i * 3;           // blue, green, red
        change[i] =
            static_cast<float>(std::abs(before[0] - after[2]) + std::abs(before[1] - after[1]) +
                               std::abs(before[2] - after[0])) /
            3.0f;
    }
    return change;
}

// Runs the program's frame processing on a found face.
class Smoothing {
  public:
    // The output, in the frame layout.
    const std::uint8_t* smooth(const FoundFace& found, int level,
                               MaskShape shape = MaskShape::faceOutline) {
        std::copy(found.frame.capture.begin(), found.frame.capture.end(), buffers_.capture());
        AppliedSettings settings;
        settings.smoothOn = true;
        settings.smoothLevel = level;
        settings.maskShape = shape;
        RecordedFace step(found.face);
        FaceOutputs face;
        FaceRegionFade fade;
        processFrame(buffers_, kFrame, settings, {&step, &smoother_}, face, fade);
        return buffers_.output();
    }
    std::vector<float> change(const FoundFace& found, int level,
                              MaskShape shape = MaskShape::faceOutline) {
        return changeImage(found.frame.capture, smooth(found, level, shape));
    }

  private:
    FilterSmoothingStep smoother_;
    FrameBuffers buffers_{kFrame};
};

struct Mean {
    double sum = 0;
    std::size_t count = 0;

    void add(double value) {
        sum += value;
        ++count;
    }
    double value() const { return count == 0 ? 0.0 : sum / static_cast<double>(count); }
};

PixelArea areaAround(const std::vector<PointF>& polygon) {
    const auto [left, right] = std::minmax_element(polygon.begin(), polygon.end(),
                                                   [](PointF a, PointF b) { return a.x < b.x; });
    const auto [top, bottom] = std::minmax_element(polygon.begin(), polygon.end(),
                                                   [](PointF a, PointF b) { return a.y < b.y; });
    const PixelArea area{static_cast<int>(left->x), static_cast<int>(top->y),
                         static_cast<int>(right->x - left->x) + 1,
                         static_cast<int>(bottom->y - top->y) + 1};
    return intersection(area, {0, 0, kFrame.width, kFrame.height});
}

// Calls visit(column, row, index) for each pixel of the area.
template <typename Visit>
void forEachPixel(const PixelArea& area, Visit visit) {
    for (int row = area.y; row < area.y + area.height; ++row) {
        for (int column = area.x; column < area.x + area.width; ++column) {
            visit(column, row, indexOf(column, row));
        }
    }
}

// The indices of the pixels inside a convex polygon, its edges included.
std::vector<std::size_t> pixelsInside(const std::vector<PointF>& polygon) {
    std::vector<std::size_t> pixels;
    forEachPixel(areaAround(polygon), [&](int column, int row, std::size_t i) {
        if (signedDistance(polygon, column, row) >= 0) {
            pixels.push_back(i);
        }
    });
    return pixels;
}

// Within a pixel of one of the features the face's region keeps.
bool nearFeature(const FaceRegion& region, std::size_t i) {
    const int column = static_cast<int>(i % static_cast<std::size_t>(kFrame.width));
    const int row = static_cast<int>(i / static_cast<std::size_t>(kFrame.width));
    return std::any_of(region.features.begin(), region.features.end(), [&](const auto& feature) {
        return signedDistance(polygonOf(feature), column, row) > -1;
    });
}

std::vector<PointF> corners(float x0, float y0, float x1, float y1) {
    return {{x0, y0}, {x1, y0}, {x1, y1}, {x0, y1}};
}

// The mean change of pixels at each distance across the sides of a convex polygon, sampled
// along each side's normal at every pixel of its length: bin k holds the pixels k - reach + 0.5
// pixels inside (negative: outside).
struct ChangeAcrossEdges {
    explicit ChangeAcrossEdges(int pixels)
        : reach(pixels), means(static_cast<std::size_t>(2 * pixels)) {}

    // Samples the pixels `counted` accepts.
    template <typename Counted>
    void add(const std::vector<float>& change, const std::vector<PointF>& edge, Counted counted) {
        const PointF centre = centreOf(edge);
        for (std::size_t k = 0; k < edge.size(); ++k) {
            const PointF a = edge[k];
            const PointF b = edge[(k + 1) % edge.size()];
            const double length = std::hypot(b.x - a.x, b.y - a.y);
            const double tx = (b.x - a.x) / length;
            const double ty = (b.y - a.y) / length;
            // The normal that points inwards.
            const double side = (centre.x - a.x) * -ty + (centre.y - a.y) * tx;
            const double nx = side > 0 ? -ty : ty;
            const double ny = side > 0 ? tx : -tx;
            for (double along = 0; along < length; along += 1) {
                for (int d = -reach; d < reach; ++d) {
                    const auto column =
                        static_cast<int>(std::lround(a.x + tx * along + nx * (d + 0.5)));
                    const auto row =
                        static_cast<int>(std::lround(a.y + ty * along + ny * (d + 0.5)));
                    if (column >= 0 && row >= 0 && column < kFrame.width && row < kFrame.height &&
                        counted(column, row)) {
                        means[static_cast<std::size_t>(d + reach)].add(
                            change[indexOf(column, row)]);
                    }
                }
            }
        }
    }

    double stepAt(std::size_t k) const { return std::abs(means[k].value() - means[k - 1].value()); }
    double stepOnEdge() const { return stepAt(static_cast<std::size_t>(reach)); }
    // The largest step between neighbouring distances with 50 pixels or more each, on the edge
    // or away from it.
    double largestStep(bool onEdge) const {
        double largest = 0;
        for (std::size_t k = 1; k < means.size(); ++k) {
            if ((onEdge || k != static_cast<std::size_t>(reach)) && means[k - 1].count >= 50 &&
                means[k].count >= 50) {
                largest = std::max(largest, stepAt(k));
            }
        }
        return largest;
    }

    int reach;
    std::vector<Mean> means;
};

// What one mask changed, over all frames.
struct Changes {
    Mean offFace;             // outside the outline grown by 8 %, inside it grown by 50 %
    Mean offFaceInRectangle;  // of those, the pixels in the face step's rectangle
    Mean cheeks;
    std::vector<double> worstSteps;  // across the mask's edge, one per frame, sorted at the end

    void add(const PaperFrame& frame, const std::vector<float>& change,
             const std::vector<PointF>& edge, const PixelArea& rectangle) {
        const auto offFaceEdge = grown(frame.outline, 1.08f);
        const PixelArea near = areaAround(grown(frame.outline, 1.5f));
        for (int row = near.y; row < near.y + near.height; ++row) {
            const auto face = testing::columnsInside(offFaceEdge, row);
            const auto leftCheek = testing::columnsInside(frame.cheeks[0], row);
            const auto rightCheek = testing::columnsInside(frame.cheeks[1], row);
            const bool rectangleRow = rectangle.y <= row && row < rectangle.y + rectangle.height;
            for (int column = near.x; column < near.x + near.width; ++column) {
                const float value = change[indexOf(column, row)];
                if (!within(face, column)) {
                    offFace.add(value);
                    if (rectangleRow && rectangle.x <= column &&
                        column < rectangle.x + rectangle.width) {
                        offFaceInRectangle.add(value);
                    }
                }
                if (within(leftCheek, column) || within(rightCheek, column)) {
                    cheeks.add(value);
                }
            }
        }
        ChangeAcrossEdges across(30);
        across.add(change, edge, [](int, int) { return true; });
        worstSteps.push_back(across.largestStep(true));
    }
};

TEST_F(FoundTestFaces, OnBeigePaperOnlyTheFaceChangesAndItsEdgeIsSoft) {
    int paperSkin = 0;
    for (int y = 0; y < kFrame.height; ++y) {
        for (int x = 0; x < kFrame.width; ++x) {
            const auto [red, green, blue] = testing::beigePaper(x, y);
            paperSkin += isSkinColour(blue, green, red) ? 1 : 0;
        }
    }
    ASSERT_GE(paperSkin, kFrame.pixels() * 99 / 100) << "the paper must be skin-coloured";

    constexpr int kLevel = 80;
    Smoothing smoothing;
    Changes byFace;
    Changes byRectangle;
    for (const FoundFace& face : found) {
        const PixelArea box{kFrame.width - face.face.faceX - face.face.faceWidth,
                            kFrame.height - face.face.faceY - face.face.faceHeight,
                            face.face.faceWidth, face.face.faceHeight};
        byFace.add(face.frame, smoothing.change(face, kLevel), polygonOf(face.region.outline), box);
        const float x0 = static_cast<float>(box.x) - 0.5f;
        const float y0 = static_cast<float>(box.y) - 0.5f;
        byRectangle.add(face.frame, smoothing.change(face, kLevel, MaskShape::rectangle),
                        corners(x0, y0, x0 + static_cast<float>(box.width),
                                y0 + static_cast<float>(box.height)),
                        box);
    }
    std::sort(byFace.worstSteps.begin(), byFace.worstSteps.end());
    std::sort(byRectangle.worstSteps.begin(), byRectangle.worstSteps.end());
    std::printf(
        "%zu faces, level %d; mean change of a byte, face-shaped mask and rectangle:\n"
        "  off the face (outside its outline grown by 8 %%, inside it grown by 50 %%): %.2f, "
        "%.2f\n  of that, inside the face step's rectangle: %.2f, %.2f\n"
        "  on the cheeks: %.2f, %.2f (%.2f times)\n"
        "  largest step across the mask's edge, median and worst face: %.2f and %.2f, %.2f "
        "and %.2f\n",
        found.size(), kLevel, byFace.offFace.value(), byRectangle.offFace.value(),
        byFace.offFaceInRectangle.value(), byRectangle.offFaceInRectangle.value(),
        byFace.cheeks.value(), byRectangle.cheeks.value(),
        byFace.cheeks.value() / byRectangle.cheeks.value(),
        byFace.worstSteps[byFace.worstSteps.size() / 2], byFace.worstSteps.back(),
        byRectangle.worstSteps[byRectangle.worstSteps.size() / 2], byRectangle.worstSteps.back());
    EXPECT_LE(byFace.offFace.value(), 0.5);
    EXPECT_LE(byFace.offFaceInRectangle.value(), 0.5);
    EXPECT_GE(byFace.cheeks.value(), 0.9 * byRectangle.cheeks.value());
    EXPECT_LE(byFace.worstSteps.back(), 2.0);
}

TEST_F(FoundTestFaces, FeaturesStayAsTheyAreAndTheirSurroundingsShowNoEdge) {
    constexpr int kFullLevel = 100;
    Smoothing smoothing;
    Mean eyesAndLips;
    ChangeAcrossEdges acrossBoxes(12);
    for (const FoundFace& face : found) {
        const auto change = smoothing.change(face, kFullLevel);
        const auto& p = face.frame.points;
        std::vector<std::vector<PointF>> features;  // eyes, lips, brows: annotated, point by point
        for (const auto& [first, last] :
             {std::pair{60, 67}, {68, 75}, {76, 87}, {33, 41}, {42, 50}}) {
            features.emplace_back(p.begin() + first, p.begin() + last + 1);
        }
        for (std::size_t k = 0; k < 3; ++k) {
            for (const std::size_t i : pixelsInside(features[k])) {
                eyesAndLips.add(change[i]);
            }
        }
        const auto onSkin = [&](int column, int row) {
            const std::uint8_t* pixel = face.frame.capture.data() + indexOf(column, row) * 4;
            return isSkinColour(pixel[2], pixel[1], pixel[0]) &&
                   signedDistance(face.frame.outline, column, row) > 0 &&
                   std::none_of(features.begin(), features.end(), [&](const auto& feature) {
                       return signedDistance(feature, column, row) >= 0;
                   });
        };
        // The rectangle mask's feature boxes, in the buffers.
        const auto cornerX = static_cast<float>(kFrame.width - face.face.faceX);
        const auto cornerY = static_cast<float>(kFrame.height - face.face.faceY);
        for (const FeatureBox& box : featureBoxes(*face.face.faceLandmarks)) {
            acrossBoxes.add(change,
                            corners(cornerX - box.right, cornerY - box.bottom, cornerX - box.left,
                                    cornerY - box.top),
                            onSkin);
        }
    }
    std::printf(
        "%zu faces, level %d; mean change of a byte inside the eyes and lips: %.3f\n"
        "  on skin across the rectangle mask's feature boxes, from 12 pixels outside to "
        "12 inside:",
        found.size(), kFullLevel, eyesAndLips.value());
    for (const Mean& mean : acrossBoxes.means) {
        std::printf(" %.2f", mean.value());
    }
    std::printf("\n  step across the boxes' edges %.3f, largest step beside them %.3f\n",
                acrossBoxes.stepOnEdge(), acrossBoxes.largestStep(false));
    EXPECT_LE(eyesAndLips.value(), 0.5);
    EXPECT_LE(acrossBoxes.stepOnEdge(), acrossBoxes.largestStep(false));
}

// The mean of the square of 2 radius + 1 pixels round each pixel, the square cut to the frame.
std::vector<float> boxMean(const std::vector<float>& image, int radius) {
    const auto width = static_cast<std::size_t>(kFrame.width);
    std::vector<double> sums((width + 1) * static_cast<std::size_t>(kFrame.height + 1), 0.0);
    for (std::size_t row = 0; row < static_cast<std::size_t>(kFrame.height); ++row) {
        double rowSum = 0;
        for (std::size_t column = 0; column < width; ++column) {
            rowSum += image[row * width + column];
            sums[(row + 1) * (width + 1) + column + 1] =
                sums[row * (width + 1) + column + 1] + rowSum;
        }
    }
    std::vector<float> mean(image.size());
    forEachPixel({0, 0, kFrame.width, kFrame.height}, [&](int column, int row, std::size_t i) {
        const auto top = static_cast<std::size_t>(std::max(0, row - radius));
        const auto bottom = static_cast<std::size_t>(std::min(kFrame.height, row + radius + 1));
        const auto left = static_cast<std::size_t>(std::max(0, column - radius));
        const auto right = static_cast<std::size_t>(std::min(kFrame.width, column + radius + 1));
        const double sum = sums[bottom * (width + 1) + right] - sums[top * (width + 1) + right] -
                           sums[bottom * (width + 1) + left] + sums[top * (width + 1) + left];
        mean[i] = static_cast<float>(sum / static_cast<double>((bottom - top) * (right - left)));
    });
    return mean;
}

// The energies of the skin's texture at two scales, summed over some pixels of a frame (capture
// layout, 4 bytes a pixel, or frame layout, 3): its fine grain (pores, fine wrinkles, stubble),
// the luma beyond the mean of the 3 x 3 pixels round each pixel, and its blotches (spots,
// redness, shine), the mean of 5 x 5 pixels beyond the mean of 17 x 17.
struct TextureEnergy {
    double grain = 0;
    double blotches = 0;

    void add(const std::uint8_t* pixels, int bytesPerPixel, const std::vector<std::size_t>& at) {
        std::vector<float> luma(static_cast<std::size_t>(kFrame.pixels()));
        for (std::size_t i = 0; i < luma.size(); ++i) {
            const std::uint8_t* pixel = pixels + i * static_cast<std::size_t>(bytesPerPixel);
            luma[i] = bytesPerPixel == 4 ? colourOf(pixel[0], pixel[1], pixel[2]).luma
                                         : colourOf(pixel[2], pixel[1], pixel[0]).luma;
        }
        const auto fine = boxMean(luma, 1);
        const auto blotchy = boxMean(luma, 2);
        const auto wide = boxMean(luma, 8);
        for (const std::size_t i : at) {
            grain += (luma[i] - fine[i]) * (luma[i] - fine[i]);
            blotches += (blotchy[i] - wide[i]) * (blotchy[i] - wide[i]);
        }
    }
};

TEST_F(FoundTestFaces, SmoothedCheeksLoseTheirBlotchesButKeepTheirGrain) {
    // At each level, the share of the blotches' contrast the filter alone took away and of the
    // grain's energy it kept, before the finest detail went back into the skin.
    struct Level {
        int level;
        double blotchesTakenBefore;
        double grainKeptBefore;
    };
    constexpr std::array kLevels{Level{30, 0.07381, 0.4529}, Level{60, 0.22025, 0.2106},
                                 Level{100, 0.41077, 0.0934}};
    Smoothing smoothing;
    TextureEnergy original;
    std::array<TextureEnergy, kLevels.size()> smoothed{};
    for (const FoundFace& face : found) {
        // Cheek pixels of skin's colour, away from the features and their soft edges.
        std::vector<std::size_t> cheek;
        for (const auto& polygon : face.frame.cheeks) {
            for (const std::size_t i : pixelsInside(polygon)) {
                const std::uint8_t* pixel = face.frame.capture.data() + i * 4;
                if (!nearFeature(face.region, i) && isSkinColour(pixel[2], pixel[1], pixel[0])) {
                    cheek.push_back(i);
                }
            }
        }
        original.add(face.frame.capture.data(), 4, cheek);
        for (std::size_t k = 0; k < kLevels.size(); ++k) {
            smoothed[k].add(smoothing.smooth(face, kLevels[k].level), 3, cheek);
        }
    }
    std::printf(
        "%zu faces, their cheeks smoothed at a level: share of the blotches' contrast "
        "taken away, and of the grain's energy kept (before the finest detail went back "
        "into the skin)\n",
        found.size());
    for (std::size_t k = 0; k < kLevels.size(); ++k) {
        const double taken = 1 - std::sqrt(smoothed[k].blotches / original.blotches);
        const double kept = smoothed[k].grain / original.grain;
        std::printf("  level %3d: blotches %.2f %% taken (%.2f %%), grain %.2f %% kept (%.2f %%)\n",
                    kLevels[k].level, 100 * taken, 100 * kLevels[k].blotchesTakenBefore, 100 * kept,
                    100 * kLevels[k].grainKeptBefore);
        EXPECT_GE(taken, kLevels[k].blotchesTakenBefore) << "level " << kLevels[k].level;
        if (kLevels[k].level == 100) {
            EXPECT_GE(kept, 0.3);
        }
    }
}

// Hair inside a face's outline: a fringe over the forehead, between the upper brow edges and 80 %
// of the way up to the outline's top, or a beard, from the mouth's corners down to the jaw and
// the chin, drawn in a little from the jaw line.
std::vector<PointF> foreheadZone(const FaceLandmarks& p) {
    using namespace landmark;
    const PointF middle = browMiddle(p);
    const float share = 0.8f * kForeheadShare;
    const PointF lift{(middle.x - p[kChin].x) * share, (middle.y - p[kChin].y) * share};
    const PointF left = p[kLeftBrowOuterEnd];
    const PointF right = p[kRightBrowOuterEnd];
    return {left, right, {right.x + lift.x, right.y + lift.y}, {left.x + lift.x, left.y + lift.y}};
}

std::vector<PointF> belowTheLipsZone(const FaceLandmarks& p) {
    using namespace landmark;
    return grown(pointsOf(p, {kLeftMouthCorner, kRightMouthCorner, 24, kChin, 8}), 0.85f);
}

TEST_F(FoundTestFaces, HairAndBeardsInsideTheOutlineKeepTheirTexture) {
    // The mean change of a byte of the hair pixels at each level with the fixed skin-colour
    // test alone, before the skin's own colour was learned.
    struct Level {
        int level;
        std::array<double, 2> hairBefore;  // fringe, beard
    };
    constexpr std::array kLevels{Level{60, {1.853, 2.326}}, Level{100, {3.112, 3.294}}};
    struct Zone {
        const char* name;
        std::vector<PointF> (*polygon)(const FaceLandmarks& p);
    };
    constexpr std::array kZones{Zone{"fringe", foreheadZone}, Zone{"beard", belowTheLipsZone}};
    constexpr float kHairShare = 0.3f;  // of a zone's pixels, for a face to count
    Smoothing smoothing;
    std::array<int, kZones.size()> faces{};
    std::array<std::array<Mean, kLevels.size()>, kZones.size()> hair{};
    std::array<std::array<Mean, kLevels.size()>, kZones.size()> skin{};
    for (const FoundFace& face : found) {
        const auto colourOfIndex = [&](std::size_t i) {
            return colourOfPixel(face.frame.capture.data() + i * 4);
        };
        std::vector<Colour> cheekColours;
        for (const auto& polygon : face.frame.cheeks) {
            for (const std::size_t i : pixelsInside(polygon)) {
                cheekColours.push_back(colourOfIndex(i));
            }
        }
        const Colour cheek = medianColour(cheekColours);
        const auto outline = polygonOf(face.region.outline);
        for (std::size_t z = 0; z < kZones.size(); ++z) {
            // Off the features and the outline's soft edge, hair is much darker than the cheeks
            // or of another colour.
            std::vector<std::size_t> hairPixels;
            std::vector<std::size_t> skinPixels;
            for (const std::size_t i : pixelsInside(kZones[z].polygon(face.frame.points))) {
                const auto column = static_cast<int>(i % static_cast<std::size_t>(kFrame.width));
                const auto row = static_cast<int>(i / static_cast<std::size_t>(kFrame.width));
                if (nearFeature(face.region, i) ||
                    signedDistance(outline, column, row) < face.region.outline.softEdge) {
                    continue;
                }
                const Colour colour = colourOfIndex(i);
                const bool hairLike =
                    colour.luma < 0.6f * cheek.luma || chromaDistance(colour, cheek) > 24;
                (hairLike ? hairPixels : skinPixels).push_back(i);
            }
            const std::size_t pixels = hairPixels.size() + skinPixels.size();
            if (pixels < 200 ||
                static_cast<float>(hairPixels.size()) < kHairShare * static_cast<float>(pixels)) {
                continue;
            }
            ++faces[z];
            for (std::size_t k = 0; k < kLevels.size(); ++k) {
                const auto change = smoothing.change(face, kLevels[k].level);
                for (const std::size_t i : hairPixels) {
                    hair[z][k].add(change[i]);
                }
                for (const std::size_t i : skinPixels) {
                    skin[z][k].add(change[i]);
                }
            }
        }
    }
    std::printf(
        "%zu faces; a face has a fringe or a beard when at least %.0f %% of the pixels of "
        "its forehead or below its lips (inside the outline, off the features) are much "
        "darker than its cheeks or of another colour; mean change of a byte of those "
        "pixels and of the rest of the zone:\n",
        found.size(), 100 * kHairShare);
    for (std::size_t z = 0; z < kZones.size(); ++z) {
        for (std::size_t k = 0; k < kLevels.size(); ++k) {
            std::printf("  %s, %d faces, level %3d: hair %.3f (%.3f before), skin %.3f\n",
                        kZones[z].name, faces[z], kLevels[k].level, hair[z][k].value(),
                        kLevels[k].hairBefore[z], skin[z][k].value());
            EXPECT_LT(hair[z][k].value(), kLevels[k].hairBefore[z])
                << kZones[z].name << ", level " << kLevels[k].level;
        }
        EXPECT_GE(faces[z], 10) << kZones[z].name;
    }
}

}  // namespace
}  // namespace velvix
