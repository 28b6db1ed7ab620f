#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace velvix::testing {

// Whether only the current user, its owner, can reach the section: checked by the system's own
// description of it (its file mode on Linux, its owner and DACL on Windows).
bool sectionIsOwnerOnly(const std::string& name);

// A section under that name that the program must refuse, open to everyone (mode 0666 on
// Linux, a DACL granting Everyone on Windows), `bytes` long and filled with `fill`: what another
// program might plant. It is removed when the object goes.
class PlantedSection {
  public:
    PlantedSection(const std::string& name, std::size_t bytes, std::uint8_t fill = 0);
    ~PlantedSection();
    PlantedSection(const PlantedSection&) = delete;
    PlantedSection& operator=(const PlantedSection&) = delete;
    // False when a section of that name existed already, so none was made.
    bool made() const { return made_; }

  protected:
    struct Unusable {};
    PlantedSection(const std::string& name, Unusable);

  private:
    std::string name_;
    std::intptr_t handle_ = -1;
    bool made_ = false;
};

// A section under that name that the program cannot use though it is its user's own (an empty
// one on Linux, one its owner may only read on Windows).
class UnusableSection : public PlantedSection {
  public:
    explicit UnusableSection(const std::string& name) : PlantedSection(name, Unusable{}) {}
};

// The first `bytes` bytes of a section, read without the checks of the program's own code.
std::vector<std::uint8_t> sectionBytes(const std::string& name, std::size_t bytes);

#ifndef _WIN32
// Where sections go while the object lives: a new runtime folder of mode 0700 (removed at the
// end) or, for `shared`, none (XDG_RUNTIME_DIR unset), so that they go to /dev/shm.
class ScopedSectionFolder {
  public:
    enum class Kind { runtime, shared };
    explicit ScopedSectionFolder(Kind kind);
    ~ScopedSectionFolder();
    ScopedSectionFolder(const ScopedSectionFolder&) = delete;
    ScopedSectionFolder& operator=(const ScopedSectionFolder&) = delete;
    // The runtime folder; empty for `shared`.
    const std::string& path() const { return path_; }

  private:
    std::optional<std::string> previous_;
    std::string path_;
};

// Makes the section as another program might, with that mode.
bool makeSection(const std::string& name, unsigned mode, std::size_t bytes, std::uint8_t fill = 0);
// Cuts a section down to `bytes`, as its owner may. Windows sections never shrink.
bool truncateSection(const std::string& name, std::size_t bytes);
#endif

}  // namespace velvix::testing
