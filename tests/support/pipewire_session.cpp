#include "pipewire_session.hpp"

#include <signal.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <iterator>

#include "test_support.hpp"

namespace velvix::testing {
namespace {

namespace fs = std::filesystem;

constexpr int kStopMilliseconds = 5000;

// The device monitors stay off: the session has no hardware, and the user's sound cards and
// cameras are left alone.
constexpr char kNoMonitors[] =
    "alsa_monitor.enabled = false\n"
    "v4l2_monitor.enabled = false\n"
    "libcamera_monitor.enabled = false\n";
constexpr char kNoBluetooth[] = "bluez_monitor.enabled = false\n";

void writeFile(const fs::path& path, const std::string& text) {
    fs::create_directories(path.parent_path());
    std::ofstream(path) << text;
}

std::string runtimeFolder(const std::string& folder) {
    return folder + "/run";
}

}  // namespace

PipeWireSession::PipeWireSession(const std::string& name)
    : folder_((fs::temp_directory_path() / "velvix-pipewire" / name).string()) {
    stopDaemonsOfAnEarlierRun();
    std::error_code ignored;
    fs::remove_all(folder_, ignored);
    fs::create_directories(runtimeFolder(folder_));
    chmod(runtimeFolder(folder_).c_str(), 0700);
    writeFile(folder_ + "/config/wireplumber/main.lua.d/90-velvix-tests.lua", kNoMonitors);
    writeFile(folder_ + "/config/wireplumber/bluetooth.lua.d/90-velvix-tests.lua", kNoBluetooth);
    setenv("XDG_RUNTIME_DIR", runtimeFolder(folder_).c_str(), 1);
    setenv("PIPEWIRE_RUNTIME_DIR", runtimeFolder(folder_).c_str(), 1);
    setenv("XDG_STATE_HOME", (folder_ + "/state").c_str(), 1);
    setenv("XDG_CONFIG_HOME", (folder_ + "/config").c_str(), 1);
    setenv("DBUS_SESSION_BUS_ADDRESS", ("unix:path=" + runtimeFolder(folder_) + "/bus").c_str(), 1);
    unsetenv("PIPEWIRE_REMOTE");
}

PipeWireSession::~PipeWireSession() {
    for (auto daemon = daemons_.rbegin(); daemon != daemons_.rend(); ++daemon) {
        (*daemon)->signal(SIGTERM);
        if ((*daemon)->waitForExit(kStopMilliseconds) < 0) {
            (*daemon)->signal(SIGKILL);  // and waited for by its destructor
        }
    }
}

// A run that CTest killed at its time limit could not stop its daemons: they are found by the
// process ids it wrote, and stopped when they still run in this folder's session.
void PipeWireSession::stopDaemonsOfAnEarlierRun() const {
    std::error_code error;
    for (const auto& entry : fs::directory_iterator(folder_, error)) {
        if (entry.path().extension() != ".pid") {
            continue;
        }
        int pid = 0;
        std::ifstream(entry.path()) >> pid;
        std::ifstream file("/proc/" + std::to_string(pid) + "/environ");
        const std::string environment{std::istreambuf_iterator<char>(file), {}};
        if (pid > 0 && environment.find("XDG_RUNTIME_DIR=" + runtimeFolder(folder_) + '\0') !=
                           std::string::npos) {
            kill(pid, SIGKILL);
        }
    }
}

bool PipeWireSession::startDaemon(const std::string& name,
                                  const std::vector<std::string>& arguments) {
    daemons_.push_back(std::make_unique<ChildProcess>(arguments, folder_ + "/" + name + ".log"));
    std::ofstream(folder_ + "/" + name + ".pid") << daemons_.back()->pid() << "\n";
    return daemons_.back()->pid() > 0;
}

bool PipeWireSession::start() {
    const std::string bus = runtimeFolder(folder_) + "/bus";
    if (!startDaemon("dbus-daemon", {"/usr/bin/dbus-daemon", "--session", "--nofork",
                                     "--address=unix:path=" + bus, "--print-address=1"}) ||
        !daemons_.back()->waitForOutput("unix:path=" + bus, 10000)) {
        why_ = "dbus-daemon did not start: " + readFile(folder_ + "/dbus-daemon.log");
        return false;
    }
    const std::string socket = runtimeFolder(folder_) + "/pipewire-0";
    if (!startDaemon("pipewire", {"/usr/bin/pipewire"}) ||
        !waitUntil([&] { return fs::exists(socket); }, std::chrono::seconds(10))) {
        why_ = "pipewire did not start: " + readFile(folder_ + "/pipewire.log");
        return false;
    }
    if (!startDaemon("wireplumber", {"/usr/bin/wireplumber"})) {
        why_ = "wireplumber did not start";
        return false;
    }
    // The session manager has set up the graph once its "default" metadata is there; asking
    // for it also asks pipewire itself.
    if (!waitUntil([] {
            return runProgram({"/usr/bin/pw-metadata", "-n", "default"}).output.find("Found") !=
                   std::string::npos;
        })) {
        why_ = "the session manager did not get ready: " + readFile(folder_ + "/wireplumber.log");
        return false;
    }
    return true;
}

}  // namespace velvix::testing
