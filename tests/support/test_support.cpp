#include "test_support.hpp"

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <fstream>
#include <iterator>
#include <mutex>
#include <sstream>
#include <thread>

#include "velvix/platform/shared_memory.hpp"

namespace velvix::testing {

bool waitUntil(const std::function<bool()>& condition, std::chrono::milliseconds limit) {
    const auto end = std::chrono::steady_clock::now() + limit;
    while (!condition()) {
        if (std::chrono::steady_clock::now() > end) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
}

bool tickUnlessStopped(const std::stop_token& stop, std::chrono::milliseconds period) {
    std::mutex mutex;
    std::condition_variable_any woken;
    std::unique_lock lock(mutex);
    return !woken.wait_for(lock, stop, period, [] { return false; });
}

ScopedRingName::ScopedRingName() {
    static std::atomic<int> counter{0};
    name_ = "velvix-test-" + std::to_string(getpid()) + "-" + std::to_string(counter++);
    platform::SharedSection::remove(name_);
}

ScopedRingName::~ScopedRingName() {
    platform::SharedSection::remove(name_);
}

void writePngHeader(const std::string& path, std::uint32_t width, std::uint32_t height) {
    // The signature and a header chunk of 13 bytes: the size, then 8 bits, RGB, no interlace,
    // and a checksum that readers skip.
    std::string bytes("\x89PNG\r\n\x1a\n\0\0\0\x0dIHDR", 16);
    for (const std::uint32_t value : {width, height}) {
        for (int shift = 24; shift >= 0; shift -= 8) {
            bytes.push_back(static_cast<char>((value >> shift) & 0xFF));
        }
    }
    std::ofstream(path, std::ios::binary) << bytes << std::string("\x08\x02\0\0\0\0\0\0\0", 9);
}

std::uint64_t FakeClock::now() {
    time += stepPerRead;
    return time;
}

void FakeClock::sleep(std::uint32_t milliseconds) {
    sleeps.push_back(milliseconds);
    time += milliseconds == 0 ? yieldCost : std::uint64_t{milliseconds} * 10'000;
    if (onSleep) {
        onSleep(milliseconds);
    }
}

int ScriptedCamera::countDevices() {
    log.push_back("count");
    return devices;
}

void ScriptedCamera::setFramePeriod(int device, int period100ns) {
    log.push_back("period " + std::to_string(device) + " " + std::to_string(period100ns));
}

void ScriptedCamera::setAskSize(int device, int width, int height, MediaSubtype subtype) {
    log.push_back("size " + std::to_string(device) + " " + std::to_string(width) + "x" +
                  std::to_string(height) + (subtype == MediaSubtype::rgb24 ? " rgb24" : " other"));
}

void ScriptedCamera::setConnector(int device, ConnectorKind kind) {
    log.push_back("connector " + std::to_string(device) + " " +
                  std::to_string(static_cast<int>(kind)));
}

void ScriptedCamera::setReconnect(int device, int threshold) {
    log.push_back("reconnect " + std::to_string(device) + " " + std::to_string(threshold));
}

bool ScriptedCamera::openDevice(int device) {
    log.push_back("open " + std::to_string(device));
    lastOpenCount_ = devices;
    if (device >= devices || capturing_[device]) {
        return false;
    }
    if (failingOpens[device] > 0) {
        --failingOpens[device];
        return false;
    }
    capturing_[device] = true;
    return true;
}

void ScriptedCamera::closeDevice(int device) {
    log.push_back("close " + std::to_string(device));
    capturing_[device] = false;
}

bool ScriptedCamera::isCapturing(int device) const {
    const auto found = capturing_.find(device);
    return device < lastOpenCount_ && found != capturing_.end() && found->second;
}

bool ScriptedCamera::pollNewFrame(int device) {
    return isCapturing(device) && !frames_.empty();
}

bool ScriptedCamera::fetchFrame(int device, std::uint8_t* destination, FrameSize size) {
    if (!isCapturing(device) || frames_.empty()) {
        return false;
    }
    const auto fill = frames_.front();
    frames_.pop_front();
    for (int y = 0; y < size.height; ++y) {
        for (int x = 0; x < size.width; ++x) {
            fill(x, y, destination + (static_cast<std::size_t>(y) * size.width + x) * 4);
        }
    }
    log.push_back("fetch " + std::to_string(device));
    return true;
}

void ScriptedCamera::queueFrame(std::function<void(int, int, std::uint8_t*)> fill) {
    frames_.push_back(std::move(fill));
}

int ScriptedCamera::opensOf(int device) const {
    return static_cast<int>(linesStartingWith(log, "open " + std::to_string(device)).size());
}

int countLinesWith(const std::string& text, const std::string& part) {
    std::istringstream lines(text);
    int count = 0;
    for (std::string line; std::getline(lines, line);) {
        count += line.find(part) != std::string::npos ? 1 : 0;
    }
    return count;
}

std::vector<std::string> linesStartingWith(const std::vector<std::string>& log,
                                           const std::string& prefix) {
    std::vector<std::string> lines;
    std::copy_if(log.begin(), log.end(), std::back_inserter(lines),
                 [&](const std::string& line) { return line.starts_with(prefix); });
    return lines;
}

}  // namespace velvix::testing
