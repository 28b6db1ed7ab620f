// The DLL around the camera: its class factory, the four functions COM and regsvr32 call, and
// the count of live objects that decides whether it may be unloaded.
#include "camera_module.hpp"

#include <objbase.h>

#include <atomic>

#include "camera_filter.hpp"
#include "camera_registration.hpp"
#include "velvix/virtual_camera/windows_camera.hpp"

namespace velvix::virtual_camera {
namespace {

HMODULE thisModule = nullptr;
std::atomic<long> liveObjects{0};
std::atomic<long> serverLocks{0};

// One factory for the DLL's life, so it counts nothing itself; a lock on it keeps the DLL
// loaded.
class CameraFactory final : public IClassFactory {
  public:
    STDMETHODIMP QueryInterface(REFIID id, void** object) override {
        if (object == nullptr) {
            return E_POINTER;
        }
        if (IsEqualIID(id, IID_IUnknown) || IsEqualIID(id, IID_IClassFactory)) {
            *object = static_cast<IClassFactory*>(this);
            return S_OK;
        }
        *object = nullptr;
        return E_NOINTERFACE;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return 2; }
    STDMETHODIMP_(ULONG) Release() override { return 1; }

    STDMETHODIMP CreateInstance(IUnknown* outer, REFIID id, void** object) override {
        if (object == nullptr) {
            return E_POINTER;
        }
        *object = nullptr;
        return outer != nullptr ? CLASS_E_NOAGGREGATION : CameraFilter::create(id, object);
    }
    STDMETHODIMP LockServer(BOOL lock) override {
        serverLocks += lock ? 1 : -1;
        return S_OK;
    }
};

CameraFactory factory;

}  // namespace

const CLSID& cameraClassId() {
    static const CLSID id = [] {
        CLSID parsed{};
        CLSIDFromString(kWindowsCameraClassId, &parsed);
        return parsed;
    }();
    return id;
}

void countObject() {
    ++liveObjects;
}

void uncountObject() {
    --liveObjects;
}

}  // namespace velvix::virtual_camera

using namespace velvix::virtual_camera;

extern "C" BOOL WINAPI DllMain(HINSTANCE module, DWORD reason, LPVOID) {
    if (reason == DLL_PROCESS_ATTACH) {
        thisModule = module;
        DisableThreadLibraryCalls(module);
    }
    return TRUE;
}

STDAPI DllGetClassObject(REFCLSID classId, REFIID id, LPVOID* object) {
    if (object == nullptr) {
        return E_POINTER;
    }
    if (!IsEqualCLSID(classId, cameraClassId())) {
        *object = nullptr;
        return CLASS_E_CLASSNOTAVAILABLE;
    }
    return factory.QueryInterface(id, object);
}

STDAPI DllCanUnloadNow() {
    return liveObjects == 0 && serverLocks == 0 ? S_OK : S_FALSE;
}

STDAPI DllRegisterServer() {
    return registerCamera(thisModule);
}

STDAPI DllUnregisterServer() {
    return unregisterCamera();
}
