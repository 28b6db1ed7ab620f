#pragma once

#include <functional>
#include <string>

namespace velvix::platform {

// Asks the desktop to open the address in the user's web browser and does not wait for it.
// The address is passed as one argument, never through a shell. False when that could not even
// be started; `failedLater`, when given, is called from another thread if the desktop's opener
// ends with a failure afterwards (no browser installed, say).
bool openInBrowser(const std::string& url, std::function<void()> failedLater = {});

}  // namespace velvix::platform
