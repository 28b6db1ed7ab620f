#include "camera_stream.hpp"

#include <algorithm>
#include <cstring>

#include "velvix/platform/clock.hpp"
#include "velvix/virtual_camera/bridge.hpp"

namespace velvix::virtual_camera {
namespace {

constexpr auto kPeriod = static_cast<REFERENCE_TIME>(kFramePeriod);
constexpr REFERENCE_TIME kMillisecond = 10'000;

}  // namespace

// The bridge's sink: each frame it writes becomes one sample, delivered downstream at once.
class CameraStream::SampleWriter final : public FrameSink {
  public:
    explicit SampleWriter(CameraStream& stream) : stream_(stream) {}
    bool writeFrame(const std::uint8_t* data, std::size_t bytes) override {
        return stream_.deliver(data, bytes);
    }

  private:
    CameraStream& stream_;
};

std::unique_ptr<CameraStream> CameraStream::start(StreamTarget target) {
    if (FAILED(target.allocator->Commit())) {
        return nullptr;
    }
    auto stream = std::unique_ptr<CameraStream>(new CameraStream(std::move(target)));
    stream->thread_ = std::thread([raw = stream.get()] { raw->streamFrames(); });
    return stream;
}

CameraStream::CameraStream(StreamTarget target)
    : target_(std::move(target)),
      readingMark_(target_.ringName),
      wake_(CreateEventW(nullptr, FALSE, FALSE, nullptr)),
      tick_(CreateEventW(nullptr, FALSE, FALSE, nullptr)) {}

CameraStream::~CameraStream() {
    {
        const std::lock_guard lock(mutex_);
        phase_ = Phase::stopping;
    }
    wakeStreamingThread();
    target_.allocator->Decommit();
    if (thread_.joinable()) {
        thread_.join();
    }
    CloseHandle(wake_);
    CloseHandle(tick_);
}

void CameraStream::run(REFERENCE_TIME start, IReferenceClock* clock) {
    {
        const std::lock_guard lock(mutex_);
        phase_ = Phase::running;
        schedule_ = {clock, start, platform::clockNow100ns()};
        ++runs_;
    }
    wakeStreamingThread();
}

void CameraStream::pause() {
    {
        const std::lock_guard lock(mutex_);
        phase_ = Phase::paused;
    }
    wakeStreamingThread();
}

void CameraStream::wakeStreamingThread() {
    if (wake_ != nullptr) {
        SetEvent(wake_);
    }
}

void CameraStream::streamFrames() {
    const HRESULT com = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    const CameraFormat& format = target_.format;
    VirtualCameraBridge bridge({target_.ringName, format.size, format.layout, true},
                               [this] { return std::make_unique<SampleWriter>(*this); });
    std::uint64_t runSeen = 0;
    for (;;) {
        Phase phase;
        Schedule schedule;
        std::uint64_t run = 0;
        {
            const std::lock_guard lock(mutex_);
            phase = phase_;
            schedule = schedule_;
            run = runs_;
        }
        if (phase == Phase::stopping) {
            break;
        }
        if (phase == Phase::paused) {
            WaitForSingleObject(wake_, INFINITE);
            continue;
        }
        if (run != runSeen) {
            // A run that follows a pause goes on at the graph's stream time, which did not
            // move while paused.
            runSeen = run;
            frame_ = std::max<REFERENCE_TIME>(0, (streamTime(schedule) + kPeriod - 1) / kPeriod);
            discontinuity_ = true;
        }
        if (!waitForFrame(schedule, frame_)) {
            continue;
        }
        // A thread that fell behind skips the frames it missed rather than catching up.
        frame_ = std::max(frame_, streamTime(schedule) / kPeriod);
        if (bridge.step(platform::clockNow100ns()) != BridgeFrame::notWritten) {
            discontinuity_ = false;
        }
        ++frame_;
    }
    if (SUCCEEDED(com)) {
        CoUninitialize();
    }
}

REFERENCE_TIME CameraStream::streamTime(const Schedule& schedule) const {
    REFERENCE_TIME now = 0;
    if (schedule.clock != nullptr && SUCCEEDED(schedule.clock->GetTime(&now))) {
        return now - schedule.start;
    }
    return static_cast<REFERENCE_TIME>(platform::clockNow100ns() - schedule.systemStart);
}

bool CameraStream::waitForFrame(const Schedule& schedule, std::int64_t frame) {
    if (schedule.clock != nullptr) {
        return waitOnClock(schedule, frame);
    }
    for (;;) {
        const REFERENCE_TIME left = frame * kPeriod - streamTime(schedule);
        if (left <= 0) {
            return true;
        }
        const auto milliseconds = static_cast<DWORD>((left + kMillisecond - 1) / kMillisecond);
        if (WaitForSingleObject(wake_, milliseconds) == WAIT_OBJECT_0) {
            return false;
        }
    }
}

bool CameraStream::waitOnClock(const Schedule& schedule, std::int64_t frame) {
    ResetEvent(tick_);
    DWORD_PTR advice = 0;
    if (FAILED(schedule.clock->AdviseTime(schedule.start, frame * kPeriod,
                                          reinterpret_cast<HEVENT>(tick_), &advice))) {
        Schedule withoutAdvice = schedule;
        withoutAdvice.clock.Reset();
        withoutAdvice.systemStart =
            platform::clockNow100ns() - static_cast<std::uint64_t>(streamTime(schedule));
        return waitForFrame(withoutAdvice, frame);
    }
    const HANDLE events[] = {wake_, tick_};
    if (WaitForMultipleObjects(2, events, FALSE, INFINITE) == WAIT_OBJECT_0) {
        schedule.clock->Unadvise(advice);
        return false;
    }
    return true;
}

bool CameraStream::deliver(const std::uint8_t* data, std::size_t bytes) {
    Microsoft::WRL::ComPtr<IMediaSample> sample;
    BYTE* buffer = nullptr;
    if (FAILED(target_.allocator->GetBuffer(&sample, nullptr, nullptr, 0)) ||
        FAILED(sample->GetPointer(&buffer)) ||
        static_cast<std::size_t>(sample->GetSize()) < bytes) {
        return false;
    }
    std::memcpy(buffer, data, bytes);
    sample->SetActualDataLength(static_cast<long>(bytes));
    REFERENCE_TIME start = frame_ * kPeriod;
    REFERENCE_TIME end = start + kPeriod;
    sample->SetTime(&start, &end);
    LONGLONG first = frame_;
    LONGLONG last = frame_ + 1;
    sample->SetMediaTime(&first, &last);
    sample->SetSyncPoint(TRUE);
    sample->SetDiscontinuity(discontinuity_ ? TRUE : FALSE);
    return target_.input->Receive(sample.Get()) == S_OK;
}

}  // namespace velvix::virtual_camera
