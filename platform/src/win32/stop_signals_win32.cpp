#include <windows.h>

#include "velvix/platform/stop_signals.hpp"

namespace velvix::platform {
namespace {

HANDLE stopEvent = nullptr;

BOOL WINAPI onConsoleControl(DWORD) {
    SetEvent(stopEvent);
    return TRUE;
}

}  // namespace

StopSignals::StopSignals() {
    stopEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    SetConsoleCtrlHandler(onConsoleControl, TRUE);
}

StopSignals::~StopSignals() {
    SetConsoleCtrlHandler(onConsoleControl, FALSE);
    CloseHandle(stopEvent);
    stopEvent = nullptr;
}

bool StopSignals::wait(std::uint32_t milliseconds) {
    return WaitForSingleObject(stopEvent, milliseconds) == WAIT_OBJECT_0;
}

}  // namespace velvix::platform
