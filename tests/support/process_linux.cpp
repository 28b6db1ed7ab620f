#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>

#include "process.hpp"

namespace velvix::testing {

ChildProcess::ChildProcess(const std::vector<std::string>& arguments, const std::string& outputPath,
                           bool pipeInput)
    : outputPath_(outputPath) {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, outputPath.c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_adddup2(&actions, STDOUT_FILENO, STDERR_FILENO);
    int pipeEnds[2] = {-1, -1};
    if (pipeInput && pipe2(pipeEnds, O_CLOEXEC) == 0) {
        posix_spawn_file_actions_adddup2(&actions, pipeEnds[0], STDIN_FILENO);
        input_ = pipeEnds[1];
    } else {
        posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    }
    std::vector<char*> argv(arguments.size() + 1, nullptr);
    std::transform(arguments.begin(), arguments.end(), argv.begin(),
                   [](const std::string& argument) { return const_cast<char*>(argument.c_str()); });
    pid_t pid = -1;
    ended_ = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ) != 0;
    process_ = ended_ ? -1 : pid;
    posix_spawn_file_actions_destroy(&actions);
    close(pipeEnds[0]);
}

ChildProcess::~ChildProcess() {
    closeInput();
    if (!ended_) {
        kill(static_cast<pid_t>(process_), SIGKILL);
        waitpid(static_cast<pid_t>(process_), nullptr, 0);
    }
}

void ChildProcess::interrupt() const {
    signal(SIGINT);
}

void ChildProcess::signal(int number) const {
    if (!ended_) {
        kill(static_cast<pid_t>(process_), number);
    }
}

bool ChildProcess::writeInput(const std::string& text) {
    std::size_t written = 0;
    while (input_ >= 0 && written < text.size()) {
        const ssize_t result =
            write(static_cast<int>(input_), text.data() + written, text.size() - written);
        if (result <= 0) {
            return false;
        }
        written += static_cast<std::size_t>(result);
    }
    return input_ >= 0;
}

void ChildProcess::closeInput() {
    if (input_ >= 0) {
        close(static_cast<int>(input_));
        input_ = -1;
    }
}

bool ChildProcess::ended() {
    int status = 0;
    if (ended_ || waitpid(static_cast<pid_t>(process_), &status, WNOHANG) != process_) {
        return ended_;
    }
    ended_ = true;
    exitStatus_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return true;
}

unsigned permissionBits(const std::string& path) {
    struct stat status {};
    return stat(path.c_str(), &status) == 0 ? status.st_mode & 0777 : 01000;
}

}  // namespace velvix::testing
