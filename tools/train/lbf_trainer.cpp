#include "lbf_trainer.hpp"

#include <linear.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <mutex>
#include <numbers>
#include <random>
#include <thread>

#include "velvix/face/landmark_fitter.hpp"

namespace velvix::train {
namespace {

// One start of the fit on one face.
struct Sample {
    const TrainingFace* face = nullptr;
    LiteMat truth;    // box coordinates
    LiteMat current;  // image coordinates
    SimilarityTransform transform;
    LiteMat residual;  // truth - current in mean-shape orientation and scale
    LiteMat features;  // leaf columns reached in the stage being trained
};

struct Offset {
    float x = 0;
    float y = 0;
};

// A candidate split: two offsets around the landmark.
struct PixelPair {
    Offset first;
    Offset second;
};

LiteMat meanShapeOf(const std::vector<TrainingFace>& faces) {
    const auto landmarks = static_cast<std::int32_t>(faces.front().points.size());
    LiteMat mean(LiteMat::kFloat32, landmarks, 2);
    std::vector<double> sums(static_cast<std::size_t>(landmarks) * 2, 0.0);
    for (const TrainingFace& face : faces) {
        const LiteMat normalised = project(shapeOf(face.points), face.box);
        for (std::int32_t k = 0; k < landmarks * 2; ++k) {
            sums[static_cast<std::size_t>(k)] += normalised.at(k / 2, k % 2);
        }
    }
    for (std::int32_t k = 0; k < landmarks * 2; ++k) {
        mean.at(k / 2, k % 2) = static_cast<float>(sums[static_cast<std::size_t>(k)] /
                                                   static_cast<double>(faces.size()));
    }
    return mean;
}

// Each face starts once from the mean shape and otherwise from the shapes of other faces,
// as a fit meets faces that differ from the mean.
std::vector<Sample> startingSamples(const std::vector<TrainingFace>& faces, const LiteMat& mean,
                                    int initialShapes, std::mt19937& random) {
    std::uniform_int_distribution<std::size_t> other(0, faces.size() - 1);
    std::vector<Sample> samples;
    for (const TrainingFace& face : faces) {
        for (int k = 0; k < initialShapes; ++k) {
            Sample sample;
            sample.face = &face;
            sample.truth = project(shapeOf(face.points), face.box);
            const TrainingFace& start = faces[other(random)];
            sample.current =
                reproject(k == 0 ? mean : project(shapeOf(start.points), start.box), face.box);
            samples.push_back(std::move(sample));
        }
    }
    return samples;
}

// The correction the stage has to learn, turned into the mean shape's frame: the fit maps a
// regressed displacement d to scale x R d, so d = R^T (truth - current) / scale.
void prepareSample(Sample& sample, const LiteMat& mean) {
    const FaceBox& box = sample.face->box;
    const LiteMat normalised = project(sample.current, box);
    sample.transform = similarityTransform(normalised, mean);
    const LiteMat& r = sample.transform.rotation;
    sample.residual = LiteMat(LiteMat::kFloat32, normalised.rows(), 2);
    for (std::int32_t l = 0; l < normalised.rows(); ++l) {
        const float dx = sample.truth.at(l, 0) - normalised.at(l, 0);
        const float dy = sample.truth.at(l, 1) - normalised.at(l, 1);
        sample.residual.at(l, 0) = (r.at(0, 0) * dx + r.at(1, 0) * dy) / sample.transform.scale;
        sample.residual.at(l, 1) = (r.at(0, 1) * dx + r.at(1, 1) * dy) / sample.transform.scale;
    }
}

// The pixel at an offset around landmark l, placed as the fitter places it.
std::uint8_t pixelAt(const Sample& sample, std::int32_t l, Offset offset) {
    const LiteMat& r = sample.transform.rotation;
    const float scale = sample.transform.scale;
    const FaceBox& box = sample.face->box;
    const float rx = (r.at(0, 0) * offset.x + r.at(0, 1) * offset.y) * scale;
    const float ry = (r.at(1, 0) * offset.x + r.at(1, 1) * offset.y) * scale;
    const GreyImage& image = sample.face->image;
    return image.at(clampedSamplePosition(box.scaleX * rx + sample.current.at(l, 0), image.width),
                    clampedSamplePosition(box.scaleY * ry + sample.current.at(l, 1), image.height));
}

Offset offsetInDisc(float radius, std::mt19937& random) {
    std::uniform_real_distribution<float> unit(0.0f, 1.0f);
    const float distance = radius * std::sqrt(unit(random));
    const float angle = 2.0f * std::numbers::pi_v<float> * unit(random);
    return {distance * std::cos(angle), distance * std::sin(angle)};
}

// The pixel differences of every candidate pair on every sample, pair-major.
std::vector<std::int16_t> pixelDifferences(const std::vector<Sample>& samples, std::int32_t l,
                                           const std::vector<PixelPair>& pairs) {
    std::vector<std::int16_t> differences(pairs.size() * samples.size());
    for (std::size_t p = 0; p < pairs.size(); ++p) {
        for (std::size_t i = 0; i < samples.size(); ++i) {
            differences[p * samples.size() + i] = static_cast<std::int16_t>(
                pixelAt(samples[i], l, pairs[p].first) - pixelAt(samples[i], l, pairs[p].second));
        }
    }
    return differences;
}

struct Split {
    std::size_t pair = 0;
    int threshold = 256;  // beyond every difference: all samples go left
    double score = -1.0;
};

// The split of `members` that removes the most variance of the landmark's residual: it
// maximises the sum over both sides of |sum of residuals|^2 / count.
Split bestSplit(const std::vector<Sample>& samples, std::int32_t l,
                const std::vector<std::int16_t>& differences, std::size_t pairCount,
                const std::vector<std::size_t>& members, std::mt19937& random) {
    Split best;
    if (members.size() < 2) {
        return best;
    }
    double totalX = 0;
    double totalY = 0;
    for (std::size_t i : members) {
        totalX += samples[i].residual.at(l, 0);
        totalY += samples[i].residual.at(l, 1);
    }
    std::uniform_int_distribution<std::size_t> pick(0, members.size() - 1);
    for (std::size_t p = 0; p < pairCount; ++p) {
        const std::int16_t* row = differences.data() + p * samples.size();
        const int threshold = row[members[pick(random)]];
        double rightX = 0;
        double rightY = 0;
        std::size_t right = 0;
        for (std::size_t i : members) {
            if (row[i] >= threshold) {
                rightX += samples[i].residual.at(l, 0);
                rightY += samples[i].residual.at(l, 1);
                ++right;
            }
        }
        const std::size_t left = members.size() - right;
        if (left == 0 || right == 0) {
            continue;
        }
        const double leftX = totalX - rightX;
        const double leftY = totalY - rightY;
        const double score = (leftX * leftX + leftY * leftY) / static_cast<double>(left) +
                             (rightX * rightX + rightY * rightY) / static_cast<double>(right);
        if (score > best.score) {
            best = {p, threshold, score};
        }
    }
    return best;
}

// The samples a tree learns from: a window of the shuffled samples, overlapping the next
// tree's window by `overlap` of its length.
std::vector<std::size_t> treeMembers(const std::vector<std::size_t>& shuffled, int tree, int trees,
                                     float overlap) {
    const std::size_t count = shuffled.size();
    const auto window = std::min(
        count, static_cast<std::size_t>(static_cast<double>(count) / trees * (1.0 + overlap)));
    const std::size_t start =
        count * static_cast<std::size_t>(tree) / static_cast<std::size_t>(trees);
    std::vector<std::size_t> members;
    for (std::size_t k = 0; k < window; ++k) {
        members.push_back(shuffled[(start + k) % count]);
    }
    return members;
}

void trainTree(RandomTree& tree, const std::vector<Sample>& samples, std::int32_t l,
               const std::vector<PixelPair>& pairs, const std::vector<std::int16_t>& differences,
               std::vector<std::size_t> members, std::mt19937& random) {
    const std::int32_t splitNodes = tree.nodes / 2;
    std::vector<std::vector<std::size_t>> atNode(static_cast<std::size_t>(tree.nodes));
    atNode[1] = std::move(members);
    for (std::int32_t node = 1; node < splitNodes; ++node) {
        auto& here = atNode[static_cast<std::size_t>(node)];
        const Split split = bestSplit(samples, l, differences, pairs.size(), here, random);
        const PixelPair& pair = pairs[split.pair];
        float* feature = tree.nodeFeatures.floatRow(node);
        feature[0] = pair.first.x;
        feature[1] = pair.first.y;
        feature[2] = pair.second.x;
        feature[3] = pair.second.y;
        tree.thresholds.intAt(node, 0) = split.threshold;
        const std::int16_t* row = differences.data() + split.pair * samples.size();
        for (std::size_t i : here) {
            const std::int32_t child = row[i] >= split.threshold ? 2 * node + 1 : 2 * node;
            atNode[static_cast<std::size_t>(child)].push_back(i);
        }
        here.clear();
    }
}

void trainLandmarkTrees(RandomForest& forest, const std::vector<Sample>& samples, std::int32_t l,
                        int featureCount, float radius, float overlap, std::uint32_t seed) {
    std::mt19937 random(seed);
    std::vector<PixelPair> pairs(static_cast<std::size_t>(featureCount));
    for (PixelPair& pair : pairs) {
        pair = {offsetInDisc(radius, random), offsetInDisc(radius, random)};
    }
    const auto differences = pixelDifferences(samples, l, pairs);
    std::vector<std::size_t> shuffled(samples.size());
    for (std::size_t i = 0; i < shuffled.size(); ++i) {
        shuffled[i] = i;
    }
    std::shuffle(shuffled.begin(), shuffled.end(), random);
    for (std::int32_t t = 0; t < forest.trees; ++t) {
        trainTree(forest.treesOf[static_cast<std::size_t>(l)][static_cast<std::size_t>(t)], samples,
                  l, pairs, differences, treeMembers(shuffled, t, forest.trees, overlap), random);
    }
}

void silentLiblinear(const char*) {}

// One L2-regularised least-squares fit per output (x and y of each landmark) on the binary
// leaf features; liblinear's solution goes into the weights' column for that output.
void trainRegression(LiteMat& weights, const std::vector<Sample>& samples, double regularisation,
                     int threads, const std::function<void()>& outputDone) {
    const std::int32_t active = samples.front().features.cols();
    std::vector<feature_node> nodes(samples.size() * static_cast<std::size_t>(active + 1));
    std::vector<feature_node*> rows(samples.size());
    for (std::size_t i = 0; i < samples.size(); ++i) {
        feature_node* row = nodes.data() + i * static_cast<std::size_t>(active + 1);
        rows[i] = row;
        for (std::int32_t j = 0; j < active; ++j) {
            row[j] = {samples[i].features.intAt(0, j) + 1, 1.0};  // liblinear counts from 1
        }
        row[active] = {-1, 0.0};
    }
    set_print_string_function(silentLiblinear);
    parameter settings{};
    settings.solver_type = L2R_L2LOSS_SVR_DUAL;
    settings.eps = 0.1;
    settings.C = 1.0 / (regularisation * static_cast<double>(samples.size()));
    settings.p = 0.0;
    parallelFor(weights.cols(), threads, [&](int output) {
        std::vector<double> targets(samples.size());
        for (std::size_t i = 0; i < samples.size(); ++i) {
            targets[i] = samples[i].residual.at(output / 2, output % 2);
        }
        problem task{};
        task.l = static_cast<int>(samples.size());
        task.n = weights.rows();
        task.y = targets.data();
        task.x = const_cast<feature_node**>(rows.data());
        task.bias = -1;
        model* solved = ::train(&task, &settings);
        for (std::int32_t column = 0; column < weights.rows(); ++column) {
            weights.at(column, output) = static_cast<float>(solved->w[column]);
        }
        free_and_destroy_model(&solved);
        outputDone();
    });
}

float meanSampleError(const std::vector<Sample>& samples) {
    double sum = 0;
    for (const Sample& sample : samples) {
        sum += normalisedMeanError(pointsOf(sample.current), sample.face->points);
    }
    return static_cast<float>(sum / static_cast<double>(samples.size()));
}

template <typename T>
T valueForStage(const std::vector<T>& values, int stage, T fallback) {
    if (values.empty()) {
        return fallback;
    }
    return values[static_cast<std::size_t>(
        std::min<int>(stage, static_cast<int>(values.size()) - 1))];
}

}  // namespace

TrainingOptions TrainingOptions::from(const LandmarkParams& params) {
    TrainingOptions options;
    options.stages = params.stages;
    options.trees = params.trees;
    options.depth = params.depth;
    options.initialShapes = params.initialShapes;
    options.featuresPerStage = params.featuresPerStage;
    options.radiusPerStage = params.radiusPerStage;
    options.overlap = params.overlap;
    return options;
}

void parallelFor(int count, int threads, const std::function<void(int)>& work) {
    std::atomic<int> next{0};
    auto worker = [&] {
        for (int k = next++; k < count; k = next++) {
            work(k);
        }
    };
    std::vector<std::thread> pool;
    for (int t = 1; t < std::max(threads, 1); ++t) {
        pool.emplace_back(worker);
    }
    worker();
    for (std::thread& thread : pool) {
        thread.join();
    }
}

LandmarkModel trainLandmarkModel(const std::vector<TrainingFace>& training,
                                 const std::vector<TrainingFace>& validation,
                                 const TrainingOptions& options, const StageProgress& progress,
                                 const std::function<void(const StageSummary&)>& summary) {
    std::mt19937 random(options.seed);
    LandmarkModel model;
    model.landmarks = static_cast<std::int32_t>(training.front().points.size());
    model.meanShape = meanShapeOf(training);
    model.forests.resize(static_cast<std::size_t>(options.stages));
    model.weights.resize(static_cast<std::size_t>(options.stages));
    std::vector<Sample> samples =
        startingSamples(training, model.meanShape, std::max(options.initialShapes, 1), random);
    std::vector<LiteMat> validationShapes;
    for (const TrainingFace& face : validation) {
        validationShapes.push_back(reproject(model.meanShape, face.box));
    }
    const std::int32_t leaves = std::int32_t{1} << (options.depth - 1);
    const std::int32_t columns = model.landmarks * options.trees * leaves;
    std::mutex progressLock;
    for (int stage = 0; stage < options.stages; ++stage) {
        const auto started = std::chrono::steady_clock::now();
        const double totalWork = 2.0 * model.landmarks + 2.0 * model.landmarks;
        double doneWork = 0;
        auto step = [&] {
            std::lock_guard lock(progressLock);
            doneWork += 1;
            if (progress) {
                progress(stage, doneWork / totalWork);
            }
        };
        for (Sample& sample : samples) {
            prepareSample(sample, model.meanShape);
        }
        RandomForest& forest = model.forests[static_cast<std::size_t>(stage)];
        forest = RandomForest(model.landmarks, options.trees, options.depth);
        const int featureCount = valueForStage(options.featuresPerStage, stage, 500);
        const float radius = valueForStage(options.radiusPerStage, stage, 0.1f);
        const auto stageSeed = static_cast<std::uint32_t>(random());
        parallelFor(model.landmarks, options.threads, [&](int l) {
            trainLandmarkTrees(forest, samples, l, featureCount, radius, options.overlap,
                               stageSeed + static_cast<std::uint32_t>(l));
            // Tree building costs about as much as the regression of two outputs.
            step();
            step();
        });
        // The trees are built with the landmark index set; the fitter and the file ignore it.
        parallelFor(static_cast<int>(samples.size()), options.threads, [&](int i) {
            Sample& sample = samples[static_cast<std::size_t>(i)];
            sample.features =
                localBinaryFeatures(model, stage, sample.face->image.view(), sample.current,
                                    sample.face->box, sample.transform);
        });
        LiteMat& weights = model.weights[static_cast<std::size_t>(stage)];
        weights = LiteMat(LiteMat::kFloat32, columns, 2 * model.landmarks);
        trainRegression(weights, samples, options.regularisation, options.threads, step);
        model.stages = stage + 1;
        parallelFor(static_cast<int>(samples.size()), options.threads, [&](int i) {
            Sample& sample = samples[static_cast<std::size_t>(i)];
            sample.current =
                fitStage(sample.face->image.view(), sample.face->box, model, stage, sample.current);
        });
        double validationSum = 0;
        for (std::size_t k = 0; k < validation.size(); ++k) {
            validationShapes[k] = fitStage(validation[k].image.view(), validation[k].box, model,
                                           stage, validationShapes[k]);
            validationSum +=
                normalisedMeanError(pointsOf(validationShapes[k]), validation[k].points);
        }
        StageSummary report;
        report.stage = stage;
        report.seconds =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
        report.trainingError = meanSampleError(samples);
        report.validationError =
            validation.empty()
                ? 0.0f
                : static_cast<float>(validationSum / static_cast<double>(validation.size()));
        if (summary) {
            summary(report);
        }
    }
    // Fitted as a loaded model is; without memory for that its fits read the floats.
    static_cast<void>(packWeights(model));
    return model;
}

float meanFitError(const LandmarkModel& model, const std::vector<TrainingFace>& faces) {
    double sum = 0;
    for (const TrainingFace& face : faces) {
        sum += normalisedMeanError(pointsOf(fitLandmarks(face.image.view(), face.box, model)),
                                   face.points);
    }
    return static_cast<float>(sum / static_cast<double>(faces.size()));
}

float meanShapeError(const LandmarkModel& model, const std::vector<TrainingFace>& faces) {
    double sum = 0;
    for (const TrainingFace& face : faces) {
        sum += normalisedMeanError(pointsOf(reproject(model.meanShape, face.box)), face.points);
    }
    return static_cast<float>(sum / static_cast<double>(faces.size()));
}

}  // namespace velvix::train
