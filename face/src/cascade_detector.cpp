#include "cascade_detector.hpp"

#include <algorithm>
#include <opencv2/imgproc.hpp>

namespace velvix {
namespace {

// Chosen by measured recall on annotated faces placed into webcam-sized frames and by speed
// (see the face detection data test): of OpenCV's frontal-face cascades, "alt2" finds the
// most; a scale step of 1.2 loses 3 to 7 percent of the faces, and one neighbour less adds
// false faces elsewhere in the picture, which may then be wider than the real one. Faces
// narrower than an eighth of the picture (160 pixels of a 1280-wide frame) are too far away to
// smooth, and not looking for them saves a third of the time; the cascade's own window of 20
// pixels is the floor.
constexpr double kScaleStep = 1.1;
constexpr int kMinNeighbours = 3;
constexpr int kSmallestFaceShare = 8;
constexpr int kCascadeWindow = 20;

}  // namespace

CascadeFaceDetector::CascadeFaceDetector(const std::string& cascadeFile)
    : cascadeFile_(cascadeFile.empty() ? kCascadeFileName : cascadeFile) {
    if (cascadeFile.empty()) {
        return;
    }
    // OpenCV throws on some damaged cascades (window sizes it cannot allocate for, say) instead
    // of failing the load: such a cascade is one that cannot be read.
    try {
        cascade_.load(cascadeFile);
    } catch (const cv::Exception&) {
        cascade_ = cv::CascadeClassifier();
    }
}

// A cascade that is missing or damaged must be said at start, in the line that names the
// detector, or smoothing would silently cover whole pictures.
std::string CascadeFaceDetector::name() const {
    if (!ready()) {
        return "OpenCV cascade " + cascadeFile_ +
               ", which cannot be read: no face will be found, and smoothing covers the whole "
               "picture";
    }
    const auto slash = cascadeFile_.find_last_of("/\\");
    return "OpenCV cascade " + cascadeFile_.substr(slash == std::string::npos ? 0 : slash + 1);
}

std::vector<DetectedFace> CascadeFaceDetector::detect(ConstPicture image) {
    const int width = image.width;
    const int height = image.height;
    if (cascade_.empty() || width <= 0 || height <= 0) {
        return {};
    }
    const cv::Mat colour(height, width, CV_8UC3, const_cast<unsigned char*>(image.pixels),
                         static_cast<std::size_t>(image.stride));
    cv::Mat grey;
    cv::cvtColor(colour, grey, cv::COLOR_BGR2GRAY);
    cv::equalizeHist(grey, grey);
    std::vector<cv::Rect> found;
    const int smallest = std::max(kCascadeWindow, width / kSmallestFaceShare);
    try {
        cascade_.detectMultiScale(grey, found, kScaleStep, kMinNeighbours, 0,
                                  cv::Size(smallest, smallest));
    } catch (const cv::Exception& error) {
        failures_.say(platform::LogCategory::face, platform::LogSeverity::warn,
                      "face cascade " + cascadeFile_ + ": detection failed, no face found (" +
                          error.err + ")");
        return {};
    }
    std::vector<DetectedFace> faces;
    faces.reserve(found.size());
    for (const cv::Rect& face : found) {
        faces.push_back({face.x, face.y, face.width, face.height, 1, {}});
    }
    return faces;
}

}  // namespace velvix
