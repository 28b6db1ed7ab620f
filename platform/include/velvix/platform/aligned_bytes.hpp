#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

namespace velvix::platform {

// Memory from allocateAligned, released with freeAligned.
struct AlignedDeleter {
    void operator()(void* memory) const;
};
using AlignedBytes = std::unique_ptr<std::uint8_t[], AlignedDeleter>;

// Nothing when the allocation fails. The size is rounded up to the alignment.
AlignedBytes allocateAlignedBytes(std::size_t bytes, std::size_t alignment);

}  // namespace velvix::platform
