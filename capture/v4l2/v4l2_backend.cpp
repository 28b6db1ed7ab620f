#include "velvix/capture/v4l2_backend.hpp"

#include <fcntl.h>
#include <libv4l2.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>

#include "v4l2_connection.hpp"
#include "velvix/platform/log.hpp"

namespace velvix {
namespace {

// A device opened through libv4l2, which converts the formats it knows into RGB24 and BGR24.
class LibV4l2Device final : public v4l2::DeviceIo {
  public:
    explicit LibV4l2Device(int fd) : fd_(fd) {}
    ~LibV4l2Device() override { v4l2_close(fd_); }
    LibV4l2Device(const LibV4l2Device&) = delete;
    LibV4l2Device& operator=(const LibV4l2Device&) = delete;

    int control(unsigned long request, void* argument) override {
        int result = 0;
        do {
            result = v4l2_ioctl(fd_, request, argument);
        } while (result == -1 && errno == EINTR);
        return result;
    }
    void* map(std::size_t length, std::int64_t offset) override {
        return v4l2_mmap(nullptr, length, PROT_READ | PROT_WRITE, MAP_SHARED, fd_, offset);
    }
    void unmap(void* start, std::size_t length) override { v4l2_munmap(start, length); }
    int waitForFrame(int milliseconds) override {
        pollfd waiting{fd_, POLLIN, 0};
        const int ready = poll(&waiting, 1, milliseconds);
        if (ready <= 0) {
            return ready < 0 && errno != EINTR ? -1 : 0;
        }
        return (waiting.revents & (POLLERR | POLLHUP | POLLNVAL)) != 0 ? -1 : 1;
    }

  private:
    int fd_;
};

bool isCaptureNode(int fd, std::string& card) {
    v4l2_capability capability{};
    if (ioctl(fd, VIDIOC_QUERYCAP, &capability) != 0) {
        return false;
    }
    const std::uint32_t caps = (capability.capabilities & V4L2_CAP_DEVICE_CAPS) != 0
                                   ? capability.device_caps
                                   : capability.capabilities;
    card.assign(reinterpret_cast<const char*>(capability.card),
                strnlen(reinterpret_cast<const char*>(capability.card), sizeof capability.card));
    return (caps & V4L2_CAP_VIDEO_CAPTURE) != 0 && (caps & V4L2_CAP_STREAMING) != 0;
}

int nodeNumber(const std::string& fileName) {
    return std::atoi(fileName.c_str() + std::strlen("video"));
}

}  // namespace

V4l2Backend::V4l2Backend(std::string deviceFolder) : deviceFolder_(std::move(deviceFolder)) {}

std::vector<V4l2Backend::Node> V4l2Backend::captureNodes() const {
    std::vector<std::string> paths;
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator(deviceFolder_, error)) {
        const std::string name = entry.path().filename().string();
        if (name.starts_with("video") && name.size() > 5 &&
            std::all_of(name.begin() + 5, name.end(),
                        [](char c) { return c >= '0' && c <= '9'; })) {
            paths.push_back(name);
        }
    }
    std::sort(paths.begin(), paths.end(), [](const std::string& a, const std::string& b) {
        return nodeNumber(a) < nodeNumber(b);
    });
    std::vector<Node> nodes;
    for (const auto& name : paths) {
        const std::string path = deviceFolder_ + "/" + name;
        const int fd = open(path.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
        if (fd < 0) {
            continue;
        }
        std::string card;
        if (isCaptureNode(fd, card)) {
            nodes.push_back({path, std::u16string(card.begin(), card.end())});
        }
        close(fd);
    }
    return nodes;
}

std::vector<std::u16string> V4l2Backend::deviceNames() {
    std::vector<std::u16string> names;
    for (const auto& node : captureNodes()) {
        names.push_back(node.name);
    }
    return names;
}

std::unique_ptr<DeviceConnection> V4l2Backend::connect(int index) {
    const auto nodes = captureNodes();
    if (index < 0 || static_cast<std::size_t>(index) >= nodes.size()) {
        return nullptr;
    }
    const std::string& path = nodes[static_cast<std::size_t>(index)].path;
    const int fd = v4l2_open(path.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        platform::logLine(platform::LogCategory::capture, platform::LogSeverity::warn,
                          "camera " + path + ": " + std::strerror(errno));
        return nullptr;
    }
    return v4l2::connectCamera(path, std::make_unique<LibV4l2Device>(fd));
}

}  // namespace velvix
