#pragma once

#include <cstdint>
#include <string>

namespace velvix::testing {

// Whether the shared-memory section of that name can be reached by its owner, the current
// user, and nobody else: checked from outside the platform layer, by the system's own
// description of the section (its file mode on Linux, its owner and DACL on Windows).
bool sectionIsOwnerOnly(const std::string& name);

// A section under that name that the program must refuse to use, kept while the object
// lives: an empty one on Linux, one open to everyone on Windows.
class UnusableSection {
  public:
    explicit UnusableSection(const std::string& name);
    ~UnusableSection();
    UnusableSection(const UnusableSection&) = delete;
    UnusableSection& operator=(const UnusableSection&) = delete;
    // False when a section of that name existed already, so none was made.
    bool made() const { return made_; }

  private:
    std::intptr_t handle_ = -1;
    bool made_ = false;
};

}  // namespace velvix::testing
