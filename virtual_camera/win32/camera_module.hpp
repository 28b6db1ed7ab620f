#pragma once

#include <windows.h>

#include <exception>
#include <new>

// What the camera's COM objects share with the DLL around them.
namespace velvix::virtual_camera {

// The camera's COM class (kWindowsCameraClassId).
const CLSID& cameraClassId();

// Every COM object of the camera counts itself while it lives, so that the DLL can tell when it
// may be unloaded.
void countObject();
void uncountObject();

// Runs a COM method's body, turning an exception (memory ran short) into its HRESULT: none may
// leave through a COM interface.
template <typename Body>
HRESULT guarded(Body&& body) noexcept {
    try {
        return body();
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    } catch (...) {
        return E_UNEXPECTED;
    }
}

}  // namespace velvix::virtual_camera
