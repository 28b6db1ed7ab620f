#pragma once

#include <cstdio>
#include <cstdlib>

namespace velvix {

// Says which condition failed where, then stops the program.
[[noreturn]] inline void failAssertion(const char* condition, const char* file, int line) {
    std::fprintf(stderr, "Assertion failed: %s, file %s, line %d\n", condition, file, line);
    std::abort();
}

}  // namespace velvix

// Stops the program when `condition` is false: for faults of the program itself, which no
// caller can recover from. Unlike assert, it is checked in every build type.
#define VELVIX_ASSERT(condition) \
    ((condition) ? static_cast<void>(0) : ::velvix::failAssertion(#condition, __FILE__, __LINE__))
