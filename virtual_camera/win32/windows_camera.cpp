#include "velvix/virtual_camera/windows_camera.hpp"

#include <windows.h>

namespace velvix::virtual_camera {
namespace {

// A named event in the session's namespace, like the ring itself: it exists while at least
// one camera holds it, and nobody ever waits on it.
std::wstring readingMarkName(std::string_view ringName) {
    std::wstring name = L"Local\\VelvixCameraReading.";
    const int units = MultiByteToWideChar(CP_UTF8, 0, ringName.data(),
                                          static_cast<int>(ringName.size()), nullptr, 0);
    const std::size_t start = name.size();
    name.resize(start + static_cast<std::size_t>(units));
    MultiByteToWideChar(CP_UTF8, 0, ringName.data(), static_cast<int>(ringName.size()),
                        name.data() + start, units);
    return name;
}

bool cameraRegistered() {
    HKEY key = nullptr;
    const std::wstring path =
        std::wstring(L"CLSID\\") + kWindowsCameraClassId + L"\\InprocServer32";
    if (RegOpenKeyExW(HKEY_CLASSES_ROOT, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) {
        return false;
    }
    RegCloseKey(key);
    return true;
}

}  // namespace

WindowsCameraUse windowsCameraUse(std::string_view ringName) {
    if (!cameraRegistered()) {
        return WindowsCameraUse::notInstalled;
    }
    const HANDLE mark = OpenEventW(SYNCHRONIZE, FALSE, readingMarkName(ringName).c_str());
    if (mark == nullptr) {
        return WindowsCameraUse::idle;
    }
    CloseHandle(mark);
    return WindowsCameraUse::reading;
}

ReadingMark::ReadingMark(std::string_view ringName)
    : event_(CreateEventW(nullptr, TRUE, FALSE, readingMarkName(ringName).c_str())) {}

ReadingMark::~ReadingMark() {
    if (event_ != nullptr) {
        CloseHandle(event_);
    }
}

}  // namespace velvix::virtual_camera
