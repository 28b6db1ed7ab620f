#pragma once

#include <dshow.h>
#include <wrl/client.h>

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "camera_formats.hpp"
#include "velvix/virtual_camera/windows_camera.hpp"

namespace velvix::virtual_camera {

// Where a stream delivers: the allocator agreed on with the connected input pin, that pin, and
// the format of the connection.
struct StreamTarget {
    Microsoft::WRL::ComPtr<IMemAllocator> allocator;
    Microsoft::WRL::ComPtr<IMemInputPin> input;
    CameraFormat format;
    std::string ringName;
};

// The camera's streaming thread. While the graph runs it delivers one sample per frame
// period, stamped with its stream time on the graph's clock (or on the system's clock in a
// graph without one), through the bridge that every reader of the ring shares: the newest
// whole frame, scaled when the ring's size differs (and the ring asked for this size), or the
// placeholder while there is no frame. Paused, it delivers nothing: a live source cannot cue.
class CameraStream {
  public:
    // Commits the allocator and starts the thread, paused; nothing when the allocator cannot
    // be committed.
    static std::unique_ptr<CameraStream> start(StreamTarget target);
    // Stops the thread and decommits the allocator, which also frees a thread that waits for
    // a buffer.
    ~CameraStream();
    CameraStream(const CameraStream&) = delete;
    CameraStream& operator=(const CameraStream&) = delete;

    // Delivers from the graph's start time `start` on `clock`, which may be null.
    void run(REFERENCE_TIME start, IReferenceClock* clock);
    void pause();

  private:
    enum class Phase { paused, running, stopping };

    // The time base of one run: stream time is clock time less `start`; without a clock it is
    // the system clock's time less `systemStart`.
    struct Schedule {
        Microsoft::WRL::ComPtr<IReferenceClock> clock;
        REFERENCE_TIME start = 0;
        std::uint64_t systemStart = 0;
    };

    class SampleWriter;

    explicit CameraStream(StreamTarget target);
    void streamFrames();
    REFERENCE_TIME streamTime(const Schedule& schedule) const;
    // False when a change of phase came first.
    bool waitForFrame(const Schedule& schedule, std::int64_t frame);
    bool waitOnClock(const Schedule& schedule, std::int64_t frame);
    bool deliver(const std::uint8_t* data, std::size_t bytes);
    void wakeStreamingThread();

    StreamTarget target_;
    ReadingMark readingMark_;
    HANDLE wake_;  // auto-reset: a change of phase
    HANDLE tick_;  // auto-reset: the clock's advice
    std::mutex mutex_;
    Phase phase_ = Phase::paused;
    Schedule schedule_;
    std::uint64_t runs_ = 0;
    // The streaming thread's own: the sample being delivered.
    std::int64_t frame_ = 0;
    bool discontinuity_ = true;
    std::thread thread_;
};

}  // namespace velvix::virtual_camera
