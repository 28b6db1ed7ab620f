#include "velvix/virtual_camera/pipewire_camera.hpp"

#include <pipewire/pipewire.h>
#include <spa/param/video/format-utils.h>

#include <array>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <optional>
#include <vector>

#include "velvix/platform/clock.hpp"
#include "velvix/virtual_camera/bridge.hpp"

namespace velvix::virtual_camera {
namespace {

constexpr char kNodeName[] = "velvix-camera";
constexpr std::uint32_t kFramesPerSecond = 30;
constexpr long kNanosecondsPerFrame = 1'000'000'000 / kFramesPerSecond;
// How often a session without a daemon is asked again: rarely enough to cost nothing.
constexpr time_t kRetrySeconds = 3;
// A buffer for PipeWire to fill while the consumers read the others.
constexpr int kFewestBuffers = 2;
constexpr int kDefaultBuffers = 4;
constexpr int kMostBuffers = 16;

struct FormatPair {
    spa_video_format pipewire;
    OutputFormat output;
};

// In the order of preference, for a consumer that takes any.
constexpr std::array<FormatPair, 4> kFormats{{
    {SPA_VIDEO_FORMAT_YUY2, OutputFormat::yuyv},
    {SPA_VIDEO_FORMAT_I420, OutputFormat::i420},
    {SPA_VIDEO_FORMAT_BGRx, OutputFormat::bgrx},
    {SPA_VIDEO_FORMAT_RGB, OutputFormat::rgb24},
}};

std::optional<OutputFormat> outputFormatOf(spa_video_format format) {
    for (const FormatPair& pair : kFormats) {
        if (pair.pipewire == format) {
            return pair.output;
        }
    }
    return std::nullopt;
}

bool isYuv(spa_video_format format) {
    return format == SPA_VIDEO_FORMAT_YUY2 || format == SPA_VIDEO_FORMAT_I420;
}

const spa_pod* formatParam(spa_pod_builder& builder, spa_video_format format, FrameSize size) {
    spa_video_info_raw info{};
    info.format = format;
    info.size = SPA_RECTANGLE(static_cast<std::uint32_t>(size.width),
                              static_cast<std::uint32_t>(size.height));
    info.framerate = SPA_FRACTION(kFramesPerSecond, 1);
    if (isYuv(format)) {
        info.color_range = SPA_VIDEO_COLOR_RANGE_16_235;
        info.color_matrix = SPA_VIDEO_COLOR_MATRIX_BT601;
    }
    return spa_format_video_raw_build(&builder, SPA_PARAM_EnumFormat, &info);
}

// PipeWire allocates the buffers, in memory it maps for us or plain memory.
const spa_pod* buffersParam(spa_pod_builder& builder, std::size_t frameBytes, std::size_t stride) {
    spa_pod_frame frame;
    spa_pod_builder_push_object(&builder, &frame, SPA_TYPE_OBJECT_ParamBuffers, SPA_PARAM_Buffers);
    spa_pod_builder_prop(&builder, SPA_PARAM_BUFFERS_buffers, 0);
    spa_pod_frame choice;
    spa_pod_builder_push_choice(&builder, &choice, SPA_CHOICE_Range, 0);
    spa_pod_builder_int(&builder, kDefaultBuffers);
    spa_pod_builder_int(&builder, kFewestBuffers);
    spa_pod_builder_int(&builder, kMostBuffers);
    spa_pod_builder_pop(&builder, &choice);
    spa_pod_builder_prop(&builder, SPA_PARAM_BUFFERS_blocks, 0);
    spa_pod_builder_int(&builder, 1);
    spa_pod_builder_prop(&builder, SPA_PARAM_BUFFERS_size, 0);
    spa_pod_builder_int(&builder, static_cast<std::int32_t>(frameBytes));
    spa_pod_builder_prop(&builder, SPA_PARAM_BUFFERS_stride, 0);
    spa_pod_builder_int(&builder, static_cast<std::int32_t>(stride));
    spa_pod_builder_prop(&builder, SPA_PARAM_BUFFERS_dataType, 0);
    spa_pod_builder_push_choice(&builder, &choice, SPA_CHOICE_Flags, 0);
    spa_pod_builder_int(&builder, (1 << SPA_DATA_MemPtr) | (1 << SPA_DATA_MemFd));
    spa_pod_builder_pop(&builder, &choice);
    return static_cast<const spa_pod*>(spa_pod_builder_pop(&builder, &frame));
}

// A header on each buffer: its time and the ring's frame number.
const spa_pod* headerParam(spa_pod_builder& builder) {
    spa_pod_frame frame;
    spa_pod_builder_push_object(&builder, &frame, SPA_TYPE_OBJECT_ParamMeta, SPA_PARAM_Meta);
    spa_pod_builder_prop(&builder, SPA_PARAM_META_type, 0);
    spa_pod_builder_id(&builder, SPA_META_Header);
    spa_pod_builder_prop(&builder, SPA_PARAM_META_size, 0);
    spa_pod_builder_int(&builder, sizeof(spa_meta_header));
    return static_cast<const spa_pod*>(spa_pod_builder_pop(&builder, &frame));
}

}  // namespace

// Everything on the thread loop's thread, which runs every callback below; the other threads
// read only the atomics.
struct PipeWireCamera::Stream {
    Stream(PipeWireCameraSettings settings, DebugLines debug);
    ~Stream();

