#include "velvix/platform/shared_memory.hpp"

#include <utility>

namespace velvix::platform {

SharedSection::SharedSection(SharedSection&& other) noexcept {
    swap(other);
}

SharedSection& SharedSection::operator=(SharedSection&& other) noexcept {
    if (this != &other) {
        close();
        swap(other);
    }
    return *this;
}

SharedSection::~SharedSection() {
    close();
}

SharedSection SharedSection::failed(SectionError error, std::string text) {
    SharedSection section;
    section.error_ = error;
    section.errorText_ = std::move(text);
    return section;
}

SharedSection SharedSection::adopt(void* address, std::size_t size, void* handle,
                                   bool createdHere) {
    SharedSection section;
    section.address_ = address;
    section.size_ = size;
    section.handle_ = handle;
    section.createdHere_ = createdHere;
    return section;
}

void SharedSection::swap(SharedSection& other) noexcept {
    std::swap(address_, other.address_);
    std::swap(size_, other.size_);
    std::swap(handle_, other.handle_);
    std::swap(descriptor_, other.descriptor_);
    std::swap(writerLock_, other.writerLock_);
    std::swap(name_, other.name_);
    std::swap(createdHere_, other.createdHere_);
    std::swap(error_, other.error_);
    std::swap(errorText_, other.errorText_);
}

}  // namespace velvix::platform
