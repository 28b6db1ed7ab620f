#include <algorithm>
#include <cmath>
#include <exception>
#include <opencv2/dnn.hpp>
#include <opencv2/imgproc.hpp>

#include "blazeface.hpp"
#include "velvix/platform/file_digest.hpp"
#include "velvix/platform/log.hpp"

namespace velvix {
namespace {

// OpenCV's messages run over several lines; the first says what went wrong.
std::string firstLine(const std::string& text) {
    const auto start = text.find_first_not_of(" \n");
    if (start == std::string::npos) {
        return "unknown error";
    }
    return text.substr(start, text.find('\n', start) - start);
}

ScoredFace calibrated(const ScoredFace& face) {
    const BoxCalibration& c = kBlazeFaceCalibration;
    const float width = face.width * c.width;
    const float height = face.height * c.height;
    const float centreX = face.x + face.width * (0.5f + c.centreX);
    const float centreY = face.y + face.height * (0.5f + c.centreY);
    return {face.score, centreX - width / 2, centreY - height / 2, width, height, face.keypoints};
}

// Runs one of the networks on a letterboxed copy of each picture. Every buffer is kept from
// one detection to the next.
class BlazeFaceDetector final : public FaceDetector {
  public:
    BlazeFaceDetector(cv::dnn::Net net, const BlazeFaceNetwork& network, std::string fileName)
        : net_(std::move(net)),
          network_(network),
          fileName_(std::move(fileName)),
          outputNames_(net_.getUnconnectedOutLayersNames()) {
        const int side = network.inputSide;
        const int shape[] = {1, side, side, 3};
        input_.create(4, shape, CV_32F);
    }

    std::string name() const override { return std::string(network_.label) + " " + fileName_; }
    std::vector<DetectedFace> detect(ConstPicture image) override {
        if (image.width <= 0 || image.height <= 0) {
            return {};
        }
        const Letterbox box = letterbox(image);
        faces_.clear();
        try {
            net_.setInput(input_);
            net_.forward(outputs_, outputNames_);
            decodeBlazeFace(outputsByShape(), network_.inputSide, kBlazeFaceMinimumScore, faces_);
        } catch (const std::exception&) {
            return {};  // the network was checked at load; a failure now finds no face
        }
        mergeOverlappingFaces(faces_, kBlazeFaceSameFaceOverlap, merged_);
        std::vector<DetectedFace> found;
        found.reserve(merged_.size());
        for (const ScoredFace& face : merged_) {
            found.push_back(inPicture(calibrated(face), box));
        }
        return found;
    }

    // The outputs of a blank picture, or the problem when they are not BlazeFace's.
    Result<> check() {
        try {
            input_.setTo(0);
            net_.setInput(input_);
            net_.forward(outputs_, outputNames_);
            if (outputsByShape().fineBoxes == nullptr) {
                return Failure{"its outputs are not BlazeFace's"};
            }
            return {};
        } catch (const std::exception& error) {
            return Failure{firstLine(error.what())};
        }
    }

  private:
    struct Letterbox {
        float scale;
        float padX;
        float padY;
    };

    // A face of the letterboxed input in the pixels of the picture given.
    static DetectedFace inPicture(const ScoredFace& face, const Letterbox& box) {
        const auto pixel = [&box](float value, float padding) {
            return static_cast<int>(std::lround((value - padding) / box.scale));
        };
        DetectedFace detected{pixel(face.x, box.padX),
                              pixel(face.y, box.padY),
                              pixel(face.width, 0),
                              pixel(face.height, 0),
                              face.score,
                              {}};
        for (const PointF& point : face.keypoints) {
            detected.keypoints.push_back(
                {(point.x - box.padX) / box.scale, (point.y - box.padY) / box.scale});
        }
        return detected;
    }

