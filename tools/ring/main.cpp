// velvix-ring: looks at the frame ring from outside the program, as a virtual camera would.
#include <chrono>
#include <cstdio>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "ring_commands.hpp"
#include "velvix/platform/clock.hpp"
#include "velvix/platform/stop_signals.hpp"
#ifndef _WIN32
#include "velvix/virtual_camera/bridge.hpp"
#include "velvix/virtual_camera/linux_devices.hpp"
#include "velvix/virtual_camera/pipewire_camera.hpp"
#endif

namespace {

using namespace velvix;
using Clock = std::chrono::steady_clock;

constexpr int kUsageError = 2;

const char* const kUsage =
    "usage: velvix-ring [--ring NAME] COMMAND\n"
    "  info                 print the ring header and where the slots lie\n"
    "  snapshot FILE.png    save the newest complete frame, the right way up\n"
    "  watch [--lines N]    print frames per second and the age of the newest frame once a\n"
    "                       second, until interrupted (or after N lines)\n"
#ifndef _WIN32
    "  v4l2 DEVICE [--size WxH] [--format yuyv|rgb24]\n"
    "                       feed a v4l2loopback device with the newest frame, upright, once\n"
    "                       per frame interval; --size asks the program for that frame size\n"
    "  pipewire             offer the newest frame as the PipeWire camera \"Velvix Camera\"\n"
    "                       until interrupted\n"
#endif
    "  --ring NAME          the ring's shared-memory name (default VelvixShm)\n";

int usageError(const std::string& problem) {
    std::fprintf(stderr, "velvix-ring: %s\n%s", problem.c_str(), kUsage);
    return kUsageError;
}

std::optional<FrameRingReader> openRing(const std::string& name) {
    auto reader = FrameRingReader::open(name);
    if (!reader.isOpen()) {
        if (reader.section().error() == platform::SectionError::notFound) {
            std::fprintf(stderr, "velvix-ring: no frame ring \"%s\": %s\n", name.c_str(),
                         reader.section().errorText().c_str());
        } else {
            std::fprintf(stderr, "velvix-ring: %s\n",
                         ringSectionProblem(name, reader.section()).c_str());
        }
        return std::nullopt;
    }
    return reader;
}

int info(const std::string& name) {
    const auto reader = openRing(name);
    if (!reader) {
        return 1;
    }
    std::printf("frame ring \"%s\" in %s\n%s", name.c_str(),
                platform::SharedSection::location(name).c_str(),
                ring_tool::describeHeader(reader->header(), reader->section().size()).c_str());
    return 0;
}

int snapshot(const std::string& name, const std::string& path) {
    const auto reader = openRing(name);
    if (!reader) {
        return 1;
    }
    RingFrame frame;
    switch (reader->readNewest(frame)) {
        case FrameRingReader::ReadOutcome::frame:
            break;
        case FrameRingReader::ReadOutcome::noFrame:
            std::fprintf(stderr, "velvix-ring: the ring holds no complete frame yet\n");
            return 1;
        case FrameRingReader::ReadOutcome::unusable:
            std::fprintf(stderr, "velvix-ring: the ring header does not describe a usable ring\n");
            return 1;
        case FrameRingReader::ReadOutcome::busy:
            std::fprintf(stderr, "velvix-ring: the writer kept overwriting the frame; try again\n");
            return 1;
    }
    if (!ring_tool::writeSnapshot(frame, path)) {
        std::fprintf(stderr, "velvix-ring: cannot write %s\n", path.c_str());
        return 1;
    }
    std::printf("frame %u, %d x %d, saved to %s\n", frame.frameNumber, frame.size.width,
                frame.size.height, path.c_str());
    return 0;
}

// Counts completed frames by watching readyCount every millisecond; the age of the newest
// frame is the time since its number was first seen.
int watch(const std::string& name, std::optional<int> lines) {
    platform::StopSignals signals;
    std::optional<FrameRingReader> reader;
    std::optional<std::uint32_t> lastReady;
    std::optional<Clock::time_point> lastChange;
    std::uint64_t framesThisSecond = 0;
    auto secondStart = Clock::now();
    int printed = 0;
    bool saidWaiting = false;
    while (!signals.wait(1)) {
        if (!reader) {
            auto opened = FrameRingReader::open(name);
            if (opened.isOpen()) {
                reader.emplace(std::move(opened));
            } else if (!saidWaiting) {
                if (opened.section().error() == platform::SectionError::notFound) {
                    std::printf("waiting for frame ring \"%s\"\n", name.c_str());
                } else {
                    std::printf("%s\n", ringSectionProblem(name, opened.section()).c_str());
                }
                std::fflush(stdout);
                saidWaiting = true;
            }
        }
        const auto now = Clock::now();
        if (reader) {
            const auto header = reader->header();
            if (header.state == RingState::hasFrame && header.readyCount != lastReady) {
                if (lastReady) {
                    framesThisSecond += header.readyCount - *lastReady;
                    lastChange = now;
                }
                lastReady = header.readyCount;
            }
        }
        const auto elapsed = now - secondStart;
        if (elapsed < std::chrono::seconds(1)) {
            continue;
        }
        const double seconds = std::chrono::duration<double>(elapsed).count();
        if (!reader) {
            std::printf("no ring\n");
        } else if (!lastChange) {
            std::printf("%5.1f frames per second, no new frame seen yet\n",
                        static_cast<double>(framesThisSecond) / seconds);
        } else {
            const auto age =
                std::chrono::duration_cast<std::chrono::milliseconds>(now - *lastChange).count();
            const auto header = reader->header();
            std::printf("%5.1f frames per second, newest frame %lld ms old (frame %u, %d x %d)\n",
                        static_cast<double>(framesThisSecond) / seconds,
                        static_cast<long long>(age), header.readyCount, header.width,
                        header.height);
        }
        std::fflush(stdout);
        framesThisSecond = 0;
        secondStart = now;
        if (lines && ++printed >= *lines) {
            break;
        }
    }
    return 0;
}

#ifndef _WIN32
// Feeding a v4l2loopback device, on Linux.
std::optional<FrameSize> parseSize(const std::string& text) {
    int width = 0;
    int height = 0;
    char separator = 0;
    char rest = 0;
    if (std::sscanf(text.c_str(), "%d%c%d%c", &width, &separator, &height, &rest) != 3 ||
        (separator != 'x' && separator != 'X') || !RingLayout::forSize({width, height})) {
        return std::nullopt;
    }
    return FrameSize{width, height};
}

const char* describe(virtual_camera::BridgeFrame frame) {
    switch (frame) {
        case virtual_camera::BridgeFrame::newest:
        case virtual_camera::BridgeFrame::repeated:
            return "writing frames from the ring";
        case virtual_camera::BridgeFrame::placeholder:
            return "no frame in the ring: writing the placeholder picture";
        case virtual_camera::BridgeFrame::notWritten:
            return "the device takes no frames at the moment; trying again";
    }
    return "";
}

int feedV4l2(const std::string& name, const std::vector<std::string>& arguments) {
    if (arguments.empty()) {
        return usageError("v4l2 needs a device, such as /dev/video10");
    }
    const std::string& device = arguments[0];
    std::optional<FrameSize> askedSize;
    auto format = virtual_camera::OutputFormat::yuyv;
    for (std::size_t i = 1; i < arguments.size(); i += 2) {
        if (i + 1 >= arguments.size()) {
            return usageError(arguments[i] + " needs a value");
        }
        if (arguments[i] == "--size") {
            askedSize = parseSize(arguments[i + 1]);
            if (!askedSize) {
                return usageError("--size needs WIDTHxHEIGHT, such as 1280x720");
            }
        } else if (arguments[i] == "--format") {
            const auto parsed = virtual_camera::outputFormatFromName(arguments[i + 1]);
            if (!parsed) {
                return usageError("--format is yuyv or rgb24");
            }
            format = *parsed;
        } else {
            return usageError("cannot understand: " + arguments[i]);
        }
    }
    const FrameSize size = askedSize.value_or(virtual_camera::ringFrameSize(name));
    auto opened = virtual_camera::openV4l2Output(device, size, format);
    if (!opened) {
        std::fprintf(stderr, "velvix-ring: %s\n", opened.error().c_str());
        return kUsageError;
    }

    // Also keeps a consumer that goes away from ending the program with SIGPIPE.
    platform::StopSignals signals;
    std::unique_ptr<virtual_camera::FrameSink> firstSink = std::move(*opened);
    virtual_camera::VirtualCameraBridge bridge(
        {name, size, format, askedSize.has_value()},
        [&]() -> std::unique_ptr<virtual_camera::FrameSink> {
            if (firstSink) {
                return std::move(firstSink);
            }
            return virtual_camera::openV4l2Output(device, size, format).valueOr(nullptr);
        });
    std::printf("feeding %s with %d x %d %s from frame ring \"%s\"; stop with Ctrl+C\n",
                device.c_str(), size.width, size.height,
                format == virtual_camera::OutputFormat::yuyv ? "YUYV" : "RGB24", name.c_str());
    std::fflush(stdout);
    std::optional<std::string> lastReport;
    std::uint64_t deadline = platform::clockNow100ns();
    for (;;) {
        std::string report = describe(bridge.step(platform::clockNow100ns()));
        if (!bridge.ringProblem().empty()) {
            report += " (" + bridge.ringProblem() + ")";
        }
        if (report != lastReport) {
            std::printf("%s\n", report.c_str());
            std::fflush(stdout);
            lastReport = report;
        }
        deadline += bridge.frameInterval();
        const std::uint64_t now = platform::clockNow100ns();
        if (now >= deadline) {
            deadline = now;
        }
        if (signals.wait(static_cast<std::uint32_t>((deadline - now) / 10'000))) {
            return 0;
        }
    }
}

// The PipeWire camera, which runs on a thread of its own and says what it does.
int offerPipeWireCamera(const std::string& name) {
    platform::StopSignals signals;
    virtual_camera::PipeWireCamera camera({name}, [](std::string_view line) {
        std::printf("%.*s\n", static_cast<int>(line.size()), line.data());
        std::fflush(stdout);
    });
    while (!signals.wait(1000)) {
    }
    return 0;
}

#endif

}  // namespace

int main(int argc, char** argv) {
    std::vector<std::string> arguments(argv + 1, argv + argc);
    std::string name = kRingName;
    if (!arguments.empty() && arguments[0] == "--ring") {
        if (arguments.size() < 2) {
            return usageError("--ring needs a name");
        }
        name = arguments[1];
        arguments.erase(arguments.begin(), arguments.begin() + 2);
    }
    if (arguments.empty()) {
        return usageError("no command given");
    }
    const std::string& command = arguments[0];
    if (command == "info" && arguments.size() == 1) {
        return info(name);
    }
    if (command == "snapshot") {
        return arguments.size() == 2
                   ? snapshot(name, arguments[1])
                   : usageError("snapshot needs one file to save the frame to, such as frame.png");
    }
    if (command == "watch" && arguments.size() == 1) {
        return watch(name, std::nullopt);
    }
    if (command == "watch" && arguments.size() == 3 && arguments[1] == "--lines") {
        const int lines = std::atoi(arguments[2].c_str());
        if (lines <= 0) {
            return usageError("--lines needs a number above 0");
        }
        return watch(name, lines);
    }
#ifndef _WIN32
    if (command == "v4l2") {
        return feedV4l2(name, {arguments.begin() + 1, arguments.end()});
    }
    if (command == "pipewire" && arguments.size() == 1) {
        return offerPipeWireCamera(name);
    }
#endif
    if (command == "--help" || command == "help") {
        std::printf("%s", kUsage);
        return 0;
    }
    return usageError("cannot understand: " + command);
}
