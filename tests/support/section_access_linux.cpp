#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include "section_access.hpp"

namespace velvix::testing {

bool sectionIsOwnerOnly(const std::string& name) {
    struct stat status {};
    return stat(("/dev/shm/" + name).c_str(), &status) == 0 && status.st_uid == geteuid() &&
           (status.st_mode & 0777) == 0600;
}

UnusableSection::UnusableSection(const std::string& name) {
    const int fd = shm_open(("/" + name).c_str(), O_RDWR | O_CREAT | O_EXCL, 0600);
    made_ = fd >= 0;
    if (made_) {
        close(fd);
    }
}

UnusableSection::~UnusableSection() = default;

}  // namespace velvix::testing
