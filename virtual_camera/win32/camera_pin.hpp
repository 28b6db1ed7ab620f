#pragma once

#include <dshow.h>
#include <wrl/client.h>

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "camera_formats.hpp"
#include "camera_stream.hpp"

namespace velvix::virtual_camera {

class CameraFilter;

// The camera's one output pin, "Capture", of the capture category. It connects in a format the
// camera offers (the one set through IAMStreamConfig, where one was set), agrees on an
// allocator with the input pin it connects to (that pin's own, or a new one), and hands both
// to the stream the filter runs. It lives inside its filter and shares the filter's reference
// count and lock.
class CameraPin final : public IPin, public IAMStreamConfig, public IKsPropertySet {
  public:
    CameraPin(CameraFilter& filter, std::vector<CameraFormat> offered);

    STDMETHODIMP QueryInterface(REFIID id, void** object) override;
    STDMETHODIMP_(ULONG) AddRef() override;
    STDMETHODIMP_(ULONG) Release() override;

    // IPin
    STDMETHODIMP Connect(IPin* receiver, const AM_MEDIA_TYPE* wish) override;
    STDMETHODIMP ReceiveConnection(IPin* connector, const AM_MEDIA_TYPE* type) override;
    STDMETHODIMP Disconnect() override;
    STDMETHODIMP ConnectedTo(IPin** pin) override;
    STDMETHODIMP ConnectionMediaType(AM_MEDIA_TYPE* type) override;
    STDMETHODIMP QueryPinInfo(PIN_INFO* info) override;
    STDMETHODIMP QueryDirection(PIN_DIRECTION* direction) override;
    STDMETHODIMP QueryId(LPWSTR* id) override;
    STDMETHODIMP QueryAccept(const AM_MEDIA_TYPE* type) override;
    STDMETHODIMP EnumMediaTypes(IEnumMediaTypes** types) override;
    STDMETHODIMP QueryInternalConnections(IPin** pins, ULONG* count) override;
    STDMETHODIMP EndOfStream() override;
    STDMETHODIMP BeginFlush() override;
    STDMETHODIMP EndFlush() override;
    STDMETHODIMP NewSegment(REFERENCE_TIME start, REFERENCE_TIME stop, double rate) override;

    // IAMStreamConfig
    STDMETHODIMP SetFormat(AM_MEDIA_TYPE* type) override;
    STDMETHODIMP GetFormat(AM_MEDIA_TYPE** type) override;
    STDMETHODIMP GetNumberOfCapabilities(int* count, int* size) override;
    STDMETHODIMP GetStreamCaps(int index, AM_MEDIA_TYPE** type, BYTE* capabilities) override;

    // IKsPropertySet: the pin's category, read-only.
    STDMETHODIMP Set(REFGUID set, DWORD id, LPVOID instance, DWORD instanceBytes, LPVOID value,
                     DWORD valueBytes) override;
    STDMETHODIMP Get(REFGUID set, DWORD id, LPVOID instance, DWORD instanceBytes, LPVOID value,
                     DWORD valueBytes, DWORD* returned) override;
    STDMETHODIMP QuerySupported(REFGUID set, DWORD id, DWORD* support) override;

    // The filter's, under its lock: a stream into the connected pin, or none (and S_OK) while
    // the pin is not connected.
    HRESULT startStream(const std::string& ringName, std::unique_ptr<CameraStream>& stream);

  private:
    std::vector<CameraFormat> candidates(const AM_MEDIA_TYPE* wish) const;
    HRESULT tryConnection(IPin& receiver, const CameraFormat& format);
    Microsoft::WRL::ComPtr<IMemAllocator> agreeOnAllocator(IMemInputPin& input,
                                                           const CameraFormat& format) const;
    void dropConnection();

    CameraFilter& filter_;
    const std::vector<CameraFormat> offered_;
    std::optional<CameraFormat> chosen_;  // through IAMStreamConfig::SetFormat
    Microsoft::WRL::ComPtr<IPin> peer_;
    Microsoft::WRL::ComPtr<IMemInputPin> peerInput_;
    Microsoft::WRL::ComPtr<IMemAllocator> allocator_;
    std::optional<CameraFormat> connected_;
};

}  // namespace velvix::virtual_camera
