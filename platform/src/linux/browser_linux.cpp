#include <spawn.h>
#include <sys/wait.h>

#include <thread>

#include "velvix/platform/browser.hpp"

extern char** environ;

namespace velvix::platform {

bool openInBrowser(const std::string& url, std::function<void()> failedLater) {
    std::string program = "xdg-open";
    std::string address = url;
    char* arguments[] = {program.data(), address.data(), nullptr};
    pid_t child = 0;
    if (posix_spawnp(&child, "xdg-open", nullptr, nullptr, arguments, environ) != 0) {
        return false;
    }
    // Reaped on the side, so that the caller never waits for the browser.
    std::thread([child, failedLater = std::move(failedLater)] {
        int status = 0;
        const bool failed =
            ::waitpid(child, &status, 0) != child || !WIFEXITED(status) || WEXITSTATUS(status) != 0;
        if (failed && failedLater) {
            failedLater();
        }
    }).detach();
    return true;
}

}  // namespace velvix::platform
