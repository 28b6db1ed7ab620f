#pragma once

#include <string>
#include <string_view>

#include "velvix/base/result.hpp"

namespace velvix::platform {

// The SHA-256 digest of `bytes`, as 64 lower-case hexadecimal digits.
std::string sha256Hex(std::string_view bytes);

// The SHA-256 digest of a file's contents, read in pieces, so that a data file can be checked
// against the digest it was shipped with before a library parses it.
Result<std::string> fileSha256(const std::string& path);

}  // namespace velvix::platform
