#pragma once

#include <dshow.h>
#include <wrl/client.h>

#include <atomic>
#include <vector>

#include "camera_formats.hpp"
#include "camera_module.hpp"

namespace velvix::virtual_camera {

// An enumerator over a fixed list, as IEnumPins and IEnumMediaTypes are. `Items` knows how many
// there are, hands out item i as the caller owns it (a counted reference, a type of its own),
// and takes back one it handed out.
template <typename Interface, typename Items>
class Enumerator final : public Interface {
  public:
    using Item = typename Items::Item;

    explicit Enumerator(Items items, ULONG position = 0)
        : items_(std::move(items)), position_(position) {
        countObject();
    }

    STDMETHODIMP QueryInterface(REFIID id, void** object) override {
        if (object == nullptr) {
            return E_POINTER;
        }
        if (!IsEqualIID(id, IID_IUnknown) && !IsEqualIID(id, __uuidof(Interface))) {
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

    // `fetched` may be null only when one item is asked for.
    STDMETHODIMP Next(ULONG count, Item* items, ULONG* fetched) override {
        if (items == nullptr || (fetched == nullptr && count != 1)) {
            return E_POINTER;
        }
        ULONG got = 0;
        for (; got < count && position_ < items_.size(); ++got, ++position_) {
            items[got] = items_.handOut(position_);
            if (items[got] == nullptr) {
                position_ -= got;
                while (got > 0) {
                    items_.takeBack(items[--got]);
                }
                return E_OUTOFMEMORY;
            }
        }
        if (fetched != nullptr) {
            *fetched = got;
        }
        return got == count ? S_OK : S_FALSE;
    }
    STDMETHODIMP Skip(ULONG count) override {
        if (count > items_.size() - position_) {
            position_ = items_.size();
            return S_FALSE;
        }
        position_ += count;
        return S_OK;
    }
    STDMETHODIMP Reset() override {
        position_ = 0;
        return S_OK;
    }
    STDMETHODIMP Clone(Interface** copy) override {
        if (copy == nullptr) {
            return E_POINTER;
        }
        return guarded([&] {
            *copy = new Enumerator(items_, position_);
            return S_OK;
        });
    }

  private:
    ~Enumerator() { uncountObject(); }

    std::atomic<ULONG> references_{1};
    Items items_;
    ULONG position_;
};

// The filter's one pin; the list keeps the filter, and with it the pin, alive.
class FilterPins {
  public:
    using Item = IPin*;

    FilterPins(IBaseFilter& filter, IPin& pin) : filter_(&filter), pin_(pin) {}
    ULONG size() const { return 1; }
    IPin* handOut(ULONG) const {
        pin_.AddRef();
        return &pin_;
    }
    void takeBack(IPin* pin) const { pin->Release(); }

  private:
    Microsoft::WRL::ComPtr<IBaseFilter> filter_;
    IPin& pin_;
};

// A pin's formats, each handed out as a media type of its own.
class FormatTypes {
  public:
    using Item = AM_MEDIA_TYPE*;

    explicit FormatTypes(std::vector<CameraFormat> formats) : formats_(std::move(formats)) {}
    ULONG size() const { return static_cast<ULONG>(formats_.size()); }
    AM_MEDIA_TYPE* handOut(ULONG index) const { return newMediaType(formats_[index]); }
    void takeBack(AM_MEDIA_TYPE* type) const { deleteMediaType(type); }

  private:
    std::vector<CameraFormat> formats_;
};

using PinEnumerator = Enumerator<IEnumPins, FilterPins>;
using MediaTypeEnumerator = Enumerator<IEnumMediaTypes, FormatTypes>;

}  // namespace velvix::virtual_camera
