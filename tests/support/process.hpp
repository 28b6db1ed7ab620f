#pragma once

#include <sys/types.h>

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

    void signal(int number) const;
    // Writes to the program's standard input (with pipeInput); false when it is gone.
    bool writeInput(const std::string& text);
    void closeInput();
    // The exit code, or -1 when it did not end within the time or ended by a signal.
    int waitForExit(int timeoutMilliseconds);
    // Waits until the program has printed `text` (its ready line, say); false when it ended or
    // the time ran out first.
    bool waitForOutput(const std::string& text, int timeoutMilliseconds = 30000);
    // How the program ended, once it has: its exit code, or 128 and the signal's number.
    int exitStatus() const { return exitStatus_; }

  private:
    bool reap(int options);

    std::string outputPath_;
    pid_t pid_ = -1;
    int exitStatus_ = -1;
    bool ended_ = false;
    int input_ = -1;
};

struct RunResult {
    int exitCode = -1;
    std::string output;
};

// Runs a program to its end and returns its exit code and everything it printed.
RunResult runProgram(const std::vector<std::string>& arguments, int timeoutMilliseconds = 20000);

std::string readFile(const std::string& path);

// The permission bits of a file or folder (as 0700), or 01000 when there is none.
unsigned permissionBits(const std::string& path);

}  // namespace velvix::testing
