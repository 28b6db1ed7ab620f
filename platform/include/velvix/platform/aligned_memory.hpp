#pragma once

#include <cstddef>

namespace velvix::platform {

// Memory whose address is a multiple of `alignment` (a power of two), `bytes` rounded up to a
// multiple of it; null when there is none. Release it with freeAligned only.
void* allocateAligned(std::size_t bytes, std::size_t alignment);
void freeAligned(void* memory);

}  // namespace velvix::platform
