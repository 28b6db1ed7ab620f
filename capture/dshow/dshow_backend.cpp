#include "velvix/capture/dshow_backend.hpp"

#include <dshow.h>
// After dshow.h, which they build on.
#include <dvdmedia.h>
#include <qedit.h>
#include <wrl/client.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "media_types.hpp"
#include "velvix/capture/capture_manager.hpp"
#include "velvix/base/picture.hpp"
#include "velvix/platform/log.hpp"
#include "video_sources.hpp"

// In the system's library, declared in no header of the cross-compiler.
extern "C" const CLSID CLSID_SampleGrabber;
extern "C" const CLSID CLSID_NullRenderer;

namespace velvix {
namespace {

using Microsoft::WRL::ComPtr;

constexpr char kSaveGraphVariable[] = "OPENCV_DSHOW_SAVEGRAPH_FILENAME";
// The physical type of a crossbar's video decoder output (PhysConn_Video_VideoDecoder).
constexpr long kVideoDecoderPin = 12;

std::string hex(HRESULT result) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%08lX", static_cast<unsigned long>(result));
    return text;
}

// The media sub-type GUIDs: DirectShow's own for the RGB layouts, the FourCC form
// XXXXXXXX-0000-0010-8000-00AA00389B71 for the others.
GUID fourCc(char a, char b, char c, char d) {
    const auto code = static_cast<unsigned long>(static_cast<unsigned char>(a)) |
                      static_cast<unsigned long>(static_cast<unsigned char>(b)) << 8 |
                      static_cast<unsigned long>(static_cast<unsigned char>(c)) << 16 |
                      static_cast<unsigned long>(static_cast<unsigned char>(d)) << 24;
    return GUID{code, 0x0000, 0x0010, {0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71}};
}

GUID subtypeGuid(MediaSubtype subtype) {
    switch (subtype) {
        case MediaSubtype::rgb24:
            return MEDIASUBTYPE_RGB24;
        case MediaSubtype::rgb32:
            return MEDIASUBTYPE_RGB32;
        case MediaSubtype::rgb555:
            return MEDIASUBTYPE_RGB555;
        case MediaSubtype::rgb565:
            return MEDIASUBTYPE_RGB565;
        case MediaSubtype::yuy2:
            return fourCc('Y', 'U', 'Y', '2');
        case MediaSubtype::yvyu:
            return fourCc('Y', 'V', 'Y', 'U');
        case MediaSubtype::yuyv:
            return fourCc('Y', 'U', 'Y', 'V');
        case MediaSubtype::iyuv:
            return fourCc('I', 'Y', 'U', 'V');
        case MediaSubtype::uyvy:
            return fourCc('U', 'Y', 'V', 'Y');
        case MediaSubtype::yv12:
            return fourCc('Y', 'V', '1', '2');
        case MediaSubtype::yvu9:
            return fourCc('Y', 'V', 'U', '9');
        case MediaSubtype::y411:
            return fourCc('Y', '4', '1', '1');
        case MediaSubtype::y41p:
            return fourCc('Y', '4', '1', 'P');
        case MediaSubtype::y211:
            return fourCc('Y', '2', '1', '1');
        case MediaSubtype::ayuv:
            return fourCc('A', 'Y', 'U', 'V');
        case MediaSubtype::mjpg:
            return fourCc('M', 'J', 'P', 'G');
        case MediaSubtype::y800:
            return fourCc('Y', '8', '0', '0');
        case MediaSubtype::y8:
            return fourCc('Y', '8', ' ', ' ');
        case MediaSubtype::grey:
            return fourCc('G', 'R', 'E', 'Y');
        case MediaSubtype::i420:
            return fourCc('I', '4', '2', '0');
        case MediaSubtype::by8:
            return fourCc('B', 'Y', '8', ' ');
        case MediaSubtype::y16:
            return fourCc('Y', '1', '6', ' ');
        case MediaSubtype::nv12:
            return fourCc('N', 'V', '1', '2');
    }
    return MEDIASUBTYPE_RGB24;
}

std::optional<MediaSubtype> subtypeOf(const GUID& guid) {
    for (int position = 0; position < kSubtypeCount; ++position) {
        if (IsEqualGUID(subtypeGuid(subtypeAt(position)), guid)) {
            return subtypeAt(position);
        }
    }
    return std::nullopt;
}

// Bytes of one frame as the request states it; 0 where the format decides it itself.
long sampleSize(MediaSubtype subtype, int width, int height) {
    const long pixels = static_cast<long>(width) * height;
    switch (subtype) {
        case MediaSubtype::rgb24:
            return pixels * 3;
        case MediaSubtype::yuy2:
        case MediaSubtype::yvyu:
        case MediaSubtype::uyvy:
            return pixels * 2;
        case MediaSubtype::nv12:
            return pixels * 3 / 2;
        default:
            return 0;
    }
}

// An AM_MEDIA_TYPE that frees its format block and the structure itself.
struct MediaTypeDeleter {
    void operator()(AM_MEDIA_TYPE* type) const {
        if (type == nullptr) {
            return;
        }
        if (type->cbFormat != 0) {
            CoTaskMemFree(type->pbFormat);
        }
        if (type->pUnk != nullptr) {
            type->pUnk->Release();
        }
        CoTaskMemFree(type);
    }
};
using MediaType = std::unique_ptr<AM_MEDIA_TYPE, MediaTypeDeleter>;

// The fields of a VIDEOINFOHEADER or a VIDEOINFOHEADER2 format block that the capture layer
// reads and writes; cameras describe their formats with either.
struct VideoHeader {
    RECT* source;
    RECT* target;
    REFERENCE_TIME* framePeriod;
    BITMAPINFOHEADER* bitmap;
};

template <typename Header>
VideoHeader fieldsOf(BYTE* block) {
    auto* header = reinterpret_cast<Header*>(block);
    return {&header->rcSource, &header->rcTarget, &header->AvgTimePerFrame, &header->bmiHeader};
}

std::optional<VideoHeader> videoHeader(const AM_MEDIA_TYPE& type) {
    if (type.pbFormat == nullptr) {
        return std::nullopt;
    }
    if (IsEqualGUID(type.formattype, FORMAT_VideoInfo) &&
        type.cbFormat >= sizeof(VIDEOINFOHEADER)) {
        return fieldsOf<VIDEOINFOHEADER>(type.pbFormat);
    }
    if (IsEqualGUID(type.formattype, FORMAT_VideoInfo2) &&
        type.cbFormat >= sizeof(VIDEOINFOHEADER2)) {
        return fieldsOf<VIDEOINFOHEADER2>(type.pbFormat);
    }
    return std::nullopt;
}

// Nothing for formats other than video of a known sub-type described by a video header.
std::optional<VideoFormat> formatOf(const AM_MEDIA_TYPE& type) {
    const auto header = videoHeader(type);
    const auto subtype = subtypeOf(type.subtype);
    if (!header || !subtype) {
        return std::nullopt;
    }
    VideoFormat format;
    format.width = static_cast<int>(header->bitmap->biWidth);
    format.height = static_cast<int>(std::labs(header->bitmap->biHeight));
    format.subtype = *subtype;
    format.framePeriod =
        *header->framePeriod > 0 ? static_cast<int>(*header->framePeriod) : kNoFramePeriod;
    return format;
}

// Writes size, sub-type and frame period into a copy of one of the device's own video media
// types; its kind of header stays.
void describe(AM_MEDIA_TYPE& type, const VideoFormat& format) {
    const VideoHeader header = *videoHeader(type);
    header.bitmap->biWidth = format.width;
    header.bitmap->biHeight = format.height;
    *header.source = RECT{0, 0, format.width, format.height};
    *header.target = *header.source;
    if (format.framePeriod != kNoFramePeriod) {
        *header.framePeriod = format.framePeriod;
    }
    type.majortype = MEDIATYPE_Video;
    type.subtype = subtypeGuid(format.subtype);
    type.lSampleSize = static_cast<ULONG>(sampleSize(format.subtype, format.width, format.height));
}

SizeCapability sizesOf(MediaSubtype subtype, const VIDEO_STREAM_CONFIG_CAPS& caps) {
    return {subtype,
            static_cast<int>(caps.MinOutputSize.cx),
            static_cast<int>(caps.MaxOutputSize.cx),
            caps.OutputGranularityX,
            static_cast<int>(caps.MinOutputSize.cy),
            static_cast<int>(caps.MaxOutputSize.cy),
            caps.OutputGranularityY};
}

bool offersSize(const SizeCapability& sizes, int width, int height) {
    const auto onGrid = [](int low, int high, int step, int value) {
        return value >= low && value <= high &&
               (value == low || (step > 0 && (value - low) % step == 0));
    };
    return onGrid(sizes.minWidth, sizes.maxWidth, sizes.stepX, width) &&
           onGrid(sizes.minHeight, sizes.maxHeight, sizes.stepY, height);
}

// One capability as a mode: a range of sizes as its size nearest the asked one, the range of
// frame intervals as its interval nearest the asked period.
CameraMode modeOf(const VideoFormat& format, const VIDEO_STREAM_CONFIG_CAPS& caps,
                  const VideoFormat& asked) {
    CameraMode mode{format.subtype, format.width, format.height, {}};
    const SizeCapability sizes = sizesOf(format.subtype, caps);
    if (sizes.minWidth != sizes.maxWidth || sizes.minHeight != sizes.maxHeight) {
        if (const auto nearest = nearestOfferedSize({sizes}, asked.width, asked.height)) {
            mode.width = nearest->width;
            mode.height = nearest->height;
        }
    }
    const auto askedPeriod = static_cast<REFERENCE_TIME>(
        asked.framePeriod > 0 ? asked.framePeriod : static_cast<int>(kFramePeriod));
    if (caps.MinFrameInterval > 0 && caps.MinFrameInterval <= caps.MaxFrameInterval) {
        mode.framePeriods.push_back(static_cast<int>(
            std::clamp(askedPeriod, caps.MinFrameInterval, caps.MaxFrameInterval)));
    } else if (format.framePeriod != kNoFramePeriod) {
        mode.framePeriods.push_back(format.framePeriod);
    }
    return mode;
}

// The first output pin of a filter that offers video.
ComPtr<IPin> videoOutputPin(IBaseFilter& filter) {
    ComPtr<IEnumPins> pins;
    if (FAILED(filter.EnumPins(&pins))) {
        return nullptr;
    }
    ComPtr<IPin> pin;
    while (pins->Next(1, pin.ReleaseAndGetAddressOf(), nullptr) == S_OK) {
        PIN_DIRECTION direction{};
        pin->QueryDirection(&direction);
        if (direction != PINDIR_OUTPUT) {
            continue;
        }
        ComPtr<IEnumMediaTypes> types;
        AM_MEDIA_TYPE* first = nullptr;
        if (SUCCEEDED(pin->EnumMediaTypes(&types)) && types->Next(1, &first, nullptr) == S_OK) {
            const MediaType owned(first);
            if (IsEqualGUID(owned->majortype, MEDIATYPE_Video)) {
                return pin;
            }
        }
    }
    return nullptr;
}

// Receives every sample of the running graph on DirectShow's streaming thread. Its
// connection owns it and outlives the graph, so the reference count is not needed.
class GrabberCallback final : public ISampleGrabberCB {
  public:
    void start(SampleSink& sink, MediaSubtype delivered, int width, int height) {
        sink_ = &sink;
        delivered_ = delivered;
        width_ = width;
        height_ = height;
    }

