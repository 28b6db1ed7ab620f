#include "camera_filter.hpp"

// After dshow.h, which it builds on.
#include <dvdmedia.h>
#include <wrl/client.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cwchar>
#include <functional>
#include <stop_token>
#include <thread>

#include "test_support.hpp"

namespace velvix::testing {
namespace {

using Microsoft::WRL::ComPtr;

// The pacing of the frames sent; the tests wait for frames, never for a time.
constexpr auto kFrameGap = std::chrono::milliseconds(10);

AM_MEDIA_TYPE* mediaTypeOf(const CameraCapability& format) {
    auto* header = static_cast<VIDEOINFOHEADER2*>(CoTaskMemAlloc(sizeof(VIDEOINFOHEADER2)));
    *header = VIDEOINFOHEADER2{};
    header->AvgTimePerFrame = format.fastest;
    header->bmiHeader.biSize = sizeof(BITMAPINFOHEADER);
    header->bmiHeader.biWidth = format.width;
    header->bmiHeader.biHeight = format.height;
    header->bmiHeader.biCompression = format.subtype.Data1;
    auto* type = static_cast<AM_MEDIA_TYPE*>(CoTaskMemAlloc(sizeof(AM_MEDIA_TYPE)));
    *type = AM_MEDIA_TYPE{};
    type->majortype = MEDIATYPE_Video;
    type->subtype = format.subtype;
    type->formattype = FORMAT_VideoInfo2;
    type->cbFormat = sizeof *header;
    type->pbFormat = reinterpret_cast<BYTE*>(header);
    return type;
}

// What many methods answer: `value` in `*out`.
template <typename T, typename V>
HRESULT put(T* out, V value) {
    *out = value;
    return S_OK;
}

// QueryInterface's answer: `object`, or no such interface when it is null.
template <typename Interface>
HRESULT answer(Interface* object, void** out) {
    *out = object;
    if (object == nullptr) {
        return E_NOINTERFACE;
    }
    object->AddRef();
    return S_OK;
}

// The reference count of an object that deletes itself with the last reference.
template <typename Interface>
class Counted : public Interface {
  public:
    STDMETHODIMP_(ULONG) AddRef() override { return ++references_; }
    STDMETHODIMP_(ULONG) Release() override {
        const ULONG left = --references_;
        if (left == 0) {
            delete this;
        }
        return left;
    }

  protected:
    virtual ~Counted() = default;

  private:
    std::atomic<ULONG> references_{1};
};

// A one-shot enumerator over items made as they are taken; the graph never skips or clones.
template <typename Interface, typename Item>
class Enumerator final : public Counted<Interface> {
  public:
    explicit Enumerator(std::vector<std::function<Item()>> items) : items_(std::move(items)) {}

    STDMETHODIMP QueryInterface(REFIID id, void** out) override {
        const bool known = IsEqualIID(id, IID_IUnknown) || IsEqualIID(id, __uuidof(Interface));
        return answer(known ? this : nullptr, out);
    }
    STDMETHODIMP Next(ULONG count, Item* out, ULONG* fetched) override {
        ULONG given = 0;
        for (; given < count && next_ < items_.size(); ++given) {
            out[given] = items_[next_++]();
        }
        if (fetched != nullptr) {
            *fetched = given;
        }
        return given == count ? S_OK : S_FALSE;
    }
    STDMETHODIMP Skip(ULONG) override { return E_NOTIMPL; }
    STDMETHODIMP Reset() override { return put(&next_, 0u); }
    STDMETHODIMP Clone(Interface**) override { return E_NOTIMPL; }

