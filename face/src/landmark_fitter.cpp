#include "velvix/face/landmark_fitter.hpp"

#include <immintrin.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <vector>

#include "velvix/platform/cpu_info.hpp"

namespace velvix {
namespace {

LiteMat columnMeansRemoved(const LiteMat& shape) {
    float sumX = 0.0f;
    float sumY = 0.0f;
    for (std::int32_t r = 0; r < shape.rows(); ++r) {
        sumX += shape.at(r, 0);
        sumY += shape.at(r, 1);
    }
    const auto n = static_cast<float>(shape.rows());
    const float meanX = sumX / n;
    const float meanY = sumY / n;
    LiteMat centred(LiteMat::kFloat32, shape.rows(), 2);
    for (std::int32_t r = 0; r < shape.rows(); ++r) {
        centred.at(r, 0) = shape.at(r, 0) - meanX;
        centred.at(r, 1) = shape.at(r, 1) - meanY;
    }
    return centred;
}

// Where one landmark's trees read: a split's two sample points, x1, y1, x2 and y2, are worked
// out in the four lanes of one vector. Each lane makes the same products and sums as the
// formulas for its own coordinate would, in the same order, so the points round the same.
class LandmarkSampling {
  public:
    LandmarkSampling(const LiteMat& image, float landmarkX, float landmarkY, const FaceBox& box,
                     const SimilarityTransform& transform)
        : image_(image),
          straight_(lanes(transform.rotation.at(0, 0), transform.rotation.at(1, 1))),
          crossed_(lanes(transform.rotation.at(0, 1), transform.rotation.at(1, 0))),
          scale_(_mm_set1_ps(transform.scale)),
          boxScale_(lanes(box.scaleX, box.scaleY)),
          landmark_(lanes(landmarkX, landmarkY)),
          largest_(
              lanes(static_cast<float>(image.cols() - 1), static_cast<float>(image.rows() - 1))) {}

    // The first sample's pixel less the second's, for a split's offsets (x1, y1, x2, y2) in
    // mean-shape coordinates: turned and scaled into the face's box, then around the landmark,
    // each kept inside the picture (a position that is not a number reads 0).
    int pixelDifference(const float* offsets) const {
        const __m128 offset = _mm_loadu_ps(offsets);
        const __m128 swapped = _mm_shuffle_ps(offset, offset, _MM_SHUFFLE(2, 3, 0, 1));
        const __m128 turned = _mm_mul_ps(
            _mm_add_ps(_mm_mul_ps(straight_, offset), _mm_mul_ps(crossed_, swapped)), scale_);
        const __m128 position = _mm_add_ps(_mm_mul_ps(boxScale_, turned), landmark_);
        // max gives its second operand for a NaN, as the clamp's 0.
        const __m128 inside = _mm_min_ps(_mm_max_ps(position, _mm_setzero_ps()), largest_);
        alignas(16) std::array<std::int32_t, 4> at{};
        _mm_store_si128(reinterpret_cast<__m128i*>(at.data()), _mm_cvttps_epi32(inside));
        return static_cast<int>(image_.byteAt(at[1], at[0])) -
               static_cast<int>(image_.byteAt(at[3], at[2]));
    }

  private:
    static __m128 lanes(float x, float y) { return _mm_setr_ps(x, y, x, y); }