    STDMETHODIMP QueryInterface(REFIID id, void** object) override {
        if (IsEqualIID(id, IID_IUnknown) || IsEqualIID(id, IID_ISampleGrabberCB)) {
            *object = static_cast<ISampleGrabberCB*>(this);
            return S_OK;
        }
        *object = nullptr;
        return E_NOINTERFACE;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return 1; }
    STDMETHODIMP_(ULONG) Release() override { return 1; }

    STDMETHODIMP SampleCB(double, IMediaSample* sample) override {
        BYTE* data = nullptr;
        if (sample == nullptr || FAILED(sample->GetPointer(&data))) {
            return S_OK;
        }
        const auto length = static_cast<std::size_t>(sample->GetActualDataLength());
        deliver(data, length);
        return S_OK;
    }
    STDMETHODIMP BufferCB(double, BYTE*, long) override { return E_NOTIMPL; }

  private:
    // RGB24 rows of a DIB start on 4-byte boundaries; the sink takes them packed.
    void deliver(const BYTE* data, std::size_t length) {
        const auto packedRow = static_cast<std::size_t>(width_) * 3;
        const std::size_t paddedRow = (packedRow + 3) / 4 * 4;
        const auto rows = static_cast<std::size_t>(height_);
        if (delivered_ != MediaSubtype::rgb24 || paddedRow == packedRow ||
            length != paddedRow * rows) {
            sink_->deliverSample(data, length);
            return;
        }
        packed_.resize(packedRow * rows);
        for (std::size_t row = 0; row < rows; ++row) {
            std::memcpy(packed_.data() + row * packedRow, data + row * paddedRow, packedRow);
        }
        sink_->deliverSample(packed_.data(), packed_.size());
    }

