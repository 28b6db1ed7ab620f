#include <sys/mman.h>

#include <cstdlib>

#include "velvix/platform/aligned_memory.hpp"

namespace velvix::platform {

void* allocateAligned(std::size_t bytes, std::size_t alignment) {
    const std::size_t rounded = (bytes + alignment - 1) / alignment * alignment;
    return std::aligned_alloc(alignment, rounded);
}

void freeAligned(void* memory) {
    std::free(memory);
}

// Transparent huge pages are most often given only to memory that asks for them.
void adviseLargePages(void* memory, std::size_t bytes) {
    static_cast<void>(madvise(memory, bytes, MADV_HUGEPAGE));
}

}  // namespace velvix::platform
