#include "camera_filter.hpp"

#include <wrl/client.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <cwchar>
#include <functional>
#include <stop_token>
#include <thread>

namespace velvix::testing {
namespace {

using Microsoft::WRL::ComPtr;

// The pacing of the frames sent; the tests wait for frames, never for a time.
constexpr auto kFrameGap = std::chrono::milliseconds(10);

GUID mjpgSubtype() {
    return GUID{0x47504A4D, 0x0000, 0x0010, {0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71}};
}

AM_MEDIA_TYPE* mediaTypeOf(const CameraCapability& format) {
    auto* type = static_cast<AM_MEDIA_TYPE*>(CoTaskMemAlloc(sizeof(AM_MEDIA_TYPE)));
    *type = AM_MEDIA_TYPE{};
    type->majortype = MEDIATYPE_Video;
    type->subtype = format.subtype;
    type->formattype = FORMAT_VideoInfo2;
    type->cbFormat = sizeof(VIDEOINFOHEADER2);
    type->pbFormat = static_cast<BYTE*>(CoTaskMemAlloc(sizeof(VIDEOINFOHEADER2)));
    std::memcpy(type->pbFormat, &format.header, sizeof(VIDEOINFOHEADER2));
    return type;
}

// The reference count and QueryInterface of an object with one interface.
template <typename Interface>
class OneInterface : public Interface {
  public:
    STDMETHODIMP QueryInterface(REFIID id, void** object) override {
        if (!IsEqualIID(id, IID_IUnknown) && !IsEqualIID(id, __uuidof(Interface)) &&
            !alsoAnswers(id)) {
            *object = nullptr;
            return E_NOINTERFACE;
        }
        *object = static_cast<Interface*>(this);
        AddRef();
        return S_OK;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return ++references_; }
    STDMETHODIMP_(ULONG) Release() override {
        const ULONG left = --references_;
        if (left == 0) {
            delete this;
        }
        return left;
    }

  protected:
    virtual ~OneInterface() = default;
    virtual bool alsoAnswers(REFIID) const { return false; }

  private:
    std::atomic<ULONG> references_{1};
};

// A one-shot enumerator over a fixed list; Clone is not needed by the graph.
template <typename Interface, typename Out>
class ListEnumerator final : public OneInterface<Interface> {
  public:
    explicit ListEnumerator(std::vector<std::function<Out()>> items) : items_(std::move(items)) {}

    STDMETHODIMP Next(ULONG count, Out* out, ULONG* fetched) override {
        ULONG given = 0;
        for (; given < count && next_ < items_.size(); ++given, ++next_) {
            out[given] = items_[next_]();
        }
        if (fetched != nullptr) {
            *fetched = given;
        }
        return given == count ? S_OK : S_FALSE;
    }
    STDMETHODIMP Skip(ULONG count) override {
        next_ += count;
        return next_ <= items_.size() ? S_OK : S_FALSE;
    }
    STDMETHODIMP Reset() override {
        next_ = 0;
        return S_OK;
    }
    STDMETHODIMP Clone(Interface**) override { return E_NOTIMPL; }

  private:
    std::vector<std::function<Out()>> items_;
    std::size_t next_ = 0;
};

class CameraPin final : public IPin, public IAMStreamConfig, public IKsPropertySet {
  public:
    CameraPin(IBaseFilter& filter, CameraDescription& camera)
        : filter_(filter), camera_(camera), current_(camera.capabilities.front()) {}
    ~CameraPin() { stopSending(); }

