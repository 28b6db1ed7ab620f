#include "ring_commands.hpp"

#include <stb_image_write.h>

#include <cstdio>
#include <cstring>

#include "velvix/base/picture_rows.hpp"
#include "velvix/pipeline/pixels.hpp"

namespace velvix::ring_tool {
namespace {

std::string stateText(RingState state) {
    switch (state) {
        case RingState::initialised:
            return "no frame (none written yet, the camera is lost or the program has stopped)";
        case RingState::hasFrame:
            return "frames available";
        case RingState::resizing:
            return "being re-created at another size";
        default:
            return "unknown";
    }
}

std::string line(const char* name, const std::string& value) {
    char text[160];
    std::snprintf(text, sizeof text, "%-15s%s\n", name, value.c_str());
    return text;
}

}  // namespace

std::string describeHeader(const RingHeaderSnapshot& header, std::size_t sectionBytes) {
    std::string text;
    text += line("section", std::to_string(sectionBytes) + " bytes");
    text += line("writeCount", std::to_string(header.writeCount));
    text += line("readyCount", std::to_string(header.readyCount));
    text += line("state", std::to_string(static_cast<std::uint32_t>(header.state)) + " (" +
                              stateText(header.state) + ")");
    text += line("width", std::to_string(header.width));
    text += line("height", std::to_string(header.height));
    std::string interval = std::to_string(header.frameInterval) + " x 100 ns";
    if (header.frameInterval > 0) {
        char rate[48];
        std::snprintf(rate, sizeof rate, " (%.2f frames per second)",
                      1e7 / static_cast<double>(header.frameInterval));
        interval += rate;
    }
    text += line("frameInterval", interval);
    const auto layout = RingLayout::forSize({header.width, header.height});
    for (int slot = 0; slot < kRingSlots; ++slot) {
        const std::uint32_t offset = header.slotOffset[static_cast<std::size_t>(slot)];
        std::string value = "header at " + std::to_string(offset) + ", pixels at " +
                            std::to_string(offset + kSlotHeaderBytes);
        if (!layout || layout->slotOffset[static_cast<std::size_t>(slot)] != offset) {
            value += " (does not match the width and height)";
        }
        const std::string name = "slotOffset[" + std::to_string(slot) + "]";
        text += line(name.c_str(), value);
    }
    if (layout) {
        std::string size = std::to_string(layout->totalBytes) + " bytes";
        if (layout->totalBytes > sectionBytes) {
            size += " (larger than the section)";
        }
        text += line("ring size", size);
    }
    return text;
}

std::vector<std::uint8_t> uprightRgb(const RingFrame& frame) {
    std::vector<std::uint8_t> rgb(static_cast<std::size_t>(frame.size.pixels()) * 3);
    swapRedAndBlue(upsideDown(packedPicture(frame.pixels.data(), frame.size, 3)),
                   packedPicture(rgb.data(), frame.size, 3));
    return rgb;
}

bool writeSnapshot(const RingFrame& frame, const std::string& path) {
    const auto rgb = uprightRgb(frame);
    return stbi_write_png(path.c_str(), frame.size.width, frame.size.height, 3, rgb.data(),
                          frame.size.width * 3) != 0;
}

}  // namespace velvix::ring_tool
