#include "accuracy.hpp"

#include <stb_image_write.h>

#include <algorithm>
#include <array>
#include <cmath>

#include "velvix/face/landmark_fitter.hpp"

namespace velvix::train {
namespace {

constexpr int kPlotWidth = 600;
constexpr int kPlotHeight = 400;
constexpr int kMargin = 20;

using Colour = std::array<std::uint8_t, 3>;

struct Plot {
    std::vector<std::uint8_t> rgb =
        std::vector<std::uint8_t>(static_cast<std::size_t>(kPlotWidth * kPlotHeight * 3), 255);

    void set(int x, int y, Colour colour) {
        if (x < 0 || y < 0 || x >= kPlotWidth || y >= kPlotHeight) {
            return;
        }
        std::copy(colour.begin(), colour.end(),
                  rgb.begin() + static_cast<std::ptrdiff_t>((y * kPlotWidth + x) * 3));
    }

    void line(float x0, float y0, float x1, float y1, Colour colour) {
        const int steps = static_cast<int>(std::max(std::abs(x1 - x0), std::abs(y1 - y0))) + 1;
        for (int k = 0; k <= steps; ++k) {
            const float t = static_cast<float>(k) / static_cast<float>(steps);
            set(static_cast<int>(std::lround(x0 + (x1 - x0) * t)),
                static_cast<int>(std::lround(y0 + (y1 - y0) * t)), colour);
        }
    }
};

}  // namespace

FaceErrors fitErrors(const LandmarkModel& model, const std::vector<TrainingFace>& faces,
                     const std::vector<int>& indices) {
    FaceErrors errors;
    for (const TrainingFace& face : faces) {
        const auto fitted = pointsOf(fitLandmarks(face.image.view(), face.box, model));
        (face.detected ? errors.detected : errors.missed)
            .push_back(normalisedMeanError(fitted, face.points, indices));
    }
    return errors;
}

std::vector<float> mappingErrors(const std::vector<TrainingFace>& faces98,
                                 const std::vector<PointGroup>& groups, float lowerBrowDepth) {
    std::vector<double> sums(groups.size(), 0.0);
    for (const TrainingFace& face : faces98) {
        const auto mapped = pointsFrom68(pointsTo68(face.points), lowerBrowDepth);
        for (std::size_t g = 0; g < groups.size(); ++g) {
            sums[g] += normalisedMeanError(mapped, face.points, groups[g].indices);
        }
    }
    std::vector<float> result;
    for (double sum : sums) {
        result.push_back(static_cast<float>(sum / static_cast<double>(faces98.size())));
    }
    return result;
}

float bestLowerBrowDepth(const std::vector<TrainingFace>& faces98) {
    const std::vector<PointGroup> lowerBrow{lowerBrowGroup()};
    float best = 0.0f;
    float bestError = mappingErrors(faces98, lowerBrow, best)[0];
    for (int hundredths = 1; hundredths <= 50; ++hundredths) {
        const float depth = static_cast<float>(hundredths) / 100.0f;
        const float error = mappingErrors(faces98, lowerBrow, depth)[0];
        if (error < bestError) {
            best = depth;
            bestError = error;
        }
    }
    return best;
}

float mean(const std::vector<float>& values) {
    double sum = 0;
    for (float value : values) {
        sum += value;
    }
    return values.empty() ? 0.0f : static_cast<float>(sum / static_cast<double>(values.size()));
}

float shareAtMost(const std::vector<float>& errors, float limit) {
    const auto count =
        std::count_if(errors.begin(), errors.end(), [limit](float e) { return e <= limit; });
    return errors.empty() ? 0.0f : static_cast<float>(count) / static_cast<float>(errors.size());
}

bool writeErrorCurves(const std::string& path, const std::vector<std::vector<float>>& curves,
                      float largestError) {
    Plot plot;
    const float left = kMargin;
    const float bottom = kPlotHeight - kMargin;
    const float width = kPlotWidth - 2 * kMargin;
    const float height = kPlotHeight - 2 * kMargin;
    const Colour grid{220, 220, 220};
    for (float e = 0; e <= largestError + 1e-6f; e += 0.01f) {
        const float x = left + width * e / largestError;
        plot.line(x, bottom, x, bottom - height, grid);
    }
    for (int k = 0; k <= 10; ++k) {
        const float y = bottom - height * static_cast<float>(k) / 10.0f;
        plot.line(left, y, left + width, y, grid);
    }
    plot.line(left, bottom, left + width, bottom, {0, 0, 0});
    plot.line(left, bottom, left, bottom - height, {0, 0, 0});
    const std::array<Colour, 3> colours{{{220, 30, 30}, {30, 30, 220}, {20, 150, 20}}};
    for (std::size_t c = 0; c < curves.size() && c < colours.size(); ++c) {
        float previousX = left;
        float previousY = bottom - height * shareAtMost(curves[c], 0.0f);
        for (int column = 1; column <= static_cast<int>(width); ++column) {
            const float e = largestError * static_cast<float>(column) / width;
            const float x = left + static_cast<float>(column);
            const float y = bottom - height * shareAtMost(curves[c], e);
            plot.line(previousX, previousY, x, y, colours[c]);
            previousX = x;
            previousY = y;
        }
    }
    return stbi_write_png(path.c_str(), kPlotWidth, kPlotHeight, 3, plot.rgb.data(),
                          kPlotWidth * 3) != 0;
}

}  // namespace velvix::train