    SampleSink* sink_ = nullptr;
    MediaSubtype delivered_ = MediaSubtype::rgb24;
    int width_ = 0;
    int height_ = 0;
    std::vector<std::uint8_t> packed_;
};

// One device's filter graph: the source, found and configured before streaming; the sample
// grabber and the null renderer, added when streaming starts.
class DirectShowConnection final : public DeviceConnection {
  public:
    // The source's pins go before the source leaves the graph: a filter may delete its output
    // pins when it is disconnected.
    ~DirectShowConnection() override {
        stopStreaming();
        pin_.Reset();
        config_.Reset();
        if (graph_ != nullptr && source_ != nullptr) {
            graph_->RemoveFilter(source_.Get());
        }
    }

    // Builds the graph around device `index`; a line on the debug output says which step
    // failed.
    static std::unique_ptr<DirectShowConnection> open(VideoSources& sources, int index) {
        auto connection = std::unique_ptr<DirectShowConnection>(new DirectShowConnection());
        if (!connection->build(sources, index)) {
            return nullptr;
        }
        return connection;
    }

    std::optional<VideoFormat> currentFormat() override {
        const MediaType type = currentMediaType();
        return type ? formatOf(*type) : std::nullopt;
    }

    // The device's own media type for the format is written where the device lists one, so
    // that its header kind and its bitmap fields match the sub-type; else the current one.
    bool setFormat(const VideoFormat& format) override {
        MediaType type = config_ != nullptr ? listedMediaType(format) : nullptr;
        if (!type) {
            type = currentMediaType();
        }
        if (!type || !videoHeader(*type)) {
            return false;
        }
        describe(*type, format);
        if (config_ == nullptr) {
            // A source without stream configuration delivers what it offers, nothing else.
            for (const SizeCapability& offered : capabilities()) {
                if (offered.subtype == format.subtype && offered.minWidth == format.width &&
                    offered.minHeight == format.height) {
                    return true;
                }
            }
            return false;
        }
        return config_->SetFormat(type.get()) == S_OK;
    }

