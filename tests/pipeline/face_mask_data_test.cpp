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
#include "fake_steps.hpp"
#include "host/smoothing_step.hpp"
#include "landmark_mapping.hpp"
#include "velvix/face/face_step.hpp"
#include "velvix/pipeline/frame_processor.hpp"
#include "velvix/pipeline/landmark_layout.hpp"
#include "velvix/pipeline/pixels.hpp"
#include "webcam_faces.hpp"

namespace velvix {
namespace {

constexpr FrameSize kFrame{1280, 720};

// How far a point lies inside a convex polygon (either way round): its distance from the
// nearest edge, negative outside.
double signedDistance(const std::vector<PointF>& polygon, double x, double y) {
    double twiceArea = 0;
    for (std::size_t k = 0; k < polygon.size(); ++k) {
        const PointF a = polygon[k];
        const PointF b = polygon[(k + 1) % polygon.size()];
        twiceArea += static_cast<double>(a.x) * b.y - static_cast<double>(b.x) * a.y;
    }
    double nearest = 1e300;
    bool inside = true;
    for (std::size_t k = 0; k < polygon.size(); ++k) {
        const PointF a = polygon[k];
        const PointF b = polygon[(k + 1) % polygon.size()];
        const double ex = b.x - a.x;
        const double ey = b.y - a.y;
        const double t =
            std::clamp(((x - a.x) * ex + (y - a.y) * ey) / (ex * ex + ey * ey), 0.0, 1.0);
        nearest = std::min(nearest, std::hypot(x - a.x - t * ex, y - a.y - t * ey));
        // Inside lies on the same side of every edge as the turn of the whole polygon.
        inside = inside && (ex * (y - a.y) - ey * (x - a.x)) * twiceArea >= 0;
    }
    return inside ? nearest : -nearest;
}

// The columns of row y whose centres lie inside a convex polygon: first and last, or first
// greater than last when there are none.
std::pair<int, int> columnsInside(const std::vector<PointF>& polygon, int y) {
    const auto row = static_cast<double>(y);
    double left = 1e300;
    double right = -1e300;
    for (std::size_t k = 0; k < polygon.size(); ++k) {
        const PointF a = polygon[k];
        const PointF b = polygon[(k + 1) % polygon.size()];
        if ((a.y <= row && row < b.y) || (b.y <= row && row < a.y)) {
            const double x = a.x + (row - a.y) * (b.x - a.x) / (b.y - a.y);
            left = std::min(left, x);
            right = std::max(right, x);
        }
    }
    if (left > right) {
        return {1, 0};
    }
    return {static_cast<int>(std::ceil(left)), static_cast<int>(std::ceil(right)) - 1};
}

std::size_t indexOf(int column, int row) {
    return static_cast<std::size_t>(row) * kFrame.width + static_cast<std::size_t>(column);
}

struct Colour {
    float luma, cb, cr;
};

Colour colourOf(float red, float green, float blue) {
    return {0.299f * red + 0.587f * green + 0.114f * blue,
            128 + (-37.797f * red - 74.203f * green + 112 * blue) / 256,
            128 + (112 * red - 93.786f * green - 18.214f * blue) / 256};
}

float median(std::vector<float> values) {
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

Colour medianColour(const std::vector<Colour>& colours) {
    const auto part = [&](float Colour::*member) {
        std::vector<float> values;
        for (const Colour& c : colours) {
            values.push_back(c.*member);
        }
        return median(values);
    };
    return {part(&Colour::luma), part(&Colour::cb), part(&Colour::cr)};
}

float chromaDistance(const Colour& a, const Colour& b) {
    return std::abs(a.cb - b.cb) + std::abs(a.cr - b.cr);
}

struct Mean {
    double sum = 0;
    std::size_t count = 0;
    void add(double value) {
        sum += value;
        ++count;
    }
    double value() const { return count == 0 ? 0.0 : sum / static_cast<double>(count); }
};

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

std::vector<PointF> pointsOf(const FaceLandmarks& p, const std::vector<int>& indices) {
    std::vector<PointF> points;
    for (const int k : indices) {
        points.push_back(p[static_cast<std::size_t>(k)]);
    }
    return points;
}

PointF browMiddle(const FaceLandmarks& p) {
    return centreOf(pointsOf(p, {landmark::kUpperBrows.begin(), landmark::kUpperBrows.end()}));
}

std::vector<PointF> corners(float x0, float y0, float x1, float y1) {
    return {{x0, y0}, {x1, y0}, {x1, y1}, {x0, y1}};
}

bool within(std::pair<int, int> columns, int column) {
    return columns.first <= column && column <= columns.second;
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
    for (int k = 0; k < 9; ++k) {
        const auto pixel =
            (static_cast<std::size_t>(cy + k / 3 - 1) * picture.width + cx + k % 3 - 1) * 3;
        for (std::size_t c = 0; c < 3; ++c) {
            sums[c] += picture.pixels[pixel + c] / 9.0f;
        }
    }
    return colourOf(sums[2], sums[1], sums[0]);
}

// How far above the upper brow edges the skin of the forehead reaches, as a share of the
// height from the brows' middle to the chin, on three lines straight up (from the middle of
// each brow and from between the brows): the forehead's colour is taken just above the
// brows and followed up to the first stretch of 4 % of that height that differs from it
// (hair, a hat, the background). A forehead just above the brows not of the cheeks' colour
// is covered (hair or a hat): nothing.
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
        const float upperQuartile = shares[(shares.size() - 1) * 3 / 4];
        const auto covered =
            static_cast<double>(std::upper_bound(shares.begin(), shares.end(), kForeheadShare) -
                                shares.begin()) /
            static_cast<double>(shares.size());
        std::printf("%s: %zu of %zu foreheads seen, upper quartile %.3f, %.2f covers %.1f %%\n",
                    subfolder, shares.size(), faces.size(), upperQuartile, kForeheadShare,
                    100 * covered);
        EXPECT_GT(kForeheadShare, upperQuartile) << subfolder;
        EXPECT_GE(covered, 0.85) << subfolder;
        EXPECT_LT(covered, 0.97) << subfolder << ": a lower share would do";
    }
    if (folders == 0) {
        GTEST_SKIP() << "../shared/data is not here";
    }
}

// The paper over the whole frame, in the capture layout.
const std::vector<std::uint8_t>& beigePaperFrame() {
    static const std::vector<std::uint8_t> paper = [] {
        std::vector<std::uint8_t> pixels(static_cast<std::size_t>(kFrame.pixels()) * 4, 255);
        forEachPixel({0, 0, kFrame.width, kFrame.height}, [&](int column, int row, std::size_t i) {
            const auto colour = testing::beigePaper(column, row);
            std::copy(colour.begin(), colour.end(), pixels.data() + i * 4);
        });
        return pixels;
    }();
    return paper;
}

// One annotated face, about 250 pixels wide, cut out along its outline grown by a quarter (so
// that hair and ears come along) and laid on beige paper in a 1280 x 720 frame.
struct PaperFrame {
    std::vector<std::uint8_t> capture;  // capture layout, bottom row first
    std::vector<PointF> outline;        // the annotated face's outline, in buffer coordinates
    std::array<std::vector<PointF>, 2> cheeks;
    FaceLandmarks points{};  // the annotated points, in buffer coordinates
};

PaperFrame paperFrame(const AnnotatedFace& face, int index) {
    const auto [leftmost, rightmost] = std::minmax_element(
        face.points.begin(), face.points.end(), [](PointF a, PointF b) { return a.x < b.x; });
    const auto [topmost, bottommost] = std::minmax_element(
        face.points.begin(), face.points.end(), [](PointF a, PointF b) { return a.y < b.y; });
    const float left = leftmost->x, right = rightmost->x, top = topmost->y, bottom = bottommost->y;
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
        const auto [first, last] = columnsInside(cutOut, row);
        const auto above = columnsInside(cutOut, row - kFade);
        const auto below = columnsInside(cutOut, row + kFade);
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
    double worstStep = 0;  // across the mask's edge

    void add(const PaperFrame& frame, const std::vector<float>& change,
             const std::vector<PointF>& edge, const PixelArea& rectangle) {
        const auto offFaceEdge = grown(frame.outline, 1.08f);
        const PixelArea near = areaAround(grown(frame.outline, 1.5f));
        for (int row = near.y; row < near.y + near.height; ++row) {
            const auto face = columnsInside(offFaceEdge, row);
            const auto leftCheek = columnsInside(frame.cheeks[0], row);
            const auto rightCheek = columnsInside(frame.cheeks[1], row);
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
        worstStep = std::max(worstStep, across.largestStep(true));
    }
};

// The energies of the skin's texture at two scales, summed over some pixels of a frame (capture
// layout, 4 bytes a pixel, or frame layout, 3): its fine grain (pores, fine wrinkles, stubble),
// the luma beyond the mean of the 3 x 3 pixels round each pixel, and its blotches (spots,
// redness, shine), the mean of 5 x 5 pixels beyond the mean of 17 x 17 (squares cut to the frame).
struct TextureEnergy {
    double grain = 0;
    double blotches = 0;

    void add(const std::uint8_t* pixels, int bytesPerPixel, const std::vector<std::size_t>& at) {
        const auto luma = [&](int column, int row) {
            const std::uint8_t* p = pixels + indexOf(column, row) * bytesPerPixel;
            return bytesPerPixel == 4 ? colourOf(p[0], p[1], p[2]).luma
                                      : colourOf(p[2], p[1], p[0]).luma;
        };
        const auto meanAround = [&](int column, int row, int radius) {
            double sum = 0;
            int count = 0;
            for (int y = std::max(0, row - radius); y <= std::min(kFrame.height - 1, row + radius);
                 ++y) {
                for (int x = std::max(0, column - radius);
                     x <= std::min(kFrame.width - 1, column + radius); ++x, ++count) {
                    sum += luma(x, y);
                }
            }
            return sum / count;
        };
        for (const std::size_t i : at) {
            const int column = static_cast<int>(i % static_cast<std::size_t>(kFrame.width));
            const int row = static_cast<int>(i / static_cast<std::size_t>(kFrame.width));
            const double fine = luma(column, row) - meanAround(column, row, 1);
            const double blotch = meanAround(column, row, 2) - meanAround(column, row, 8);
            grain += fine * fine;
            blotches += blotch * blotch;
        }
    }
};

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

constexpr std::array kZones{foreheadZone, belowTheLipsZone};
constexpr std::array<const char*, 2> kZoneNames{"fringe", "beard"};

// The levels of the texture and hair measurements, with the share of the blotches' contrast the
// filter alone took away and the mean change of a byte of the hair pixels (fringe, beard) with
// the fixed skin-colour test alone: the figures before the finest detail went back into the skin
// and before the skin's own colour was learned.
struct TextureLevel {
    int level;
    double blotchesTakenBefore;
};
constexpr std::array kTextureLevels{TextureLevel{30, 0.07381}, TextureLevel{60, 0.22025},
                                    TextureLevel{100, 0.41077}};
struct HairLevel {
    int level;
    std::array<double, 2> hairBefore;
};
constexpr std::array kHairLevels{HairLevel{60, {1.853, 2.326}}, HairLevel{100, {3.112, 3.294}}};
constexpr int kEdgeLevel = 80;
constexpr int kFullLevel = 100;

// Every figure the tests below hold, from one pass over the annotated test faces the face step
// found and fitted (its region holds the face's cheek).
struct Measured {
    std::size_t annotated = 0, found = 0;
    Changes byFace;  // at kEdgeLevel, with each mask
    Changes byRectangle;
    Mean eyesAndLips;  // at kFullLevel, as the rest below
    ChangeAcrossEdges acrossBoxes{12};
    TextureEnergy original;
    std::array<TextureEnergy, kTextureLevels.size()> smoothed{};
    std::array<int, kZones.size()> hairFaces{};
    std::array<std::array<Mean, kHairLevels.size()>, kZones.size()> hair{};
    std::array<std::array<Mean, kHairLevels.size()>, kZones.size()> skin{};
};

class FoundTestFaces : public ::testing::Test {
  protected:
    void SetUp() override {
        static const std::optional<Measured> once = measure();
        if (!once) {
            GTEST_SKIP() << "../shared/data/landmarks68/test is not here";
        }
        m = &*once;
        ASSERT_GT(m->annotated, 300u);
        ASSERT_GT(m->found, 300u) << "faces found and fitted";
    }

    const Measured* m = nullptr;

  private:
    static std::optional<Measured> measure();
};

// Within a pixel of one of the features the face's region keeps.
bool nearFeature(const FaceRegion& region, std::size_t i) {
    const int column = static_cast<int>(i % static_cast<std::size_t>(kFrame.width));
    const int row = static_cast<int>(i / static_cast<std::size_t>(kFrame.width));
    return std::any_of(region.features.begin(), region.features.end(), [&](const auto& feature) {
        return signedDistance(polygonOf(feature), column, row) > -1;
    });
}

// A zone's pixels off the features and the outline's soft edge, split into hair (much darker
// than the cheeks or of another colour) and skin; none when too few of them are hair.
std::array<std::vector<std::size_t>, 2> hairAndSkin(const PaperFrame& frame,
                                                    const FaceRegion& region, const Colour& cheek,
                                                    const std::vector<PointF>& zone) {
    constexpr float kHairShare = 0.3f;  // of a zone's pixels, for a face to count
    const auto outline = polygonOf(region.outline);
    std::array<std::vector<std::size_t>, 2> split;  // hair, skin
    for (const std::size_t i : pixelsInside(zone)) {
        const auto column = static_cast<int>(i % static_cast<std::size_t>(kFrame.width));
        const auto row = static_cast<int>(i / static_cast<std::size_t>(kFrame.width));
        if (nearFeature(region, i) ||
            signedDistance(outline, column, row) < region.outline.softEdge) {
            continue;
        }
        const Colour colour =
            colourOf(frame.capture[i * 4], frame.capture[i * 4 + 1], frame.capture[i * 4 + 2]);
        split[colour.luma < 0.6f * cheek.luma || chromaDistance(colour, cheek) > 24 ? 0 : 1]
            .push_back(i);
    }
    const std::size_t pixels = split[0].size() + split[1].size();
    if (pixels < 200 ||
        static_cast<float>(split[0].size()) < kHairShare * static_cast<float>(pixels)) {
        return {};
    }
    return split;
}

std::optional<Measured> FoundTestFaces::measure() {
    const auto folder = testing::faceDataFolder("landmarks68/test");
    if (!folder) {
        return std::nullopt;
    }
    Measured m;
    const auto faces = annotatedFaces(*folder);
    m.annotated = faces.size();
    FaceProcessingStep faceStep(makeFaceDetector(VELVIX_FACE_NETWORK), VELVIX_SHIPPED_MODEL);
    FrameBuffers buffers(kFrame);
    testing::ScriptedFaceStep foundFace;  // so that every mask and level sees the same face
    FilterSmoothingStep smoother;
    FrameBuffers smoothing(kFrame);
    for (std::size_t k = 0; k < faces.size(); ++k) {
        const PaperFrame frame = paperFrame(faces[k], static_cast<int>(k));
        packPixels(frame.capture.data(), buffers.output(), kFrame.width, kFrame.height,
                   PackFrom::captureLayout);
        FaceOutputs face;
        faceStep.run(buffers.faceStepBuffers(kFrame), face);
        const auto region = faceRegionOf(face, kFrame);
        if (!face.faceLandmarks || !region ||
            signedDistance(polygonOf(region->outline), frame.cheeks[0][0].x,
                           frame.cheeks[0][0].y) <= 0) {
            continue;
        }
        ++m.found;
        const auto& p = frame.points;
        // Cheek pixels of skin's colour, away from the features and their soft edges.
        std::vector<std::size_t> cheek;
        std::vector<Colour> cheekColours;
        for (const auto& polygon : frame.cheeks) {
            for (const std::size_t i : pixelsInside(polygon)) {
                const std::uint8_t* pixel = frame.capture.data() + i * 4;
                cheekColours.push_back(colourOf(pixel[0], pixel[1], pixel[2]));
                if (!nearFeature(*region, i) && isSkinColour(pixel[2], pixel[1], pixel[0])) {
                    cheek.push_back(i);
                }
            }
        }
        m.original.add(frame.capture.data(), 4, cheek);
        std::array<std::array<std::vector<std::size_t>, 2>, kZones.size()> zones;
        for (std::size_t z = 0; z < kZones.size(); ++z) {
            zones[z] = hairAndSkin(frame, *region, medianColour(cheekColours), kZones[z](p));
            m.hairFaces[z] += zones[z][0].empty() ? 0 : 1;
        }
        // The program's frame processing; its output in the frame layout.
        const auto smooth = [&](int level, MaskShape shape = MaskShape::faceOutline) {
            std::copy(frame.capture.begin(), frame.capture.end(), smoothing.capture());
            foundFace.result = face;
            FaceOutputs outputs;
            FaceRegionFade fade;
            processFrame(smoothing, kFrame, {0, kNoCameraChosen, true, level, shape},
                         {&foundFace, &smoother}, outputs, fade);
            return smoothing.output();
        };
        // The face step's rectangle in the buffers.
        const PixelArea box{kFrame.width - face.faceX - face.faceWidth,
                            kFrame.height - face.faceY - face.faceHeight, face.faceWidth,
                            face.faceHeight};
        for (const int level : {30, 60, kEdgeLevel, kFullLevel}) {
            const std::uint8_t* smoothed = smooth(level);
            const auto change = changeImage(frame.capture, smoothed);
            for (std::size_t t = 0; t < kTextureLevels.size(); ++t) {
                if (kTextureLevels[t].level == level) {
                    m.smoothed[t].add(smoothed, 3, cheek);
                }
            }
            for (std::size_t h = 0; h < kHairLevels.size(); ++h) {
                for (std::size_t z = 0; kHairLevels[h].level == level && z < kZones.size(); ++z) {
                    for (std::size_t part = 0; part < 2; ++part) {
                        for (const std::size_t i : zones[z][part]) {
                            (part == 0 ? m.hair : m.skin)[z][h].add(change[i]);
                        }
                    }
                }
            }
            if (level == kEdgeLevel) {
                m.byFace.add(frame, change, polygonOf(region->outline), box);
            }
            if (level != kFullLevel) {
                continue;
            }
            std::vector<std::vector<PointF>> features;  // eyes, lips, brows: point by point
            for (const auto& [first, last] :
                 {std::pair{60, 67}, {68, 75}, {76, 87}, {33, 41}, {42, 50}}) {
                features.emplace_back(p.begin() + first, p.begin() + last + 1);
            }
            for (std::size_t f = 0; f < 3; ++f) {
                for (const std::size_t i : pixelsInside(features[f])) {
                    m.eyesAndLips.add(change[i]);
                }
            }
            const auto onSkin = [&](int column, int row) {
                const std::uint8_t* pixel = frame.capture.data() + indexOf(column, row) * 4;
                return isSkinColour(pixel[2], pixel[1], pixel[0]) &&
                       signedDistance(frame.outline, column, row) > 0 &&
                       std::none_of(features.begin(), features.end(), [&](const auto& feature) {
                           return signedDistance(feature, column, row) >= 0;
                       });
            };
            // The rectangle mask's feature boxes, in the buffers.
            const auto cornerX = static_cast<float>(kFrame.width - face.faceX);
            const auto cornerY = static_cast<float>(kFrame.height - face.faceY);
            for (const FeatureBox& b : featureBoxes(*face.faceLandmarks)) {
                m.acrossBoxes.add(change,
                                  corners(cornerX - b.right, cornerY - b.bottom, cornerX - b.left,
                                          cornerY - b.top),
                                  onSkin);
            }
        }
        const float x0 = static_cast<float>(box.x) - 0.5f;
        const float y0 = static_cast<float>(box.y) - 0.5f;
        m.byRectangle.add(frame,
                          changeImage(frame.capture, smooth(kEdgeLevel, MaskShape::rectangle)),
                          corners(x0, y0, x0 + static_cast<float>(box.width),
                                  y0 + static_cast<float>(box.height)),
                          box);
    }
    return m;
}

void onBeigePaperOnlyTheFaceChangesAndItsEdgeIsSoft(const Measured* m) {
    int paperSkin = 0;
    forEachPixel({0, 0, kFrame.width, kFrame.height}, [&](int x, int y, std::size_t) {
        const auto [red, green, blue] = testing::beigePaper(x, y);
        paperSkin += isSkinColour(blue, green, red) ? 1 : 0;
    });
    ASSERT_GE(paperSkin, kFrame.pixels() * 99 / 100) << "the paper must be skin-coloured";
    const Changes& face = m->byFace;
    std::printf(
        "%zu faces, face-shaped mask: off the face %.2f, %.2f in the rectangle, cheeks "
        "%.2f (rectangle mask %.2f), worst edge step %.2f\n",
        m->found, face.offFace.value(), face.offFaceInRectangle.value(), face.cheeks.value(),
        m->byRectangle.cheeks.value(), face.worstStep);
    EXPECT_LE(face.offFace.value(), 0.5);
    EXPECT_LE(face.offFaceInRectangle.value(), 0.5);
    EXPECT_GE(face.cheeks.value(), 0.9 * m->byRectangle.cheeks.value());
    EXPECT_LE(face.worstStep, 2.0);
}

void featuresStayAsTheyAreAndTheirSurroundingsShowNoEdge(const Measured* m) {
    std::printf("eyes and lips %.3f; step across the feature boxes %.3f, beside them %.3f\n",
                m->eyesAndLips.value(), m->acrossBoxes.stepOnEdge(),
                m->acrossBoxes.largestStep(false));
    EXPECT_LE(m->eyesAndLips.value(), 0.5);
    EXPECT_LE(m->acrossBoxes.stepOnEdge(), m->acrossBoxes.largestStep(false));
}

void smoothedCheeksLoseTheirBlotchesButKeepTheirGrain(const Measured* m) {
    for (std::size_t k = 0; k < kTextureLevels.size(); ++k) {
        const TextureLevel& level = kTextureLevels[k];
        const double taken = 1 - std::sqrt(m->smoothed[k].blotches / m->original.blotches);
        const double kept = m->smoothed[k].grain / m->original.grain;
        std::printf("level %d: blotches %.4f taken, grain %.4f kept\n", level.level, taken, kept);
        EXPECT_GE(taken, level.blotchesTakenBefore) << "level " << level.level;
        if (level.level == 100) {
            EXPECT_GE(kept, 0.3);
        }
    }
}

// A face counts when at least 30 % of the pixels of its forehead or below its lips (inside the
// outline, off the features) are hair; the change of those pixels against the rest of the zone.
void hairAndBeardsInsideTheOutlineKeepTheirTexture(const Measured* m) {
    const auto& kLevels = kHairLevels;
    const auto& hair = m->hair;
    const auto& skin = m->skin;
    for (std::size_t z = 0; z < kZones.size(); ++z) {
        for (std::size_t k = 0; k < kLevels.size(); ++k) {
            std::printf("%s, %d faces, level %d: hair %.3f, skin %.3f\n", kZoneNames[z],
                        m->hairFaces[z], kLevels[k].level, hair[z][k].value(), skin[z][k].value());
            EXPECT_LT(hair[z][k].value(), 0.3 * kLevels[k].hairBefore[z])
                << kZoneNames[z] << ", level " << kLevels[k].level;
            EXPECT_GT(skin[z][k].value(), 3 * hair[z][k].value())
                << kZoneNames[z] << ", level " << kLevels[k].level;
        }
        EXPECT_GE(m->hairFaces[z], 10) << kZoneNames[z];
    }
}

// Every measurement comes from one pass over the faces, which takes minutes: one test checks
// them all, so that CTest, which runs each test in a process of its own, makes the pass once.
TEST_F(FoundTestFaces, MeetEveryGoal) {
    for (const auto& [name, check] :
         {std::pair{"beige paper", &onBeigePaperOnlyTheFaceChangesAndItsEdgeIsSoft},
          std::pair{"features", &featuresStayAsTheyAreAndTheirSurroundingsShowNoEdge},
          std::pair{"cheeks", &smoothedCheeksLoseTheirBlotchesButKeepTheirGrain},
          std::pair{"hair", &hairAndBeardsInsideTheOutlineKeepTheirTexture}}) {
        SCOPED_TRACE(name);
        check(m);
    }
}

}  // namespace
}  // namespace velvix
