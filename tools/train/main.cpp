// velvix-train: trains the landmark model from folders of annotated faces.
//   velvix-train [options] OUTPUT TRAINING_FOLDER...
// Options: --validation FOLDER, --limit N (faces per folder), --stages N, --trees N,
// --depth N, --initial N, --regularisation X, --rotations N, --no-mirror, --seed N.

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "augmentation.hpp"
#include "face_data.hpp"
#include "lbf_trainer.hpp"
#include "model_writer.hpp"
#include "progress_bar.hpp"

namespace {

using namespace velvix;
using namespace velvix::train;

struct CommandLine {
    std::string output;
    std::vector<std::string> folders;
    std::string validation;
    int limit = 0;
    TrainingOptions training = TrainingOptions::from(landmarkParams());
    AugmentationOptions augmentation;
};

constexpr char kUsage[] =
    "usage: velvix-train [--validation FOLDER] [--limit N] [--stages N] [--trees N]\n"
    "                    [--depth N] [--initial N] [--regularisation X]\n"
    "                    [--rotations N] [--no-mirror] [--seed N]\n"
    "                    OUTPUT TRAINING_FOLDER...\n"
    "Trains a landmark model on the annotated faces of the folders and writes it to OUTPUT.\n";

int usage(const std::string& problem) {
    std::fprintf(stderr, "velvix-train: %s\n%s", problem.c_str(), kUsage);
    return 2;
}

// What is wrong with the command line; empty when nothing is.
std::string parse(int argc, char** argv, CommandLine& command) {
    std::vector<std::string> positional;
    for (int i = 1; i < argc; ++i) {
        const std::string option = argv[i];
        const bool hasValue = i + 1 < argc;
        if (option == "--no-mirror") {
            command.augmentation.mirror = false;
        } else if (option.rfind("--", 0) == 0 && !hasValue) {
            return option + " needs a value";
        } else if (option == "--validation") {
            command.validation = argv[++i];
        } else if (option == "--limit") {
            command.limit = std::atoi(argv[++i]);
        } else if (option == "--stages") {
            command.training.stages = std::atoi(argv[++i]);
        } else if (option == "--trees") {
            command.training.trees = std::atoi(argv[++i]);
        } else if (option == "--depth") {
            command.training.depth = std::atoi(argv[++i]);
        } else if (option == "--initial") {
            command.training.initialShapes = std::atoi(argv[++i]);
        } else if (option == "--regularisation") {
            command.training.regularisation = std::atof(argv[++i]);
        } else if (option == "--rotations") {
            command.augmentation.rotations = std::atoi(argv[++i]);
        } else if (option == "--seed") {
            command.training.seed = static_cast<std::uint32_t>(std::atol(argv[++i]));
        } else if (option.rfind("--", 0) == 0) {
            return "unknown option " + option;
        } else {
            positional.push_back(option);
        }
    }
    if (positional.size() < 2) {
        return positional.empty() ? "no OUTPUT and no TRAINING_FOLDER given"
                                  : "no TRAINING_FOLDER given";
    }
    if (command.training.stages < 1 || command.training.trees < 1 || command.training.depth < 1 ||
        command.training.depth > 16) {
        return "--stages and --trees need 1 or more, --depth 1 to 16";
    }
    command.output = positional.front();
    command.folders.assign(positional.begin() + 1, positional.end());
    std::vector<std::string> read = command.folders;
    read.push_back(command.validation);
    return folderProblem(read);
}

void reportBoxes(const std::string& folder, const std::vector<TrainingFace>& faces,
                 const std::string& detectorName) {
    const auto detected = std::count_if(faces.begin(), faces.end(),
                                        [](const TrainingFace& face) { return face.detected; });
    std::fprintf(
        stderr,
        "%s: %zu faces, %ld boxed by the %s detector, %ld missed (boxed from their points)\n",
        folder.c_str(), faces.size(), static_cast<long>(detected), detectorName.c_str(),
        static_cast<long>(faces.size()) - static_cast<long>(detected));
}

}  // namespace

int main(int argc, char** argv) {
    if (argc > 1 && (std::string(argv[1]) == "--help" || std::string(argv[1]) == "-h")) {
        std::printf("%s", kUsage);
        return 0;
    }
    CommandLine command;
    if (const std::string problem = parse(argc, argv, command); !problem.empty()) {
        return usage(problem);
    }
    const auto detector = makeFaceDetector();
    std::vector<TrainingFace> faces;
    for (const std::string& folder : command.folders) {
        auto read = readFaceFolder(folder, command.limit, detector.get());
        reportBoxes(folder, read, detector->name());
        faces.insert(faces.end(), read.begin(), read.end());
    }
    if (faces.empty()) {
        std::fprintf(stderr, "velvix-train: no annotated faces found\n");
        return 1;
    }
    std::mt19937 random(command.training.seed);
    faces = augmentedFaces(faces, command.augmentation, random);
    std::vector<TrainingFace> validation;
    if (!command.validation.empty()) {
        validation = readFaceFolder(command.validation, 0, detector.get());
        reportBoxes(command.validation, validation, detector->name());
    }
    std::fprintf(stderr,
                 "training on %zu faces (with mirrored and turned copies), %zu to validate\n",
                 faces.size(), validation.size());
    ProgressBar bar(stderr);
    int shownStage = -1;
    const auto progress = [&](int stage, double done) {
        if (stage != shownStage) {
            shownStage = stage;
            bar.start("stage " + std::to_string(stage + 1) + "/" +
                      std::to_string(command.training.stages));
        }
        bar.show(done);
    };
    const auto summary = [&](const StageSummary& report) {
        bar.finish();
        std::fprintf(stderr, "stage %d: %.1f s, training error %.4f, validation error %.4f\n",
                     report.stage + 1, report.seconds, report.trainingError,
                     report.validationError);
    };
    const LandmarkModel model =
        trainLandmarkModel(faces, validation, command.training, progress, summary);
    if (!writeLandmarkModel(command.output, model)) {
        std::fprintf(stderr, "velvix-train: cannot write %s\n", command.output.c_str());
        return 1;
    }
    std::fprintf(stderr, "wrote %s\n", command.output.c_str());
    return 0;
}
