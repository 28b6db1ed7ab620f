#pragma once

#include <dshow.h>
#include <wrl/client.h>

#include <atomic>
#include <vector>

#include "camera_formats.hpp"

namespace velvix::virtual_camera {

// The filter's pins, of which the camera has one; the enumerator keeps the filter alive.
class PinEnumerator final : public IEnumPins {
  public:
    PinEnumerator(IBaseFilter& filter, IPin& pin, ULONG position = 0);

    STDMETHODIMP QueryInterface(REFIID id, void** object) override;
    STDMETHODIMP_(ULONG) AddRef() override;
    STDMETHODIMP_(ULONG) Release() override;

    STDMETHODIMP Next(ULONG count, IPin** pins, ULONG* fetched) override;
    STDMETHODIMP Skip(ULONG count) override;
    STDMETHODIMP Reset() override;
    STDMETHODIMP Clone(IEnumPins** copy) override;

  private:
    ~PinEnumerator();

    std::atomic<ULONG> references_{1};
    Microsoft::WRL::ComPtr<IBaseFilter> filter_;
    IPin& pin_;  // the filter's, alive as long as the filter
    ULONG position_;
};

// A pin's media types, each handed out as a type of its own that the caller frees.
class MediaTypeEnumerator final : public IEnumMediaTypes {
  public:
    explicit MediaTypeEnumerator(std::vector<CameraFormat> formats, ULONG position = 0);

    STDMETHODIMP QueryInterface(REFIID id, void** object) override;
    STDMETHODIMP_(ULONG) AddRef() override;
    STDMETHODIMP_(ULONG) Release() override;

    STDMETHODIMP Next(ULONG count, AM_MEDIA_TYPE** types, ULONG* fetched) override;
    STDMETHODIMP Skip(ULONG count) override;
    STDMETHODIMP Reset() override;
    STDMETHODIMP Clone(IEnumMediaTypes** copy) override;

  private:
    ~MediaTypeEnumerator();

    std::atomic<ULONG> references_{1};
    std::vector<CameraFormat> formats_;
    ULONG position_;
};

}  // namespace velvix::virtual_camera
