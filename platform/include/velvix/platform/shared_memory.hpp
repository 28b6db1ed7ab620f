#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <type_traits>

#include "velvix/base/result.hpp"

namespace velvix::platform {

// `notPrivate`: what stands under the name must not be used as a section: it is not the current
// user's alone, or not a plain file (see SharedSection).
enum class SectionError { none, notFound, permissionDenied, notPrivate, other };

// A named block of memory shared between processes and mapped whole into this one.
//
// The picture a section carries is private: every operation that opens a section by name
// (open, openOrCreate and growTo) first checks, on the open object itself and before mapping or
// changing it, that the section belongs to the user running this program and that no one else
// has any access to it. On Linux that is a regular file (opened without waiting and without
// following a link, so that a FIFO or a device under the name cannot hold the program up) with
// the owner's user id and a mode without group or other bits; on Windows the section's owner
// and a DACL that grants access to that owner alone. Anything else fails with
// SectionError::notPrivate, and errorText() says in one line where the object is, what it is or
// whose it is and what access it grants, and how to get rid of it. A section that cannot be
// opened for lack of permission is a section of someone else's, and its text says so too where
// the system can tell.
class SharedSection {
  public:
    enum class Access { readOnly, readWrite };

    // Where the section of that name is, as a person would look for it; every operation by name
    // goes there. On Linux a file in the user's runtime folder ($XDG_RUNTIME_DIR) when that
    // folder is the user's alone (a folder of theirs without group or other access), otherwise
    // in /dev/shm, which all users share (said once on the debug output, with the reason); on
    // Windows the name in the session's own namespace, Local\NAME.
    static std::string location(std::string_view name);

    // Opens a section that exists already.
    static SharedSection open(std::string_view name, Access access);
    // Opens the section by name or, when there is none, creates it with `size` bytes and with
    // access for the current user only. An existing section keeps the size it has; callers check
    // size().
    static SharedSection openOrCreate(std::string_view name, std::size_t size);
    // Makes an existing section at least `size` bytes long, where the system lets sections grow.
    // Mappings made before keep their own length.
    static Result<> growTo(std::string_view name, std::size_t size);
    // Drops the name, so that the next openOrCreate makes a new section. Where a section
    // disappears with its last user anyway, there is nothing to do.
    static void remove(std::string_view name);

    SharedSection() = default;
    SharedSection(SharedSection&& other) noexcept;
    SharedSection& operator=(SharedSection&& other) noexcept;
    SharedSection(const SharedSection&) = delete;
    SharedSection& operator=(const SharedSection&) = delete;
    ~SharedSection();

    bool isOpen() const { return address_ != nullptr; }
    std::byte* data() const { return static_cast<std::byte*>(address_); }
    // The size of the section when it was mapped, all of which is mapped.
    std::size_t size() const { return size_; }
    // The size the section has now. Where the system lets another process with access shrink a
    // section, touching mapped bytes beyond it would end this process; a writer asks before each
    // write. Where sections cannot shrink, this is size(). 0 when the section is not open.
    std::size_t currentSize() const;
    bool createdHere() const { return createdHere_; }
    SectionError error() const { return error_; }
    // What went wrong, for a person to read; empty when the section is open.
    const std::string& errorText() const { return errorText_; }

    // Takes the writer's lock of the section without waiting: at most one open section of a
    // name holds it at a time, whether the other one is open in this process or in another (of
    // the same session, where the system has sessions). The lock is released by close() or when
    // the process ends, however it ends. False when another open section holds it (or the lock
    // cannot be taken at all).
    bool tryLockForWriting();

    void close();

  private:
    // Helpers of the operating-system layer, where it has any.
    friend struct SectionMaker;

    static SharedSection failed(SectionError error, std::string text);
    // A section over a mapping that the operating-system layer has made.
    static SharedSection adopt(void* address, std::size_t size, void* handle, bool createdHere);
    void swap(SharedSection& other) noexcept;

    void* address_ = nullptr;
    std::size_t size_ = 0;
    void* handle_ = nullptr;      // kept only where the mapping needs it
    int descriptor_ = -1;         // POSIX systems: the open section, which carries the lock
    void* writerLock_ = nullptr;  // Windows: the writer's lock object, while the lock is held
    std::string name_;            // Windows: the name, which names the lock object
    bool createdHere_ = false;
    SectionError error_ = SectionError::none;
    std::string errorText_;
};

// Runs `access`, which reads or writes mapped bytes of sections, and tells whether it ran to its
// end. Where the owner of a section may cut it down under a mapping (Linux), touching the lost
// pages raises SIGBUS; while `access` runs on this thread that stops `access` where it is, instead
// of the process, and the answer is false. So `access` must leave nothing to release behind it:
// no locks, no allocations, no objects with destructors of their own.
bool runAccessingSections(void (*access)(void* context) noexcept, void* context);

template <typename Access>
bool accessSections(Access&& access) {
    return runAccessingSections(
        [](void* context) noexcept { (*static_cast<std::remove_reference_t<Access>*>(context))(); },
        &access);
}

}  // namespace velvix::platform