    const LiteMat& image_;
    __m128 straight_;  // the rotation's (0, 0) and (1, 1) for each point's x and y
    __m128 crossed_;   // its (0, 1) and (1, 0)
    __m128 scale_;
    __m128 boxScale_;
    __m128 landmark_;
    __m128 largest_;  // the last column and row
};

// 1 where the split sends the walk to the child 2k + 1, else 0.
std::int32_t goesRight(const RandomTree& tree, std::int32_t node, const LandmarkSampling& s) {
    return s.pixelDifference(tree.nodeFeatures.floatRow(node)) >= tree.thresholds.intAt(node, 0)
               ? 1
               : 0;
}

// Trees walked level by level side by side: they do not wait for each other, so the processor
// overlaps their reads, and a split chosen without a branch costs no mispredicted jump.
constexpr std::size_t kTreesSideBySide = 8;

// The leaf each of `count` (at most kTreesSideBySide) trees reaches, as its index among the
// tree's 2^(depth - 1) leaves.
void leafCodes(const RandomTree* trees, std::size_t count, const LandmarkSampling& sampling,
               std::int32_t* codes) {
    std::array<std::int32_t, kTreesSideBySide> node;
    node.fill(1);
    for (std::int32_t level = 1; level < trees[0].depth; ++level) {
        for (std::size_t t = 0; t < count; ++t) {
            node[t] = 2 * node[t] + goesRight(trees[t], node[t], sampling);
        }
    }
    const std::int32_t leaves = std::int32_t{1} << (trees[0].depth - 1);
    for (std::size_t t = 0; t < count; ++t) {
        codes[t] = node[t] - leaves;
    }
}

// The leaves' weight rows lie scattered over megabytes that the rest of the frame's work has
// pushed out of the caches; asking for a row a few leaves early overlaps the memory waits.
constexpr std::int32_t kRowsFetchedAhead = 4;
constexpr std::size_t kCacheLineBytes = 64;

// Asks for the cache lines of `bytes` bytes from `start` without waiting for them.
void fetchBytes(const void* start, std::size_t bytes) {
    const auto* first = static_cast<const char*>(start);
    for (std::size_t k = 0; k < bytes; k += kCacheLineBytes) {
        _mm_prefetch(first + k, _MM_HINT_T0);
    }
}

void addRowPlain(const float* row, float* sums, std::int32_t count) {
    for (std::int32_t k = 0; k < count; ++k) {
        sums[k] += row[k];
    }
}

// Eight sums a step; each sum still adds the same terms in the same order.
VELVIX_AVX2_FUNCTION void addRowAvx2(const float* row, float* sums, std::int32_t count) {
    std::int32_t k = 0;
    for (; k + 8 <= count; k += 8) {
        _mm256_storeu_ps(sums + k,
                         _mm256_add_ps(_mm256_loadu_ps(sums + k), _mm256_loadu_ps(row + k)));
    }
    addRowPlain(row + k, sums + k, count - k);
}

void addStepsPlain(const std::int16_t* row, std::int32_t* sums, std::int32_t count) {
    for (std::int32_t k = 0; k < count; ++k) {
        sums[k] += row[k];
    }
}

VELVIX_AVX2_FUNCTION void addStepsAvx2(const std::int16_t* row, std::int32_t* sums,
                                       std::int32_t count) {
    std::int32_t k = 0;
    for (; k + 8 <= count; k += 8) {
        const __m256i values =
            _mm256_cvtepi16_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(row + k)));
        __m256i* at = reinterpret_cast<__m256i*>(sums + k);
        _mm256_storeu_si256(at, _mm256_add_epi32(_mm256_loadu_si256(at), values));
    }
    addStepsPlain(row + k, sums + k, count - k);
}

LiteMat packedRegression(const PackedWeights& packed, const LiteMat& features) {
    const auto outputs = static_cast<std::int32_t>(packed.stepSizes.size());
    std::vector<std::int32_t> steps(static_cast<std::size_t>(outputs), 0);
    const auto addRow = hasAVX2 ? addStepsAvx2 : addStepsPlain;
    const auto rowOf = [&](std::int32_t j) {
        return packed.steps +
               static_cast<std::size_t>(features.intAt(0, j)) * static_cast<std::size_t>(outputs);
    };
    for (std::int32_t j = 0; j < features.cols(); ++j) {
        if (j + kRowsFetchedAhead < features.cols()) {
            fetchBytes(rowOf(j + kRowsFetchedAhead),
                       static_cast<std::size_t>(outputs) * sizeof(std::int16_t));
        }
        addRow(rowOf(j), steps.data(), outputs);
    }
    // Output 2l is landmark l's x and 2l + 1 its y: the displacements' own order.
    LiteMat delta(LiteMat::kFloat32, outputs / 2, 2);
    float* displacement = delta.floatRow(0);
    for (std::size_t k = 0; k < steps.size(); ++k) {
        displacement[k] = static_cast<float>(steps[k]) * packed.stepSizes[k];
    }
    return delta;
}

}  // namespace

FaceBox FaceBox::fromRectangle(float left, float top, float width, float height) {
    FaceBox box;
    box.x = left;
    box.y = top;
    box.centreX = static_cast<float>(left + width * 0.5);
    box.centreY = static_cast<float>(top + height * 0.5);
    box.scaleX = static_cast<float>(width * 0.5);
    box.scaleY = static_cast<float>(height * 0.5);
    box.width = width;
    box.height = height;
    return box;
}

LiteMat project(const LiteMat& shape, const FaceBox& box) {
    LiteMat result(LiteMat::kFloat32, shape.rows(), 2);
    for (std::int32_t r = 0; r < shape.rows(); ++r) {
        result.at(r, 0) = (shape.at(r, 0) - box.centreX) / box.scaleX;
        result.at(r, 1) = (shape.at(r, 1) - box.centreY) / box.scaleY;
    }
    return result;
}

LiteMat reproject(const LiteMat& shape, const FaceBox& box) {
    LiteMat result(LiteMat::kFloat32, shape.rows(), 2);
    for (std::int32_t r = 0; r < shape.rows(); ++r) {
        result.at(r, 0) = shape.at(r, 0) * box.scaleX + box.centreX;
        result.at(r, 1) = shape.at(r, 1) * box.scaleY + box.centreY;
    }
    return result;
}

