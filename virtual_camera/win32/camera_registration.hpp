#pragma once

#include <windows.h>

namespace velvix::virtual_camera {

// Registers the camera's COM class for the DLL `module` and lists the camera in the video input
// device category under its name, where the camera pickers of video-call programs look.
HRESULT registerCamera(HMODULE module);
// Undoes registerCamera; a camera that is not registered is no failure.
HRESULT unregisterCamera();

}  // namespace velvix::virtual_camera
