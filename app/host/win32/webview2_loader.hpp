#pragma once

#include <windows.h>

#include <string>

namespace velvix {

// WebView2Loader.dll, loaded at run time so that the program starts without it, and its
// entry point CreateCoreWebView2EnvironmentWithOptions. The library stays loaded for the
// life of the process.
struct WebView2Loader {
    FARPROC createEnvironment = nullptr;
    // Why there is no entry point, for a person to read; empty when there is one.
    std::string problem;
};
WebView2Loader loadWebView2();

}  // namespace velvix
