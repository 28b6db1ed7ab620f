#pragma once

#include <memory>
#include <string>
#include <vector>

#include "process.hpp"

namespace velvix::testing {

// A PipeWire session of the test's own in a fixed folder per name under the system's folder
// for temporary files: a D-Bus session bus, pipewire and wireplumber (without any device
// monitor, so that the graph holds only what the test puts there). The runtime, state and
// configuration folders of this process point into the folder from construction on, so that
// every program the test starts joins this session and nothing reaches the user's.
class PipeWireSession {
  public:
    explicit PipeWireSession(const std::string& name);
    // Stops every daemon by its process id, the last started first.
    ~PipeWireSession();
    PipeWireSession(const PipeWireSession&) = delete;
    PipeWireSession& operator=(const PipeWireSession&) = delete;

    // Starts the daemons and waits until each one answers; false (with why()) otherwise.
    bool start();
    const std::string& why() const { return why_; }
    const std::string& folder() const { return folder_; }

  private:
    bool startDaemon(const std::string& name, const std::vector<std::string>& arguments);
    void stopDaemonsOfAnEarlierRun() const;

    std::string folder_;
    std::string why_;
    std::vector<std::unique_ptr<ChildProcess>> daemons_;
};

}  // namespace velvix::testing
