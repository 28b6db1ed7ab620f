#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <stop_token>
#include <string>
#include <vector>

#include "velvix/pipeline/capture_source.hpp"
#include "velvix/pipeline/frame_pacer.hpp"

namespace velvix::testing {

// Asks `condition` every 10 ms until it holds (true) or `limit` has passed (false).
bool waitUntil(const std::function<bool()>& condition,
               std::chrono::milliseconds limit = std::chrono::seconds(20));

// The clock of a stand-in (a camera's frame gap, a slow client's pace), not a wait for
// something to be ready: `period`, cut short by a stop request. False once stopped.
bool tickUnlessStopped(const std::stop_token& stop, std::chrono::milliseconds period);

// A shared-memory name of the test's own, removed again at the end of the test.
class ScopedRingName {
  public:
    ScopedRingName();
    ~ScopedRingName();
    ScopedRingName(const ScopedRingName&) = delete;
    ScopedRingName& operator=(const ScopedRingName&) = delete;
    const std::string& get() const { return name_; }

  private:
    std::string name_;
};

// The start of a PNG file that claims an RGB picture of the given size and holds no pixels.
void writePngHeader(const std::string& path, std::uint32_t width, std::uint32_t height);

// A clock that moves only when the code under test sleeps or when the test advances it.
class FakeClock final : public PacerClock {
  public:
    std::uint64_t now() override;
    void sleep(std::uint32_t milliseconds) override;

    std::uint64_t time = 1'000'000'000;
    // Time that passes on every call of now(), as work between two reads would take.
    std::uint64_t stepPerRead = 0;
    // Time a zero sleep takes.
    std::uint64_t yieldCost = 1'000;
    std::vector<std::uint32_t> sleeps;
    std::function<void(std::uint32_t)> onSleep;
};

// A camera source the test scripts: which devices exist, whether opening them works and
// which frames they deliver. Every call is logged as one line.
class ScriptedCamera final : public CaptureSource {
  public:
    int countDevices() override;
    int deviceCount() const override { return lastOpenCount_; }
    void setFramePeriod(int device, int period100ns) override;
    void setAskSize(int device, int width, int height, MediaSubtype subtype) override;
    void setConnector(int device, ConnectorKind kind) override;
    void setReconnect(int device, int threshold) override;
    bool openDevice(int device) override;
    void closeDevice(int device) override;
    bool isCapturing(int device) const override;
    bool pollNewFrame(int device) override;
    bool fetchFrame(int device, std::uint8_t* destination, FrameSize size) override;

    // A frame in the capture layout, fill(x, y, bytes[4]) for each pixel.
    void queueFrame(std::function<void(int x, int y, std::uint8_t* pixel)> fill);
    // The device stops capturing by itself, as an unplugged camera does.
    void loseDevice(int device) { capturing_[device] = false; }
    // Opening attempts left that fail for a device, before opening succeeds.
    std::map<int, int> failingOpens;
    int devices = 2;
    std::vector<std::string> log;
    int opensOf(int device) const;

  private:
    int lastOpenCount_ = 0;
    std::map<int, bool> capturing_;
    std::deque<std::function<void(int, int, std::uint8_t*)>> frames_;
};

int countLinesWith(const std::string& text, const std::string& part);
std::vector<std::string> linesStartingWith(const std::vector<std::string>& log,
                                           const std::string& prefix);

}  // namespace velvix::testing
