#include "process.hpp"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <sstream>
#include <thread>

namespace velvix::testing {

ChildProcess::ChildProcess(const std::vector<std::string>& arguments, const std::string& outputPath,
                           bool pipeInput) {
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
    std::vector<char*> argv;
    for (const auto& argument : arguments) {
        argv.push_back(const_cast<char*>(argument.c_str()));
    }
    argv.push_back(nullptr);
    if (posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), environ) != 0) {
        pid_ = -1;
        ended_ = true;
    }
    posix_spawn_file_actions_destroy(&actions);
    if (pipeEnds[0] >= 0) {
        close(pipeEnds[0]);
    }
}

ChildProcess::~ChildProcess() {
    closeInput();
    if (!ended_) {
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
    }
}

void ChildProcess::signal(int number) const {
    if (!ended_) {
        kill(pid_, number);
    }
}

bool ChildProcess::writeInput(const std::string& text) {
    std::size_t written = 0;
    while (input_ >= 0 && written < text.size()) {
        const ssize_t result = write(input_, text.data() + written, text.size() - written);
        if (result <= 0) {
            return false;
        }
        written += static_cast<std::size_t>(result);
    }
    return input_ >= 0;
}

void ChildProcess::closeInput() {
    if (input_ >= 0) {
        close(input_);
        input_ = -1;
    }
}

int ChildProcess::waitForExit(int timeoutMilliseconds) {
    if (ended_) {
        return -1;
    }
    const auto end =
        std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMilliseconds);
    while (std::chrono::steady_clock::now() < end) {
        int status = 0;
        if (waitpid(pid_, &status, WNOHANG) == pid_) {
            ended_ = true;
            return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return -1;
}

std::string readFile(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    std::stringstream content;
    content << file.rdbuf();
    return content.str();
}

RunResult runProgram(const std::vector<std::string>& arguments, int timeoutMilliseconds) {
    char path[] = "/tmp/velvix-test-output-XXXXXX";
    const int fd = mkstemp(path);
    close(fd);
    RunResult result;
    {
        ChildProcess child(arguments, path);
        result.exitCode = child.waitForExit(timeoutMilliseconds);
    }
    result.output = readFile(path);
    unlink(path);
    return result;
}

}  // namespace velvix::testing
