#pragma once

#include <atomic>

namespace velvix {

inline constexpr int kNoCameraChosen = -2;
inline constexpr int kCameraOff = -1;
inline constexpr int kDefaultSmoothLevel = 35;

// Which pixels of a frame with a face the smoothing may reach.
enum class MaskShape {
    faceOutline,  // the face's own outline with a soft edge
    rectangle,    // the face step's rectangle as a whole, hard-edged
};

// Settings in force, owned by the frame worker's thread.
struct AppliedSettings {
    int seenGeneration = 0;
    int activeCamera = kNoCameraChosen;
    bool smoothOn = false;
    int smoothLevel = kDefaultSmoothLevel;
    MaskShape maskShape = MaskShape::faceOutline;
};

// What the user interface asks of the frame worker, and what the worker applies.
// There is no lock: the user interface stores the requested fields and then the generation
// (release); the worker loads the generation (acquire) and then the fields.
class ControlBlock {
  public:
    ControlBlock() = default;

    // User-interface thread.
    void requestCamera(int index);
    void requestSmoothOn(int level);
    void requestSmoothOff();

    // Worker thread: takes over the requested settings when they changed since the last call
    // and returns the camera the user wants.
    int takeOverSettings();

    // Worker thread only.
    AppliedSettings applied;

  private:
    void publishRequest();

    // A fresh process has no pending change: the requests start as copies of the applied values.
    std::atomic<int> generation_{AppliedSettings{}.seenGeneration};
    int uiCounter_ = 0;
    std::atomic<int> requestedCamera_{AppliedSettings{}.activeCamera};
    std::atomic<bool> requestedSmoothOn_{AppliedSettings{}.smoothOn};
    std::atomic<int> requestedSmoothLevel_{AppliedSettings{}.smoothLevel};
};

}  // namespace velvix
