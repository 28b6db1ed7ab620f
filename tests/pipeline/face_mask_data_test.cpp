// The smoothing mask on annotated faces: where the forehead ends, and what the face-shaped
// mask changes on webcam-like frames against the rectangle mask.
#include <gtest/gtest.h>
#include <stb_image_resize.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <numeric>

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

using train::Point;

constexpr FrameSize kFrame{1280, 720};
constexpr int kLevel = 80;

// An annotated face in the 98-point layout, with its picture in the frame layout.
struct AnnotatedFace {
    std::string name;
    train::ColourPicture picture;
    std::vector<Point> points;
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
        faces.push_back({photo.stem().string(), std::move(*picture), std::move(*points)});
    }
    return faces;
}

FaceLandmarks landmarksOf(const std::vector<Point>& points) {
    FaceLandmarks landmarks{};
    for (std::size_t k = 0; k < landmarks.size(); ++k) {
        landmarks[k] = {points[k].x, points[k].y};
    }
    return landmarks;
}

std::vector<PointF> polygonOf(const FaceOutline& outline) {
    return {outline.points.begin(), outline.points.begin() + outline.count};
}

// The polygon scaled about the mean of its corners.
std::vector<PointF> grown(std::vector<PointF> polygon, float factor) {
    PointF centre{};
    for (const PointF& p : polygon) {
        centre = {centre.x + p.x / static_cast<float>(polygon.size()),
                  centre.y + p.y / static_cast<float>(polygon.size())};
    }
    for (PointF& p : polygon) {
        p = {centre.x + (p.x - centre.x) * factor, centre.y + (p.y - centre.y) * factor};
    }
    return polygon;
}

struct Colour {
    float luma = 0;
    float cb = 0;
    float cr = 0;
};