SimilarityTransform similarityTransform(const LiteMat& from, const LiteMat& to) {
    LiteMat a = columnMeansRemoved(from);
    LiteMat b = columnMeansRemoved(to);
    const float sizeA = std::sqrt(a.covariance().frobeniusNorm());
    const float sizeB = std::sqrt(b.covariance().frobeniusNorm());
    a.divideInPlace(sizeA);
    b.divideInPlace(sizeB);
    float numerator = 0.0f;
    float denominator = 0.0f;
    for (std::int32_t i = 0; i < a.rows(); ++i) {
        numerator += b.at(i, 0) * a.at(i, 1) - a.at(i, 0) * b.at(i, 1);
        denominator += a.at(i, 0) * b.at(i, 0) + b.at(i, 1) * a.at(i, 1);
    }
    const float norm = std::sqrt(denominator * denominator + numerator * numerator);
    const float sine = numerator / norm;
    const float cosine = denominator / norm;
    SimilarityTransform transform;
    transform.scale = sizeA / sizeB;
    transform.rotation = LiteMat(LiteMat::kFloat32, 2, 2);
    transform.rotation.at(0, 0) = cosine;
    transform.rotation.at(0, 1) = -sine;
    transform.rotation.at(1, 0) = sine;
    transform.rotation.at(1, 1) = cosine;
    return transform;
}

LiteMat localBinaryFeatures(const LandmarkModel& model, std::int32_t stage, const LiteMat& image,
                            const LiteMat& current, const FaceBox& box,
                            const SimilarityTransform& transform) {
    const RandomForest& forest = model.forests[static_cast<std::size_t>(stage)];
    const std::int32_t leaves = std::int32_t{1} << (forest.depth - 1);
    LiteMat features(LiteMat::kFloat32, 1, forest.landmarks * forest.trees);
    for (std::int32_t l = 0; l < forest.landmarks; ++l) {
        // The trees are cold at each frame's fit: ask for the next landmark's while this
        // landmark's are walked.
        if (l + 1 < forest.landmarks) {
            for (const RandomTree& next : forest.treesOf[static_cast<std::size_t>(l + 1)]) {
                fetchBytes(next.nodeFeatures.data(),
                           static_cast<std::size_t>(next.nodeFeatures.rows()) * 4 * sizeof(float));
                fetchBytes(next.thresholds.data(),
                           static_cast<std::size_t>(next.thresholds.rows()) * sizeof(float));
            }
        }
        const std::vector<RandomTree>& trees = forest.treesOf[static_cast<std::size_t>(l)];
        const LandmarkSampling sampling{image, current.at(l, 0), current.at(l, 1), box, transform};
        std::int32_t* codes = &features.intAt(0, l * forest.trees);
        for (std::size_t t = 0; t < trees.size(); t += kTreesSideBySide) {
            leafCodes(&trees[t], std::min(kTreesSideBySide, trees.size() - t), sampling, codes + t);
        }
        for (std::int32_t t = 0; t < forest.trees; ++t) {
            const std::int32_t j = l * forest.trees + t;
            features.intAt(0, j) += j * leaves;
        }
    }
    return features;
}

LiteMat globalRegression(const LandmarkModel& model, std::int32_t stage, const LiteMat& features) {
    if (static_cast<std::size_t>(stage) < model.packed.size()) {
        return packedRegression(model.packed[static_cast<std::size_t>(stage)], features);
    }
    const LiteMat& weights = model.weights[static_cast<std::size_t>(stage)];
    const std::int32_t outputs = weights.cols();
    // Summed straight into the displacements (output 2l is landmark l's x, 2l + 1 its y, and a
    // new matrix starts at zero); each still adds its terms in the order of the features.
    LiteMat delta(LiteMat::kFloat32, outputs / 2, 2);
    float* sums = delta.floatRow(0);
    const auto addRow = hasAVX2 ? addRowAvx2 : addRowPlain;
    for (std::int32_t j = 0; j < features.cols(); ++j) {
        if (j + kRowsFetchedAhead < features.cols()) {
            fetchBytes(weights.floatRow(features.intAt(0, j + kRowsFetchedAhead)),
                       static_cast<std::size_t>(outputs) * sizeof(float));
        }
        addRow(weights.floatRow(features.intAt(0, j)), sums, outputs);
    }
    return delta;
}

LiteMat fitStage(const LiteMat& image, const FaceBox& box, const LandmarkModel& model,
                 std::int32_t stage, const LiteMat& current) {
    const LiteMat normalised = project(current, box);
    const SimilarityTransform transform = similarityTransform(normalised, model.meanShape);
    const LiteMat features = localBinaryFeatures(model, stage, image, current, box, transform);
    const LiteMat delta = globalRegression(model, stage, features);
    const LiteMat rotated = delta.times(transform.scale).product(transform.rotation.transposed());
    return reproject(normalised.plus(rotated), box);
}

LiteMat fitLandmarks(const LiteMat& image, const FaceBox& box, const LandmarkModel& model) {
    LiteMat current = reproject(model.meanShape, box);
    for (std::int32_t stage = 0; stage < model.stages; ++stage) {
        current = fitStage(image, box, model, stage, current);
    }
    return current;
}

}  // namespace velvix
