#include <malloc.h>

#include "velvix/platform/aligned_memory.hpp"

namespace velvix::platform {

// The C runtime of Windows has no aligned_alloc; its aligned blocks need their own free.
void* allocateAligned(std::size_t bytes, std::size_t alignment) {
    const std::size_t rounded = (bytes + alignment - 1) / alignment * alignment;
    return _aligned_malloc(rounded, alignment);
}

void freeAligned(void* memory) {
    _aligned_free(memory);
}

// Large pages on Windows come only from VirtualAlloc, to accounts holding the privilege to lock
// pages in memory, which a user's program does not have: the memory keeps small pages.
void adviseLargePages(void* /*memory*/, std::size_t /*bytes*/) {}

}  // namespace velvix::platform