    std::vector<SizeCapability> capabilities() override {
        return config_ != nullptr ? configuredCapabilities() : offeredCapabilities();
    }

    std::vector<CameraMode> modes(const VideoFormat& asked) override {
        std::vector<CameraMode> found;
        forEachCapability([&](const AM_MEDIA_TYPE& type, const VIDEO_STREAM_CONFIG_CAPS& caps) {
            if (const auto format = formatOf(type)) {
                found.push_back(modeOf(*format, caps, asked));
            }
            return false;
        });
        return found;
    }

    void routeInput(int connectorType) override;

    bool startStreaming(MediaSubtype delivered, SampleSink& sink) override;

    // Once: the manager stops a stream before it drops the connection, which stops it again.
    void stopStreaming() override {
        if (!streamSetUp_) {
            return;
        }
        streamSetUp_ = false;
        control_->Pause();
        control_->Stop();
        if (grabber_ != nullptr) {
            grabber_->SetCallback(nullptr, 0);
        }
        for (ComPtr<IBaseFilter>* filter :
             {std::addressof(grabberFilter_), std::addressof(renderer_)}) {
            if (*filter != nullptr) {
                graph_->RemoveFilter(filter->Get());
                filter->Reset();
            }
        }
        grabber_.Reset();
    }

  private:
    DirectShowConnection() = default;

