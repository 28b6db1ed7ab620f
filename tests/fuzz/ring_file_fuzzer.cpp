// Feeds any bytes to the ring's readers and writer as the object under the ring's name in a
// runtime folder of the run's own, found the way every program finds it. The first byte says
// what stands there: a file with one of a few modes, a link to such a file, a FIFO or a folder;
// the rest is the file's content. Nothing may wait, crash, or take for a ring an object that is
// not a regular file of the user's alone.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <iterator>
#include <string>

#include "velvix/pipeline/frame_ring.hpp"

namespace {

enum class Kind { file, link, fifo, folder };

constexpr mode_t kModes[] = {0600, 0644, 0660, 0400, 0666};

// The run's own runtime folder, made once and pointed at by XDG_RUNTIME_DIR.
struct RuntimeFolder {
    RuntimeFolder() {
        path = (std::filesystem::temp_directory_path() / "velvix-fuzz-runtime-XXXXXX").string();
        if (mkdtemp(path.data()) != nullptr) {
            setenv("XDG_RUNTIME_DIR", path.c_str(), 1);
        }
    }
    ~RuntimeFolder() {
        std::error_code ignored;
        std::filesystem::remove_all(path, ignored);
    }
    std::string path;
};

bool writeFile(const std::string& path, mode_t mode, const std::uint8_t* data, std::size_t size) {
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (fd < 0) {
        return false;
    }
    const bool written =
        write(fd, data, size) == static_cast<ssize_t>(size) && fchmod(fd, mode) == 0;
    close(fd);
    return written;
}

bool place(Kind kind, mode_t mode, const std::string& path, const std::uint8_t* data,
           std::size_t size) {
    switch (kind) {
        case Kind::file:
            return writeFile(path, mode, data, size);
        case Kind::link:
            return writeFile(path + ".target", mode, data, size) &&
                   symlink((path + ".target").c_str(), path.c_str()) == 0;
        case Kind::fifo:
            return mkfifo(path.c_str(), mode) == 0 && chmod(path.c_str(), mode) == 0;
        case Kind::folder:
            return mkdir(path.c_str(), mode | 0700) == 0;
    }
    return false;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const RuntimeFolder folder;
    static const std::string name = "VelvixFuzz";
    if (size == 0 || folder.path.empty()) {
        return 0;
    }
    const auto kind = static_cast<Kind>(data[0] % 4);
    const mode_t mode = kModes[data[0] / 4 % std::size(kModes)];
    const std::string path = folder.path + "/" + name;
    std::error_code ignored;
    std::filesystem::remove_all(path, ignored);
    std::filesystem::remove(path + ".target", ignored);
    if (velvix::platform::SharedSection::location(name) != path ||
        !place(kind, mode, path, data + 1, size - 1)) {
        return 0;
    }
    const bool usable = kind == Kind::file && (mode & 077) == 0;

    const auto reader = velvix::FrameRingReader::open(name);
    if (reader.isOpen() && !usable) {
        __builtin_trap();
    }
    reader.header();
    velvix::RingFrame frame;
    reader.readNewest(frame, 3);
    static_cast<void>(velvix::requestRingSize(name, {32, 16}));
    velvix::platform::DebugOnce debug;
    velvix::FrameRing::attach(name, debug);
    const auto created = velvix::FrameRing::create(name, {32, 16}, debug);
    if (created && !usable) {
        __builtin_trap();
    }
    return 0;
}
