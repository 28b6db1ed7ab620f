// velvix-landmark-accuracy: how well a landmark model fits annotated faces.
//   velvix-landmark-accuracy --mapping FOLDER98
//       error of each point group when 98-point annotations are cut to 68 points and mapped
//       back, and the lower brow depth that fits them best
//   velvix-landmark-accuracy MODEL [--68 FOLDER] [--98 FOLDER] [--curve PNG]
//       normalised mean error over the 68 mapped points of a 68-point folder and over all 98
//       points of a 98-point folder, faces boxed the way the face step boxes them; faces the
//       detector misses are reported apart. --curve writes the cumulative error curves
//       (68-point folder red, 98-point folder blue).

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "accuracy.hpp"
#include "face_data.hpp"
#include "velvix/face/face_detector.hpp"

namespace {

using namespace velvix;
using namespace velvix::train;

constexpr float kCurveLimit = 0.15f;

constexpr char kUsage[] =
    "usage: velvix-landmark-accuracy --mapping FOLDER98\n"
    "       velvix-landmark-accuracy MODEL [--68 FOLDER] [--98 FOLDER] [--curve PNG]\n"
    "  --mapping FOLDER98  how well the 68-to-98 point mapping fits the faces in FOLDER98\n"
    "  MODEL               the landmark model to score, on the faces of the folders given\n"
    "  --curve PNG         draw the share of faces against the error\n";

int usage(const std::string& problem) {
    std::fprintf(stderr, "velvix-landmark-accuracy: %s\n%s", problem.c_str(), kUsage);
    return 2;
}

// The lower brow depth is chosen on the faces at even positions of the folder (in name
// order) and every group is scored on the faces at odd positions, which that choice never saw.
int reportMapping(const std::string& folder) {
    const auto faces = readFaceFolder(folder, 0);
    if (faces.size() < 2) {
        std::fprintf(stderr, "fewer than two 98-point faces in %s\n", folder.c_str());
        return 1;
    }
    std::vector<TrainingFace> tuning;
    std::vector<TrainingFace> heldOut;
    for (std::size_t i = 0; i < faces.size(); ++i) {
        (i % 2 == 0 ? tuning : heldOut).push_back(faces[i]);
    }
    const float best = bestLowerBrowDepth(tuning);
    const std::vector<PointGroup> lowerBrow{lowerBrowGroup()};
    std::printf(
        "lower brow depth on the %zu faces at even positions: best %.2f (error %.5f), "
        "the mapping's %.2f (error %.5f)\n",
        tuning.size(), best, mappingErrors(tuning, lowerBrow, best)[0], kLowerBrowDepth,
        mappingErrors(tuning, lowerBrow)[0]);
    const auto& groups = mappingGroups();
    const auto errors = mappingErrors(heldOut, groups);
    std::printf(
        "68-to-98 mapping on the %zu faces at odd positions, mean error by "
        "outer-eye-corner distance:\n",
        heldOut.size());
    for (std::size_t g = 0; g < groups.size(); ++g) {
        std::printf("  %-32s %.4f\n", groups[g].name.c_str(), errors[g]);
    }
    return 0;
}

std::vector<float> reportFolder(const LandmarkModel& model, FaceDetector& detector,
                                const std::string& folder, const std::vector<int>& indices,
                                const char* label) {
    const auto faces = readFaceFolder(folder, 0, &detector);
    const FaceErrors errors = fitErrors(model, faces, indices);
    std::printf(
        "%s (%s): %zu faces; detected %zu: mean error %.4f, %.1f %% at most 0.08; "
        "missed by the detector %zu: mean error %.4f\n",
        folder.c_str(), label, faces.size(), errors.detected.size(), mean(errors.detected),
        100.0f * shareAtMost(errors.detected, 0.08f), errors.missed.size(), mean(errors.missed));
    return errors.detected;
}

}  // namespace

int main(int argc, char** argv) {
    const std::string first = argc > 1 ? argv[1] : "";
    if (first == "--help" || first == "-h") {
        std::printf("%s", kUsage);
        return 0;
    }
    if (first == "--mapping") {
        if (argc != 3) {
            return usage("--mapping needs one folder");
        }
        const std::string problem = folderProblem({argv[2]});
        return problem.empty() ? reportMapping(argv[2]) : usage(problem);
    }
    if (argc < 2 || first.starts_with("--")) {
        return usage("no model given");
    }
    if (argc % 2 != 0) {
        return usage(std::string(argv[argc - 1]) + " needs a value");
    }
    std::string folder68;
    std::string folder98;
    std::string curvePath;
    for (int i = 2; i + 1 < argc; i += 2) {
        const std::string option = argv[i];
        if (option == "--68") {
            folder68 = argv[i + 1];
        } else if (option == "--98") {
            folder98 = argv[i + 1];
        } else if (option == "--curve") {
            curvePath = argv[i + 1];
        } else {
            return usage("unknown option " + option);
        }
    }
    if (const std::string problem = folderProblem({folder68, folder98}); !problem.empty()) {
        return usage(problem);
    }
    std::FILE* file = std::fopen(argv[1], "rb");
    if (file == nullptr) {
        std::fprintf(stderr, "velvix-landmark-accuracy: cannot open %s: %s\n", argv[1],
                     std::strerror(errno));
        return 1;
    }
    LandmarkModel model;
    LandmarkParams params;
    const auto loaded = loadLandmarkModel(file, model, params);
    std::fclose(file);
    if (!loaded) {
        std::fprintf(stderr, "%s: %s\n", argv[1], loaded.error().c_str());
        return 1;
    }
    const auto detector = makeFaceDetector();
    std::vector<std::vector<float>> curves;
    if (!folder68.empty()) {
        curves.push_back(reportFolder(model, *detector, folder68, indicesOf68(), "68 points"));
    }
    if (!folder98.empty()) {
        curves.push_back(reportFolder(model, *detector, folder98, {}, "98 points"));
    }
    if (!curvePath.empty() && !writeErrorCurves(curvePath, curves, kCurveLimit)) {
        std::fprintf(stderr, "cannot write %s\n", curvePath.c_str());
        return 1;
    }
    return 0;
}
