#include "velvix/pipeline/face_mask.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <numbers>

#include "velvix/pipeline/landmark_layout.hpp"
#include "velvix/pipeline/pixels.hpp"
#include "velvix/platform/cpu_info.hpp"

namespace velvix {
namespace {

using landmark::kChin;
using landmark::kJawPoints;
using landmark::kUpperBrows;
constexpr int kEllipsePoints = 40;

PointF operator+(PointF a, PointF b) {
    return {a.x + b.x, a.y + b.y};
}
PointF operator-(PointF a, PointF b) {
    return {a.x - b.x, a.y - b.y};
}
PointF operator*(PointF a, float s) {
    return {a.x * s, a.y * s};
}
float length(PointF a) {
    return std::hypot(a.x, a.y);
}

void add(FaceOutline& outline, PointF point) {
    outline.points[static_cast<std::size_t>(outline.count++)] = point;
}

float cross(PointF o, PointF a, PointF b) {
    return (a.x - o.x) * (b.y - o.y) - (a.y - o.y) * (b.x - o.x);
}

// The convex hull of the points (Andrew's monotone chain), each turn in the same direction.
template <std::size_t N>
FaceOutline convexHull(std::array<PointF, N> points) {
    static_assert(N + 1 <= kOutlinePointsMaximum);
    std::sort(points.begin(), points.end(),
              [](PointF a, PointF b) { return a.x < b.x || (a.x == b.x && a.y < b.y); });
    FaceOutline hull;
    const auto extend = [&hull](PointF point, int keep) {
        while (hull.count >= keep &&
               cross(hull.points[static_cast<std::size_t>(hull.count - 2)],
                     hull.points[static_cast<std::size_t>(hull.count - 1)], point) <= 0) {
            --hull.count;
        }
        add(hull, point);
    };
    for (const PointF point : points) {
        extend(point, 2);
    }
    const int lowerCount = hull.count + 1;
    for (auto point = points.rbegin() + 1; point != points.rend(); ++point) {
        extend(*point, lowerCount);
    }
    --hull.count;  // the first point came round again
    return hull;
}

PointF pointOf(const FaceOutline& outline, int k) {
    return outline.points[static_cast<std::size_t>((k + outline.count) % outline.count)];
}

PointF centreOf(const FaceOutline& outline) {
    PointF sum{};
    for (int k = 0; k < outline.count; ++k) {
        sum = sum + pointOf(outline, k);
    }
    return sum * (1.0f / static_cast<float>(outline.count));
}

// The unit normal of the side from a to b that points away from `centre`; nothing for a side
// of no length.
PointF outwardNormal(PointF a, PointF b, PointF centre) {
    const float side = length(b - a);
    if (!(side > 0)) {
        return {};
    }
    const PointF normal{(b.y - a.y) / side, (a.x - b.x) / side};
    const PointF inward = centre - a;
    return normal.x * inward.x + normal.y * inward.y > 0 ? normal * -1.0f : normal;
}

// A convex hull grown by `distance`, its corners rounded: each corner becomes three points
// on the circle round it, along the normals of its two sides and between them.
FaceOutline grownHull(const FaceOutline& hull, float distance) {
    static_assert(kOutlinePointsMaximum % 3 == 0);
    FaceOutline grown;
    const PointF centre = centreOf(hull);
    for (int k = 0; k < std::min(hull.count, kOutlinePointsMaximum / 3); ++k) {
        const PointF corner = pointOf(hull, k);
        const PointF before = outwardNormal(pointOf(hull, k - 1), corner, centre);
        const PointF after = outwardNormal(corner, pointOf(hull, k + 1), centre);
        const PointF middle = before + after;
        const float middleLength = length(middle);
        add(grown, corner + before * distance);
        add(grown, corner + (middleLength > 0 ? middle * (distance / middleLength) : before));
        add(grown, corner + after * distance);
    }
    return grown;
}

bool allFinite(const FaceLandmarks& landmarks) {
    return std::all_of(landmarks.begin(), landmarks.end(),
                       [](PointF p) { return std::isfinite(p.x) && std::isfinite(p.y); });
}

struct Extent {
    float left = 0;
    float right = 0;
    float top = 0;
    float bottom = 0;
};

Extent extentOf(const FaceOutline& outline) {
    Extent extent{outline.points[0].x, outline.points[0].x, outline.points[0].y,
                  outline.points[0].y};
    for (int k = 1; k < outline.count; ++k) {
        const PointF p = outline.points[static_cast<std::size_t>(k)];
        extent = {std::min(extent.left, p.x), std::max(extent.right, p.x),
                  std::min(extent.top, p.y), std::max(extent.bottom, p.y)};
    }
    return extent;
}

// Every coordinate near enough to the frame that it stays far from the limits of int.
bool nearFrame(const FaceOutline& outline, FrameSize size) {
    const Extent e = extentOf(outline);
    const auto near = [](float value, int limit) {
        return std::abs(value) < 4.0f * static_cast<float>(limit);
    };
    return near(e.left, size.width) && near(e.right, size.width) && near(e.top, size.height) &&
           near(e.bottom, size.height) && std::isfinite(outline.softEdge);
}

// An outline a fit can have given: near the frame and at least a few pixels each way.
bool plausible(const FaceOutline& outline, FrameSize size) {
    const Extent e = extentOf(outline);
    return nearFrame(outline, size) && e.right - e.left >= 4 && e.bottom - e.top >= 4;
}

// The pixels around the outline, cut to the frame.
PixelArea boundsOf(const FaceOutline& outline, FrameSize size) {
    const Extent e = extentOf(outline);
    const auto pixel = [](float value, int limit) {
        return static_cast<int>(std::clamp(value, -1.0f, static_cast<float>(limit)));
    };
    const int x0 = std::max(0, pixel(std::floor(e.left), size.width));
    const int x1 = std::min(size.width - 1, pixel(std::ceil(e.right), size.width));
    const int y0 = std::max(0, pixel(std::floor(e.top), size.height));
    const int y1 = std::min(size.height - 1, pixel(std::ceil(e.bottom), size.height));
    return {x0, y0, x1 - x0 + 1, y1 - y0 + 1};
}

// The columns whose centres lie inside a convex outline, row after row from the top down, as
// the first and last (first above last when there are none; they may lie beyond the frame).
// A row looks only at the sides that reach it: sorted by their upper ends, each is taken up
// when the rows reach it and dropped once they pass its lower end.
class OutlineRows {
  public:
    explicit OutlineRows(const FaceOutline& outline) {
        for (int k = 0, before = outline.count - 1; k < outline.count; before = k++) {
            const PointF a = outline.points[static_cast<std::size_t>(before)];
            const PointF b = outline.points[static_cast<std::size_t>(k)];
            const float top = std::min(a.y, b.y);
            const float bottom = std::max(a.y, b.y);
            if (top < bottom) {  // level sides cross no row, nor do those of no number
                sides_[static_cast<std::size_t>(count_++)] = {a, b, top, bottom};
            }
        }
        std::sort(sides_.begin(), sides_.begin() + count_,
                  [](const Side& s, const Side& t) { return s.top < t.top; });
    }

