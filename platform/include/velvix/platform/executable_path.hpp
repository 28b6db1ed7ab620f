#pragma once

#include <string>

namespace velvix::platform {

// The folder that holds the running program, without a trailing separator; empty when the
// system does not say.
std::string executableDirectory();

}  // namespace velvix::platform
