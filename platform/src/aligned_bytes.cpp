#include "velvix/platform/aligned_bytes.hpp"

#include "velvix/platform/aligned_memory.hpp"

namespace velvix::platform {

void AlignedDeleter::operator()(void* memory) const {
    freeAligned(memory);
}

AlignedBytes allocateAlignedBytes(std::size_t bytes, std::size_t alignment) {
    return AlignedBytes(static_cast<std::uint8_t*>(allocateAligned(bytes, alignment)));
}

AlignedBytes allocateLargePageBytes(std::size_t bytes) {
    constexpr std::size_t kLargePage = std::size_t{2} << 20;
    AlignedBytes memory = allocateAlignedBytes(bytes, kLargePage);
    if (memory) {
        adviseLargePages(memory.get(), (bytes + kLargePage - 1) / kLargePage * kLargePage);
    }
    return memory;
}

}  // namespace velvix::platform
