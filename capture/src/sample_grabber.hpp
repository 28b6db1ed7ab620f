#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <vector>

#include "velvix/capture/capture_backend.hpp"

namespace velvix {

// An event that stays signalled until it is reset.
class ManualResetEvent {
  public:
    void set();
    void reset();
    bool isSet() const;
    // True when the event is (or becomes) signalled within the time.
    bool waitFor(std::chrono::milliseconds timeout) const;

  private:
    mutable std::mutex mutex_;
    mutable std::condition_variable changed_;
    bool signalled_ = false;
};

// Hands the newest sample of a stream from the streaming thread to the thread that polls and
// fetches. A sample is kept until it has been fetched: samples arriving meanwhile are
// dropped, so the fetched frame is the first one delivered after the previous fetch.
class SampleGrabberCallback final : public SampleSink {
  public:
    // Streaming thread.
    void deliverSample(const std::uint8_t* data, std::size_t length) override;

    // Owning thread. Sizes the frame copy once; later calls keep the first size. Samples of
    // exactly byteCount bytes are taken, or, for compressed frames, any of 1 to byteCount.
    enum class SampleLength { exact, upTo };
    void prepareBuffer(std::size_t byteCount, SampleLength accepted = SampleLength::exact);

    struct PollResult {
        bool frameWaiting = false;
        int freezeCount = 0;  // polls since the last delivered frame, before this one
    };
    PollResult poll();

    bool waitForFrame(std::chrono::milliseconds timeout) const { return event_.waitFor(timeout); }
    // Runs use(frame copy, its length) under the lock, then marks the frame fetched.
    template <typename Use>
    void fetch(Use&& use) {
        {
            std::lock_guard guard(lock_);
            use(static_cast<const std::uint8_t*>(frameCopy_.data()), frameLength_);
            frameWaiting_ = false;
        }
        event_.reset();
    }

    std::size_t lastLength() const;

  private:
    bool fits(std::size_t length) const;

    mutable std::mutex lock_;
    ManualResetEvent event_;
    // Guarded by lock_.
    int freezeCount_ = 0;
    std::size_t lastLength_ = 0;
    std::size_t frameLength_ = 0;
    bool frameWaiting_ = false;
    std::vector<std::uint8_t> frameCopy_;
    // Written before streaming starts, read-only while it runs.
    std::size_t byteCount_ = 0;
    SampleLength accepted_ = SampleLength::exact;
    bool bufferReady_ = false;
};

}  // namespace velvix
