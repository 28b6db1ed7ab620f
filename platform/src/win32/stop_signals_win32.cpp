#include <windows.h>

#include "velvix/platform/stop_signals.hpp"

namespace velvix::platform {
namespace {

// Manual-reset events: one set by any stop request, one set once the program has finished
// with the requests (the owner is gone).
HANDLE stopEvent = nullptr;
HANDLE finishedEvent = nullptr;

// Runs on a thread of its own that the system starts for each console event.
BOOL WINAPI onConsoleControl(DWORD event) {
    switch (event) {
        case CTRL_C_EVENT:
        case CTRL_BREAK_EVENT:
            SetEvent(stopEvent);
            return TRUE;
        case CTRL_CLOSE_EVENT:
        case CTRL_LOGOFF_EVENT:
        case CTRL_SHUTDOWN_EVENT:
            // The system ends the process as soon as this returns, so wait (within the few
            // seconds it grants) for the program to stop its work first.
            SetEvent(stopEvent);
            WaitForSingleObject(finishedEvent, 4500);
            return TRUE;
        default:
            return FALSE;
    }
}

}  // namespace

StopSignals::StopSignals() {
    stopEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    finishedEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    SetConsoleCtrlHandler(onConsoleControl, TRUE);
}

// The events stay: a handler thread may still be waiting on them.
StopSignals::~StopSignals() {
    SetConsoleCtrlHandler(onConsoleControl, FALSE);
    SetEvent(finishedEvent);
}

// The system runs the handler on a thread of its own whichever threads the process has, so every
// request is seen. Windows has no signal for a pipe whose reader has gone: writing to it fails
// with an error already.
bool StopSignals::wait(std::uint32_t milliseconds) {
    requested_ = requested_ || WaitForSingleObject(stopEvent, milliseconds) == WAIT_OBJECT_0;
    return requested_;
}

}  // namespace velvix::platform
