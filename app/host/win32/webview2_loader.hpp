#pragma once

#include <windows.h>

#include "velvix/base/result.hpp"

namespace velvix {

// WebView2Loader.dll's entry point CreateCoreWebView2EnvironmentWithOptions, the library loaded
// at run time so that the program starts without it. The library stays loaded for the life of
// the process.
Result<FARPROC> loadWebView2();

}  // namespace velvix
