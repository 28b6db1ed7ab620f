#include <fcntl.h>
#include <pwd.h>
#include <setjmp.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "velvix/platform/log.hpp"
#include "velvix/platform/shared_memory.hpp"

namespace velvix::platform {
namespace {

constexpr mode_t kOwnerOnly = 0600;
constexpr mode_t kGroupAndOtherBits = 077;
// Where the C library keeps POSIX shared-memory objects: one folder for every user.
constexpr char kSharedFolder[] = "/dev/shm";
// Without waiting (a FIFO or a device under the name would block the open), without following
// a link, and without becoming the controlling terminal.
constexpr int kSectionFlags = O_NONBLOCK | O_NOFOLLOW | O_NOCTTY | O_CLOEXEC;

class FileDescriptor {
  public:
    explicit FileDescriptor(int fd = -1) : fd_(fd) {}
    FileDescriptor(FileDescriptor&& other) noexcept : fd_(other.release()) {}
    FileDescriptor& operator=(FileDescriptor&&) = delete;
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;
    ~FileDescriptor() {
        if (fd_ >= 0) {
            ::close(fd_);
        }
    }
    int get() const { return fd_; }
    int release() { return std::exchange(fd_, -1); }

  private:
    int fd_;
};

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

std::string describe(std::string_view what, const std::string& path, int error) {
    return std::string(what) + " shared memory " + path + ": " + std::strerror(error);
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

bool isOwnersAlone(const struct stat& status) {
    return status.st_uid == geteuid() && (status.st_mode & kGroupAndOtherBits) == 0;
}

bool isPrivateFile(const struct stat& status) {
    return S_ISREG(status.st_mode) && isOwnersAlone(status);
}

std::string kindText(mode_t mode) {
    if (S_ISFIFO(mode)) {
        return "a FIFO";
    }
    if (S_ISDIR(mode)) {
        return "a folder";
    }
    if (S_ISLNK(mode)) {
        return "a symbolic link";
    }
    if (S_ISSOCK(mode)) {
        return "a socket";
    }
    if (S_ISCHR(mode) || S_ISBLK(mode)) {
        return "a device";
    }
    return "something else";
}

// One line: the object, what it is or whose it is and its mode, and what the user can do
// about it.
std::string refusal(const std::string& path, const struct stat& status) {
    const bool ours = status.st_uid == geteuid();
    const std::string removal = (S_ISDIR(status.st_mode) ? "rmdir " : "rm ") + path;
    const std::string advice =
        ours ? "remove it (" + removal + ")" : "have it removed (sudo " + removal + ")";
    if (!S_ISREG(status.st_mode)) {
        return "refusing shared memory " + path + ", which is " + kindText(status.st_mode) +
               " and not a regular file: " + advice;
    }
    return "refusing shared memory " + path + ", which belongs to " +
           (ours ? "you" : userText(status.st_uid)) + " and has mode " + modeText(status.st_mode) +
           ": only a section of your own with mode 0600 is used; " + advice;
}

// A section's name is one entry of its folder.
bool isEntryName(std::string_view name) {
    return !name.empty() && name != "." && name != ".." &&
           name.find_first_of(std::string_view("/\0", 2)) == std::string_view::npos;
}

// The folder sections live in, open, so that the folder checked is the folder used.
struct SectionFolder {
    FileDescriptor fd;
    std::string path;

    std::string pathOf(std::string_view name) const { return path + "/" + std::string(name); }
};

// Why the runtime folder at `path` must not hold sections; nothing when it may.
std::optional<std::string> runtimeFolderProblem(const std::string& path, int fd) {
    const std::string named = "XDG_RUNTIME_DIR (" + path + ")";
    if (fd < 0) {
        return named + " cannot be opened as a folder: " + std::strerror(errno);
    }
    struct stat status {};
    if (fstat(fd, &status) != 0) {
        return named + " cannot be inspected: " + std::strerror(errno);
    }
    if (status.st_uid != geteuid()) {
        return named + " belongs to " + userText(status.st_uid);
    }
    if ((status.st_mode & kGroupAndOtherBits) != 0) {
        return named + " has mode " + modeText(status.st_mode) + ", not 0700";
    }
    return std::nullopt;
}

void sayOnce(const std::string& line) {
    static std::atomic<bool> said{false};
    if (!said.exchange(true)) {
        logLine(LogCategory::ring, LogSeverity::warn, line);
    }
}

SectionFolder openSectionFolder() {
    const char* variable = std::getenv("XDG_RUNTIME_DIR");
    std::string runtime = variable == nullptr ? "" : variable;
    while (runtime.size() > 1 && runtime.back() == '/') {
        runtime.pop_back();
    }
    std::string problem = "XDG_RUNTIME_DIR is not set";
    if (!runtime.empty() && runtime.front() != '/') {
        problem = "XDG_RUNTIME_DIR (" + runtime + ") is not an absolute path";
    } else if (!runtime.empty()) {
        FileDescriptor folder(
            open(runtime.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        const auto unusable = runtimeFolderProblem(runtime, folder.get());
        if (!unusable) {
            return {std::move(folder), runtime};
        }
        problem = *unusable;
    }
    sayOnce("shared memory: " + problem + ", so sections go to " + kSharedFolder +
            ", which all users share");
    return {FileDescriptor(open(kSharedFolder, O_RDONLY | O_DIRECTORY | O_CLOEXEC)), kSharedFolder};
}

// An open section that passed the checks, and its size.
struct CheckedFile {
    FileDescriptor fd;
    std::size_t size = 0;
};

using Checked = Result<CheckedFile, SectionError>;

// Checks the object that `fd` refers to, not whatever the name points at by now.
Checked checkOpened(FileDescriptor fd, const std::string& path) {
    struct stat status {};
    if (fstat(fd.get(), &status) != 0) {
        return Failure<SectionError>{describe("cannot inspect", path, errno),
                                     errorFromErrno(errno)};
    }
    if (!isPrivateFile(status)) {
        return Failure<SectionError>{refusal(path, status), SectionError::notPrivate};
    }
    return CheckedFile{std::move(fd), static_cast<std::size_t>(std::max<off_t>(status.st_size, 0))};
}

// An object that cannot be opened may be one that must not be used (another user's, or a link);
// its own attributes tell.
Checked openFailed(const SectionFolder& folder, std::string_view name, int error) {
    const std::string path = folder.pathOf(name);
    struct stat status {};
    if (error != ENOENT &&
        fstatat(folder.fd.get(), std::string(name).c_str(), &status, AT_SYMLINK_NOFOLLOW) == 0 &&
        !isPrivateFile(status)) {
        return Failure<SectionError>{refusal(path, status), SectionError::notPrivate};
    }
    return Failure<SectionError>{describe("cannot open", path, error), errorFromErrno(error)};
}

Checked openChecked(const SectionFolder& folder, std::string_view name, int access) {
    if (!isEntryName(name)) {
        return Failure<SectionError>{"cannot open shared memory \"" + std::string(name) +
                                         "\": a section's name is one name without '/'",
                                     SectionError::other};
    }
    const int fd = openat(folder.fd.get(), std::string(name).c_str(), access | kSectionFlags);
    if (fd < 0) {
        return openFailed(folder, name, errno);
    }
    return checkOpened(FileDescriptor(fd), folder.pathOf(name));
}

// Where a fault on lost pages of a section returns to, while this thread accesses sections.
thread_local sigjmp_buf* accessReturn = nullptr;
struct sigaction previousBusAction {};

// Any other SIGBUS goes where it went before this handler was installed.
void passOnBusError(int signal, siginfo_t* info, void* context) {
    if ((previousBusAction.sa_flags & SA_SIGINFO) != 0) {
        previousBusAction.sa_sigaction(signal, info, context);
        return;
    }
    if (previousBusAction.sa_handler != SIG_DFL && previousBusAction.sa_handler != SIG_IGN) {
        previousBusAction.sa_handler(signal);
        return;
    }
    // The default action ends the process, as it would have without this handler.
    sigaction(SIGBUS, &previousBusAction, nullptr);
    raise(SIGBUS);
}

extern "C" void onBusError(int signal, siginfo_t* info, void* context) {
    if (sigjmp_buf* const target = accessReturn) {
        siglongjmp(*target, 1);
    }
    passOnBusError(signal, info, context);
}

void catchBusErrors() {
    static std::once_flag installed;
    std::call_once(installed, [] {
        struct sigaction action {};
        action.sa_sigaction = onBusError;
        sigemptyset(&action.sa_mask);
        action.sa_flags = SA_SIGINFO;
        sigaction(SIGBUS, &action, &previousBusAction);
    });
}

}  // namespace

bool runAccessingSections(void (*access)(void* context) noexcept, void* context) {
    catchBusErrors();
    sigjmp_buf jump;
    sigjmp_buf* const outer = accessReturn;
    if (sigsetjmp(jump, 1) != 0) {
        accessReturn = outer;
        return false;
    }
    accessReturn = &jump;
    access(context);
    accessReturn = outer;
    return true;
}

struct SectionMaker {
    static SharedSection map(CheckedFile file, SharedSection::Access access, bool createdHere,
                             const std::string& path);
};

SharedSection SectionMaker::map(CheckedFile file, SharedSection::Access access, bool createdHere,
                                const std::string& path) {
    if (file.size == 0) {
        return SharedSection::failed(SectionError::other, "shared memory " + path + " is empty");
    }
    const bool writable = access == SharedSection::Access::readWrite;
    void* address = mmap(nullptr, file.size, writable ? PROT_READ | PROT_WRITE : PROT_READ,
                         MAP_SHARED, file.fd.get(), 0);
    if (address == MAP_FAILED) {
        return SharedSection::failed(errorFromErrno(errno), describe("cannot map", path, errno));
    }
    SharedSection opened = SharedSection::adopt(address, file.size, nullptr, createdHere);
    opened.descriptor_ = file.fd.release();
    return opened;
}

std::string SharedSection::location(std::string_view name) {
    return openSectionFolder().pathOf(name);
}

SharedSection SharedSection::open(std::string_view name, Access access) {
    const SectionFolder folder = openSectionFolder();
    Checked file = openChecked(folder, name, access == Access::readWrite ? O_RDWR : O_RDONLY);
    if (!file) {
        return failed(file.reason(), file.error());
    }
    return SectionMaker::map(std::move(*file), access, false, folder.pathOf(name));
}

SharedSection SharedSection::openOrCreate(std::string_view name, std::size_t size) {
    if (!isEntryName(name)) {
        return open(name, Access::readWrite);  // which says why not
    }
    const SectionFolder folder = openSectionFolder();
    const std::string path = folder.pathOf(name);
    const std::string entry(name);
    const int fd = openat(folder.fd.get(), entry.c_str(), O_RDWR | O_CREAT | O_EXCL | kSectionFlags,
                          kOwnerOnly);
    if (fd < 0 && errno == EEXIST) {
        return open(name, Access::readWrite);
    }
    if (fd < 0) {
        return failed(errorFromErrno(errno), describe("cannot create", path, errno));
    }
    FileDescriptor created(fd);
    // The creation mode passes through the umask; the section must be exactly owner-only.
    if (fchmod(created.get(), kOwnerOnly) != 0 ||
        ftruncate(created.get(), static_cast<off_t>(size)) != 0) {
        const int error = errno;
        unlinkat(folder.fd.get(), entry.c_str(), 0);
        return failed(errorFromErrno(error), describe("cannot create", path, error));
    }
    Checked file = checkOpened(std::move(created), path);
    if (!file) {
        return failed(file.reason(), file.error());
    }
    return SectionMaker::map(std::move(*file), Access::readWrite, true, path);
}

Result<> SharedSection::growTo(std::string_view name, std::size_t size) {
    const SectionFolder folder = openSectionFolder();
    const Checked file = openChecked(folder, name, O_RDWR);
    if (!file) {
        return Failure{file.error()};
    }
    if (file->size < size && ftruncate(file->fd.get(), static_cast<off_t>(size)) != 0) {
        return Failure{describe("cannot enlarge", folder.pathOf(name), errno)};
    }
    return {};
}

void SharedSection::remove(std::string_view name) {
    if (isEntryName(name)) {
        unlinkat(openSectionFolder().fd.get(), std::string(name).c_str(), 0);
    }
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
