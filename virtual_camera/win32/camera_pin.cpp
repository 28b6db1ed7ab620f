#include "camera_pin.hpp"

#include <algorithm>
#include <cstring>

#include "camera_filter.hpp"
#include "camera_module.hpp"
#include "enumerators.hpp"

namespace velvix::virtual_camera {
namespace {

using Microsoft::WRL::ComPtr;

constexpr wchar_t kPinName[] = L"Capture";
// Enough for the renderer to hold one while the next is filled and one is on its way.
constexpr LONG kBuffers = 3;

// Tells the filter's lock scope apart from the COM boilerplate around it.
using FilterLock = std::lock_guard<std::recursive_mutex>;

}  // namespace

CameraPin::CameraPin(CameraFilter& filter, std::vector<CameraFormat> offered)
    : filter_(filter), offered_(std::move(offered)) {}

STDMETHODIMP CameraPin::QueryInterface(REFIID id, void** object) {
    if (object == nullptr) {
        return E_POINTER;
    }
    if (IsEqualIID(id, IID_IUnknown) || IsEqualIID(id, IID_IPin)) {
        *object = static_cast<IPin*>(this);
    } else if (IsEqualIID(id, IID_IAMStreamConfig)) {
        *object = static_cast<IAMStreamConfig*>(this);
    } else if (IsEqualIID(id, IID_IKsPropertySet)) {
        *object = static_cast<IKsPropertySet*>(this);
    } else {
        *object = nullptr;
        return E_NOINTERFACE;
    }
    AddRef();
    return S_OK;
}

STDMETHODIMP_(ULONG) CameraPin::AddRef() {
    return filter_.AddRef();
}

STDMETHODIMP_(ULONG) CameraPin::Release() {
    return filter_.Release();
}

std::vector<CameraFormat> CameraPin::candidates(const AM_MEDIA_TYPE* wish) const {
    std::vector<CameraFormat> formats = chosen_ ? std::vector{*chosen_} : offered_;
    if (wish != nullptr) {
        std::erase_if(formats, [&](const CameraFormat& format) { return !allows(*wish, format); });
    }
    return formats;
}

STDMETHODIMP CameraPin::Connect(IPin* receiver, const AM_MEDIA_TYPE* wish) {
    if (receiver == nullptr) {
        return E_POINTER;
    }
    return guarded([&] {
        const FilterLock lock(filter_.lock());
        if (peer_ != nullptr) {
            return VFW_E_ALREADY_CONNECTED;
        }
        if (filter_.state() != State_Stopped) {
            return VFW_E_NOT_STOPPED;
        }
        for (const CameraFormat& format : candidates(wish)) {
            if (SUCCEEDED(tryConnection(*receiver, format))) {
                return S_OK;
            }
        }
        return VFW_E_NO_ACCEPTABLE_TYPES;
    });
}

// The connection counts as made while the receiving pin looks at it, as it may ask this pin
// about it.
HRESULT CameraPin::tryConnection(IPin& receiver, const CameraFormat& format) {
    AM_MEDIA_TYPE type;
    if (!describeFormat(format, type)) {
        return E_OUTOFMEMORY;
    }
    peer_ = &receiver;
    connected_ = format;
    HRESULT result = receiver.ReceiveConnection(this, &type);
    freeMediaType(type);
    if (FAILED(result)) {
        dropConnection();
        return result;
    }
    result = receiver.QueryInterface(IID_IMemInputPin, &peerInput_);
    if (SUCCEEDED(result)) {
        allocator_ = agreeOnAllocator(*peerInput_.Get(), format);
        result = allocator_ != nullptr ? S_OK : VFW_E_NO_ALLOCATOR;
    }
    if (FAILED(result)) {
        receiver.Disconnect();
        dropConnection();
    }
    return result;
}

// The input pin's own allocator where it has one that takes our buffers, else a new one; the
// input pin's requirements (alignment, prefix, more buffers) are kept.
ComPtr<IMemAllocator> CameraPin::agreeOnAllocator(IMemInputPin& input,
                                                  const CameraFormat& format) const {
    const auto bytes = static_cast<LONG>(sampleBytes(format));
    ALLOCATOR_PROPERTIES wanted{};
    input.GetAllocatorRequirements(&wanted);
    wanted.cBuffers = std::max(wanted.cBuffers, kBuffers);
    wanted.cbBuffer = std::max(wanted.cbBuffer, bytes);
    wanted.cbAlign = std::max<LONG>(wanted.cbAlign, 1);
    auto settle = [&](IMemAllocator& allocator) {
        ALLOCATOR_PROPERTIES actual{};
        return SUCCEEDED(allocator.SetProperties(&wanted, &actual)) && actual.cBuffers >= 1 &&
               actual.cbBuffer >= bytes && SUCCEEDED(input.NotifyAllocator(&allocator, FALSE));
    };
    ComPtr<IMemAllocator> allocator;
    if (SUCCEEDED(input.GetAllocator(&allocator)) && settle(*allocator.Get())) {
        return allocator;
    }
    allocator.Reset();
    if (SUCCEEDED(CoCreateInstance(CLSID_MemoryAllocator, nullptr, CLSCTX_INPROC_SERVER,
                                   IID_IMemAllocator, &allocator)) &&
        settle(*allocator.Get())) {
        return allocator;
    }
    return nullptr;
}

void CameraPin::dropConnection() {
    allocator_.Reset();
    peerInput_.Reset();
    peer_.Reset();
    connected_.reset();
}

// Only input pins receive connections.
STDMETHODIMP CameraPin::ReceiveConnection(IPin*, const AM_MEDIA_TYPE*) {
    return E_UNEXPECTED;
}

STDMETHODIMP CameraPin::Disconnect() {
    const FilterLock lock(filter_.lock());
    if (filter_.state() != State_Stopped) {
        return VFW_E_NOT_STOPPED;
    }
    if (peer_ == nullptr) {
        return S_FALSE;
    }
    dropConnection();
    return S_OK;
}

STDMETHODIMP CameraPin::ConnectedTo(IPin** pin) {
    if (pin == nullptr) {
        return E_POINTER;
    }
    const FilterLock lock(filter_.lock());
    if (peer_ == nullptr) {
        *pin = nullptr;
        return VFW_E_NOT_CONNECTED;
    }
    *pin = peer_.Get();
    (*pin)->AddRef();
    return S_OK;
}

STDMETHODIMP CameraPin::ConnectionMediaType(AM_MEDIA_TYPE* type) {
    if (type == nullptr) {
        return E_POINTER;
    }
    const FilterLock lock(filter_.lock());
    if (!connected_) {
        *type = AM_MEDIA_TYPE{};
        return VFW_E_NOT_CONNECTED;
    }
    return describeFormat(*connected_, *type) ? S_OK : E_OUTOFMEMORY;
}

STDMETHODIMP CameraPin::QueryPinInfo(PIN_INFO* info) {
    if (info == nullptr) {
        return E_POINTER;
    }
    info->pFilter = &filter_;
    filter_.AddRef();
    info->dir = PINDIR_OUTPUT;
    std::wcsncpy(info->achName, kPinName, MAX_PIN_NAME);
    return S_OK;
}

STDMETHODIMP CameraPin::QueryDirection(PIN_DIRECTION* direction) {
    if (direction == nullptr) {
        return E_POINTER;
    }
    *direction = PINDIR_OUTPUT;
    return S_OK;
}

STDMETHODIMP CameraPin::QueryId(LPWSTR* id) {
    if (id == nullptr) {
        return E_POINTER;
    }
    *id = static_cast<LPWSTR>(CoTaskMemAlloc(sizeof kPinName));
    if (*id == nullptr) {
        return E_OUTOFMEMORY;
    }
    std::memcpy(*id, kPinName, sizeof kPinName);
    return S_OK;
}

STDMETHODIMP CameraPin::QueryAccept(const AM_MEDIA_TYPE* type) {
    if (type == nullptr) {
        return E_POINTER;
    }
    return guarded([&] { return requestedFormat(*type, offered_) ? S_OK : S_FALSE; });
}

STDMETHODIMP CameraPin::EnumMediaTypes(IEnumMediaTypes** types) {
    if (types == nullptr) {
        return E_POINTER;
    }
    return guarded([&] {
        const FilterLock lock(filter_.lock());
        *types = new MediaTypeEnumerator(FormatTypes(candidates(nullptr)));
        return S_OK;
    });
}

STDMETHODIMP CameraPin::QueryInternalConnections(IPin**, ULONG*) {
    return E_NOTIMPL;
}

// Calls that only an input pin takes.
STDMETHODIMP CameraPin::EndOfStream() {
    return E_UNEXPECTED;
}
STDMETHODIMP CameraPin::BeginFlush() {
    return E_UNEXPECTED;
}
STDMETHODIMP CameraPin::EndFlush() {
    return E_UNEXPECTED;
}

STDMETHODIMP CameraPin::NewSegment(REFERENCE_TIME, REFERENCE_TIME, double) {
    return S_OK;
}

// A format set while connected in another one reconnects the pin, if the other pin takes it.
STDMETHODIMP CameraPin::SetFormat(AM_MEDIA_TYPE* type) {
    if (type == nullptr) {
        return E_POINTER;
    }
    return guarded([&] {
        const FilterLock lock(filter_.lock());
        if (filter_.state() != State_Stopped) {
            return VFW_E_NOT_STOPPED;
        }
        const auto format = requestedFormat(*type, offered_);
        if (!format) {
            return VFW_E_INVALIDMEDIATYPE;
        }
        if (peer_ == nullptr || connected_ == format) {
            chosen_ = format;
            return S_OK;
        }
        AM_MEDIA_TYPE wanted;
        if (!describeFormat(*format, wanted)) {
            return E_OUTOFMEMORY;
        }
        const HRESULT accepted = peer_->QueryAccept(&wanted);
        freeMediaType(wanted);
        if (accepted != S_OK) {
            return VFW_E_INVALIDMEDIATYPE;
        }
        if (filter_.graph() == nullptr) {
            return VFW_E_NOT_IN_GRAPH;
        }
        chosen_ = format;
        return filter_.graph()->Reconnect(this);
    });
}

STDMETHODIMP CameraPin::GetFormat(AM_MEDIA_TYPE** type) {
    if (type == nullptr) {
        return E_POINTER;
    }
    const FilterLock lock(filter_.lock());
    const CameraFormat& format = connected_ ? *connected_ : chosen_ ? *chosen_ : offered_.front();
    *type = newMediaType(format);
    return *type != nullptr ? S_OK : E_OUTOFMEMORY;
}

STDMETHODIMP CameraPin::GetNumberOfCapabilities(int* count, int* size) {
    if (count == nullptr || size == nullptr) {
        return E_POINTER;
    }
    *count = static_cast<int>(offered_.size());
    *size = sizeof(VIDEO_STREAM_CONFIG_CAPS);
    return S_OK;
}

STDMETHODIMP CameraPin::GetStreamCaps(int index, AM_MEDIA_TYPE** type, BYTE* capabilities) {
    if (type == nullptr || capabilities == nullptr) {
        return E_POINTER;
    }
    if (index < 0 || static_cast<std::size_t>(index) >= offered_.size()) {
        return S_FALSE;
    }
    const CameraFormat& format = offered_[static_cast<std::size_t>(index)];
    *type = newMediaType(format);
    if (*type == nullptr) {
        return E_OUTOFMEMORY;
    }
    const VIDEO_STREAM_CONFIG_CAPS caps = capabilitiesOf(format);
    std::memcpy(capabilities, &caps, sizeof caps);
    return S_OK;
}

STDMETHODIMP CameraPin::Set(REFGUID, DWORD, LPVOID, DWORD, LPVOID, DWORD) {
    return E_NOTIMPL;
}

STDMETHODIMP CameraPin::Get(REFGUID set, DWORD id, LPVOID, DWORD, LPVOID value, DWORD valueBytes,
                            DWORD* returned) {
    if (!IsEqualGUID(set, AMPROPSETID_Pin)) {
        return E_PROP_SET_UNSUPPORTED;
    }
    if (id != AMPROPERTY_PIN_CATEGORY) {
        return E_PROP_ID_UNSUPPORTED;
    }
    if (returned != nullptr) {
        *returned = sizeof(GUID);
    }
    if (value == nullptr) {
        return returned != nullptr ? S_OK : E_POINTER;
    }
    if (valueBytes < sizeof(GUID)) {
        return E_UNEXPECTED;
    }
    std::memcpy(value, &PIN_CATEGORY_CAPTURE, sizeof(GUID));
    return S_OK;
}

STDMETHODIMP CameraPin::QuerySupported(REFGUID set, DWORD id, DWORD* support) {
    if (!IsEqualGUID(set, AMPROPSETID_Pin)) {
        return E_PROP_SET_UNSUPPORTED;
    }
    if (id != AMPROPERTY_PIN_CATEGORY) {
        return E_PROP_ID_UNSUPPORTED;
    }
    if (support != nullptr) {
        *support = KSPROPERTY_SUPPORT_GET;
    }
    return S_OK;
}

HRESULT CameraPin::startStream(const std::string& ringName, std::unique_ptr<CameraStream>& stream) {
    if (peer_ == nullptr) {
        return S_OK;
    }
    return guarded([&] {
        stream = CameraStream::start({allocator_, peerInput_, *connected_, ringName});
        return stream != nullptr ? S_OK : VFW_E_NO_ALLOCATOR;
    });
}

}  // namespace velvix::virtual_camera
