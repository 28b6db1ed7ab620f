#include "process.hpp"

#include <unistd.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "test_support.hpp"

namespace velvix::testing {

int ChildProcess::waitForExit(int timeoutMilliseconds) {
    const bool ended =
        waitUntil([this] { return this->ended(); }, std::chrono::milliseconds(timeoutMilliseconds));
    return ended && exitStatus_ >= 0 && exitStatus_ < 128 ? exitStatus_ : -1;
}

// Reads the output once more after the program ended: it may have printed the text last.
bool ChildProcess::waitForOutput(const std::string& text, int timeoutMilliseconds) {
    const auto printed = [&] { return readFile(outputPath_).find(text) != std::string::npos; };
    return waitUntil([&] { return printed() || ended(); },
                     std::chrono::milliseconds(timeoutMilliseconds)) &&
           printed();
}

std::string readFile(const std::string& path) {
    std::stringstream content;
    content << std::ifstream(path, std::ios::binary).rdbuf();
    return content.str();
}

std::string temporaryPath(const std::string& stem) {
    static std::atomic<int> counter{0};
    const std::string name =
        stem + '-' + std::to_string(getpid()) + '-' + std::to_string(counter++);
    return (std::filesystem::temp_directory_path() / name).string();
}

bool waitForText(const std::string& path, const std::string& text, int timeoutMilliseconds) {
    return waitUntil([&] { return readFile(path).find(text) != std::string::npos; },
                     std::chrono::milliseconds(timeoutMilliseconds));
}

RunResult runProgram(const std::vector<std::string>& arguments, int timeoutMilliseconds) {
    const std::string path = temporaryPath("velvix-test-output");
    const int exitCode = ChildProcess(arguments, path).waitForExit(timeoutMilliseconds);
    RunResult result{exitCode, readFile(path)};
    std::error_code ignored;
    std::filesystem::remove(path, ignored);
    return result;
}

}  // namespace velvix::testing
