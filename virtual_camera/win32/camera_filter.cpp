#include "camera_filter.hpp"

#include <cstdlib>
#include <cstring>
#include <cwchar>

#include "camera_module.hpp"
#include "enumerators.hpp"
#include "velvix/pipeline/frame_ring.hpp"
#include "velvix/virtual_camera/bridge.hpp"
#include "velvix/virtual_camera/windows_camera.hpp"

namespace velvix::virtual_camera {
namespace {

using FilterLock = std::lock_guard<std::recursive_mutex>;

std::string ringToRead() {
    const char* named = std::getenv(kCameraRingVariable);
    return named != nullptr && *named != '\0' ? named : kRingName;
}

}  // namespace

HRESULT CameraFilter::create(REFIID id, void** object) {
    if (object == nullptr) {
        return E_POINTER;
    }
    return guarded([&] {
        auto* filter = new CameraFilter();
        const HRESULT result = filter->QueryInterface(id, object);
        filter->Release();
        return result;
    });
}

CameraFilter::CameraFilter()
    : ringName_(ringToRead()), pin_(*this, offeredFormats(ringFrameSize(ringName_))) {
    countObject();
}

CameraFilter::~CameraFilter() {
    stream_.reset();
    uncountObject();
}

STDMETHODIMP CameraFilter::QueryInterface(REFIID id, void** object) {
    if (object == nullptr) {
        return E_POINTER;
    }
    if (IsEqualIID(id, IID_IUnknown) || IsEqualIID(id, IID_IPersist) ||
        IsEqualIID(id, IID_IMediaFilter) || IsEqualIID(id, IID_IBaseFilter)) {
        *object = static_cast<IBaseFilter*>(this);
    } else if (IsEqualIID(id, IID_IAMFilterMiscFlags)) {
        *object = static_cast<IAMFilterMiscFlags*>(this);
    } else {
        *object = nullptr;
        return E_NOINTERFACE;
    }
    AddRef();
    return S_OK;
}

STDMETHODIMP_(ULONG) CameraFilter::AddRef() {
    return ++references_;
}

STDMETHODIMP_(ULONG) CameraFilter::Release() {
    const ULONG left = --references_;
    if (left == 0) {
        delete this;
    }
    return left;
}

STDMETHODIMP CameraFilter::GetClassID(CLSID* id) {
    if (id == nullptr) {
        return E_POINTER;
    }
    *id = cameraClassId();
    return S_OK;
}

// The stream is ended outside the lock: a filter downstream may still be calling into the pin
// from the streaming thread.
STDMETHODIMP CameraFilter::Stop() {
    std::unique_ptr<CameraStream> ending;
    {
        const FilterLock lock(mutex_);
        state_ = State_Stopped;
        ending = std::move(stream_);
    }
    return S_OK;
}

STDMETHODIMP CameraFilter::Pause() {
    const FilterLock lock(mutex_);
    if (state_ == State_Stopped) {
        const HRESULT started = pin_.startStream(ringName_, stream_);
        if (FAILED(started)) {
            return started;
        }
    } else if (stream_ != nullptr) {
        stream_->pause();
    }
    state_ = State_Paused;
    return VFW_S_CANT_CUE;
}

STDMETHODIMP CameraFilter::Run(REFERENCE_TIME start) {
    const FilterLock lock(mutex_);
    if (state_ == State_Stopped) {
        const HRESULT paused = Pause();
        if (FAILED(paused)) {
            return paused;
        }
    }
    if (stream_ != nullptr) {
        stream_->run(start, clock_.Get());
    }
    state_ = State_Running;
    return S_OK;
}

STDMETHODIMP CameraFilter::GetState(DWORD, FILTER_STATE* state) {
    if (state == nullptr) {
        return E_POINTER;
    }
    const FilterLock lock(mutex_);
    *state = state_;
    return state_ == State_Paused ? VFW_S_CANT_CUE : S_OK;
}

STDMETHODIMP CameraFilter::SetSyncSource(IReferenceClock* clock) {
    const FilterLock lock(mutex_);
    clock_ = clock;
    return S_OK;
}

STDMETHODIMP CameraFilter::GetSyncSource(IReferenceClock** clock) {
    if (clock == nullptr) {
        return E_POINTER;
    }
    const FilterLock lock(mutex_);
    *clock = clock_.Get();
    if (*clock != nullptr) {
        (*clock)->AddRef();
    }
    return S_OK;
}

STDMETHODIMP CameraFilter::EnumPins(IEnumPins** pins) {
    if (pins == nullptr) {
        return E_POINTER;
    }
    return guarded([&] {
        *pins = new PinEnumerator(FilterPins(*this, pin_));
        return S_OK;
    });
}

STDMETHODIMP CameraFilter::FindPin(LPCWSTR id, IPin** pin) {
    if (id == nullptr || pin == nullptr) {
        return E_POINTER;
    }
    LPWSTR pinId = nullptr;
    const bool found = SUCCEEDED(pin_.QueryId(&pinId)) && std::wcscmp(pinId, id) == 0;
    CoTaskMemFree(pinId);
    if (!found) {
        *pin = nullptr;
        return VFW_E_NOT_FOUND;
    }
    *pin = &pin_;
    pin_.AddRef();
    return S_OK;
}

STDMETHODIMP CameraFilter::QueryFilterInfo(FILTER_INFO* info) {
    if (info == nullptr) {
        return E_POINTER;
    }
    const FilterLock lock(mutex_);
    std::wcsncpy(info->achName, name_.c_str(), MAX_FILTER_NAME - 1);
    info->achName[MAX_FILTER_NAME - 1] = L'\0';
    info->pGraph = graph_;
    if (graph_ != nullptr) {
        graph_->AddRef();
    }
    return S_OK;
}

STDMETHODIMP CameraFilter::JoinFilterGraph(IFilterGraph* graph, LPCWSTR name) {
    return guarded([&] {
        const FilterLock lock(mutex_);
        graph_ = graph;
        name_ = name != nullptr ? name : L"";
        return S_OK;
    });
}

STDMETHODIMP CameraFilter::QueryVendorInfo(LPWSTR*) {
    return E_NOTIMPL;
}

STDMETHODIMP_(ULONG) CameraFilter::GetMiscFlags() {
    return AM_FILTER_MISC_FLAGS_IS_SOURCE;
}

}  // namespace velvix::virtual_camera