    // The picture scaled to fit the square input and centred in it, the rest mid-grey, as
    // RGB values from -1 to 1.
    Letterbox letterbox(ConstPicture image) {
        const int width = image.width;
        const int height = image.height;
        const int side = network_.inputSide;
        const float scale = std::min(static_cast<float>(side) / static_cast<float>(width),
                                     static_cast<float>(side) / static_cast<float>(height));
        const int scaledWidth =
            std::clamp(static_cast<int>(std::lround(static_cast<float>(width) * scale)), 1, side);
        const int scaledHeight =
            std::clamp(static_cast<int>(std::lround(static_cast<float>(height) * scale)), 1, side);
        const cv::Mat picture(height, width, CV_8UC3, const_cast<unsigned char*>(image.pixels),
                              static_cast<std::size_t>(image.stride));
        cv::resize(picture, scaled_, cv::Size(scaledWidth, scaledHeight), 0, 0, cv::INTER_AREA);
        const int padX = (side - scaledWidth) / 2;
        const int padY = (side - scaledHeight) / 2;
        input_.setTo(0);
        auto* values = input_.ptr<float>();
        for (int y = 0; y < scaledHeight; ++y) {
            const unsigned char* row = scaled_.ptr<unsigned char>(y);
            float* out = values + (static_cast<std::ptrdiff_t>(y + padY) * side + padX) * 3;
            for (int x = 0; x < scaledWidth; ++x) {
                for (int c = 0; c < 3; ++c) {
                    out[x * 3 + c] = static_cast<float>(row[x * 3 + 2 - c]) / 127.5f - 1.0f;
                }
            }
        }
        return {scale, static_cast<float>(padX), static_cast<float>(padY)};
    }

    // The four outputs told apart by their sizes.
    BlazeFaceOutputs outputsByShape() const {
        BlazeFaceOutputs outputs;
        for (const cv::Mat& output : outputs_) {
            if (output.depth() != CV_32F) {
                continue;
            }
            const auto* values = output.ptr<float>();
            switch (output.total()) {
                case kBlazeFaceFineAnchors:
                    outputs.fineScores = values;
                    break;
                case kBlazeFaceCoarseAnchors:
                    outputs.coarseScores = values;
                    break;
                case kBlazeFaceFineAnchors* kBlazeFaceRegressors:
                    outputs.fineBoxes = values;
                    break;
                case kBlazeFaceCoarseAnchors* kBlazeFaceRegressors:
                    outputs.coarseBoxes = values;
                    break;
                default:
                    break;
            }
        }
        const bool complete =
            outputs.fineScores && outputs.coarseScores && outputs.fineBoxes && outputs.coarseBoxes;
        return complete ? outputs : BlazeFaceOutputs{};
    }

    cv::dnn::Net net_;
    BlazeFaceNetwork network_;
    std::string fileName_;
    std::vector<std::string> outputNames_;
    cv::Mat scaled_;
    cv::Mat input_;
    std::vector<cv::Mat> outputs_;
    std::vector<ScoredFace> faces_;
    std::vector<ScoredFace> merged_;
};

}  // namespace

Result<std::unique_ptr<FaceDetector>> loadBlazeFaceDetector(const std::string& path,
                                                            const BlazeFaceNetwork& network) {
    const auto digest = platform::fileSha256(path);
    if (!digest) {
        return Failure{"the file " + digest.error()};
    }
    if (*digest != network.sha256) {
        return Failure{"it is not the " + std::string(network.label) +
                       " network this program was built for (its SHA-256 differs)"};
    }
    cv::dnn::Net net;
    try {
        net = cv::dnn::readNetFromONNX(path);
    } catch (const std::exception& error) {
        return Failure{firstLine(error.what())};
    }
    if (net.empty()) {
        return Failure{"no network in the file"};
    }
    const auto slash = path.find_last_of('/');
    auto detector = std::make_unique<BlazeFaceDetector>(
        std::move(net), network, path.substr(slash == std::string::npos ? 0 : slash + 1));
    if (const auto checked = detector->check(); !checked) {
        return Failure{checked.error()};
    }
    return std::unique_ptr<FaceDetector>(std::move(detector));
}

}  // namespace velvix
