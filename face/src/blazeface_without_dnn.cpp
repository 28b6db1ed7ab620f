#include "velvix/face/blazeface.hpp"

namespace velvix {

// Built where OpenCV comes without its dnn module (the Windows libraries are made so, which
// keeps their build short): the network cannot run, and callers fall back to the cascade.
bool blazeFaceDetectorBuilt() {
    return false;
}

Result<std::unique_ptr<FaceDetector>> loadBlazeFaceDetector(const std::string&,
                                                            const BlazeFaceNetwork&) {
    return Failure{"this build's OpenCV has no dnn module to run it"};
}

}  // namespace velvix