    bool build(VideoSources& sources, int index);
    bool fail(const char* step, HRESULT result) {
        platform::logLine(
            platform::LogCategory::capture, platform::LogSeverity::warn,
            "camera " + std::to_string(index_) + ": " + step + " failed (" + hex(result) + ")");
        return false;
    }

    MediaType currentMediaType() {
        AM_MEDIA_TYPE* type = nullptr;
        if (config_ != nullptr) {
            if (FAILED(config_->GetFormat(&type))) {
                return nullptr;
            }
            return MediaType(type);
        }
        ComPtr<IEnumMediaTypes> types;
        if (pin_ == nullptr || FAILED(pin_->EnumMediaTypes(&types)) ||
            types->Next(1, &type, nullptr) != S_OK) {
            return nullptr;
        }
        return MediaType(type);
    }

    // Calls visit(media type, caps) on each capability the stream configuration lists, in the
    // device's order, until it returns true. None without stream configuration.
    template <typename Visit>
    void forEachCapability(Visit&& visit);
    MediaType listedMediaType(const VideoFormat& format);
    bool takeFirstListedFormat();
    std::vector<SizeCapability> configuredCapabilities();
    std::vector<SizeCapability> offeredCapabilities();
    void saveGraphWhenAsked();

    int index_ = -1;
    ComPtr<ICaptureGraphBuilder2> builder_;
    ComPtr<IGraphBuilder> graph_;
    ComPtr<IMediaControl> control_;
    ComPtr<IMediaEventEx> events_;
    ComPtr<IBaseFilter> source_;
    ComPtr<IPin> pin_;
    ComPtr<IAMStreamConfig> config_;
    GUID category_ = PIN_CATEGORY_CAPTURE;
    ComPtr<IBaseFilter> grabberFilter_;
    ComPtr<ISampleGrabber> grabber_;
    ComPtr<IBaseFilter> renderer_;
    GrabberCallback callback_;
    bool streamSetUp_ = false;
};

bool DirectShowConnection::build(VideoSources& sources, int index) {
    index_ = index;
    HRESULT result = CoCreateInstance(CLSID_CaptureGraphBuilder2, nullptr, CLSCTX_INPROC_SERVER,
                                      IID_ICaptureGraphBuilder2, &builder_);
    if (FAILED(result)) {
        return fail("creating the capture graph builder", result);
    }
    result = CoCreateInstance(CLSID_FilterGraph, nullptr, CLSCTX_INPROC_SERVER, IID_IGraphBuilder,
                              &graph_);
    if (FAILED(result)) {
        return fail("creating the filter graph", result);
    }
    if (FAILED(result = graph_->QueryInterface(IID_IMediaEventEx, &events_)) ||
        FAILED(result = builder_->SetFiltergraph(graph_.Get())) ||
        FAILED(result = graph_->QueryInterface(IID_IMediaControl, &control_))) {
        return fail("setting up the filter graph", result);
    }
    if (FAILED(result = sources.addSource(index, *graph_.Get(), source_.GetAddressOf()))) {
        return fail("adding the device's source filter", result);
    }
    // The preview pin where there is one, else the capture pin.
    ComPtr<IAMStreamConfig> preview;
    category_ = SUCCEEDED(builder_->FindInterface(&PIN_CATEGORY_PREVIEW, &MEDIATYPE_Video,
                                                  source_.Get(), IID_IAMStreamConfig, &preview))
                    ? PIN_CATEGORY_PREVIEW
                    : PIN_CATEGORY_CAPTURE;
    if (FAILED(builder_->FindInterface(&category_, &MEDIATYPE_Video, source_.Get(),
                                       IID_IAMStreamConfig, &config_))) {
        // Sources that are not capture devices (a video file) offer their formats on a pin.
        config_.Reset();
        pin_ = videoOutputPin(*source_.Get());
        if (pin_ == nullptr) {
            return fail("finding the video output", VFW_E_NOT_FOUND);
        }
    }
    if (!currentMediaType()) {
        return fail("reading the current format", E_FAIL);
    }
    if (!currentFormat() && !takeFirstListedFormat()) {
        return fail("finding a format the capture layer takes", VFW_E_INVALIDMEDIATYPE);
    }
    return true;
}

template <typename Visit>
void DirectShowConnection::forEachCapability(Visit&& visit) {
    int count = 0;
    int size = 0;
    if (config_ == nullptr || FAILED(config_->GetNumberOfCapabilities(&count, &size)) ||
        size != sizeof(VIDEO_STREAM_CONFIG_CAPS)) {
        return;
    }
    for (int i = 0; i < count; ++i) {
        AM_MEDIA_TYPE* type = nullptr;
        VIDEO_STREAM_CONFIG_CAPS caps{};
        if (FAILED(config_->GetStreamCaps(i, &type, reinterpret_cast<BYTE*>(&caps)))) {
            continue;
        }
        const MediaType owned(type);
        if (visit(*owned, caps)) {
            return;
        }
    }
}

MediaType DirectShowConnection::listedMediaType(const VideoFormat& format) {
    MediaType listed;
    forEachCapability([&](const AM_MEDIA_TYPE& type, const VIDEO_STREAM_CONFIG_CAPS& caps) {
        const auto offered = formatOf(type);
        if (!offered || offered->subtype != format.subtype ||
            !(offersSize(sizesOf(offered->subtype, caps), format.width, format.height) ||
              (offered->width == format.width && offered->height == format.height))) {
            return false;
        }
        listed.reset(static_cast<AM_MEDIA_TYPE*>(CoTaskMemAlloc(sizeof(AM_MEDIA_TYPE))));
        if (listed == nullptr) {
            return true;
        }
        *listed = type;
        listed->pUnk = nullptr;
        listed->cbFormat = 0;
        listed->pbFormat = static_cast<BYTE*>(CoTaskMemAlloc(type.cbFormat));
        if (listed->pbFormat != nullptr) {
            std::memcpy(listed->pbFormat, type.pbFormat, type.cbFormat);
            listed->cbFormat = type.cbFormat;
        }
        return true;
    });
    return listed;
}

// A camera whose current format is none the capture layer takes (H.264, say) is set to the
// first listed one it does take, so that it opens and the format choice can run.
bool DirectShowConnection::takeFirstListedFormat() {
    bool taken = false;
    forEachCapability([&](const AM_MEDIA_TYPE& type, const VIDEO_STREAM_CONFIG_CAPS&) {
        taken = formatOf(type) && config_->SetFormat(const_cast<AM_MEDIA_TYPE*>(&type)) == S_OK;
        return taken;
    });
    return taken;
}

std::vector<SizeCapability> DirectShowConnection::configuredCapabilities() {
    std::vector<SizeCapability> found;
    forEachCapability([&](const AM_MEDIA_TYPE& type, const VIDEO_STREAM_CONFIG_CAPS& caps) {
        if (const auto subtype = subtypeOf(type.subtype)) {
            found.push_back(sizesOf(*subtype, caps));
        }
        return false;
    });
    return found;
}

std::vector<SizeCapability> DirectShowConnection::offeredCapabilities() {
    std::vector<SizeCapability> found;
    ComPtr<IEnumMediaTypes> types;
    if (pin_ == nullptr || FAILED(pin_->EnumMediaTypes(&types))) {
        return found;
    }
    AM_MEDIA_TYPE* type = nullptr;
    while (types->Next(1, &type, nullptr) == S_OK) {
        const MediaType owned(type);
        if (const auto format = formatOf(*owned)) {
            found.push_back({format->subtype, format->width, format->width, 1, format->height,
                             format->height, 1});
        }
    }
    return found;
}

// Switches the crossbar in front of the device to the input of that physical type, if the
// crossbar's first output is the video decoder's.
void DirectShowConnection::routeInput(int connectorType) {
    ComPtr<IAMCrossbar> crossbar;
    if (FAILED(builder_->FindInterface(&LOOK_UPSTREAM_ONLY, nullptr, source_.Get(), IID_IAMCrossbar,
                                       &crossbar))) {
        return;
    }
    if (FAILED(builder_->FindInterface(&category_, &MEDIATYPE_Interleaved, source_.Get(),
                                       IID_IAMCrossbar, &crossbar)) &&
        FAILED(builder_->FindInterface(&category_, &MEDIATYPE_Video, source_.Get(), IID_IAMCrossbar,
                                       &crossbar))) {
        return;
    }
    long outputs = 0;
    long inputs = 0;
    if (FAILED(crossbar->get_PinCounts(&outputs, &inputs)) || outputs < 1) {
        return;
    }
    for (long input = 0; input < inputs; ++input) {
        long related = 0;
        long type = 0;
        if (SUCCEEDED(crossbar->get_CrossbarPinInfo(TRUE, input, &related, &type)) &&
            type == connectorType) {
            long decoderType = 0;
            if (SUCCEEDED(crossbar->get_CrossbarPinInfo(FALSE, 0, &related, &decoderType)) &&
                decoderType == kVideoDecoderPin) {
                crossbar->Route(0, input);
            }
            return;
        }
    }
}

bool DirectShowConnection::startStreaming(MediaSubtype delivered, SampleSink& sink) {
    const auto format = currentFormat();
    if (!format) {
        return fail("reading the format to stream", E_FAIL);
    }
    callback_.start(sink, delivered, format->width, format->height);
    streamSetUp_ = true;
    HRESULT result = CoCreateInstance(CLSID_SampleGrabber, nullptr, CLSCTX_INPROC_SERVER,
                                      IID_IBaseFilter, &grabberFilter_);
    if (FAILED(result) ||
        FAILED(result = graph_->AddFilter(grabberFilter_.Get(), L"Sample Grabber")) ||
        FAILED(result = grabberFilter_->QueryInterface(IID_ISampleGrabber, &grabber_))) {
        return fail("adding the sample grabber", result);
    }
    grabber_->SetOneShot(FALSE);
    grabber_->SetBufferSamples(FALSE);
    if (FAILED(result = grabber_->SetCallback(&callback_, 0))) {
        return fail("setting the sample callback", result);
    }
    // MJPG is taken as the camera sends it, whichever header describes it; the other layouts
    // come with a VIDEOINFOHEADER.
    AM_MEDIA_TYPE wanted{};
    wanted.majortype = MEDIATYPE_Video;
    wanted.subtype = subtypeGuid(delivered);
    wanted.formattype = delivered == MediaSubtype::mjpg ? GUID_NULL : FORMAT_VideoInfo;
    grabber_->SetMediaType(&wanted);

    result = CoCreateInstance(CLSID_NullRenderer, nullptr, CLSCTX_INPROC_SERVER, IID_IBaseFilter,
                              &renderer_);
    if (FAILED(result) || FAILED(result = graph_->AddFilter(renderer_.Get(), L"NullRenderer"))) {
        return fail("adding the null renderer", result);
    }
    result = builder_->RenderStream(&PIN_CATEGORY_PREVIEW, &MEDIATYPE_Video, source_.Get(),
                                    grabberFilter_.Get(), renderer_.Get());
    if (FAILED(result) && pin_ != nullptr) {
        // Pins of sources that are not capture devices have no category.
        result = builder_->RenderStream(nullptr, &MEDIATYPE_Video, source_.Get(),
                                        grabberFilter_.Get(), renderer_.Get());
    }
    if (FAILED(result)) {
        return fail("connecting source, sample grabber and renderer", result);
    }
    // Without a reference clock samples flow as fast as the device delivers them.
    ComPtr<IMediaFilter> timing;
    if (SUCCEEDED(graph_->QueryInterface(IID_IMediaFilter, &timing))) {
        timing->SetSyncSource(nullptr);
    }
    if (FAILED(result = control_->Run())) {
        return fail("starting the graph", result);
    }
    saveGraphWhenAsked();
    return true;
}

// For inspection in GraphEdit: the running graph as the structured storage file the
// variable names, in its stream "ActiveMovieGraph". Failures only cost the file.
void DirectShowConnection::saveGraphWhenAsked() {
    const char* name = std::getenv(kSaveGraphVariable);
    if (name == nullptr) {
        return;
    }
    std::wstring path(std::strlen(name) + 1, L'\0');
    const std::size_t converted = std::mbstowcs(path.data(), name, path.size());
    if (converted != std::strlen(name)) {
        platform::logLine(platform::LogCategory::capture, platform::LogSeverity::warn,
                          std::string(kSaveGraphVariable) + ": cannot use the file name " + name);
        return;
    }
    path.resize(converted);
    ComPtr<IStorage> storage;
    ComPtr<IStream> stream;
    ComPtr<IPersistStream> persist;
    const bool saved =
        SUCCEEDED(StgCreateDocfile(
            path.c_str(), STGM_CREATE | STGM_TRANSACTED | STGM_READWRITE | STGM_SHARE_EXCLUSIVE, 0,
            &storage)) &&
        SUCCEEDED(storage->CreateStream(
            L"ActiveMovieGraph", STGM_WRITE | STGM_CREATE | STGM_SHARE_EXCLUSIVE, 0, 0, &stream)) &&
        SUCCEEDED(graph_->QueryInterface(IID_IPersistStream, &persist)) &&
        SUCCEEDED(persist->Save(stream.Get(), TRUE)) && SUCCEEDED(storage->Commit(STGC_DEFAULT));
    if (!saved) {
        stream.Reset();
        storage.Reset();
        DeleteFileW(path.c_str());
        platform::logLine(platform::LogCategory::capture, platform::LogSeverity::warn,
                          std::string(kSaveGraphVariable) + ": cannot write " + name);
    }
}

// COM as each thread set it up: S_OK and S_FALSE need a matching uninitialise; a thread
// already in another apartment (a window's thread) is used as it is.
thread_local HRESULT threadComResult = E_FAIL;
// One thread at a time sets COM up or tears it down: under wine the window's thread and the
// frame worker, doing so at once, have been seen to hang for good.
std::mutex comSetUp;

}  // namespace

DirectShowBackend::DirectShowBackend() : DirectShowBackend(systemVideoInputs()) {}

DirectShowBackend::DirectShowBackend(std::shared_ptr<VideoSources> sources)
    : sources_(std::move(sources)) {}

DirectShowBackend::~DirectShowBackend() = default;

std::vector<std::u16string> DirectShowBackend::deviceNames() {
    return sources_->names();
}

std::unique_ptr<DeviceConnection> DirectShowBackend::connect(int index) {
    return DirectShowConnection::open(*sources_, index);
}

void DirectShowBackend::beginThreadUse() {
    const std::lock_guard guard(comSetUp);
    threadComResult = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
}

void DirectShowBackend::endThreadUse() {
    const std::lock_guard guard(comSetUp);
    if (SUCCEEDED(threadComResult)) {
        CoUninitialize();
    }
    threadComResult = E_FAIL;
}

}  // namespace velvix
