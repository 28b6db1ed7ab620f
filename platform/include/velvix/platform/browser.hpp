#pragma once

#include <string>

namespace velvix::platform {

// Asks the desktop to open the address in the user's web browser and does not wait for it.
// The address is passed as one argument, never through a shell. False when that could not even
// be started.
bool openInBrowser(const std::string& url);

}  // namespace velvix::platform