    void connect();
    void disconnect();
    void connectStream();
    void retryLater(time_t seconds);
    void useFormat(const spa_pod* param);
    void fillBuffer(pw_buffer* buffer);

    static void onStateChanged(void* data, pw_stream_state old, pw_stream_state state,
                               const char* error);
    static void onParamChanged(void* data, std::uint32_t id, const spa_pod* param);
    static void onProcess(void* data);
    static void onCoreError(void* data, std::uint32_t id, int seq, int res, const char* message);
    static void onFrameDue(void* data, std::uint64_t expirations);
    static void onRetry(void* data, std::uint64_t expirations);

    PipeWireCameraSettings settings;
    DebugLines debug;
    pw_thread_loop* loop = nullptr;
    pw_context* context = nullptr;
    spa_source* frameTimer = nullptr;
    spa_source* retryTimer = nullptr;
    pw_core* core = nullptr;
    spa_hook coreListener{};
    pw_stream* stream = nullptr;
    spa_hook streamListener{};

    FrameSize size = kDefaultFrameSize;
    std::optional<RingPicture> picture;
    bool saidUnserved = false;
    bool saidOffered = false;
    std::atomic<State> state{State::unserved};
    std::atomic<std::uint64_t> delivered{0};

    void setTimer(spa_source* timer, timespec first, timespec period);
    void stopTimer(spa_source* timer) { setTimer(timer, {}, {}); }