    STDMETHODIMP QueryInterface(REFIID id, void** object) override {
        if (IsEqualIID(id, IID_IUnknown) || IsEqualIID(id, IID_IPin)) {
            *object = static_cast<IPin*>(this);
        } else if (IsEqualIID(id, IID_IAMStreamConfig) && camera_.configurable) {
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
    // The pin lives as long as its filter.
    STDMETHODIMP_(ULONG) AddRef() override { return filter_.AddRef(); }
    STDMETHODIMP_(ULONG) Release() override { return filter_.Release(); }

    // IPin: an output pin that offers its current format only.
    STDMETHODIMP Connect(IPin* receiver, const AM_MEDIA_TYPE*) override {
        if (connected_ != nullptr) {
            return VFW_E_ALREADY_CONNECTED;
        }
        AM_MEDIA_TYPE* type = mediaTypeOf(current_);
        const HRESULT accepted = receiver->ReceiveConnection(this, type);
        CoTaskMemFree(type->pbFormat);
        CoTaskMemFree(type);
        if (FAILED(accepted)) {
            return VFW_E_NO_ACCEPTABLE_TYPES;
        }
        ComPtr<IMemInputPin> input;
        HRESULT result = receiver->QueryInterface(IID_IMemInputPin, &input);
        if (SUCCEEDED(result) && FAILED(input->GetAllocator(&allocator_))) {
            result = CoCreateInstance(CLSID_MemoryAllocator, nullptr, CLSCTX_INPROC_SERVER,
                                      IID_IMemAllocator, &allocator_);
        }
        ALLOCATOR_PROPERTIES wanted{2, static_cast<long>(camera_.frame.size()), 1, 0};
        ALLOCATOR_PROPERTIES actual{};
        if (FAILED(result) || FAILED(result = allocator_->SetProperties(&wanted, &actual)) ||
            FAILED(result = input->NotifyAllocator(allocator_.Get(), FALSE))) {
            receiver->Disconnect();
            allocator_.Reset();
            return result;
        }
        connected_ = receiver;
        input_ = input;
        return S_OK;
    }
    STDMETHODIMP ReceiveConnection(IPin*, const AM_MEDIA_TYPE*) override { return E_UNEXPECTED; }
    STDMETHODIMP Disconnect() override {
        const bool wasConnected = connected_ != nullptr;
        connected_.Reset();
        input_.Reset();
        allocator_.Reset();
        return wasConnected ? S_OK : S_FALSE;
    }
    STDMETHODIMP ConnectedTo(IPin** pin) override {
        *pin = connected_.Get();
        if (*pin == nullptr) {
            return VFW_E_NOT_CONNECTED;
        }
        (*pin)->AddRef();
        return S_OK;
    }
    STDMETHODIMP ConnectionMediaType(AM_MEDIA_TYPE* type) override {
        if (connected_ == nullptr) {
            return VFW_E_NOT_CONNECTED;
        }
        AM_MEDIA_TYPE* made = mediaTypeOf(current_);
        *type = *made;  // the caller frees the format block
        CoTaskMemFree(made);
        return S_OK;
    }
    STDMETHODIMP QueryPinInfo(PIN_INFO* info) override {
        info->pFilter = &filter_;
        filter_.AddRef();
        info->dir = PINDIR_OUTPUT;
        std::wcscpy(info->achName, L"Capture");
        return S_OK;
    }
    STDMETHODIMP QueryDirection(PIN_DIRECTION* direction) override {
        *direction = PINDIR_OUTPUT;
        return S_OK;
    }
    STDMETHODIMP QueryId(LPWSTR*) override { return E_NOTIMPL; }
    STDMETHODIMP QueryAccept(const AM_MEDIA_TYPE* type) override {
        return IsEqualGUID(type->subtype, current_.subtype) ? S_OK : S_FALSE;
    }
    STDMETHODIMP EnumMediaTypes(IEnumMediaTypes** types) override {
        *types = new ListEnumerator<IEnumMediaTypes, AM_MEDIA_TYPE*>(
            {[current = current_] { return mediaTypeOf(current); }});
        return S_OK;
    }
    STDMETHODIMP QueryInternalConnections(IPin**, ULONG*) override { return E_NOTIMPL; }
    STDMETHODIMP EndOfStream() override { return E_UNEXPECTED; }
    STDMETHODIMP BeginFlush() override { return E_UNEXPECTED; }
    STDMETHODIMP EndFlush() override { return E_UNEXPECTED; }
    STDMETHODIMP NewSegment(REFERENCE_TIME, REFERENCE_TIME, double) override { return S_OK; }

    // IAMStreamConfig: a listed sub-type and size, with a period within its range.
    STDMETHODIMP SetFormat(AM_MEDIA_TYPE* type) override {
        if (type == nullptr || !IsEqualGUID(type->formattype, FORMAT_VideoInfo2) ||
            type->cbFormat < sizeof(VIDEOINFOHEADER2) || type->pbFormat == nullptr) {
            return VFW_E_INVALIDMEDIATYPE;
        }
        const auto* header = reinterpret_cast<const VIDEOINFOHEADER2*>(type->pbFormat);
        for (const CameraCapability& listed : camera_.capabilities) {
            if (IsEqualGUID(listed.subtype, type->subtype) &&
                listed.header.bmiHeader.biWidth == header->bmiHeader.biWidth &&
                listed.header.bmiHeader.biHeight == header->bmiHeader.biHeight &&
                header->AvgTimePerFrame >= listed.caps.MinFrameInterval &&
                header->AvgTimePerFrame <= listed.caps.MaxFrameInterval) {
                current_ = listed;
                current_.header.AvgTimePerFrame = header->AvgTimePerFrame;
                camera_.formatsSet.push_back(
                    {type->formattype, type->subtype, static_cast<int>(header->bmiHeader.biWidth),
                     static_cast<int>(header->bmiHeader.biHeight), header->AvgTimePerFrame});
                return S_OK;
            }
        }
        return VFW_E_INVALIDMEDIATYPE;
    }
    STDMETHODIMP GetFormat(AM_MEDIA_TYPE** type) override {
        *type = mediaTypeOf(current_);
        return S_OK;
    }
    STDMETHODIMP GetNumberOfCapabilities(int* count, int* size) override {
        *count = static_cast<int>(camera_.capabilities.size());
        *size = sizeof(VIDEO_STREAM_CONFIG_CAPS);
        return S_OK;
    }
    STDMETHODIMP GetStreamCaps(int index, AM_MEDIA_TYPE** type, BYTE* caps) override {
        if (index < 0 || static_cast<std::size_t>(index) >= camera_.capabilities.size()) {
            return S_FALSE;
        }
        const CameraCapability& listed = camera_.capabilities[static_cast<std::size_t>(index)];
        *type = mediaTypeOf(listed);
        std::memcpy(caps, &listed.caps, sizeof listed.caps);
        return S_OK;
    }

    // IKsPropertySet: the pin's category, which the capture graph builder looks for.
    STDMETHODIMP Set(REFGUID, DWORD, LPVOID, DWORD, LPVOID, DWORD) override { return E_NOTIMPL; }
    STDMETHODIMP Get(REFGUID set, DWORD id, LPVOID, DWORD, LPVOID data, DWORD size,
                     DWORD* returned) override {
        if (!IsEqualGUID(set, AMPROPSETID_Pin) || id != AMPROPERTY_PIN_CATEGORY ||
            size < sizeof(GUID)) {
            return E_PROP_ID_UNSUPPORTED;
        }
        *static_cast<GUID*>(data) = PIN_CATEGORY_CAPTURE;
        if (returned != nullptr) {
            *returned = sizeof(GUID);
        }
        return S_OK;
    }
    STDMETHODIMP QuerySupported(REFGUID, DWORD, DWORD*) override { return E_NOTIMPL; }

    // The filter's state changes.
    void commit() {
        if (allocator_ != nullptr) {
            allocator_->Commit();
        }
    }
    void startSending() {
        if (input_ != nullptr && !sender_.joinable()) {
            sender_ = std::jthread([this](std::stop_token stop) { send(stop); });
        }
    }
    void stopSending() {
        if (allocator_ != nullptr) {
            allocator_->Decommit();  // ends a wait for a free buffer
        }
        if (sender_.joinable()) {
            sender_.request_stop();
            sender_.join();
        }
    }

  private:
    void send(const std::stop_token& stop) {
        while (!stop.stop_requested()) {
            ComPtr<IMediaSample> sample;
            BYTE* data = nullptr;
            if (FAILED(allocator_->GetBuffer(&sample, nullptr, nullptr, 0)) ||
                FAILED(sample->GetPointer(&data))) {
                return;
            }
            std::memcpy(data, camera_.frame.data(), camera_.frame.size());
            sample->SetActualDataLength(static_cast<long>(camera_.frame.size()));
            sample->SetSyncPoint(TRUE);
            input_->Receive(sample.Get());
            sample.Reset();
            std::this_thread::sleep_for(kFrameGap);
        }
    }

    IBaseFilter& filter_;
    CameraDescription& camera_;
    CameraCapability current_;
    ComPtr<IPin> connected_;
    ComPtr<IMemInputPin> input_;
    ComPtr<IMemAllocator> allocator_;
    std::jthread sender_;
};

class CameraFilter final : public OneInterface<IBaseFilter> {
  public:
    explicit CameraFilter(CameraDescription& camera) : pin_(*this, camera) {}

    STDMETHODIMP GetClassID(CLSID*) override { return E_NOTIMPL; }
    STDMETHODIMP Stop() override {
        pin_.stopSending();
        state_ = State_Stopped;
        return S_OK;
    }
    STDMETHODIMP Pause() override {
        if (state_ == State_Stopped) {
            pin_.commit();
        }
        state_ = State_Paused;
        return S_OK;
    }
    STDMETHODIMP Run(REFERENCE_TIME) override {
        Pause();
        pin_.startSending();
        state_ = State_Running;
        return S_OK;
    }
    STDMETHODIMP GetState(DWORD, FILTER_STATE* state) override {
        *state = state_;
        return S_OK;
    }
    STDMETHODIMP SetSyncSource(IReferenceClock*) override { return S_OK; }
    STDMETHODIMP GetSyncSource(IReferenceClock** clock) override {
        *clock = nullptr;
        return S_OK;
    }
    STDMETHODIMP EnumPins(IEnumPins** pins) override {
        *pins = new ListEnumerator<IEnumPins, IPin*>({[this] {
            pin_.AddRef();
            return static_cast<IPin*>(&pin_);
        }});
        return S_OK;
    }
    STDMETHODIMP FindPin(LPCWSTR, IPin** pin) override {
        *pin = nullptr;
        return VFW_E_NOT_FOUND;
    }
    STDMETHODIMP QueryFilterInfo(FILTER_INFO* info) override {
        std::wcscpy(info->achName, L"Test camera");
        info->pGraph = graph_;
        if (graph_ != nullptr) {
            graph_->AddRef();
        }
        return S_OK;
    }
    // The graph holds the filter, not the other way round.
    STDMETHODIMP JoinFilterGraph(IFilterGraph* graph, LPCWSTR) override {
        graph_ = graph;
        return S_OK;
    }
    STDMETHODIMP QueryVendorInfo(LPWSTR*) override { return E_NOTIMPL; }

  private:
    bool alsoAnswers(REFIID id) const override {
        return IsEqualIID(id, IID_IPersist) || IsEqualIID(id, IID_IMediaFilter);
    }

    CameraPin pin_;
    IFilterGraph* graph_ = nullptr;
    FILTER_STATE state_ = State_Stopped;
};

}  // namespace

CameraCapability mjpgCapability(int width, int height, REFERENCE_TIME fastest,
                                REFERENCE_TIME slowest) {
    CameraCapability capability{};
    capability.subtype = mjpgSubtype();
    VIDEOINFOHEADER2& header = capability.header;
    header.AvgTimePerFrame = fastest;
    header.bmiHeader.biSize = sizeof(BITMAPINFOHEADER);
    header.bmiHeader.biWidth = width;
    header.bmiHeader.biHeight = height;
    header.bmiHeader.biCompression = mjpgSubtype().Data1;
    VIDEO_STREAM_CONFIG_CAPS& caps = capability.caps;
    caps.guid = FORMAT_VideoInfo2;
    caps.MinOutputSize = caps.MaxOutputSize = SIZE{width, height};
    caps.MinFrameInterval = fastest;
    caps.MaxFrameInterval = slowest;
    return capability;
}

IBaseFilter* makeCameraFilter(CameraDescription& camera) {
    return new CameraFilter(camera);
}

}  // namespace velvix::testing
