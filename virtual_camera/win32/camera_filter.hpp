#pragma once

#include <dshow.h>
#include <wrl/client.h>

#include <atomic>
#include <memory>
#include <mutex>
#include <string>

#include "camera_pin.hpp"
#include "camera_stream.hpp"

namespace velvix::virtual_camera {

// "Velvix Camera": a live video source with one output pin. It reads the ring that
// VELVIX_CAMERA_RING names, or the program's default ring. Paused it delivers nothing and says
// that it cannot cue; running, its pin's stream delivers a frame every frame period.
class CameraFilter final : public IBaseFilter, public IAMFilterMiscFlags {
  public:
    // The class factory's work: a new filter asked for interface `id`.
    static HRESULT create(REFIID id, void** object);

    STDMETHODIMP QueryInterface(REFIID id, void** object) override;
    STDMETHODIMP_(ULONG) AddRef() override;
    STDMETHODIMP_(ULONG) Release() override;

    // IPersist
    STDMETHODIMP GetClassID(CLSID* id) override;
    // IMediaFilter
    STDMETHODIMP Stop() override;
    STDMETHODIMP Pause() override;
    STDMETHODIMP Run(REFERENCE_TIME start) override;
    STDMETHODIMP GetState(DWORD milliseconds, FILTER_STATE* state) override;
    STDMETHODIMP SetSyncSource(IReferenceClock* clock) override;
    STDMETHODIMP GetSyncSource(IReferenceClock** clock) override;
    // IBaseFilter
    STDMETHODIMP EnumPins(IEnumPins** pins) override;
    STDMETHODIMP FindPin(LPCWSTR id, IPin** pin) override;
    STDMETHODIMP QueryFilterInfo(FILTER_INFO* info) override;
    STDMETHODIMP JoinFilterGraph(IFilterGraph* graph, LPCWSTR name) override;
    STDMETHODIMP QueryVendorInfo(LPWSTR* info) override;
    // IAMFilterMiscFlags
    STDMETHODIMP_(ULONG) GetMiscFlags() override;

    // For the pin, which holds the lock while it uses them.
    std::recursive_mutex& lock() { return mutex_; }
    FILTER_STATE state() const { return state_; }
    IFilterGraph* graph() const { return graph_; }

  private:
    CameraFilter();
    ~CameraFilter();

    std::atomic<ULONG> references_{1};
    const std::string ringName_;
    std::recursive_mutex mutex_;
    FILTER_STATE state_ = State_Stopped;
    Microsoft::WRL::ComPtr<IReferenceClock> clock_;
    // Not counted: the graph holds its filters, not they the graph.
    IFilterGraph* graph_ = nullptr;
    std::wstring name_;
    CameraPin pin_;
    std::unique_ptr<CameraStream> stream_;
};

}  // namespace velvix::virtual_camera
