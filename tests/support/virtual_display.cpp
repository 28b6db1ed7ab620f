#include "virtual_display.hpp"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <vector>

extern char** environ;

namespace velvix::testing {
namespace {

constexpr int kStartTimeoutMilliseconds = 10000;

// Reads the display number Xvfb writes once it accepts connections.
std::string readDisplayNumber(int fd) {
    std::string number;
    pollfd waiting{fd, POLLIN, 0};
    while (poll(&waiting, 1, kStartTimeoutMilliseconds) > 0) {
        char c = 0;
        if (read(fd, &c, 1) != 1 || c == '\n') {
            break;
        }
        number.push_back(c);
    }
    return number;
}

}  // namespace

VirtualDisplay::VirtualDisplay() {
    int pipeEnds[2];
    if (pipe(pipeEnds) != 0) {
        return;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addclose(&actions, pipeEnds[0]);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
    std::string fd = std::to_string(pipeEnds[1]);
    std::vector<std::string> arguments = {"Xvfb", "-displayfd",  fd,          "-screen",
                                          "0",    "1024x768x24", "-nolisten", "tcp"};
    std::vector<char*> argv;
    for (std::string& argument : arguments) {
        argv.push_back(argument.data());
    }
    argv.push_back(nullptr);
    const int result = posix_spawnp(&pid_, "Xvfb", &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    close(pipeEnds[1]);
    if (result != 0) {
        pid_ = -1;
        close(pipeEnds[0]);
        return;
    }
    const std::string number = readDisplayNumber(pipeEnds[0]);
    close(pipeEnds[0]);
    if (!number.empty()) {
        name_ = ":" + number;
        setenv("DISPLAY", name_.c_str(), 1);
    }
}

VirtualDisplay::~VirtualDisplay() {
    if (pid_ > 0) {
        kill(pid_, SIGTERM);
        waitpid(pid_, nullptr, 0);
    }
}

ScopedFolder::ScopedFolder() {
    std::string pattern = (std::filesystem::temp_directory_path() / "velvix-test-XXXXXX").string();
    if (mkdtemp(pattern.data()) != nullptr) {
        path_ = pattern;
    }
}

ScopedFolder::~ScopedFolder() {
    std::error_code ignored;
    if (!path_.empty()) {
        std::filesystem::remove_all(path_, ignored);
    }
}

}  // namespace velvix::testing
