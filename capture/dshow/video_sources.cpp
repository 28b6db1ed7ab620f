#include "video_sources.hpp"

#include <wrl/client.h>

#include <memory>
#include <optional>

namespace velvix {
namespace {

using Microsoft::WRL::ComPtr;

// Reads one text property; nothing when the device has none.
std::optional<std::u16string> readText(IPropertyBag& bag, const wchar_t* property) {
    VARIANT value;
    VariantInit(&value);
    std::optional<std::u16string> text;
    if (SUCCEEDED(bag.Read(property, &value, nullptr)) && value.vt == VT_BSTR &&
        value.bstrVal != nullptr) {
        text.emplace(reinterpret_cast<const char16_t*>(value.bstrVal), SysStringLen(value.bstrVal));
    }
    VariantClear(&value);
    return text;
}

class SystemVideoInputs final : public VideoSources {
  public:
    std::vector<std::u16string> names() override {
        std::vector<std::u16string> found;
        forEachDevice([&](IMoniker&, IPropertyBag& bag) {
            auto name = readText(bag, L"FriendlyName");
            if (!name) {
                name = readText(bag, L"Description");
            }
            found.push_back(name.value_or(u""));
            return false;
        });
        return found;
    }

    // Counts the devices exactly as names() lists them, so that index n is the n-th name.
    HRESULT addSource(int index, IGraphBuilder& graph, IBaseFilter** source) override {
        HRESULT result = VFW_E_NOT_FOUND;
        int position = 0;
        forEachDevice([&](IMoniker& moniker, IPropertyBag& bag) {
            if (position++ != index) {
                return false;
            }
            const auto name = readText(bag, L"FriendlyName").value_or(u"Video source");
            ComPtr<IBaseFilter> filter;
            result = moniker.BindToObject(nullptr, nullptr, IID_IBaseFilter, &filter);
            if (SUCCEEDED(result)) {
                result = graph.AddFilter(filter.Get(), reinterpret_cast<LPCWSTR>(name.c_str()));
            }
            if (SUCCEEDED(result)) {
                *source = filter.Detach();
            }
            return true;
        });
        return result;
    }

  private:
    // Calls visit(moniker, property bag) for each video input device whose property bag can
    // be read, until it returns true.
    template <typename Visit>
    void forEachDevice(Visit&& visit) {
        ComPtr<ICreateDevEnum> devices;
        ComPtr<IEnumMoniker> monikers;
        // S_FALSE (and no enumerator) when the category is empty.
        if (FAILED(CoCreateInstance(CLSID_SystemDeviceEnum, nullptr, CLSCTX_INPROC_SERVER,
                                    IID_ICreateDevEnum, &devices)) ||
            devices->CreateClassEnumerator(CLSID_VideoInputDeviceCategory, &monikers, 0) != S_OK ||
            monikers == nullptr) {
            return;
        }
        ComPtr<IMoniker> moniker;
        while (monikers->Next(1, moniker.ReleaseAndGetAddressOf(), nullptr) == S_OK) {
            ComPtr<IPropertyBag> bag;
            if (FAILED(moniker->BindToStorage(nullptr, nullptr, IID_IPropertyBag, &bag))) {
                continue;
            }
            if (visit(*moniker.Get(), *bag.Get())) {
                return;
            }
        }
    }
};

}  // namespace

std::shared_ptr<VideoSources> systemVideoInputs() {
    return std::make_shared<SystemVideoInputs>();
}

}  // namespace velvix
