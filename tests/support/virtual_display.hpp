#pragma once

#include <memory>
#include <string>

namespace velvix::testing {

class ChildProcess;

// An Xvfb server of the test's own: it picks a free display number, and DISPLAY names it
// while the object lives.
class VirtualDisplay {
  public:
    VirtualDisplay();
    ~VirtualDisplay();
    VirtualDisplay(const VirtualDisplay&) = delete;
    VirtualDisplay& operator=(const VirtualDisplay&) = delete;

    bool running() const { return !name_.empty(); }
    // ":N", or empty when the server did not start.
    const std::string& name() const { return name_; }

  private:
    std::string log_;
    std::unique_ptr<ChildProcess> server_;
    std::string name_;
};

// A fresh, empty folder under the system's temporary folder, removed with its content at the
// end.
class ScopedFolder {
  public:
    ScopedFolder();
    ~ScopedFolder();
    ScopedFolder(const ScopedFolder&) = delete;
    ScopedFolder& operator=(const ScopedFolder&) = delete;
    const std::string& path() const { return path_; }

  private:
    std::string path_;
};

}  // namespace velvix::testing
