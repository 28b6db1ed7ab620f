#include "enumerators.hpp"

#include "camera_module.hpp"

namespace velvix::virtual_camera {
namespace {

// Next's rule for every enumerator: `fetched` may be null only when one item is asked for.
bool mayFetch(ULONG count, const void* items, const ULONG* fetched) {
    return items != nullptr && (fetched != nullptr || count == 1);
}

HRESULT fetchedAll(ULONG count, ULONG got, ULONG* fetched) {
    if (fetched != nullptr) {
        *fetched = got;
    }
    return got == count ? S_OK : S_FALSE;
}

HRESULT skipWithin(ULONG& position, ULONG size, ULONG count) {
    if (count > size - position) {
        position = size;
        return S_FALSE;
    }
    position += count;
    return S_OK;
}

}  // namespace

PinEnumerator::PinEnumerator(IBaseFilter& filter, IPin& pin, ULONG position)
    : filter_(&filter), pin_(pin), position_(position) {
    countObject();
}

PinEnumerator::~PinEnumerator() {
    uncountObject();
}

STDMETHODIMP PinEnumerator::QueryInterface(REFIID id, void** object) {
    if (object == nullptr) {
        return E_POINTER;
    }
    if (IsEqualIID(id, IID_IUnknown) || IsEqualIID(id, IID_IEnumPins)) {
        *object = static_cast<IEnumPins*>(this);
        AddRef();
        return S_OK;
    }
    *object = nullptr;
    return E_NOINTERFACE;
}

STDMETHODIMP_(ULONG) PinEnumerator::AddRef() {
    return ++references_;
}

STDMETHODIMP_(ULONG) PinEnumerator::Release() {
    const ULONG left = --references_;
    if (left == 0) {
        delete this;
    }
    return left;
}

STDMETHODIMP PinEnumerator::Next(ULONG count, IPin** pins, ULONG* fetched) {
    if (!mayFetch(count, pins, fetched)) {
        return E_POINTER;
    }
    ULONG got = 0;
    if (count > 0 && position_ == 0) {
        pins[got++] = &pin_;
        pin_.AddRef();
        ++position_;
    }
    return fetchedAll(count, got, fetched);
}

STDMETHODIMP PinEnumerator::Skip(ULONG count) {
    return skipWithin(position_, 1, count);
}

STDMETHODIMP PinEnumerator::Reset() {
    position_ = 0;
    return S_OK;
}

STDMETHODIMP PinEnumerator::Clone(IEnumPins** copy) {
    if (copy == nullptr) {
        return E_POINTER;
    }
    return guarded([&] {
        *copy = new PinEnumerator(*filter_.Get(), pin_, position_);
        return S_OK;
    });
}

MediaTypeEnumerator::MediaTypeEnumerator(std::vector<CameraFormat> formats, ULONG position)
    : formats_(std::move(formats)), position_(position) {
    countObject();
}

MediaTypeEnumerator::~MediaTypeEnumerator() {
    uncountObject();
}

STDMETHODIMP MediaTypeEnumerator::QueryInterface(REFIID id, void** object) {
    if (object == nullptr) {
        return E_POINTER;
    }
    if (IsEqualIID(id, IID_IUnknown) || IsEqualIID(id, IID_IEnumMediaTypes)) {
        *object = static_cast<IEnumMediaTypes*>(this);
        AddRef();
        return S_OK;
    }
    *object = nullptr;
    return E_NOINTERFACE;
}

STDMETHODIMP_(ULONG) MediaTypeEnumerator::AddRef() {
    return ++references_;
}

STDMETHODIMP_(ULONG) MediaTypeEnumerator::Release() {
    const ULONG left = --references_;
    if (left == 0) {
        delete this;
    }
    return left;
}

STDMETHODIMP MediaTypeEnumerator::Next(ULONG count, AM_MEDIA_TYPE** types, ULONG* fetched) {
    if (!mayFetch(count, types, fetched)) {
        return E_POINTER;
    }
    ULONG got = 0;
    while (got < count && position_ < formats_.size()) {
        AM_MEDIA_TYPE* type = newMediaType(formats_[position_]);
        if (type == nullptr) {
            for (ULONG handed = 0; handed < got; ++handed) {
                deleteMediaType(types[handed]);
            }
            return E_OUTOFMEMORY;
        }
        types[got++] = type;
        ++position_;
    }
    return fetchedAll(count, got, fetched);
}

STDMETHODIMP MediaTypeEnumerator::Skip(ULONG count) {
    return skipWithin(position_, static_cast<ULONG>(formats_.size()), count);
}

STDMETHODIMP MediaTypeEnumerator::Reset() {
    position_ = 0;
    return S_OK;
}

STDMETHODIMP MediaTypeEnumerator::Clone(IEnumMediaTypes** copy) {
    if (copy == nullptr) {
        return E_POINTER;
    }
    return guarded([&] {
        *copy = new MediaTypeEnumerator(formats_, position_);
        return S_OK;
    });
}

}  // namespace velvix::virtual_camera
