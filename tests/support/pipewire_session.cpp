#include "pipewire_session.hpp"

#include <sys/stat.h>

#include <filesystem>
#include <fstream>

#include "test_support.hpp"

namespace velvix::testing {

namespace fs = std::filesystem;

PipeWireSession::PipeWireSession(const std::string& name)
    : folder_((fs::temp_directory_path() / "velvix-pipewire" / name).string()) {
    const std::string run = folder_ + "/run";
    std::error_code ignored;
    fs::remove_all(folder_, ignored);
    fs::create_directories(run);
    chmod(run.c_str(), 0700);
    // The device monitors stay off: the graph holds only what the test puts there, and the
    // user's sound cards, cameras and Bluetooth devices are left alone.
    for (const auto& [component, settings] :
         {std::pair{"main",
                    "alsa_monitor.enabled = false\nv4l2_monitor.enabled = false\n"
                    "libcamera_monitor.enabled = false\n"},
          std::pair{"bluetooth", "bluez_monitor.enabled = false\n"}}) {
        const std::string folder = folder_ + "/config/wireplumber/" + component + ".lua.d";
        fs::create_directories(folder);
        std::ofstream(folder + "/90-velvix-tests.lua") << settings;
    }
    setenv("XDG_RUNTIME_DIR", run.c_str(), 1);
    setenv("PIPEWIRE_RUNTIME_DIR", run.c_str(), 1);
    setenv("XDG_STATE_HOME", (folder_ + "/state").c_str(), 1);
    setenv("XDG_CONFIG_HOME", (folder_ + "/config").c_str(), 1);
    setenv("DBUS_SESSION_BUS_ADDRESS", ("unix:path=" + run + "/bus").c_str(), 1);
    unsetenv("PIPEWIRE_REMOTE");
}

ChildProcess& PipeWireSession::startDaemon(const std::string& name,
                                           const std::vector<std::string>& arguments) {
    return *daemons_.emplace_back(
        std::make_unique<ChildProcess>(arguments, folder_ + "/" + name + ".log"));
}

std::string PipeWireSession::start() {
    const std::string bus = "unix:path=" + folder_ + "/run/bus";
    if (!startDaemon("dbus-daemon", {"/usr/bin/dbus-daemon", "--session", "--nofork",
                                     "--address=" + bus, "--print-address=1"})
             .waitForOutput(bus, 10000)) {
        return "dbus-daemon did not start: " + readFile(folder_ + "/dbus-daemon.log");
    }
    startDaemon("pipewire", {"/usr/bin/pipewire"});
    if (!waitUntil([&] { return fs::exists(folder_ + "/run/pipewire-0"); },
                   std::chrono::seconds(10))) {
        return "pipewire did not start: " + readFile(folder_ + "/pipewire.log");
    }
    // The session manager has set up the graph once its "default" metadata is there; asking
    // for it also asks pipewire itself.
    startDaemon("wireplumber", {"/usr/bin/wireplumber"});
    if (!waitUntil([] {
            return runProgram({"/usr/bin/pw-metadata", "-n", "default"}).output.find("Found") !=
                   std::string::npos;
        })) {
        return "the session manager did not get ready: " + readFile(folder_ + "/wireplumber.log");
    }
    return "";
}

}  // namespace velvix::testing
