#pragma once

#include <memory>
#include <string>
#include <vector>

#include "process.hpp"

namespace velvix::testing {

// A PipeWire session of the test's own in a fixed folder per name under the system's folder for
// temporary files: a D-Bus session bus, pipewire and wireplumber without device monitors. This
// process's runtime, state and configuration folders point into the folder from construction on,
// so that every program the test starts joins the session and nothing reaches the user's.
class PipeWireSession {
  public:
    explicit PipeWireSession(const std::string& name);

    // Starts the daemons and waits until each one answers; why not, otherwise.
    std::string start();
    const std::string& folder() const { return folder_; }

  private:
    ChildProcess& startDaemon(const std::string& name, const std::vector<std::string>& arguments);

    std::string folder_;
    std::vector<std::unique_ptr<ChildProcess>> daemons_;
};

}  // namespace velvix::testing
