#include "virtual_display.hpp"

#include <signal.h>
#include <stdlib.h>

#include <chrono>
#include <filesystem>
#include <regex>

#include "process.hpp"
#include "test_support.hpp"

namespace velvix::testing {

// Xvfb writes its display number, on a line of its own, to the descriptor it is given (here its
// standard output) once it accepts connections.
VirtualDisplay::VirtualDisplay()
    : log_(temporaryPath("velvix-xvfb")),
      server_(std::make_unique<ChildProcess>(
          std::vector<std::string>{"/usr/bin/Xvfb", "-displayfd", "1", "-screen", "0",
                                   "1024x768x24", "-nolisten", "tcp"},
          log_)) {
    const std::regex numberLine(R"((?:^|\n)(\d+)\n)");
    waitUntil(
        [&] {
            const std::string said = readFile(log_);
            std::smatch found;
            if (std::regex_search(said, found, numberLine)) {
                name_ = ":" + found[1].str();
            }
            return !name_.empty();
        },
        std::chrono::seconds(10));
    if (running()) {
        setenv("DISPLAY", name_.c_str(), 1);
    }
}

VirtualDisplay::~VirtualDisplay() {
    server_->signal(SIGTERM);
    server_->waitForExit(10000);
    std::remove(log_.c_str());
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
