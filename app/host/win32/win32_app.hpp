#pragma once

#include "options.hpp"

namespace velvix {

// Runs the program with its window: the frame worker behind the web view's pages, until the
// window is closed (exit code 0), or 1 when the window cannot be made.
int runWindow(const AppOptions& options);

}  // namespace velvix
