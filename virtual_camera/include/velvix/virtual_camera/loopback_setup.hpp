#pragma once

#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace velvix::virtual_camera {

// How a command ended: its exit code and what it wrote on standard error, or that it could
// not be started at all.
struct CommandResult {
    bool started = false;
    int exitCode = -1;
    std::string errorOutput;
};

// Runs a program with these arguments (the first is the program's absolute path; PATH is not
// searched), without a shell, and waits for it.
using CommandRunner = std::function<CommandResult(const std::vector<std::string>& arguments)>;

// The command that loads the loopback module with one device that Velvix feeds, as the
// administrator: always these words, with the programs' absolute paths, and nothing from a
// page or the user goes into it.
std::vector<std::string> loopbackSetupCommand();

// What the user should know about a set-up that failed and what to do; empty when it worked.
std::string setupFailureText(const CommandResult& result);

// Runs the set-up command on a thread of its own, so that whoever asks (the window, waiting
// for the administrator's password) goes on at once, and keeps the outcome of the last run.
class LoopbackSetup {
  public:
    // `succeeded` is called on the set-up's thread when the module was loaded.
    LoopbackSetup(CommandRunner run, std::function<void()> succeeded);
    ~LoopbackSetup();
    LoopbackSetup(const LoopbackSetup&) = delete;
    LoopbackSetup& operator=(const LoopbackSetup&) = delete;

    // Starts a run unless one is running.
    void start();
    bool running() const;
    // Why the last run failed; empty after one that worked or before the first.
    std::string failure() const;

  private:
    CommandRunner run_;
    std::function<void()> succeeded_;
    mutable std::mutex mutex_;
    bool running_ = false;
    std::string failure_;
    std::jthread thread_;
};

}  // namespace velvix::virtual_camera
