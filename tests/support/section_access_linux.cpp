#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>

#include "section_access.hpp"
#include "velvix/platform/shared_memory.hpp"

namespace velvix::testing {
namespace {

std::string pathOf(const std::string& name) {
    return platform::SharedSection::location(name);
}

}  // namespace

bool sectionIsOwnerOnly(const std::string& name) {
    struct stat status {};
    return stat(pathOf(name).c_str(), &status) == 0 && status.st_uid == geteuid() &&
           (status.st_mode & 0777) == 0600;
}

PlantedSection::PlantedSection(const std::string& name, std::size_t bytes, std::uint8_t fill)
    : name_(name), made_(makeSection(name, 0666, bytes, fill)) {}

PlantedSection::PlantedSection(const std::string& name, Unusable)
    : name_(name), made_(makeSection(name, 0600, 0)) {}

PlantedSection::~PlantedSection() {
    if (made_) {
        unlink(pathOf(name_).c_str());
    }
}

std::vector<std::uint8_t> sectionBytes(const std::string& name, std::size_t bytes) {
    std::ifstream file(pathOf(name), std::ios::binary);
    std::vector<std::uint8_t> content(std::istreambuf_iterator<char>(file), {});
    content.resize(std::min(bytes, content.size()));
    return content;
}

bool makeSection(const std::string& name, unsigned mode, std::size_t bytes, std::uint8_t fill) {
    const int fd = open(pathOf(name).c_str(), O_RDWR | O_CREAT | O_EXCL, 0600);
    const std::vector<std::uint8_t> content(bytes, fill);
    const bool made = fd >= 0 && fchmod(fd, static_cast<mode_t>(mode)) == 0 &&
                      write(fd, content.data(), bytes) == static_cast<ssize_t>(bytes);
    close(fd);
    return made;
}

bool truncateSection(const std::string& name, std::size_t bytes) {
    return truncate(pathOf(name).c_str(), static_cast<off_t>(bytes)) == 0;
}

ScopedSectionFolder::ScopedSectionFolder(Kind kind) {
    if (const char* previous = std::getenv("XDG_RUNTIME_DIR")) {
        previous_ = previous;
    }
    unsetenv("XDG_RUNTIME_DIR");
    std::string folder =
        (std::filesystem::temp_directory_path() / "velvix-runtime-XXXXXX").string();
    if (kind == Kind::runtime && mkdtemp(folder.data()) != nullptr) {
        path_ = folder;
        setenv("XDG_RUNTIME_DIR", path_.c_str(), 1);
    }
}

ScopedSectionFolder::~ScopedSectionFolder() {
    if (previous_) {
        setenv("XDG_RUNTIME_DIR", previous_->c_str(), 1);
    } else {
        unsetenv("XDG_RUNTIME_DIR");
    }
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
}

}  // namespace velvix::testing
