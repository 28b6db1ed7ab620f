#include <cstdio>
#include <cstdlib>

#include "host/headless_host.hpp"
#ifdef _WIN32
#include <windows.h>

#include "host/win32/win32_app.hpp"
#else
#include "host/gtk/gtk_app.hpp"
#endif
#include "options.hpp"
#include "velvix/platform/log.hpp"

int main(int argc, char** argv) {
#ifdef _WIN32
    // Libraries named without a path come from the system's folder or the program's own, never
    // from the current folder or PATH, where anyone who can write there could plant one.
    SetDefaultDllDirectories(LOAD_LIBRARY_SEARCH_SYSTEM32 | LOAD_LIBRARY_SEARCH_APPLICATION_DIR);
#endif
    const auto parsed =
        velvix::parseAppOptions({argv + 1, argv + argc}, std::getenv("VELVIX_FILE_CAMERA"));
    if (!parsed) {
        std::fprintf(stderr, "velvix: %s\n%s", parsed.error().c_str(), velvix::appUsage().c_str());
        return 2;
    }
    if (parsed->help) {
        std::printf("%s", velvix::appUsage().c_str());
        return 0;
    }
    velvix::platform::configureLogging(parsed->verbose);
    return parsed->headless ? velvix::runHeadless(*parsed) : velvix::runWindow(*parsed);
}
