// Feeds any bytes to the readers of the frame ring as the whole shared-memory section: the
// reader's header snapshot and frame copy, velvix-ring's header description, the virtual-camera
// bridge's step, and the writer's attach, which reads the header too.
#include <fcntl.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "ring_commands.hpp"
#include "velvix/pipeline/frame_ring.hpp"
#include "velvix/virtual_camera/bridge.hpp"

namespace {

class DiscardingSink final : public velvix::virtual_camera::FrameSink {
  public:
    bool writeFrame(const std::uint8_t*, std::size_t) override { return true; }
};

// The section this run's inputs are written into, where the programs look for it, removed when
// the run ends.
struct FuzzSection {
    FuzzSection()
        : name("velvix-fuzz-ring-" + std::to_string(getpid())),
          path(velvix::platform::SharedSection::location(name)) {
        unlink(path.c_str());
        fd = open(path.c_str(), O_RDWR | O_CREAT | O_EXCL, 0600);
    }
    ~FuzzSection() {
        close(fd);
        unlink(path.c_str());
    }
    std::string name;
    std::string path;
    int fd = -1;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static FuzzSection section;
    if (section.fd < 0 || ftruncate(section.fd, static_cast<off_t>(size)) != 0 ||
        pwrite(section.fd, data, size, 0) != static_cast<ssize_t>(size)) {
        return 0;
    }
    const auto reader = velvix::FrameRingReader::open(section.name);
    if (reader.isOpen()) {
        velvix::ring_tool::describeHeader(reader.header(), reader.section().size());
        velvix::RingFrame frame;
        reader.readNewest(frame, 3);
    }
    velvix::virtual_camera::VirtualCameraBridge bridge(
        {section.name, {32, 16}, velvix::virtual_camera::OutputFormat::yuyv, false},
        [] { return std::make_unique<DiscardingSink>(); });
    bridge.step(0);
    bridge.frameInterval();
    velvix::platform::DebugOnce debug;
    velvix::FrameRing::attach(section.name, debug);
    return 0;
}
