#include "camera_registration.hpp"

#include <dshow.h>
#include <wrl/client.h>

#include <string>

#include "camera_module.hpp"
#include "velvix/virtual_camera/windows_camera.hpp"

namespace velvix::virtual_camera {
namespace {

using Microsoft::WRL::ComPtr;

std::wstring classKey() {
    return std::wstring(L"CLSID\\") + kWindowsCameraClassId;
}

std::wstring cameraName() {
    const std::string name = kWindowsCameraName;
    return std::wstring(name.begin(), name.end());
}

bool absent(LSTATUS status) {
    return status == ERROR_FILE_NOT_FOUND || status == ERROR_PATH_NOT_FOUND;
}

// Sets a text value of HKEY_CLASSES_ROOT\`key`; an empty `name` sets the key's default value.
LSTATUS setText(const std::wstring& key, const wchar_t* name, const std::wstring& text) {
    HKEY handle = nullptr;
    LSTATUS status = RegCreateKeyExW(HKEY_CLASSES_ROOT, key.c_str(), 0, nullptr, 0, KEY_SET_VALUE,
                                     nullptr, &handle, nullptr);
    if (status != ERROR_SUCCESS) {
        return status;
    }
    status = RegSetValueExW(handle, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(text.c_str()),
                            static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t)));
    RegCloseKey(handle);
    return status;
}

std::wstring modulePath(HMODULE module) {
    std::wstring path(MAX_PATH, L'\0');
    for (;;) {
        const DWORD length =
            GetModuleFileNameW(module, path.data(), static_cast<DWORD>(path.size()));
        if (length == 0) {
            return {};
        }
        if (length < path.size()) {
            path.resize(length);
            return path;
        }
        path.resize(path.size() * 2);
    }
}

HRESULT registerClass(HMODULE module) {
    const std::wstring path = modulePath(module);
    if (path.empty()) {
        return HRESULT_FROM_WIN32(GetLastError());
    }
    const std::wstring server = classKey() + L"\\InprocServer32";
    for (const LSTATUS status :
         {setText(classKey(), nullptr, cameraName()), setText(server, nullptr, path),
          setText(server, L"ThreadingModel", L"Both")}) {
        if (status != ERROR_SUCCESS) {
            return HRESULT_FROM_WIN32(status);
        }
    }
    return S_OK;
}

HRESULT unregisterClass() {
    const LSTATUS status = RegDeleteTreeW(HKEY_CLASSES_ROOT, classKey().c_str());
    return status == ERROR_SUCCESS || absent(status) ? S_OK : HRESULT_FROM_WIN32(status);
}

// COM for one registration call: regsvr32 and installers may or may not have set it up.
class ComForCall {
  public:
    ComForCall() : result_(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED)) {}
    ~ComForCall() {
        if (SUCCEEDED(result_)) {
            CoUninitialize();
        }
    }
    ComForCall(const ComForCall&) = delete;
    ComForCall& operator=(const ComForCall&) = delete;

  private:
    HRESULT result_;
};

HRESULT filterMapper(ComPtr<IFilterMapper2>& mapper) {
    return CoCreateInstance(CLSID_FilterMapper2, nullptr, CLSCTX_INPROC_SERVER, IID_IFilterMapper2,
                            &mapper);
}

}  // namespace

HRESULT registerCamera(HMODULE module) {
    return guarded([&] {
        HRESULT result = registerClass(module);
        if (FAILED(result)) {
            unregisterClass();
            return result;
        }
        const ComForCall com;
        ComPtr<IFilterMapper2> mapper;
        const REGPINTYPES types[] = {{&MEDIATYPE_Video, &MEDIASUBTYPE_YUY2},
                                     {&MEDIATYPE_Video, &MEDIASUBTYPE_RGB24}};
        REGFILTERPINS2 pin{};
        pin.dwFlags = REG_PINFLAG_B_OUTPUT;
        pin.cInstances = 1;
        pin.nMediaTypes = 2;
        pin.lpMediaType = types;
        pin.clsPinCategory = &PIN_CATEGORY_CAPTURE;
        REGFILTER2 filter{};
        filter.dwVersion = 2;
        // Sources are picked by the user, never by a graph looking for a filter to connect.
        filter.dwMerit = MERIT_DO_NOT_USE;
        filter.cPins2 = 1;
        filter.rgPins2 = &pin;
        if (FAILED(result = filterMapper(mapper)) ||
            FAILED(result =
                       mapper->RegisterFilter(cameraClassId(), cameraName().c_str(), nullptr,
                                              &CLSID_VideoInputDeviceCategory, nullptr, &filter))) {
            unregisterClass();
        }
        return result;
    });
}

HRESULT unregisterCamera() {
    return guarded([] {
        const ComForCall com;
        ComPtr<IFilterMapper2> mapper;
        HRESULT result = filterMapper(mapper);
        if (SUCCEEDED(result)) {
            result =
                mapper->UnregisterFilter(&CLSID_VideoInputDeviceCategory, nullptr, cameraClassId());
            if (result == HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND) ||
                result == HRESULT_FROM_WIN32(ERROR_PATH_NOT_FOUND)) {
                result = S_OK;
            }
        }
        const HRESULT removed = unregisterClass();
        return FAILED(result) ? result : removed;
    });
}

}  // namespace velvix::virtual_camera
