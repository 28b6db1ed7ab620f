#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>

#include "velvix/virtual_camera/linux_devices.hpp"

extern char** environ;

namespace velvix::virtual_camera {
namespace {

// Enough for any error message; a program that writes more is not drained further.
constexpr std::size_t kMostErrorOutput = 65536;

std::string readAll(int fd) {
    std::string text;
    char buffer[4096];
    for (;;) {
        const ssize_t got = ::read(fd, buffer, sizeof buffer);
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got <= 0) {
            return text;
        }
        if (text.size() < kMostErrorOutput) {
            text.append(buffer, static_cast<std::size_t>(got));
        }
    }
}

}  // namespace

CommandResult runCommand(const std::vector<std::string>& arguments) {
    int pipeFds[2];
    if (arguments.empty() || !arguments[0].starts_with('/') || ::pipe2(pipeFds, O_CLOEXEC) != 0) {
        return {};
    }
    std::vector<std::string> words = arguments;
    std::vector<char*> argv;
    for (std::string& word : words) {
        argv.push_back(word.data());
    }
    argv.push_back(nullptr);
    // Nothing to read (a text password prompt would otherwise take the headless host's
    // messages), standard error into the pipe.
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, pipeFds[1], STDERR_FILENO);
    pid_t child = 0;
    const int spawned = posix_spawn(&child, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    ::close(pipeFds[1]);
    if (spawned != 0) {
        ::close(pipeFds[0]);
        return {};
    }
    CommandResult result;
    result.started = true;
    result.errorOutput = readAll(pipeFds[0]);
    ::close(pipeFds[0]);
    int status = 0;
    while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    result.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return result;
}

}  // namespace velvix::virtual_camera
