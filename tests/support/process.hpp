#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace velvix::testing {

// A program started by a test, with standard output and error going to a file. Its standard
// input is empty, or a pipe the test writes to when `pipeInput` is set.
class ChildProcess {
  public:
    ChildProcess(const std::vector<std::string>& arguments, const std::string& outputPath,
                 bool pipeInput = false);
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    // Ctrl+C: SIGINT on Linux, the console's control event on Windows.
    void interrupt() const;
#ifndef _WIN32
    void signal(int number) const;
    int pid() const {
        return static_cast<int>(process_);
    }
#endif
    // Writes to the program's standard input (with pipeInput); false when it is gone.
    bool writeInput(const std::string& text);
    void closeInput();
    // The exit code, or -1 when it did not end within the time or ended by a signal.
    int waitForExit(int timeoutMilliseconds);
    // Waits until the program has printed `text`; false when it ended or the time ran out first.
    bool waitForOutput(const std::string& text, int timeoutMilliseconds = 30000);
    // How the program ended, once it has: its exit code, or on Linux 128 and the signal's number.
    int exitStatus() const {
        return exitStatus_;
    }

  private:
    // True once the program has ended, when it also records how; does not wait.
    bool ended();

    std::string outputPath_;
    // A pid and a file descriptor on Linux, handles on Windows; -1 when there is none.
    std::intptr_t process_ = -1;
    std::intptr_t input_ = -1;
    unsigned long processId_ = 0;
    int exitStatus_ = -1;
    bool ended_ = false;
};

struct RunResult {
    int exitCode = -1;
    std::string output;
};

// Runs a program to its end.
RunResult runProgram(const std::vector<std::string>& arguments, int timeoutMilliseconds = 20000);

std::string readFile(const std::string& path);

bool waitForText(const std::string& path, const std::string& text, int timeoutMilliseconds);

// A path of the test's own in the folder for temporary files.
std::string temporaryPath(const std::string& stem);

#ifndef _WIN32
// The permission bits of a file or folder (as 0700), or 01000 when there is none.
unsigned permissionBits(const std::string& path);
#endif

}  // namespace velvix::testing
