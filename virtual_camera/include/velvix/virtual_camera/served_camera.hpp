#pragma once

namespace velvix::virtual_camera {

// A camera the program offers through the session's media server rather than through a
// device (PipeWire on Linux): there while the program runs, read by any number of programs.
class ServedCamera {
  public:
    enum class State {
        unserved,  // no media server answers (yet)
        offered,   // offered, and no program reads it
        read,      // at least one program reads it
    };

    virtual ~ServedCamera() = default;
    // Any thread.
    virtual State state() const = 0;
};

}  // namespace velvix::virtual_camera
