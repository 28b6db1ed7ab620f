#pragma once

#include <memory>
#include <string>

#include "v4l2_formats.hpp"
#include "velvix/capture/capture_backend.hpp"

namespace velvix::v4l2 {

// One opened camera: its formats, the chosen one set, and a stream on a thread of its own with
// memory-mapped buffers, whose frames are decoded or converted into the delivered layout. A
// device that fails while streaming ends the stream. `name` names it in debug lines.
std::unique_ptr<DeviceConnection> connectCamera(std::string name, std::unique_ptr<DeviceIo> device);

}  // namespace velvix::v4l2