  private:
    std::vector<std::function<Item()>> items_;
    std::size_t next_ = 0;
};

// The camera: the filter and its one output pin in one object with one reference count.
class CameraFilter final : public Counted<IBaseFilter>,
                           public IPin,
                           public IAMStreamConfig,
                           public IKsPropertySet {
  public:
    explicit CameraFilter(CameraDescription& camera)
        : camera_(camera), current_(camera.capabilities.front()) {}
    ~CameraFilter() override { Stop(); }

    STDMETHODIMP QueryInterface(REFIID id, void** out) override {
        if (IsEqualIID(id, IID_IPin)) {
            return answer(static_cast<IPin*>(this), out);
        }
        if (IsEqualIID(id, IID_IAMStreamConfig)) {
            return answer(static_cast<IAMStreamConfig*>(this), out);
        }
        if (IsEqualIID(id, IID_IKsPropertySet)) {
            return answer(static_cast<IKsPropertySet*>(this), out);
        }
        const bool known = IsEqualIID(id, IID_IUnknown) || IsEqualIID(id, IID_IPersist) ||
                           IsEqualIID(id, IID_IMediaFilter) || IsEqualIID(id, IID_IBaseFilter);
        return answer(known ? static_cast<IBaseFilter*>(this) : nullptr, out);
    }
    STDMETHODIMP_(ULONG) AddRef() override { return Counted::AddRef(); }
    STDMETHODIMP_(ULONG) Release() override { return Counted::Release(); }

    // IBaseFilter.
    STDMETHODIMP Stop() override {
        if (allocator_ != nullptr) {
            allocator_->Decommit();  // ends a wait for a free buffer
        }
        sender_ = {};  // asks the sender to stop and joins it
        return put(&state_, State_Stopped);
    }
    STDMETHODIMP Pause() override { return put(&state_, State_Paused); }
    STDMETHODIMP Run(REFERENCE_TIME) override {
        if (allocator_ != nullptr && !sender_.joinable()) {
            allocator_->Commit();
            sender_ = std::jthread([this](std::stop_token stop) { send(stop); });
        }
        return put(&state_, State_Running);
    }
    STDMETHODIMP GetState(DWORD, FILTER_STATE* state) override { return put(state, state_); }
    STDMETHODIMP SetSyncSource(IReferenceClock*) override { return S_OK; }
    STDMETHODIMP GetSyncSource(IReferenceClock** clock) override { return put(clock, nullptr); }
    STDMETHODIMP EnumPins(IEnumPins** pins) override {
        return put(pins, new Enumerator<IEnumPins, IPin*>({[this] {
                       AddRef();
                       return static_cast<IPin*>(this);
                   }}));
    }
    STDMETHODIMP QueryFilterInfo(FILTER_INFO* info) override {
        std::wcscpy(info->achName, L"Test camera");
        answer(graph_, reinterpret_cast<void**>(&info->pGraph));
        return S_OK;
    }
    // The graph holds the filter, not the other way round.
    STDMETHODIMP JoinFilterGraph(IFilterGraph* graph, LPCWSTR) override {
        return put(&graph_, graph);
    }
    STDMETHODIMP FindPin(LPCWSTR, IPin**) override { return VFW_E_NOT_FOUND; }
    STDMETHODIMP GetClassID(CLSID*) override { return E_NOTIMPL; }
    STDMETHODIMP QueryVendorInfo(LPWSTR*) override { return E_NOTIMPL; }

    // IPin: an output pin that offers its current format only.
    STDMETHODIMP Connect(IPin* receiver, const AM_MEDIA_TYPE*) override {
        AM_MEDIA_TYPE* type = mediaTypeOf(current_);
        HRESULT result = receiver->ReceiveConnection(this, type);
        CoTaskMemFree(type->pbFormat);
        CoTaskMemFree(type);
        ALLOCATOR_PROPERTIES wanted{2, static_cast<long>(camera_.frame.size()), 1, 0};
        ALLOCATOR_PROPERTIES actual{};
        if (SUCCEEDED(result) &&
            SUCCEEDED(result = receiver->QueryInterface(IID_IMemInputPin, &input_)) &&
            FAILED(input_->GetAllocator(&allocator_))) {
            result = CoCreateInstance(CLSID_MemoryAllocator, nullptr, CLSCTX_INPROC_SERVER,
                                      IID_IMemAllocator, &allocator_);
        }
        if (FAILED(result) || FAILED(result = allocator_->SetProperties(&wanted, &actual)) ||
            FAILED(result = input_->NotifyAllocator(allocator_.Get(), FALSE))) {
            Disconnect();
            return result;
        }
        connected_ = receiver;
        return S_OK;
    }
    STDMETHODIMP Disconnect() override {
        const HRESULT result = connected_ != nullptr ? S_OK : S_FALSE;
        connected_.Reset();
        input_.Reset();
        allocator_.Reset();
        return result;
    }
    STDMETHODIMP ConnectedTo(IPin** pin) override {
        const HRESULT result = answer(connected_.Get(), reinterpret_cast<void**>(pin));
        return result == S_OK ? S_OK : VFW_E_NOT_CONNECTED;
    }
    STDMETHODIMP QueryPinInfo(PIN_INFO* info) override {
        AddRef();
        return put(info, PIN_INFO{this, PINDIR_OUTPUT, L"Capture"});
    }
    STDMETHODIMP QueryDirection(PIN_DIRECTION* direction) override {
        return put(direction, PINDIR_OUTPUT);
    }
    STDMETHODIMP EnumMediaTypes(IEnumMediaTypes** types) override {
        return put(types, new Enumerator<IEnumMediaTypes, AM_MEDIA_TYPE*>(
                              {[current = current_] { return mediaTypeOf(current); }}));
    }
    STDMETHODIMP NewSegment(REFERENCE_TIME, REFERENCE_TIME, double) override { return S_OK; }
    // What only an input pin is asked, or what the graph does not ask.
    STDMETHODIMP ReceiveConnection(IPin*, const AM_MEDIA_TYPE*) override { return E_UNEXPECTED; }
    STDMETHODIMP QueryId(LPWSTR*) override { return E_NOTIMPL; }
    STDMETHODIMP ConnectionMediaType(AM_MEDIA_TYPE*) override { return E_NOTIMPL; }
    STDMETHODIMP QueryAccept(const AM_MEDIA_TYPE*) override { return E_NOTIMPL; }
    STDMETHODIMP QueryInternalConnections(IPin**, ULONG*) override { return E_NOTIMPL; }
    STDMETHODIMP EndOfStream() override { return E_UNEXPECTED; }
    STDMETHODIMP BeginFlush() override { return E_UNEXPECTED; }
    STDMETHODIMP EndFlush() override { return E_UNEXPECTED; }

    // IAMStreamConfig: a listed sub-type and size, with a period within its range.
    STDMETHODIMP SetFormat(AM_MEDIA_TYPE* type) override {
        if (type == nullptr || !IsEqualGUID(type->formattype, FORMAT_VideoInfo2) ||
            type->cbFormat < sizeof(VIDEOINFOHEADER2)) {
            return VFW_E_INVALIDMEDIATYPE;
        }
        const auto& header = *reinterpret_cast<const VIDEOINFOHEADER2*>(type->pbFormat);
        const REFERENCE_TIME period = header.AvgTimePerFrame;
        for (const CameraCapability& listed : camera_.capabilities) {
            if (IsEqualGUID(listed.subtype, type->subtype) &&
                listed.width == header.bmiHeader.biWidth &&
                listed.height == header.bmiHeader.biHeight && period >= listed.fastest &&
                period <= listed.slowest) {
                current_ = {listed.subtype, listed.width, listed.height, period, period};
                camera_.formatsSet.push_back(current_);
                return S_OK;
            }
        }
        return VFW_E_INVALIDMEDIATYPE;
    }
    STDMETHODIMP GetFormat(AM_MEDIA_TYPE** type) override {
        return put(type, mediaTypeOf(current_));
    }
    STDMETHODIMP GetNumberOfCapabilities(int* count, int* size) override {
        *size = sizeof(VIDEO_STREAM_CONFIG_CAPS);
        return put(count, static_cast<int>(camera_.capabilities.size()));
    }
    STDMETHODIMP GetStreamCaps(int index, AM_MEDIA_TYPE** type, BYTE* caps) override {
        const CameraCapability& listed = camera_.capabilities.at(static_cast<std::size_t>(index));
        *type = mediaTypeOf(listed);
        auto& sizes = *reinterpret_cast<VIDEO_STREAM_CONFIG_CAPS*>(caps);
        sizes = VIDEO_STREAM_CONFIG_CAPS{};
        sizes.guid = FORMAT_VideoInfo2;
        sizes.MinOutputSize = sizes.MaxOutputSize = SIZE{listed.width, listed.height};
        sizes.MinFrameInterval = listed.fastest;
        sizes.MaxFrameInterval = listed.slowest;
        return S_OK;
    }

    // IKsPropertySet: the pin's category, which the capture graph builder looks for.
    STDMETHODIMP Get(REFGUID, DWORD id, LPVOID, DWORD, LPVOID data, DWORD size,
                     DWORD* returned) override {
        if (id != AMPROPERTY_PIN_CATEGORY || size < sizeof(GUID)) {
            return E_PROP_ID_UNSUPPORTED;
        }
        if (returned != nullptr) {
            *returned = sizeof(GUID);
        }
        return put(static_cast<GUID*>(data), PIN_CATEGORY_CAPTURE);
    }
    STDMETHODIMP Set(REFGUID, DWORD, LPVOID, DWORD, LPVOID, DWORD) override { return E_NOTIMPL; }
    STDMETHODIMP QuerySupported(REFGUID, DWORD, DWORD*) override { return E_NOTIMPL; }

  private:
    void send(const std::stop_token& stop) {
        for (; !stop.stop_requested(); testing::tickUnlessStopped(stop, kFrameGap)) {
            ComPtr<IMediaSample> sample;
            BYTE* data = nullptr;
            if (FAILED(allocator_->GetBuffer(&sample, nullptr, nullptr, 0)) ||
                FAILED(sample->GetPointer(&data))) {
                return;
            }
            std::copy(camera_.frame.begin(), camera_.frame.end(), data);
            sample->SetActualDataLength(static_cast<long>(camera_.frame.size()));
            sample->SetSyncPoint(TRUE);
            input_->Receive(sample.Get());
        }
    }

    CameraDescription& camera_;
    CameraCapability current_;
    ComPtr<IPin> connected_;
    ComPtr<IMemInputPin> input_;
    ComPtr<IMemAllocator> allocator_;
    std::jthread sender_;
    IFilterGraph* graph_ = nullptr;
    FILTER_STATE state_ = State_Stopped;
};

}  // namespace

IBaseFilter* makeCameraFilter(CameraDescription& camera) {
    return new CameraFilter(camera);
}

}  // namespace velvix::testing
