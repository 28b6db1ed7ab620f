#pragma once

#include <string_view>

namespace velvix::platform {

// Writes one line of diagnostics where a developer looks for them (the debugger on Windows,
// standard error elsewhere). Safe to call from any thread; lines never interleave.
void debugOutput(std::string_view line);

}  // namespace velvix::platform
