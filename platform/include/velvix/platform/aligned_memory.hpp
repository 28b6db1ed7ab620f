#pragma once

#include <cstddef>

namespace velvix::platform {

// Memory whose address is a multiple of `alignment` (a power of two), `bytes` rounded up to a
// multiple of it; null when there is none. Release it with freeAligned only.
void* allocateAligned(std::size_t bytes, std::size_t alignment);
void freeAligned(void* memory);

// Asks the system to back memory not yet touched with large pages where it can; a hint only.
void adviseLargePages(void* memory, std::size_t bytes);

}  // namespace velvix::platform
