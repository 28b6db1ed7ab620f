#include "velvix/platform/aligned_bytes.hpp"

#include "velvix/platform/aligned_memory.hpp"

namespace velvix::platform {

void AlignedDeleter::operator()(void* memory) const {
    freeAligned(memory);
}

AlignedBytes allocateAlignedBytes(std::size_t bytes, std::size_t alignment) {
    return AlignedBytes(static_cast<std::uint8_t*>(allocateAligned(bytes, alignment)));
}

}  // namespace velvix::platform
