#include "velvix/pipeline/control_block.hpp"

namespace velvix {

void ControlBlock::requestCamera(int index) {
    requestedCamera_.store(index, std::memory_order_relaxed);
    publishRequest();
}

void ControlBlock::requestSmoothOn(int level) {
    requestedSmoothLevel_.store(level, std::memory_order_relaxed);
    requestedSmoothOn_.store(true, std::memory_order_relaxed);
    publishRequest();
}

void ControlBlock::requestSmoothOff() {
    requestedSmoothOn_.store(false, std::memory_order_relaxed);
    publishRequest();
}

void ControlBlock::publishRequest() {
    ++uiCounter_;
    generation_.store(uiCounter_, std::memory_order_release);
}

int ControlBlock::takeOverSettings() {
    const int generation = generation_.load(std::memory_order_acquire);
    int wantedCamera = applied.activeCamera;
    if (generation != applied.seenGeneration) {
        applied.smoothOn = requestedSmoothOn_.load(std::memory_order_relaxed);
        applied.smoothLevel = requestedSmoothLevel_.load(std::memory_order_relaxed);
        wantedCamera = requestedCamera_.load(std::memory_order_relaxed);
    }
    applied.seenGeneration = generation;
    return wantedCamera;
}

}  // namespace velvix
