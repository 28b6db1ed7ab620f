#pragma once

#include <optional>
#include <string>
#include <vector>

namespace velvix {

struct AppOptions {
    bool headless = false;
    std::optional<int> runSeconds;  // stop by itself after this long
    std::string ringName;
    bool help = false;
};

struct ParsedOptions {
    AppOptions options;
    std::string error;  // empty when the command line was understood
};

ParsedOptions parseAppOptions(const std::vector<std::string>& arguments);

std::string appUsage();

}  // namespace velvix
