#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "velvix/platform/shared_memory.hpp"

namespace velvix::platform {
namespace {

constexpr mode_t kOwnerOnly = 0600;

std::string objectName(std::string_view name) {
    return "/" + std::string(name);
}

SectionError errorFromErrno(int error) {
    switch (error) {
        case ENOENT:
            return SectionError::notFound;
        case EACCES:
        case EPERM:
            return SectionError::permissionDenied;
        default:
            return SectionError::other;
    }
}

std::string describe(std::string_view what, std::string_view name, int error) {
    return std::string(what) + " shared memory \"" + std::string(name) +
           "\": " + std::strerror(error);
}

class FileDescriptor {
  public:
    explicit FileDescriptor(int fd) : fd_(fd) {}
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;
    ~FileDescriptor() {
        if (fd_ >= 0) {
            ::close(fd_);
        }
    }
    int get() const { return fd_; }

  private:
    int fd_;
};

}  // namespace

SharedSection SharedSection::open(std::string_view name, Access access) {
    const bool writable = access == Access::readWrite;
    FileDescriptor fd(shm_open(objectName(name).c_str(), writable ? O_RDWR : O_RDONLY, 0));
    if (fd.get() < 0) {
        return failed(errorFromErrno(errno), describe("cannot open", name, errno));
    }
    struct stat status {};
    if (fstat(fd.get(), &status) != 0) {
        return failed(errorFromErrno(errno), describe("cannot inspect", name, errno));
    }
    if (status.st_size <= 0) {
        return failed(SectionError::other, "shared memory \"" + std::string(name) + "\" is empty");
    }
    const auto size = static_cast<std::size_t>(status.st_size);
    void* address =
        mmap(nullptr, size, writable ? PROT_READ | PROT_WRITE : PROT_READ, MAP_SHARED, fd.get(), 0);
    if (address == MAP_FAILED) {
        return failed(errorFromErrno(errno), describe("cannot map", name, errno));
    }
    return adopt(address, size, nullptr, false);
}

SharedSection SharedSection::openOrCreate(std::string_view name, std::size_t size) {
    const std::string object = objectName(name);
    int fd = shm_open(object.c_str(), O_RDWR | O_CREAT | O_EXCL, kOwnerOnly);
    if (fd >= 0) {
        FileDescriptor created(fd);
        // The creation mode passes through the umask; the section must be exactly owner-only.
        if (fchmod(created.get(), kOwnerOnly) != 0 ||
            ftruncate(created.get(), static_cast<off_t>(size)) != 0) {
            const int error = errno;
            shm_unlink(object.c_str());
            return failed(errorFromErrno(error), describe("cannot create", name, error));
        }
        SharedSection section = open(name, Access::readWrite);
        section.createdHere_ = section.isOpen();
        return section;
    }
    if (errno != EEXIST) {
        return failed(errorFromErrno(errno), describe("cannot create", name, errno));
    }
    return open(name, Access::readWrite);
}

std::optional<std::string> SharedSection::growTo(std::string_view name, std::size_t size) {
    FileDescriptor fd(shm_open(objectName(name).c_str(), O_RDWR, 0));
    if (fd.get() < 0) {
        return describe("cannot open", name, errno);
    }
    struct stat status {};
    if (fstat(fd.get(), &status) != 0) {
        return describe("cannot inspect", name, errno);
    }
    if (static_cast<std::size_t>(status.st_size) < size &&
        ftruncate(fd.get(), static_cast<off_t>(size)) != 0) {
        return describe("cannot enlarge", name, errno);
    }
    return std::nullopt;
}

void SharedSection::remove(std::string_view name) {
    shm_unlink(objectName(name).c_str());
}

void SharedSection::close() {
    if (address_ != nullptr) {
        munmap(address_, size_);
    }
    address_ = nullptr;
    size_ = 0;
    createdHere_ = false;
}

}  // namespace velvix::platform