    pw_core_events coreEvents{};
    pw_stream_events streamEvents{};
};

PipeWireCamera::Stream::Stream(PipeWireCameraSettings cameraSettings, DebugLines debugLines)
    : settings(std::move(cameraSettings)), debug(std::move(debugLines)) {
    coreEvents.version = PW_VERSION_CORE_EVENTS;
    coreEvents.error = onCoreError;
    streamEvents.version = PW_VERSION_STREAM_EVENTS;
    streamEvents.state_changed = onStateChanged;
    streamEvents.param_changed = onParamChanged;
    streamEvents.process = onProcess;
    pw_init(nullptr, nullptr);
    loop = pw_thread_loop_new("velvix-camera", nullptr);
    context = pw_context_new(pw_thread_loop_get_loop(loop), nullptr, 0);
    frameTimer = pw_loop_add_timer(pw_thread_loop_get_loop(loop), onFrameDue, this);
    retryTimer = pw_loop_add_timer(pw_thread_loop_get_loop(loop), onRetry, this);
    pw_thread_loop_lock(loop);
    connect();
    pw_thread_loop_unlock(loop);
    pw_thread_loop_start(loop);
}

PipeWireCamera::Stream::~Stream() {
    pw_thread_loop_lock(loop);
    disconnect();
    pw_thread_loop_unlock(loop);
    pw_thread_loop_stop(loop);
    pw_loop_destroy_source(pw_thread_loop_get_loop(loop), frameTimer);
    pw_loop_destroy_source(pw_thread_loop_get_loop(loop), retryTimer);
    pw_context_destroy(context);
    pw_thread_loop_destroy(loop);
    pw_deinit();
}

void PipeWireCamera::Stream::connect() {
    core = pw_context_connect(context, nullptr, 0);
    if (core == nullptr) {
        if (!saidUnserved) {
            debug(std::string("velvix: no PipeWire camera: no PipeWire daemon answers (") +
                  std::strerror(errno) + "); the program goes on without it");
            saidUnserved = true;
        }
        retryLater(kRetrySeconds);
        return;
    }
    pw_core_add_listener(core, &coreListener, &coreEvents, this);
    connectStream();
}

void PipeWireCamera::Stream::connectStream() {
    size = ringFrameSize(settings.ringName);
    pw_properties* properties = pw_properties_new(
        PW_KEY_MEDIA_TYPE, "Video", PW_KEY_MEDIA_CATEGORY, "Capture", PW_KEY_MEDIA_ROLE, "Camera",
        PW_KEY_MEDIA_CLASS, "Video/Source", PW_KEY_NODE_NAME, kNodeName, PW_KEY_NODE_DESCRIPTION,
        kPipeWireCameraName, PW_KEY_NODE_NICK, kPipeWireCameraName, nullptr);
    stream = pw_stream_new(core, kPipeWireCameraName, properties);
    if (stream == nullptr) {
        debug(std::string("velvix: no PipeWire camera: ") + std::strerror(errno));
        disconnect();
        retryLater(kRetrySeconds);
        return;
    }
    pw_stream_add_listener(stream, &streamListener, &streamEvents, this);
    std::array<std::uint8_t, 2048> space{};
    spa_pod_builder builder = SPA_POD_BUILDER_INIT(space.data(), space.size());
    std::array<const spa_pod*, kFormats.size()> formats{};
    for (std::size_t i = 0; i < kFormats.size(); ++i) {
        formats[i] = formatParam(builder, kFormats[i].pipewire, size);
    }
    const auto flags =
        static_cast<pw_stream_flags>(PW_STREAM_FLAG_DRIVER | PW_STREAM_FLAG_MAP_BUFFERS);
    if (pw_stream_connect(stream, PW_DIRECTION_OUTPUT, PW_ID_ANY, flags, formats.data(),
                          static_cast<std::uint32_t>(formats.size())) < 0) {
        debug("velvix: no PipeWire camera: its stream could not be connected");
        disconnect();
        retryLater(kRetrySeconds);
    }
}

void PipeWireCamera::Stream::setTimer(spa_source* timer, timespec first, timespec period) {
    pw_loop_update_timer(pw_thread_loop_get_loop(loop), timer, &first, &period, false);
}

void PipeWireCamera::Stream::disconnect() {
    stopTimer(frameTimer);
    if (stream != nullptr) {
        spa_hook_remove(&streamListener);
        pw_stream_destroy(stream);
        stream = nullptr;
    }
    if (core != nullptr) {
        spa_hook_remove(&coreListener);
        pw_core_disconnect(core);
        core = nullptr;
    }
    picture.reset();
    state = State::unserved;
}

void PipeWireCamera::Stream::retryLater(time_t seconds) {
    setTimer(retryTimer, {seconds, 0}, {});
}

void PipeWireCamera::Stream::onRetry(void* data, std::uint64_t) {
    auto* self = static_cast<Stream*>(data);
    self->disconnect();
    self->connect();
}

// The daemon went away (it may be restarting): everything is made anew a little later,
// outside the callback.
void PipeWireCamera::Stream::onCoreError(void* data, std::uint32_t id, int, int res,
                                         const char* message) {
    auto* self = static_cast<Stream*>(data);
    if (id != PW_ID_CORE) {
        return;
    }
    self->debug(std::string("velvix: the PipeWire camera lost its daemon: ") +
                (message != nullptr ? message : std::strerror(-res)));
    self->saidOffered = false;
    self->state = State::unserved;
    self->retryLater(kRetrySeconds);
}

void PipeWireCamera::Stream::onStateChanged(void* data, pw_stream_state, pw_stream_state state,
                                            const char* error) {
    auto* self = static_cast<Stream*>(data);
    switch (state) {
        case PW_STREAM_STATE_STREAMING:
            // The camera drives its graph: one frame per period while a program reads it.
            self->setTimer(self->frameTimer, {0, 1}, {0, kNanosecondsPerFrame});
            self->state = State::read;
            break;
        case PW_STREAM_STATE_PAUSED:
            self->stopTimer(self->frameTimer);
            self->state = State::offered;
            if (!self->saidOffered) {
                self->debug("velvix: offering the PipeWire camera \"" +
                            std::string(kPipeWireCameraName) + "\" at " +
                            std::to_string(self->size.width) + " x " +
                            std::to_string(self->size.height));
                self->saidOffered = true;
            }
            break;
        case PW_STREAM_STATE_ERROR:
            self->debug(std::string("velvix: the PipeWire camera failed: ") +
                        (error != nullptr ? error : "no reason given"));
            self->stopTimer(self->frameTimer);
            self->state = State::unserved;
            self->saidOffered = false;
            self->retryLater(kRetrySeconds);
            break;
        default:
            break;
    }
}

void PipeWireCamera::Stream::onParamChanged(void* data, std::uint32_t id, const spa_pod* param) {
    if (id == SPA_PARAM_Format) {
        static_cast<Stream*>(data)->useFormat(param);
    }
}

// The format a consumer chose: frames are converted to it from now on, into buffers of its
// size.
void PipeWireCamera::Stream::useFormat(const spa_pod* param) {
    picture.reset();
    spa_video_info_raw info{};
    if (param == nullptr || spa_format_video_raw_parse(param, &info) < 0) {
        return;
    }
    const auto format = outputFormatOf(info.format);
    if (!format || info.size.width != static_cast<std::uint32_t>(size.width) ||
        info.size.height != static_cast<std::uint32_t>(size.height)) {
        return;
    }
    picture.emplace(BridgeSettings{settings.ringName, size, *format, false});
    std::array<std::uint8_t, 1024> space{};
    spa_pod_builder builder = SPA_POD_BUILDER_INIT(space.data(), space.size());
    std::array<const spa_pod*, 2> params{
        buffersParam(builder, picture->frameBytes(), outputStride(size.width, *format)),
        headerParam(builder)};
    pw_stream_update_params(stream, params.data(), static_cast<std::uint32_t>(params.size()));
}

void PipeWireCamera::Stream::onFrameDue(void* data, std::uint64_t) {
    auto* self = static_cast<Stream*>(data);
    if (self->stream != nullptr) {
        pw_stream_trigger_process(self->stream);
    }
}

void PipeWireCamera::Stream::onProcess(void* data) {
    auto* self = static_cast<Stream*>(data);
    pw_buffer* buffer = pw_stream_dequeue_buffer(self->stream);
    if (buffer == nullptr) {
        return;  // every buffer is with the consumers: this frame is skipped
    }
    self->fillBuffer(buffer);
    pw_stream_queue_buffer(self->stream, buffer);
}

void PipeWireCamera::Stream::fillBuffer(pw_buffer* buffer) {
    spa_data& data = buffer->buffer->datas[0];
    if (!picture || data.data == nullptr || data.maxsize < picture->frameBytes()) {
        data.chunk->size = 0;
        return;
    }
    const std::uint64_t now = platform::clockNow100ns();
    picture->render(now, static_cast<std::uint8_t*>(data.data));
    data.chunk->offset = 0;
    data.chunk->size = static_cast<std::uint32_t>(picture->frameBytes());
    data.chunk->stride = static_cast<std::int32_t>(outputStride(size.width, picture->format()));
    if (auto* header = static_cast<spa_meta_header*>(
            spa_buffer_find_meta_data(buffer->buffer, SPA_META_Header, sizeof(spa_meta_header)))) {
        header->flags = 0;
        header->offset = 0;
        header->pts = static_cast<std::int64_t>(now * 100);
        header->dts_offset = 0;
        header->seq = picture->frameNumber().value_or(0);
    }
    delivered.fetch_add(1, std::memory_order_relaxed);
}

PipeWireCamera::PipeWireCamera(PipeWireCameraSettings settings, DebugLines debug)
    : stream_(std::make_unique<Stream>(std::move(settings), std::move(debug))) {}

PipeWireCamera::~PipeWireCamera() = default;

ServedCamera::State PipeWireCamera::state() const {
    return stream_->state.load();
}

std::uint64_t PipeWireCamera::deliveredFrames() const {
    return stream_->delivered.load(std::memory_order_relaxed);
}

}  // namespace velvix::virtual_camera
