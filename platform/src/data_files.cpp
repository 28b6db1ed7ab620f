#include "velvix/platform/data_files.hpp"

#include <filesystem>
#include <string_view>
#include <system_error>

#include "velvix/platform/executable_path.hpp"

namespace velvix::platform {
namespace {

// Follows a relative path such as "../share/velvix" from `folder`, taking each ".." off the
// folder's end, so that messages name the folder the file really lies in.
std::string followRelative(std::string folder, std::string_view relative) {
    while (relative.starts_with("../")) {
        const auto separator = folder.find_last_of("/\\");
        if (separator == std::string::npos || separator == 0) {
            break;
        }
        folder.erase(separator);
        relative.remove_prefix(3);
    }
    return folder + "/" + std::string(relative);
}

}  // namespace

std::vector<std::string> dataFileCandidates(const std::string& name) {
    std::vector<std::string> candidates;
    const std::string programFolder = executableDirectory();
    if (!programFolder.empty()) {
        candidates.push_back(programFolder + "/" + name);
        candidates.push_back(followRelative(programFolder, VELVIX_DATA_FROM_PROGRAM) + "/" + name);
    }
    return candidates;
}

std::string findDataFile(const std::string& name) {
    for (const std::string& candidate : dataFileCandidates(name)) {
        std::error_code error;
        if (std::filesystem::is_regular_file(candidate, error)) {
            return candidate;
        }
    }
    return {};
}

std::string missingDataFileText(const std::string& name) {
    const auto candidates = dataFileCandidates(name);
    if (candidates.empty()) {
        return "no such file (the program's own folder, where data files lie, is unknown)";
    }
    std::string text = "no such file (looked for ";
    for (std::size_t i = 0; i < candidates.size(); ++i) {
        text += (i == 0 ? "" : ", ") + candidates[i];
    }
    return text + ")";
}

}  // namespace velvix::platform