    // Rows must come in order, y never less than the row before.
    std::pair<int, int> spanOnRow(float y) {
        while (next_ < count_ && sides_[static_cast<std::size_t>(next_)].top <= y) {
            reaching_[static_cast<std::size_t>(reachingCount_++)] = next_++;
        }
        float left = std::numeric_limits<float>::infinity();
        float right = -left;
        int kept = 0;
        for (int i = 0; i < reachingCount_; ++i) {
            const int index = reaching_[static_cast<std::size_t>(i)];
            const Side& side = sides_[static_cast<std::size_t>(index)];
            if (y >= side.bottom) {
                continue;
            }
            reaching_[static_cast<std::size_t>(kept++)] = index;
            const PointF a = side.from;
            const PointF b = side.to;
            const float x = a.x + (y - a.y) * (b.x - a.x) / (b.y - a.y);
            left = std::min(left, x);
            right = std::max(right, x);
        }
        reachingCount_ = kept;
        if (!(left < right)) {
            return {1, 0};
        }
        // Columns c with left <= c < right; the crossings lie within a few frame widths of the
        // frame, as the outline's points do.
        return {static_cast<int>(std::ceil(left)), static_cast<int>(std::ceil(right)) - 1};
    }

  private:
    struct Side {
        PointF from;  // the outline's point before `to`
        PointF to;
        float top;
        float bottom;
    };
    std::array<Side, kOutlinePointsMaximum> sides_{};
    int count_ = 0;
    int next_ = 0;  // the first side the rows have not reached
    std::array<int, kOutlinePointsMaximum> reaching_{};
    int reachingCount_ = 0;
};

// For each of `count` columns from `column` on, how many of the columns first to last lie
// within `radius` of it.
VELVIX_ALWAYS_INLINE void sumSpanBody(int first, int last, int column, int count, int radius,
                                      std::uint8_t* sums) {
    for (int i = 0; i < count; ++i) {
        const int c = column + i;
        const int inside = std::min(c + radius, last) - std::max(c - radius, first) + 1;
        sums[i] = static_cast<std::uint8_t>(std::max(inside, 0));
    }
}

void sumSpanPlain(int first, int last, int column, int count, int radius, std::uint8_t* sums) {
    sumSpanBody(first, last, column, count, radius, sums);
}

VELVIX_AVX2_FUNCTION void sumSpanAvx2(int first, int last, int column, int count, int radius,
                                      std::uint8_t* sums) {
    sumSpanBody(first, last, column, count, radius, sums);
}

// For each column of `area`, how many pixels of the row within `radius` columns of it lie
// inside the outline.
void sumRowInside(OutlineRows& outline, int row, const PixelArea& area, int radius,
                  std::uint8_t* sums) {
    const auto [first, last] = outline.spanOnRow(static_cast<float>(row));
    (hasAVX2 ? sumSpanAvx2 : sumSpanPlain)(first, last, area.x, area.width, radius, sums);
}

// Alpha from the count of inside pixels in a square of `cells` pixels around each pixel:
// half of them inside puts the pixel on the outline (alpha 0), all of them a soft edge's
// width inside it (alpha 255); then laid over `floor`.
VELVIX_ALWAYS_INLINE void alphaFromSumsBody(const std::uint32_t* sums, std::uint8_t* alpha,
                                            int count, float cells, std::uint8_t floor) {
    const float scale = 510.0f / cells;
    const float over = static_cast<float>(255 - floor) / 255.0f;
    const auto base = static_cast<float>(floor);
    for (int i = 0; i < count; ++i) {
        const float mask =
            std::clamp((static_cast<float>(sums[i]) - cells * 0.5f) * scale, 0.0f, 255.0f);
        alpha[i] = static_cast<std::uint8_t>(base + mask * over + 0.5f);
    }
}

// Alpha taken down where the square lies inside a feature's outline: all of it a soft edge's
// width inside the outline keeps the pixel unsmoothed, half of it leaves alpha as it was.
VELVIX_ALWAYS_INLINE void protectFromSumsBody(const std::uint32_t* sums, std::uint8_t* alpha,
                                              int count, float cells) {
    const float scale = 2.0f / cells;
    for (int i = 0; i < count; ++i) {
        const float keep =
            std::clamp(1.0f - (static_cast<float>(sums[i]) - cells * 0.5f) * scale, 0.0f, 1.0f);
        alpha[i] = static_cast<std::uint8_t>(static_cast<float>(alpha[i]) * keep + 0.5f);
    }
}

void protectFromSumsPlain(const std::uint32_t* sums, std::uint8_t* alpha, int count, float cells) {
    protectFromSumsBody(sums, alpha, count, cells);
}

VELVIX_AVX2_FUNCTION void protectFromSumsAvx2(const std::uint32_t* sums, std::uint8_t* alpha,
                                              int count, float cells) {
    protectFromSumsBody(sums, alpha, count, cells);
}

void alphaFromSumsPlain(const std::uint32_t* sums, std::uint8_t* alpha, int count, float cells,
                        std::uint8_t floor) {
    alphaFromSumsBody(sums, alpha, count, cells, floor);
}

VELVIX_AVX2_FUNCTION void alphaFromSumsAvx2(const std::uint32_t* sums, std::uint8_t* alpha,
                                            int count, float cells, std::uint8_t floor) {
    alphaFromSumsBody(sums, alpha, count, cells, floor);
}

void addRow(std::uint32_t* columnSums, const std::uint8_t* row, int count) {
    for (int i = 0; i < count; ++i) {
        columnSums[i] += row[i];
    }
}

VELVIX_ALWAYS_INLINE void moveWindowBody(std::uint32_t* columnSums, const std::uint8_t* entering,
                                         const std::uint8_t* leaving, int count) {
    for (int i = 0; i < count; ++i) {
        columnSums[i] = columnSums[i] + entering[i] - leaving[i];
    }
}

void moveWindowPlain(std::uint32_t* columnSums, const std::uint8_t* entering,
                     const std::uint8_t* leaving, int count) {
    moveWindowBody(columnSums, entering, leaving, count);
}

VELVIX_AVX2_FUNCTION void moveWindowAvx2(std::uint32_t* columnSums, const std::uint8_t* entering,
                                         const std::uint8_t* leaving, int count) {
    moveWindowBody(columnSums, entering, leaving, count);
}

std::uint8_t* rowOf(const AlphaView& view, int frameRow) {
    return view.pixels +
           static_cast<std::size_t>(frameRow - view.area.y) * static_cast<std::size_t>(view.stride);
}

void fill(const AlphaView& view, const PixelArea& area, std::uint8_t value) {
    const PixelArea inside = intersection(area, view.area);
    for (int row = inside.y; row < inside.y + inside.height; ++row) {
        std::memset(rowOf(view, row) + (inside.x - view.area.x), value,
                    static_cast<std::size_t>(inside.width));
    }
}

// Calls use(sums, row, area, cells) for each row of `area`, with the count of pixels inside the
// outline in the square of `cells` pixels (a soft edge's width each way) round each pixel of it.
template <typename Use>
void forSquareSums(const FaceOutline& outline, const PixelArea& area, const MaskScratch& scratch,
                   Use use) {
    if (area.empty()) {
        return;
    }
    const int radius =
        std::clamp(static_cast<int>(std::lround(outline.softEdge)), 0, kSoftEdgeMaximum);
    const int side = 2 * radius + 1;
    // Row sums for the rows within `radius` of the area, so that the square around each pixel
    // finds the outline's inside beyond the area (and the frame) too.
    const int firstRow = area.y - radius;
    const int rows = area.height + 2 * radius;
    const auto width = static_cast<std::size_t>(area.width);
    OutlineRows outlineRows(outline);
    for (int r = 0; r < rows; ++r) {
        sumRowInside(outlineRows, firstRow + r, area, radius,
                     scratch.rowSums + static_cast<std::size_t>(r) * width);
    }
    std::fill(scratch.columnSums, scratch.columnSums + width, 0u);
    for (int r = 0; r < side; ++r) {
        addRow(scratch.columnSums, scratch.rowSums + static_cast<std::size_t>(r) * width,
               area.width);
    }
    const auto cells = static_cast<float>(side * side);
    for (int row = 0; row < area.height; ++row) {
        if (row > 0) {
            (hasAVX2 ? moveWindowAvx2 : moveWindowPlain)(
                scratch.columnSums,
                scratch.rowSums + static_cast<std::size_t>(row + side - 1) * width,
                scratch.rowSums + static_cast<std::size_t>(row - 1) * width, area.width);
        }
        use(scratch.columnSums, area.y + row, area, cells);
    }
}

}  // namespace

PixelArea intersection(const PixelArea& a, const PixelArea& b) {
    const int x0 = std::max(a.x, b.x);
    const int y0 = std::max(a.y, b.y);
    const int x1 = std::min(a.x + a.width, b.x + b.width);
    const int y1 = std::min(a.y + a.height, b.y + b.height);
    return {x0, y0, std::max(0, x1 - x0), std::max(0, y1 - y0)};
}

FaceOutline faceOutline(const FaceLandmarks& p) {
    PointF browMiddle{};
    for (const int k : kUpperBrows) {
        browMiddle = browMiddle + p[static_cast<std::size_t>(k)];
    }
    browMiddle = browMiddle * (1.0f / static_cast<float>(kUpperBrows.size()));
    const PointF lift = (browMiddle - p[kChin]) * kForeheadShare;
    std::array<PointF, kJawPoints + kUpperBrows.size()> points{};
    std::copy(p.begin(), p.begin() + kJawPoints, points.begin());
    for (std::size_t k = 0; k < kUpperBrows.size(); ++k) {
        points[kJawPoints + k] = p[static_cast<std::size_t>(kUpperBrows[k])] + lift;
    }
    // The hull, not the points in turn: the raised brows dip between the brows, and a fitted
    // jaw line may wriggle, where a face's outline does not.
    FaceOutline outline = convexHull(points);
    outline.softEdge = kSoftEdgeShare * length(p[kJawPoints - 1] - p[0]);
    return outline;
}

namespace {

template <std::size_t N>
std::array<PointF, N> pointsAt(const FaceLandmarks& p, const std::array<int, N>& indices) {
    std::array<PointF, N> points{};
    for (std::size_t k = 0; k < N; ++k) {
        points[k] = p[static_cast<std::size_t>(indices[k])];
    }
    return points;
}

// The eye's points with its upper lid's raised towards the brow's underside, as the lid reaches
// up to its fold.
std::array<PointF, 11> eyeWithLid(const FaceLandmarks& p, const std::array<int, 8>& eye,
                                  const std::array<int, 3>& upperLid,
                                  const std::array<int, 4>& browUnderside) {
    PointF lid{};
    for (const int k : upperLid) {
        lid = lid + p[static_cast<std::size_t>(k)] * (1.0f / 3.0f);
    }
    PointF brow{};
    for (const int k : browUnderside) {
        brow = brow + p[static_cast<std::size_t>(k)] * 0.25f;
    }
    const PointF lift = (brow - lid) * kUpperLidShare;
    std::array<PointF, 11> points{};
    std::copy_n(pointsAt(p, eye).begin(), 8, points.begin());
    for (std::size_t k = 0; k < upperLid.size(); ++k) {
        points[8 + k] = p[static_cast<std::size_t>(upperLid[k])] + lift;
    }
    return points;
}

// The nose's lower edge with the nostrils halfway up from it to the tip.
std::array<PointF, 7> nostrils(const FaceLandmarks& p) {
    using namespace landmark;
    std::array<PointF, 7> points{};
    std::copy_n(pointsAt(p, std::array{kLeftNoseWing, kLeftNostril, kNoseBottom, kRightNostril,
                                       kRightNoseWing})
                    .begin(),
                5, points.begin());
    points[5] = (p[kLeftNostril] + p[kNoseTip]) * 0.5f;
    points[6] = (p[kRightNostril] + p[kNoseTip]) * 0.5f;
    return points;
}

}  // namespace

std::array<FaceOutline, kFeatureCount> featureOutlines(const FaceLandmarks& p) {
    using namespace landmark;
    const std::array<FaceOutline, kFeatureCount> hulls{
        convexHull(eyeWithLid(p, kLeftEye, kLeftUpperLid, kLeftBrowLowerEdge)),
        convexHull(eyeWithLid(p, kRightEye, kRightUpperLid, kRightBrowLowerEdge)),
        convexHull(pointsAt(p, kLeftBrow)),
        convexHull(pointsAt(p, kRightBrow)),
        convexHull(nostrils(p)),
        convexHull(pointsAt(p, kOuterLips)),
    };
    const float faceWidth = length(p[kJawPoints - 1] - p[0]);
    const float softEdge = kSoftEdgeShare * faceWidth;
    std::array<FaceOutline, kFeatureCount> outlines{};
    for (std::size_t k = 0; k < hulls.size(); ++k) {
        outlines[k] = grownHull(hulls[k], kFeatureMarginShare * faceWidth + softEdge);
        outlines[k].softEdge = softEdge;
    }
    return outlines;
}

FaceOutline ellipseOutline(float width, float height) {
    FaceOutline outline;
    const PointF centre{(width - 1.0f) * 0.5f, (height - 1.0f) * 0.5f};
    for (int k = 0; k < kEllipsePoints; ++k) {
        const double angle = 2.0 * std::numbers::pi * k / kEllipsePoints;
        add(outline, {centre.x + static_cast<float>(std::cos(angle)) * width * 0.5f,
                      centre.y + static_cast<float>(std::sin(angle)) * height * 0.5f});
    }
    outline.softEdge = kSoftEdgeShare * width;
    return outline;
}

std::optional<FaceRegion> faceRegionOf(const FaceInFrame& face, FrameSize size) {
    if (face.width <= 0 || face.height <= 0 || size.width <= 0 || size.height <= 0) {
        return std::nullopt;
    }
    // The landmarks are relative to the rectangle in the frame turned by 180 degrees.
    const auto originX = static_cast<float>(size.width - 1 - face.x);
    const auto originY = static_cast<float>(size.height - 1 - face.y);
    const auto inBuffer = [&](FaceOutline outline) {
        for (int k = 0; k < outline.count; ++k) {
            PointF& point = outline.points[static_cast<std::size_t>(k)];
            point = {originX - point.x, originY - point.y};
        }
        outline.softEdge = std::min(outline.softEdge, static_cast<float>(kSoftEdgeMaximum));
        return outline;
    };
    FaceRegion region;
    region.frame = size;
    std::optional<FaceOutline> fitted;
    if (face.landmarks && allFinite(*face.landmarks)) {
        fitted = inBuffer(faceOutline(*face.landmarks));
    }
    std::array<FaceOutline, kFeatureCount> features{};
    if (fitted) {
        features = featureOutlines(*face.landmarks);
        for (FaceOutline& feature : features) {
            feature = inBuffer(feature);
        }
    }
    const auto nearThisFrame = [size](const FaceOutline& outline) {
        return nearFrame(outline, size);
    };
    if (fitted && plausible(*fitted, size) &&
        std::all_of(features.begin(), features.end(), nearThisFrame)) {
        region.outline = *fitted;
        region.features = features;
        region.landmarks = *face.landmarks;
        for (PointF& point : *region.landmarks) {
            point = {originX - point.x, originY - point.y};
        }
    } else {
        region.outline = inBuffer(
            ellipseOutline(static_cast<float>(face.width), static_cast<float>(face.height)));
    }
    region.bounds = boundsOf(region.outline, size);
    if (region.bounds.empty()) {
        return std::nullopt;
    }
    return region;
}

std::optional<FaceRegion> faceRegionOf(const FaceOutputs& face, FrameSize size) {
    const std::optional<FaceInFrame> widest = face.widestFace();
    return widest ? faceRegionOf(*widest, size) : std::nullopt;
}

std::size_t maskRowSumBytes(FrameSize size) {
    return static_cast<std::size_t>(size.width) *
           static_cast<std::size_t>(size.height + 2 * kSoftEdgeMaximum + 2);
}

void drawFaceMask(const FaceRegion& region, std::uint8_t floor, const AlphaView& alpha,
                  const MaskScratch& scratch) {
    fill(alpha, alpha.area, floor);
    const auto toAlpha = hasAVX2 ? alphaFromSumsAvx2 : alphaFromSumsPlain;
    forSquareSums(region.outline, intersection(region.bounds, alpha.area), scratch,
                  [&](const std::uint32_t* sums, int row, const PixelArea& area, float cells) {
                      toAlpha(sums, rowOf(alpha, row) + (area.x - alpha.area.x), area.width, cells,
                              floor);
                  });
    const auto protect = hasAVX2 ? protectFromSumsAvx2 : protectFromSumsPlain;
    for (const FaceOutline& feature : region.features) {
        if (feature.count == 0) {
            continue;
        }
        forSquareSums(feature, intersection(boundsOf(feature, region.frame), alpha.area), scratch,
                      [&](const std::uint32_t* sums, int row, const PixelArea& area, float cells) {
                          protect(sums, rowOf(alpha, row) + (area.x - alpha.area.x), area.width,
                                  cells);
                      });
    }
}

FaceRegionFade::Step FaceRegionFade::next(std::optional<FaceRegion> found, FrameSize size) {
    if (region_ && region_->frame != size) {
        forget();
    }
    if (found) {
        region_ = std::move(found);
        framesLost_ = 0;
        background_ = started_ ? std::max(0, background_ - kSteps / kFadeOutFrames) : 0;
    } else if (!started_) {
        background_ = kSteps;
    } else if (++framesLost_ > kHoldFrames) {
        background_ = std::min(kSteps, background_ + kSteps / kFadeInFrames);
    }
    started_ = true;
    if (background_ == kSteps) {
        region_.reset();  // the whole frame is smoothed: the old face no longer matters
    }
    const auto background = static_cast<std::uint8_t>((background_ * 255 + kSteps / 2) / kSteps);
    return {region_ ? &*region_ : nullptr, background};
}

void FaceRegionFade::forget() {
    region_.reset();
    started_ = false;
    framesLost_ = 0;
    background_ = 0;
}

}  // namespace velvix
