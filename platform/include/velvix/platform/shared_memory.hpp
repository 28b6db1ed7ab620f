#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace velvix::platform {

enum class SectionError { none, notFound, permissionDenied, other };

// A named block of memory shared between processes and mapped whole into this one.
// Only the owner of a section may open it: the picture it carries is private.
class SharedSection {
  public:
    enum class Access { readOnly, readWrite };

    // Opens a section that exists already.
    static SharedSection open(std::string_view name, Access access);
    // Opens the section by name or, when there is none, creates it with `size` bytes.
    // An existing section keeps the size it has; callers check size().
    static SharedSection openOrCreate(std::string_view name, std::size_t size);
    // Makes an existing section at least `size` bytes long, where the system lets sections grow.
    // Mappings made before keep their own length. Returns what went wrong, or nothing.
    static std::optional<std::string> growTo(std::string_view name, std::size_t size);
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
    // The real size of the section, all of which is mapped.
    std::size_t size() const { return size_; }
    bool createdHere() const { return createdHere_; }
    SectionError error() const { return error_; }
    // What went wrong, for a person to read; empty when the section is open.
    const std::string& errorText() const { return errorText_; }

    void close();

  private:
    static SharedSection failed(SectionError error, std::string text);
    // A section over a mapping that the operating-system layer has made.
    static SharedSection adopt(void* address, std::size_t size, void* handle, bool createdHere);
    void swap(SharedSection& other) noexcept;

    void* address_ = nullptr;
    std::size_t size_ = 0;
    void* handle_ = nullptr;  // kept only where the mapping needs it
    bool createdHere_ = false;
    SectionError error_ = SectionError::none;
    std::string errorText_;
};

}  // namespace velvix::platform
