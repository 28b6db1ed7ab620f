#include "velvix/virtual_camera/loopback_setup.hpp"

namespace velvix::virtual_camera {
namespace {

// pkexec's own exit codes: the user dismissed the password dialog; or the user may not do
// this, the authorisation could not be obtained, or pkexec could not run the program (its
// message says which).
constexpr int kPkexecDismissed = 126;
constexpr int kPkexecFailed = 127;

bool says(const std::string& text, const char* what) {
    return text.find(what) != std::string::npos;
}

// The last line a program wrote, for a failure nothing else explains.
std::string lastLine(const std::string& text) {
    std::string trimmed = text;
    while (!trimmed.empty() && (trimmed.back() == '\n' || trimmed.back() == '\r')) {
        trimmed.pop_back();
    }
    const std::size_t start = trimmed.rfind('\n');
    return start == std::string::npos ? trimmed : trimmed.substr(start + 1);
}

}  // namespace

std::vector<std::string> loopbackSetupCommand() {
    // Absolute paths: whatever the user's PATH holds, the administrator authorises the
    // system's own modprobe.
    return {VELVIX_PKEXEC_PATH, VELVIX_MODPROBE_PATH, "v4l2loopback", "exclusive_caps=1",
            "card_label=Velvix Camera"};
}

std::string setupFailureText(const CommandResult& result) {
    if (!result.started) {
        return std::string(VELVIX_PKEXEC_PATH) +
               " could not be started: install the package pkexec (sudo apt install "
               "pkexec), or load the module in a terminal: sudo modprobe v4l2loopback "
               "exclusive_caps=1 card_label=\"Velvix Camera\"";
    }
    if (result.exitCode == 0) {
        return "";
    }
    const std::string& error = result.errorOutput;
    if (says(error, "not found in directory") || says(error, "Module v4l2loopback not found")) {
        return "the v4l2loopback module is not installed: install the package v4l2loopback-dkms "
               "(sudo apt install v4l2loopback-dkms), then set up again";
    }
    if (says(error, "Key was rejected") || says(error, "Required key not available") ||
        says(error, "Operation not permitted")) {
        return "Secure Boot refused the v4l2loopback module: enrol the module signing key "
               "(sudo mokutil --import /var/lib/dkms/mok.pub, restart and confirm it in the "
               "blue MOK screen) or switch Secure Boot off in the firmware settings, then set "
               "up again";
    }
    const std::string line = lastLine(error);
    if (result.exitCode == kPkexecDismissed) {
        return "the set-up was cancelled (it needs an administrator's password)";
    }
    if (result.exitCode == kPkexecFailed) {
        return "the set-up was not allowed, or pkexec could not run it" +
               (line.empty() ? "" : ": " + line);
    }
    return "modprobe failed (exit code " + std::to_string(result.exitCode) + ")" +
           (line.empty() ? "" : ": " + line);
}

LoopbackSetup::LoopbackSetup(CommandRunner run, std::function<void()> succeeded)
    : run_(std::move(run)), succeeded_(std::move(succeeded)) {}

LoopbackSetup::~LoopbackSetup() {
    // The command is waited for: its result still reaches the feeder, and no thread outlives
    // what it uses.
    if (thread_.joinable()) {
        thread_.join();
    }
}

void LoopbackSetup::start() {
    const std::lock_guard lock(mutex_);
    if (running_) {
        return;
    }
    if (thread_.joinable()) {
        thread_.join();  // the last run has ended: running_ is false
    }
    running_ = true;
    thread_ = std::jthread([this] {
        const std::string failure = setupFailureText(run_(loopbackSetupCommand()));
        if (failure.empty()) {
            succeeded_();
        }
        const std::lock_guard done(mutex_);
        failure_ = failure;
        running_ = false;
    });
}

bool LoopbackSetup::running() const {
    const std::lock_guard lock(mutex_);
    return running_;
}

std::string LoopbackSetup::failure() const {
    const std::lock_guard lock(mutex_);
    return failure_;
}

}  // namespace velvix::virtual_camera