// The mean colour of the 3 x 3 pixels round a point, or nothing off the picture.
std::optional<Colour> colourAt(const train::ColourPicture& picture, float x, float y) {
    const int cx = static_cast<int>(std::lround(x));
    const int cy = static_cast<int>(std::lround(y));
    if (cx < 1 || cy < 1 || cx >= picture.width - 1 || cy >= picture.height - 1) {
        return std::nullopt;
    }
    float blue = 0;
    float green = 0;
    float red = 0;
    for (int dy = -1; dy <= 1; ++dy) {
        for (int dx = -1; dx <= 1; ++dx) {
            const std::uint8_t* pixel =
                picture.pixels.data() +
                (static_cast<std::size_t>(cy + dy) * static_cast<std::size_t>(picture.width) +
                 static_cast<std::size_t>(cx + dx)) *
                    3;
            blue += pixel[0] / 9.0f;
            green += pixel[1] / 9.0f;
            red += pixel[2] / 9.0f;
        }
    }
    return Colour{0.299f * red + 0.587f * green + 0.114f * blue,
                  128 + (-37.797f * red - 74.203f * green + 112 * blue) / 256,
                  128 + (112 * red - 93.786f * green - 18.214f * blue) / 256};
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

// How far above the upper brow edges the skin of the forehead reaches, as a share of the
// height from the brows' middle to the chin, on three lines straight up (from the middle of
// each brow and from between the brows): the forehead's colour is taken just above the
// brows and followed up to the first stretch of 4 % of that height that differs from it
// (hair, a hat, the background). A face whose forehead just above the brows does not have its
// cheeks' colour has no visible forehead (hair or a hat covers it): nothing.
std::optional<float> visibleForeheadShare(const AnnotatedFace& face) {
    const auto& p = face.points;
    Point middle{};
    for (const int k : {33, 34, 35, 36, 37, 42, 43, 44, 45, 46}) {
        middle = {middle.x + p[static_cast<std::size_t>(k)].x / 10,
                  middle.y + p[static_cast<std::size_t>(k)].y / 10};
    }
    const float height = std::hypot(middle.x - p[16].x, middle.y - p[16].y);
    const Point up{(middle.x - p[16].x) / height, (middle.y - p[16].y) / height};
    const auto along = [&](Point from, float distance) {
        return colourAt(face.picture, from.x + up.x * distance, from.y + up.y * distance);
    };

    std::vector<Colour> cheeks;
    for (const auto& [eye, mouth] : {std::pair{66, 76}, std::pair{74, 82}}) {
        for (float t = 0.25f; t <= 0.75f; t += 0.05f) {
            const Point& a = p[static_cast<std::size_t>(eye)];
            const Point& b = p[static_cast<std::size_t>(mouth)];
            if (const auto c =
                    colourAt(face.picture, a.x + t * (b.x - a.x), a.y + t * (b.y - a.y))) {
                cheeks.push_back(*c);
            }
        }
    }
    if (cheeks.empty()) {
        return std::nullopt;
    }
    const Colour cheek = medianColour(cheeks);
    const Point betweenBrows{(p[37].x + p[42].x) / 2, (p[37].y + p[42].y) / 2};
    std::vector<float> shares;
    for (const Point start : {p[35], p[44], betweenBrows}) {
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
        const auto likeForehead = [&](const Colour& c) {
            return chromaDistance(c, forehead) < 8 && c.luma > 0.75f * forehead.luma &&
                   c.luma < 1.35f * forehead.luma + 8;
        };
        float top = 1.2f * height;  // as far as the line was followed
        float differentSince = -1;
        for (float d = 0.04f * height; d <= 1.2f * height; d += 0.5f) {
            const auto c = along(start, d);
            if (!c) {
                break;
            }
            if (likeForehead(*c)) {
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
            "%.3f, %.3f, %.3f, %.3f of the brow-to-chin height (quartiles and 90 %%); %.2f "
            "covers %.1f %% of them\n",
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

// Gives the face the face step found before, so that both masks see the same face.
class RecordedFace final : public FaceStep {
  public:
    void run(const FaceStepBuffers&, FaceOutputs& outputs) override { outputs = face; }
    FaceOutputs face;
};

// The paper over the whole frame, in the capture layout.
const std::vector<std::uint8_t>& beigePaperFrame() {
    static const std::vector<std::uint8_t> paper = [] {
        std::vector<std::uint8_t> pixels(static_cast<std::size_t>(kFrame.pixels()) * 4);
        for (int row = 0; row < kFrame.height; ++row) {
            for (int column = 0; column < kFrame.width; ++column) {
                const auto colour = testing::beigePaper(column, row);
                std::uint8_t* pixel =
                    pixels.data() + (static_cast<std::size_t>(row) * kFrame.width + column) * 4;
                std::copy(colour.begin(), colour.end(), pixel);
                pixel[3] = 255;
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
    for (const Point& point : face.points) {
        left = std::min(left, point.x);
        right = std::max(right, point.x);
        top = std::min(top, point.y);
        bottom = std::max(bottom, point.y);
    }
    const float scale = std::min(250.0f / (right - left), 600.0f / (bottom - top));
    const int width = static_cast<int>(std::lround(static_cast<float>(face.picture.width) * scale));
    const int height =
        static_cast<int>(std::lround(static_cast<float>(face.picture.height) * scale));
    std::vector<std::uint8_t> scaled(static_cast<std::size_t>(width) *
                                     static_cast<std::size_t>(height) * 3);
    stbir_resize_uint8(face.picture.pixels.data(), face.picture.width, face.picture.height, 0,
                       scaled.data(), width, height, 0, 3);
    // Spread over the frame, as people sit left, right or in the middle.
    const float centreX = 200.0f + static_cast<float>((index * 263) % 880);
    const float offsetX = centreX - (left + right) / 2 * scale;
    const float offsetY = 360.0f - (top + bottom) / 2 * scale;

    // Annotated points in the buffer: columns as in the picture, rows bottom first.
    FaceLandmarks inBuffer = landmarksOf(face.points);
    for (PointF& point : inBuffer) {
        point = {offsetX + point.x * scale,
                 static_cast<float>(kFrame.height - 1) - (offsetY + point.y * scale)};
    }
    PaperFrame frame;
    frame.points = inBuffer;
    frame.outline = polygonOf(faceOutline(inBuffer));
    const auto cheek = [&](std::initializer_list<int> corners) {
        std::vector<PointF> polygon;
        for (const int k : corners) {
            polygon.push_back(inBuffer[static_cast<std::size_t>(k)]);
        }
        return grown(polygon, 0.7f);
    };
    frame.cheeks = {cheek({66, 55, 76, 6}), cheek({74, 59, 82, 26})};

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
                nearCut ? std::min(1.0, testing::signedDistance(cutOut, column, row) / kFade) : 1.0;
            std::uint8_t* pixel =
                frame.capture.data() + (static_cast<std::size_t>(row) * kFrame.width + column) * 4;
            const std::uint8_t* source =
                scaled.data() + (static_cast<std::size_t>(sy) * width + sx) * 3;
            // The picture holds blue, green, red; the capture layout red, green, blue.
            for (std::size_t c = 0; c < 3; ++c) {
                pixel[c] = static_cast<std::uint8_t>(
                    std::lround(pixel[c] + weight * (source[2 - c] - pixel[c])));
            }
        }
    }
    return frame;
}

struct Mean {
    double sum = 0;
    std::size_t count = 0;

    void add(double value) {
        sum += value;
        ++count;
    }
    void add(const Mean& other) {
        sum += other.sum;
        count += other.count;
    }
    double value() const { return count == 0 ? 0.0 : sum / static_cast<double>(count); }
};

// What one mask changed, on one frame or on all.
struct Changes {
    Mean offFace;             // outside the outline grown by 8 %, inside it grown by 50 %
    Mean offFaceInRectangle;  // of those, the pixels in the face step's rectangle
    Mean cheeks;
    std::vector<double> worstSteps;  // across the mask's edge, one per frame

    void add(const Changes& frame) {
        offFace.add(frame.offFace);
        offFaceInRectangle.add(frame.offFaceInRectangle);
        cheeks.add(frame.cheeks);
        worstSteps.insert(worstSteps.end(), frame.worstSteps.begin(), frame.worstSteps.end());
    }
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

// The mean change of pixels at each distance across the sides of a convex polygon, sampled
// along each side's normal at every pixel of its length: bin k holds the pixels k - reach + 0.5
// pixels inside (negative: outside).
struct ChangeAcrossEdges {
    explicit ChangeAcrossEdges(int pixels)
        : reach(pixels), means(static_cast<std::size_t>(2 * pixels)) {}

    // Samples the pixels `counted` accepts.
    template <typename Counted>
    void add(const std::vector<float>& change, const std::vector<PointF>& edge, Counted counted) {
        PointF centre{};
        for (const PointF& p : edge) {
            centre = {centre.x + p.x / static_cast<float>(edge.size()),
                      centre.y + p.y / static_cast<float>(edge.size())};
        }
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
                    if (column < 0 || row < 0 || column >= kFrame.width || row >= kFrame.height ||
                        !counted(column, row)) {
                        continue;
                    }
                    means[static_cast<std::size_t>(d + reach)].add(
                        change[static_cast<std::size_t>(row) * kFrame.width + column]);
                }
            }
        }
    }

    double stepAt(std::size_t k) const { return std::abs(means[k].value() - means[k - 1].value()); }
    double stepOnEdge() const { return stepAt(static_cast<std::size_t>(reach)); }
    // The largest step between neighbouring distances with enough pixels each, on the edge or
    // away from it.
    double largestStep(bool onEdge, std::size_t pixels) const {
        double largest = 0;
        for (std::size_t k = 1; k < means.size(); ++k) {
            if ((onEdge || k != static_cast<std::size_t>(reach)) && means[k - 1].count >= pixels &&
                means[k].count >= pixels) {
                largest = std::max(largest, stepAt(k));
            }
        }
        return largest;
    }

    int reach;
    std::vector<Mean> means;
};

// The largest step between the mean changes of pixels one pixel apart across the edge of a
// convex polygon, within `reach` pixels either side.
double worstStepAcross(const std::vector<float>& change, const std::vector<PointF>& edge,
                       int reach) {
    ChangeAcrossEdges across(reach);
    across.add(change, edge, [](int, int) { return true; });
    return across.largestStep(true, 50);
}

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

Changes measure(const PaperFrame& frame, const std::vector<float>& change,
                const std::vector<PointF>& edge, const PixelArea& rectangle) {
    Changes changes;
    const auto offFace = grown(frame.outline, 1.08f);
    const PixelArea near = areaAround(grown(frame.outline, 1.5f));
    for (int row = near.y; row < near.y + near.height; ++row) {
        const auto face = testing::columnsInside(offFace, row);
        const auto leftCheek = testing::columnsInside(frame.cheeks[0], row);
        const auto rightCheek = testing::columnsInside(frame.cheeks[1], row);
        const bool rectangleRow = rectangle.y <= row && row < rectangle.y + rectangle.height;
        for (int column = near.x; column < near.x + near.width; ++column) {
            const float value = change[static_cast<std::size_t>(row) * kFrame.width + column];
            if (!within(face, column)) {
                changes.offFace.add(value);
                if (rectangleRow && rectangle.x <= column &&
                    column < rectangle.x + rectangle.width) {
                    changes.offFaceInRectangle.add(value);
                }
            }
            if (within(leftCheek, column) || within(rightCheek, column)) {
                changes.cheeks.add(value);
            }
        }
    }
    changes.worstSteps.push_back(worstStepAcross(change, edge, 30));
    return changes;
}

std::vector<PointF> cornersOf(const PixelArea& area) {
    const auto x0 = static_cast<float>(area.x) - 0.5f;
    const auto y0 = static_cast<float>(area.y) - 0.5f;
    const auto x1 = x0 + static_cast<float>(area.width);
    const auto y1 = y0 + static_cast<float>(area.height);
    return {{x0, y0}, {x1, y0}, {x1, y1}, {x0, y1}};
}

TEST(FaceMaskData, OnBeigePaperOnlyTheFaceChangesAndItsEdgeIsSoft) {
    const auto folder = testing::faceDataFolder("landmarks68/test");
    if (!folder) {
        GTEST_SKIP() << "../shared/data/landmarks68/test is not here";
    }
    const auto faces = annotatedFaces(*folder);
    ASSERT_GT(faces.size(), 300u);
    int paperSkin = 0;
    for (int y = 0; y < kFrame.height; ++y) {
        for (int x = 0; x < kFrame.width; ++x) {
            const auto [red, green, blue] = testing::beigePaper(x, y);
            paperSkin += isSkinColour(blue, green, red) ? 1 : 0;
        }
    }
    ASSERT_GE(paperSkin, kFrame.pixels() * 99 / 100) << "the paper must be skin-coloured";

    FaceProcessingStep faceStep(makeFaceDetector(VELVIX_FACE_NETWORK), VELVIX_SHIPPED_MODEL);
    RecordedFace sameFace;
    FilterSmoothingStep smoother;
    FrameBuffers buffers(kFrame);
    const auto run = [&](const PaperFrame& frame, MaskShape shape, FaceStep& step,
                         FaceOutputs& face) {
        std::copy(frame.capture.begin(), frame.capture.end(), buffers.capture());
        AppliedSettings settings;
        settings.smoothOn = true;
        settings.smoothLevel = kLevel;
        settings.maskShape = shape;
        FaceRegionFade fade;
        processFrame(buffers, kFrame, settings, {&step, &smoother}, face, fade);
        return changeImage(frame.capture, buffers.output());
    };

    Changes byFace;
    Changes byRectangle;
    int found = 0;
    for (std::size_t k = 0; k < faces.size(); ++k) {
        const PaperFrame frame = paperFrame(faces[k], static_cast<int>(k));
        FaceOutputs face;
        const auto changeByFace = run(frame, MaskShape::faceOutline, faceStep, face);
        const auto region = faceRegionOf(face, kFrame);
        // Only faces the face step found and fitted: their region holds the face's cheek.
        if (!face.faceLandmarks || !region ||
            testing::signedDistance(polygonOf(region->outline), frame.cheeks[0][0].x,
                                    frame.cheeks[0][0].y) <= 0) {
            continue;
        }
        ++found;
        const PixelArea box{kFrame.width - face.faceX - face.faceWidth,
                            kFrame.height - face.faceY - face.faceHeight, face.faceWidth,
                            face.faceHeight};
        byFace.add(measure(frame, changeByFace, polygonOf(region->outline), box));
        sameFace.face = face;
        FaceOutputs again;
        byRectangle.add(
            measure(frame, run(frame, MaskShape::rectangle, sameFace, again), cornersOf(box), box));
    }
    ASSERT_GT(found, faces.size() / 2) << "faces found and fitted";

    std::sort(byFace.worstSteps.begin(), byFace.worstSteps.end());
    std::sort(byRectangle.worstSteps.begin(), byRectangle.worstSteps.end());
    const auto medianOf = [](const std::vector<double>& sorted) {
        return sorted[sorted.size() / 2];
    };
    std::printf(
        "%d of %zu faces found and fitted, level %d; mean change of a byte, face-shaped mask "
        "and rectangle:\n"
        "  off the face (outside its outline grown by 8 %%, inside it grown by 50 %%): %.2f, "
        "%.2f\n"
        "  of that, inside the face step's rectangle: %.2f, %.2f\n"
        "  on the cheeks: %.2f, %.2f (%.2f times)\n"
        "  largest step across the mask's edge, median and worst face: %.2f and %.2f, %.2f "
        "and %.2f\n",
        found, faces.size(), kLevel, byFace.offFace.value(), byRectangle.offFace.value(),
        byFace.offFaceInRectangle.value(), byRectangle.offFaceInRectangle.value(),
        byFace.cheeks.value(), byRectangle.cheeks.value(),
        byFace.cheeks.value() / byRectangle.cheeks.value(), medianOf(byFace.worstSteps),
        byFace.worstSteps.back(), medianOf(byRectangle.worstSteps), byRectangle.worstSteps.back());
    EXPECT_LE(byFace.offFace.value(), 0.5);
    EXPECT_LE(byFace.offFaceInRectangle.value(), 0.5);
    EXPECT_GE(byFace.cheeks.value(), 0.9 * byRectangle.cheeks.value());
    EXPECT_LE(byFace.worstSteps.back(), 2.0);
}

// The frames of the annotated faces the face step finds and fits, each with the face it found.
struct FoundFace {
    PaperFrame frame;
    FaceOutputs face;
    FaceRegion region;
};

std::vector<FoundFace> foundFaces(const std::vector<AnnotatedFace>& faces) {
    FaceProcessingStep faceStep(makeFaceDetector(VELVIX_FACE_NETWORK), VELVIX_SHIPPED_MODEL);
    FrameBuffers buffers(kFrame);
    std::vector<FoundFace> found;
    for (std::size_t k = 0; k < faces.size(); ++k) {
        PaperFrame frame = paperFrame(faces[k], static_cast<int>(k));
        packPixels(frame.capture.data(), buffers.output(), kFrame.width, kFrame.height,
                   PackFrom::captureLayout);
        FaceOutputs face;
        faceStep.run(buffers.faceStepBuffers(kFrame), face);
        const auto region = faceRegionOf(face, kFrame);
        if (face.faceLandmarks && region &&
            testing::signedDistance(polygonOf(region->outline), frame.cheeks[0][0].x,
                                    frame.cheeks[0][0].y) > 0) {
            found.push_back({std::move(frame), face, *region});
        }
    }
    return found;
}

// The annotated test faces the face step finds and fits; the tests skip where they are missing.
class FoundTestFaces : public ::testing::Test {
  protected:
    void SetUp() override {
        const auto folder = testing::faceDataFolder("landmarks68/test");
        if (!folder) {
            GTEST_SKIP() << "../shared/data/landmarks68/test is not here";
        }
        found = foundFaces(annotatedFaces(*folder));
        ASSERT_GT(found.size(), 300u);
    }

    std::vector<FoundFace> found;
};

// Runs the program's frame processing on a found face at a level, with the face-shaped mask.
class Smoothing {
  public:
    std::vector<float> change(const FoundFace& found, int level) {
        return changeImage(found.frame.capture, smooth(found, level));
    }

    const std::uint8_t* smooth(const FoundFace& found, int level) {
        std::copy(found.frame.capture.begin(), found.frame.capture.end(), buffers_.capture());
        AppliedSettings settings;
        settings.smoothOn = true;
        settings.smoothLevel = level;
        settings.maskShape = MaskShape::faceOutline;
        RecordedFace step;
        step.face = found.face;
        FaceOutputs face;
        FaceRegionFade fade;
        processFrame(buffers_, kFrame, settings, {&step, &smoother_}, face, fade);
        return buffers_.output();
    }

  private:
    FilterSmoothingStep smoother_;
    FrameBuffers buffers_{kFrame};
};

std::vector<PointF> annotatedPolygon(const PaperFrame& frame, int first, int last) {
    return {frame.points.begin() + first, frame.points.begin() + last + 1};
}

// The annotated eyes, brows and lips, each a polygon of its points in turn.
std::vector<std::vector<PointF>> annotatedFeatures(const PaperFrame& frame) {
    return {annotatedPolygon(frame, 60, 67), annotatedPolygon(frame, 68, 75),
            annotatedPolygon(frame, 33, 41), annotatedPolygon(frame, 42, 50),
            annotatedPolygon(frame, 76, 87)};
}

bool insideAny(const std::vector<std::vector<PointF>>& polygons, int column, int row) {
    return std::any_of(polygons.begin(), polygons.end(), [&](const auto& polygon) {
        return testing::signedDistance(polygon, column, row) >= 0;
    });
}

// The feature boxes of the rectangle mask for a fitted face, as corners in the buffers.
std::vector<std::vector<PointF>> featureBoxesInBuffers(const FaceOutputs& face) {
    std::vector<std::vector<PointF>> boxes;
    const auto cornerX = static_cast<float>(kFrame.width - face.faceX);
    const auto cornerY = static_cast<float>(kFrame.height - face.faceY);
    for (const FeatureBox& box : featureBoxes(*face.faceLandmarks)) {
        const float x0 = cornerX - box.right;
        const float x1 = cornerX - box.left;
        const float y0 = cornerY - box.bottom;
        const float y1 = cornerY - box.top;
        boxes.push_back({{x0, y0}, {x1, y0}, {x1, y1}, {x0, y1}});
    }
    return boxes;
}

TEST_F(FoundTestFaces, FeaturesStayAsTheyAreAndTheirSurroundingsShowNoEdge) {
    constexpr int kFullLevel = 100;
    Smoothing smoothing;
    Mean eyesAndLips;
    Mean skin;
    ChangeAcrossEdges acrossBoxes(12);
    for (const FoundFace& face : found) {
        const auto change = smoothing.change(face, kFullLevel);
        const auto features = annotatedFeatures(face.frame);
        const PixelArea area = areaAround(face.frame.outline);
        for (int row = area.y; row < area.y + area.height; ++row) {
            for (int column = area.x; column < area.x + area.width; ++column) {
                const float value = change[static_cast<std::size_t>(row) * kFrame.width + column];
                if (insideAny({features[0], features[1], features[4]}, column, row)) {
                    eyesAndLips.add(value);
                }
            }
        }
        const auto onSkin = [&](int column, int row) {
            const std::uint8_t* pixel = face.frame.capture.data() +
                                        (static_cast<std::size_t>(row) * kFrame.width + column) * 4;
            return isSkinColour(pixel[2], pixel[1], pixel[0]) &&
                   testing::signedDistance(face.frame.outline, column, row) > 0 &&
                   !insideAny(features, column, row);
        };
        for (const auto& box : featureBoxesInBuffers(face.face)) {
            acrossBoxes.add(change, box, onSkin);
        }
    }
    std::printf(
        "%zu faces found and fitted, level %d; mean change of a byte inside the eyes and "
        "lips: %.3f\n  on skin across the rectangle mask's feature boxes, from 12 pixels "
        "outside to 12 inside:",
        found.size(), kFullLevel, eyesAndLips.value());
    for (const Mean& mean : acrossBoxes.means) {
        std::printf(" %.2f", mean.value());
    }
    std::printf("\n  step across the boxes' edges %.3f, largest step beside them %.3f\n",
                acrossBoxes.stepOnEdge(), acrossBoxes.largestStep(false, 50));
    EXPECT_LE(eyesAndLips.value(), 0.5);
    EXPECT_LE(acrossBoxes.stepOnEdge(), acrossBoxes.largestStep(false, 50));
}

// Luma per pixel of a frame in the capture layout (red, green, blue, fourth byte) or in the
// frame layout (blue, green, red).
std::vector<float> lumaOf(const std::uint8_t* pixels, int bytesPerPixel) {
    const bool redFirst = bytesPerPixel == 4;
    std::vector<float> luma(static_cast<std::size_t>(kFrame.pixels()));
    for (std::size_t i = 0; i < luma.size(); ++i) {
        const std::uint8_t* pixel = pixels + i * static_cast<std::size_t>(bytesPerPixel);
        const float red = pixel[redFirst ? 0 : 2];
        const float blue = pixel[redFirst ? 2 : 0];
        luma[i] = 0.299f * red + 0.587f * pixel[1] + 0.114f * blue;
    }
    return luma;
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
    for (int row = 0; row < kFrame.height; ++row) {
        const auto top = static_cast<std::size_t>(std::max(0, row - radius));
        const auto bottom = static_cast<std::size_t>(std::min(kFrame.height, row + radius + 1));
        for (int column = 0; column < kFrame.width; ++column) {
            const auto left = static_cast<std::size_t>(std::max(0, column - radius));
            const auto right =
                static_cast<std::size_t>(std::min(kFrame.width, column + radius + 1));
            const double sum = sums[bottom * (width + 1) + right] -
                               sums[top * (width + 1) + right] - sums[bottom * (width + 1) + left] +
                               sums[top * (width + 1) + left];
            mean[static_cast<std::size_t>(row) * width + static_cast<std::size_t>(column)] =
                static_cast<float>(sum / static_cast<double>((bottom - top) * (right - left)));
        }
    }
    return mean;
}

// The skin's texture at two scales: its fine grain (pores, fine wrinkles, stubble), what a
// picture has beyond the mean of the 3 x 3 pixels round each pixel, and its blotches (spots,
// redness, shine), the mean of 5 x 5 pixels beyond the mean of 17 x 17.
struct Texture {
    std::vector<float> grain;
    std::vector<float> blotches;
};

Texture textureOf(const std::vector<float>& luma) {
    Texture texture{luma, boxMean(luma, 2)};
    const auto fine = boxMean(luma, 1);
    const auto wide = boxMean(luma, 8);
    for (std::size_t i = 0; i < luma.size(); ++i) {
        texture.grain[i] -= fine[i];
        texture.blotches[i] -= wide[i];
    }
    return texture;
}

// Energies of the grain and of the blotches, summed over pixels.
struct TextureEnergy {
    double grain = 0;
    double blotches = 0;
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
            const PixelArea area = areaAround(polygon);
            for (int row = area.y; row < area.y + area.height; ++row) {
                for (int column = area.x; column < area.x + area.width; ++column) {
                    const auto i = static_cast<std::size_t>(row) * kFrame.width +
                                   static_cast<std::size_t>(column);
                    const std::uint8_t* pixel = face.frame.capture.data() + i * 4;
                    const bool nearFeature = std::any_of(
                        face.region.features.begin(), face.region.features.end(),
                        [&](const FaceOutline& feature) {
                            return testing::signedDistance(polygonOf(feature), column, row) > -1;
                        });
                    if (testing::signedDistance(polygon, column, row) >= 0 && !nearFeature &&
                        isSkinColour(pixel[2], pixel[1], pixel[0])) {
                        cheek.push_back(i);
                    }
                }
            }
        }
        const auto add = [&](TextureEnergy& energy, const Texture& texture) {
            for (const std::size_t i : cheek) {
                energy.grain += texture.grain[i] * texture.grain[i];
                energy.blotches += texture.blotches[i] * texture.blotches[i];
            }
        };
        add(original, textureOf(lumaOf(face.frame.capture.data(), 4)));
        for (std::size_t k = 0; k < kLevels.size(); ++k) {
            add(smoothed[k], textureOf(lumaOf(smoothing.smooth(face, kLevels[k].level), 3)));
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

// A pixel of a frame in the capture layout (red, green, blue, fourth byte).
Colour colourOfPixel(const std::uint8_t* pixel) {
    const float red = pixel[0];
    const float green = pixel[1];
    const float blue = pixel[2];
    return {0.299f * red + 0.587f * green + 0.114f * blue,
            128 + (-37.797f * red - 74.203f * green + 112 * blue) / 256,
            128 + (112 * red - 93.786f * green - 18.214f * blue) / 256};
}

// Hair inside a face's outline: a fringe over the forehead or a beard below the lips.
struct HairZone {
    const char* name;
    std::vector<PointF> (*polygon)(const FaceLandmarks& p);
};

// Between the upper brow edges and 80 % of the way up to the outline's top over the forehead.
std::vector<PointF> foreheadZone(const FaceLandmarks& p) {
    PointF browMiddle{};
    for (const int k : landmark::kUpperBrows) {
        browMiddle = {browMiddle.x + p[static_cast<std::size_t>(k)].x / 10,
                      browMiddle.y + p[static_cast<std::size_t>(k)].y / 10};
    }
    const float share = 0.8f * kForeheadShare;
    const PointF lift{(browMiddle.x - p[landmark::kChin].x) * share,
                      (browMiddle.y - p[landmark::kChin].y) * share};
    const PointF left = p[landmark::kLeftBrowOuterEnd];
    const PointF right = p[landmark::kRightBrowOuterEnd];
    return {left, right, {right.x + lift.x, right.y + lift.y}, {left.x + lift.x, left.y + lift.y}};
}

// From the mouth's corners down to the jaw and the chin, drawn in a little from the jaw line.
std::vector<PointF> belowTheLipsZone(const FaceLandmarks& p) {
    return grown({p[landmark::kLeftMouthCorner], p[landmark::kRightMouthCorner], p[24],
                  p[landmark::kChin], p[8]},
                 0.85f);
}

// Pixels of a zone that differ from the cheeks as hair does: much darker, or of another colour.
bool hairLike(const Colour& colour, const Colour& cheek) {
    return colour.luma < 0.6f * cheek.luma || chromaDistance(colour, cheek) > 24;
}

TEST_F(FoundTestFaces, HairAndBeardsInsideTheOutlineKeepTheirTexture) {
    // The mean change of a byte of the hair pixels at each level with the fixed skin-colour
    // test alone, before the skin's own colour was learned.
    struct Level {
        int level;
        std::array<double, 2> hairBefore;  // fringe, beard
    };
    constexpr std::array kLevels{Level{60, {1.853, 2.326}}, Level{100, {3.112, 3.294}}};
    constexpr std::array kZones{HairZone{"fringe", foreheadZone},
                                HairZone{"beard", belowTheLipsZone}};
    constexpr float kHairShare = 0.3f;  // of a zone's pixels, for a face to count
    Smoothing smoothing;
    std::array<int, kZones.size()> faces{};
    std::array<std::array<Mean, kLevels.size()>, kZones.size()> hair{};
    std::array<std::array<Mean, kLevels.size()>, kZones.size()> skin{};
    for (const FoundFace& face : found) {
        std::vector<Colour> cheekColours;
        for (const auto& polygon : face.frame.cheeks) {
            const PixelArea area = areaAround(polygon);
            for (int row = area.y; row < area.y + area.height; ++row) {
                for (int column = area.x; column < area.x + area.width; ++column) {
                    if (testing::signedDistance(polygon, column, row) >= 0) {
                        cheekColours.push_back(colourOfPixel(
                            face.frame.capture.data() +
                            (static_cast<std::size_t>(row) * kFrame.width + column) * 4));
                    }
                }
            }
        }
        const Colour cheek = medianColour(cheekColours);
        for (std::size_t z = 0; z < kZones.size(); ++z) {
            const auto zone = kZones[z].polygon(face.frame.points);
            std::vector<std::size_t> hairPixels;
            std::vector<std::size_t> skinPixels;
            const PixelArea area = areaAround(zone);
            for (int row = area.y; row < area.y + area.height; ++row) {
                for (int column = area.x; column < area.x + area.width; ++column) {
                    const bool nearFeature = std::any_of(
                        face.region.features.begin(), face.region.features.end(),
                        [&](const FaceOutline& feature) {
                            return testing::signedDistance(polygonOf(feature), column, row) > -1;
                        });
                    if (testing::signedDistance(zone, column, row) < 0 || nearFeature ||
                        testing::signedDistance(polygonOf(face.region.outline), column, row) <
                            face.region.outline.softEdge) {
                        continue;
                    }
                    const auto i = static_cast<std::size_t>(row) * kFrame.width +
                                   static_cast<std::size_t>(column);
                    const Colour colour = colourOfPixel(face.frame.capture.data() + i * 4);
                    (hairLike(colour, cheek) ? hairPixels : skinPixels).push_back(i);
                }
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
        "%zu faces; a face has a fringe or a beard when at least %.0f %% of the pixels of its "
        "forehead or below its lips (inside the outline, off the features) are much darker than "
        "its cheeks or of another colour; mean change of a byte of those pixels and of the "
        "rest of the zone:\n",
        found.size(), 100 * kHairShare);
    for (std::size_t z = 0; z < kZones.size(); ++z) {
        for (std::size_t k = 0; k < kLevels.size(); ++k) {
            std::printf("  %s, %d faces, level %3d: hair %.3f (%.3f before), skin %.3f\n",
                        kZones[z].name, faces[z], kLevels[k].level, hair[z][k].value(),
                        kLevels[k].hairBefore[z], skin[z][k].value());
            EXPECT_LT(hair[z][k].value(), 0.3 * kLevels[k].hairBefore[z])
                << kZones[z].name << ", level " << kLevels[k].level;
            EXPECT_GT(skin[z][k].value(), 3 * hair[z][k].value())
                << kZones[z].name << ", level " << kLevels[k].level;
        }
        EXPECT_GE(faces[z], 10) << kZones[z].name;
    }
}

}  // namespace
}  // namespace velvix
