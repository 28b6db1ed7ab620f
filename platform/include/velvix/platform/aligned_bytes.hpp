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

// Memory for a large table read at scattered places: on 2 MiB boundaries and, where the system
// gives them without a privilege, backed by large pages, so that a read need not first walk
// the page tables. Nothing when the allocation fails.
AlignedBytes allocateLargePageBytes(std::size_t bytes);

}  // namespace velvix::platform
