#include "sample_grabber.hpp"

#include <cstring>

namespace velvix {

void ManualResetEvent::set() {
    {
        std::lock_guard guard(mutex_);
        signalled_ = true;
    }
    changed_.notify_all();
}

void ManualResetEvent::reset() {
    std::lock_guard guard(mutex_);
    signalled_ = false;
}

bool ManualResetEvent::isSet() const {
    std::lock_guard guard(mutex_);
    return signalled_;
}

bool ManualResetEvent::waitFor(std::chrono::milliseconds timeout) const {
    std::unique_lock guard(mutex_);
    return changed_.wait_for(guard, timeout, [this] { return signalled_; });
}

void SampleGrabberCallback::deliverSample(const std::uint8_t* data, std::size_t length) {
    if (event_.isSet() || data == nullptr) {
        return;
    }
    {
        std::lock_guard guard(lock_);
        lastLength_ = length;
        if (!bufferReady_ || !fits(length)) {
            return;
        }
        std::memcpy(frameCopy_.data(), data, length);
        frameLength_ = length;
        frameWaiting_ = true;
        freezeCount_ = 1;
    }
    event_.set();
}

bool SampleGrabberCallback::fits(std::size_t length) const {
    return accepted_ == SampleLength::exact ? length == byteCount_
                                            : length > 0 && length <= byteCount_;
}

void SampleGrabberCallback::prepareBuffer(std::size_t byteCount, SampleLength accepted) {
    if (bufferReady_) {
        return;
    }
    std::lock_guard guard(lock_);
    byteCount_ = byteCount;
    accepted_ = accepted;
    frameCopy_.assign(byteCount, 0);
    frameWaiting_ = false;
    lastLength_ = 0;
    frameLength_ = 0;
    bufferReady_ = true;
}

SampleGrabberCallback::PollResult SampleGrabberCallback::poll() {
    std::lock_guard guard(lock_);
    PollResult result{frameWaiting_, freezeCount_};
    ++freezeCount_;
    return result;
}

std::size_t SampleGrabberCallback::lastLength() const {
    std::lock_guard guard(lock_);
    return lastLength_;
}

}  // namespace velvix
