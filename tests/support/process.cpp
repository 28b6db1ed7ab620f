#include "process.hpp"

#include <unistd.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

namespace velvix::testing {

int ChildProcess::waitForExit(int timeoutMilliseconds) {
    const auto end =
        std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMilliseconds);
    while (!ended()) {
        if (std::chrono::steady_clock::now() >= end) {
            return -1;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return exitStatus_ >= 0 && exitStatus_ < 128 ? exitStatus_ : -1;
}

bool ChildProcess::waitForOutput(const std::string& text, int timeoutMilliseconds) {
    const auto end =
        std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMilliseconds);
    while (std::chrono::steady_clock::now() < end) {
        if (readFile(outputPath_).find(text) != std::string::npos) {
            return true;
        }
        if (ended()) {
            return readFile(outputPath_).find(text) != std::string::npos;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
}

std::string readFile(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    std::stringstream content;
    content << file.rdbuf();
    return content.str();
}

std::string temporaryPath(const std::string& stem) {
    static std::atomic<int> counter{0};
    std::ostringstream name;
    name << stem << '-' << getpid() << '-' << counter++;
    return (std::filesystem::temp_directory_path() / name.str()).string();
}

bool waitForText(const std::string& path, const std::string& text, int timeoutMilliseconds) {
    const auto end =
        std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMilliseconds);
    while (readFile(path).find(text) == std::string::npos) {
        if (std::chrono::steady_clock::now() >= end) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return true;
}

RunResult runProgram(const std::vector<std::string>& arguments, int timeoutMilliseconds) {
    const std::string path = temporaryPath("velvix-test-output");
    RunResult result;
    {
        ChildProcess child(arguments, path);
        result.exitCode = child.waitForExit(timeoutMilliseconds);
    }
    result.output = readFile(path);
    std::error_code ignored;
    std::filesystem::remove(path, ignored);
    return result;
}

}  // namespace velvix::testing
