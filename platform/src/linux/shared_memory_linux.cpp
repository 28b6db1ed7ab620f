#include <fcntl.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "velvix/platform/shared_memory.hpp"

namespace velvix::platform {
namespace {

constexpr mode_t kOwnerOnly = 0600;
constexpr mode_t kGroupAndOtherBits = 077;

std::string objectName(std::string_view name) {
    return "/" + std::string(name);
}

// Where the C library keeps POSIX shared-memory objects, as the user sees them.
std::string objectPath(std::string_view name) {
    return "/dev/shm/" + std::string(name);
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

std::string userText(uid_t uid) {
    std::vector<char> buffer(4096);
    passwd entry{};
    passwd* found = nullptr;
    const std::string id = "uid " + std::to_string(uid);
    if (getpwuid_r(uid, &entry, buffer.data(), buffer.size(), &found) == 0 && found != nullptr) {
        return "user " + std::string(found->pw_name) + " (" + id + ")";
    }
    return id;
}

std::string modeText(mode_t mode) {
    char text[8];
    std::snprintf(text, sizeof text, "%04o", static_cast<unsigned>(mode & 07777));
    return text;
}

bool isPrivate(const struct stat& status) {
    return status.st_uid == geteuid() && (status.st_mode & kGroupAndOtherBits) == 0;
}

// One line: the object, its owner and mode, and what the user can do about it.
std::string refusal(std::string_view name, const struct stat& status) {
    const std::string path = objectPath(name);
    const bool ours = status.st_uid == geteuid();
    return "refusing shared memory " + path + ", which belongs to " +
           (ours ? "you" : userText(status.st_uid)) + " and has mode " + modeText(status.st_mode) +
           ": only a section of your own with mode 0600 is used; " +
           (ours ? "remove it (rm " + path + ")" : "have it removed (sudo rm " + path + ")");
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
    int release() {
        const int fd = fd_;
        fd_ = -1;
        return fd;
    }

  private:
    int fd_;
};

}  // namespace

struct SectionMaker {
    static SharedSection mapPrivate(int fd, std::string_view name, SharedSection::Access access,
                                    bool createdHere);
    static SharedSection openFailed(std::string_view name, int error);
};

// Checks the object that `fd` refers to (not whatever the name points at by now) and maps it.
SharedSection SectionMaker::mapPrivate(int fd, std::string_view name, SharedSection::Access access,
                                       bool createdHere) {
    FileDescriptor section(fd);
    struct stat status {};
    if (fstat(section.get(), &status) != 0) {
        return SharedSection::failed(errorFromErrno(errno),
                                     describe("cannot inspect", name, errno));
    }
    if (!isPrivate(status)) {
        return SharedSection::failed(SectionError::notPrivate, refusal(name, status));
    }
    if (status.st_size <= 0) {
        return SharedSection::failed(SectionError::other,
                                     "shared memory \"" + std::string(name) + "\" is empty");
    }
    const bool writable = access == SharedSection::Access::readWrite;
    const auto size = static_cast<std::size_t>(status.st_size);
    void* address = mmap(nullptr, size, writable ? PROT_READ | PROT_WRITE : PROT_READ, MAP_SHARED,
                         section.get(), 0);
    if (address == MAP_FAILED) {
        return SharedSection::failed(errorFromErrno(errno), describe("cannot map", name, errno));
    }
    SharedSection opened = SharedSection::adopt(address, size, nullptr, createdHere);
    opened.descriptor_ = section.release();
    return opened;
}

// A name that cannot be opened for lack of permission belongs to someone else, or grants its
// owner too little; the object's own attributes tell which.
SharedSection SectionMaker::openFailed(std::string_view name, int error) {
    struct stat status {};
    if ((error == EACCES || error == EPERM) && stat(objectPath(name).c_str(), &status) == 0 &&
        !isPrivate(status)) {
        return SharedSection::failed(SectionError::notPrivate, refusal(name, status));
    }
    return SharedSection::failed(errorFromErrno(error), describe("cannot open", name, error));
}

SharedSection SharedSection::open(std::string_view name, Access access) {
    const int fd =
        shm_open(objectName(name).c_str(), access == Access::readWrite ? O_RDWR : O_RDONLY, 0);
    if (fd < 0) {
        return SectionMaker::openFailed(name, errno);
    }
    return SectionMaker::mapPrivate(fd, name, access, false);
}

SharedSection SharedSection::openOrCreate(std::string_view name, std::size_t size) {
    const std::string object = objectName(name);
    const int fd = shm_open(object.c_str(), O_RDWR | O_CREAT | O_EXCL, kOwnerOnly);
    if (fd >= 0) {
        FileDescriptor created(fd);
        // The creation mode passes through the umask; the section must be exactly owner-only.
        if (fchmod(created.get(), kOwnerOnly) != 0 ||
            ftruncate(created.get(), static_cast<off_t>(size)) != 0) {
            const int error = errno;
            shm_unlink(object.c_str());
            return failed(errorFromErrno(error), describe("cannot create", name, error));
        }
        return SectionMaker::mapPrivate(created.release(), name, Access::readWrite, true);
    }
    if (errno != EEXIST) {
        return failed(errorFromErrno(errno), describe("cannot create", name, errno));
    }
    return open(name, Access::readWrite);
}

Result<> SharedSection::growTo(std::string_view name, std::size_t size) {
    const int opened = shm_open(objectName(name).c_str(), O_RDWR, 0);
    if (opened < 0) {
        return Failure{SectionMaker::openFailed(name, errno).errorText()};
    }
    FileDescriptor fd(opened);
    struct stat status {};
    if (fstat(fd.get(), &status) != 0) {
        return Failure{describe("cannot inspect", name, errno)};
    }
    if (!isPrivate(status)) {
        return Failure{refusal(name, status)};
    }
    if (static_cast<std::size_t>(status.st_size) < size &&
        ftruncate(fd.get(), static_cast<off_t>(size)) != 0) {
        return Failure{describe("cannot enlarge", name, errno)};
    }
    return {};
}

void SharedSection::remove(std::string_view name) {
    shm_unlink(objectName(name).c_str());
}

std::size_t SharedSection::currentSize() const {
    struct stat status {};
    if (descriptor_ < 0 || fstat(descriptor_, &status) != 0 || status.st_size < 0) {
        return 0;
    }
    return static_cast<std::size_t>(status.st_size);
}

bool SharedSection::tryLockForWriting() {
    return descriptor_ >= 0 && flock(descriptor_, LOCK_EX | LOCK_NB) == 0;
}

void SharedSection::close() {
    if (address_ != nullptr) {
        munmap(address_, size_);
    }
    if (descriptor_ >= 0) {
        ::close(descriptor_);
    }
    address_ = nullptr;
    descriptor_ = -1;
    size_ = 0;
    createdHere_ = false;
}

}  // namespace velvix::platform
