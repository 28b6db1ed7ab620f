// velvix-pipewire-reader: a program that reads a camera from PipeWire as a video-call program
// does, for the tests of the PipeWire camera. It decodes every frame to RGB by its own
// formulas, independent of the program's.
//   velvix-pipewire-reader wait-for-session-manager
//       ends once the session manager has set up the graph (its "default" metadata is there)
//   velvix-pipewire-reader read FORMAT FRAMES FILE
//       reads FRAMES frames of "velvix-camera" in FORMAT (yuy2, i420, bgrx or rgb), prints
//       "format FORMAT WIDTHxHEIGHT" and for each frame "frame SEQUENCE NANOSECONDS DIGEST"
//       (the digest of its bytes), and writes the last frame to FILE as a binary PPM picture
//       (top row first). Only the last frame is decoded, so that the reader keeps up with any
//       camera as a video-call program does.
// Each gives up with exit code 1 after 30 seconds.
#include <pipewire/extensions/metadata.h>
#include <pipewire/pipewire.h>
#include <spa/param/video/format-utils.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>
#include <string_view>
#include <vector>

namespace {

constexpr int kGiveUpSeconds = 30;

struct Named {
    const char* name;
    spa_video_format format;
};
constexpr std::array<Named, 4> kFormats{{{"yuy2", SPA_VIDEO_FORMAT_YUY2},
                                         {"i420", SPA_VIDEO_FORMAT_I420},
                                         {"bgrx", SPA_VIDEO_FORMAT_BGRx},
                                         {"rgb", SPA_VIDEO_FORMAT_RGB}}};

std::uint8_t clamped(double value) {
    return static_cast<std::uint8_t>(std::clamp(std::lround(value), 0L, 255L));
}

// BT.601, limited range.
void rgbFromYuv(int y, int u, int v, std::uint8_t* rgb) {
    const double luma = 255.0 / 219 * (y - 16);
    const double blue = 255.0 / 224 * (u - 128);
    const double red = 255.0 / 224 * (v - 128);
    rgb[0] = clamped(luma + 1.402 * red);
    rgb[1] = clamped(luma - 0.344136 * blue - 0.714136 * red);
    rgb[2] = clamped(luma + 1.772 * blue);
}

struct Picture {
    int width = 0;
    int height = 0;
    std::vector<std::uint8_t> rgb;
};

// `stride` is the bytes of one row of the first plane.
Picture decode(spa_video_format format, int width, int height, const std::uint8_t* data,
               int stride) {
    Picture picture{width, height, std::vector<std::uint8_t>(std::size_t(width) * height * 3)};
    const int chromaWidth = (width + 1) / 2;
    const std::uint8_t* uPlane = data + std::size_t(stride) * height;
    const std::uint8_t* vPlane = uPlane + std::size_t(chromaWidth) * ((height + 1) / 2);
    for (int y = 0; y < height; ++y) {
        const std::uint8_t* row = data + std::size_t(y) * stride;
        for (int x = 0; x < width; ++x) {
            std::uint8_t* out = picture.rgb.data() + (std::size_t(y) * width + x) * 3;
            switch (format) {
                case SPA_VIDEO_FORMAT_YUY2: {
                    const std::uint8_t* pair = row + (x / 2) * 4;
                    rgbFromYuv(pair[(x % 2) * 2], pair[1], pair[3], out);
                    break;
                }
                case SPA_VIDEO_FORMAT_I420: {
                    const std::size_t chroma = std::size_t(y / 2) * chromaWidth + x / 2;
                    rgbFromYuv(row[x], uPlane[chroma], vPlane[chroma], out);
                    break;
                }
                case SPA_VIDEO_FORMAT_BGRx:
                    out[0] = row[4 * x + 2];
                    out[1] = row[4 * x + 1];
                    out[2] = row[4 * x + 0];
                    break;
                default:
                    std::memcpy(out, row + 3 * x, 3);
                    break;
            }
        }
    }
    return picture;
}

std::uint64_t digestOf(const std::uint8_t* bytes, std::size_t size) {
    std::uint64_t hash = 14695981039346656037ull;  // FNV-1a
    for (std::size_t i = 0; i < size; ++i) {
        hash = (hash ^ bytes[i]) * 1099511628211ull;
    }
    return hash;
}

struct Reader {
    pw_main_loop* loop = nullptr;
    pw_stream* stream = nullptr;
    spa_video_format wanted = SPA_VIDEO_FORMAT_UNKNOWN;
    spa_video_info_raw format{};
    int framesLeft = 0;
    std::string savePath;
    Picture last;
    int exitCode = 1;
};

void onParamChanged(void* data, std::uint32_t id, const spa_pod* param) {
    auto* reader = static_cast<Reader*>(data);
    if (id != SPA_PARAM_Format || param == nullptr ||
        spa_format_video_raw_parse(param, &reader->format) < 0) {
        return;
    }
    const char* name = "other";
    for (const Named& named : kFormats) {
        if (named.format == reader->format.format) {
            name = named.name;
        }
    }
    std::printf("format %s %ux%u\n", name, reader->format.size.width, reader->format.size.height);
    std::fflush(stdout);
    // Each buffer's header carries the camera's frame number and time.
    std::array<std::uint8_t, 256> space{};
    spa_pod_builder builder = SPA_POD_BUILDER_INIT(space.data(), space.size());
    spa_pod_frame object;
    spa_pod_builder_push_object(&builder, &object, SPA_TYPE_OBJECT_ParamMeta, SPA_PARAM_Meta);
    spa_pod_builder_prop(&builder, SPA_PARAM_META_type, 0);
    spa_pod_builder_id(&builder, SPA_META_Header);
    spa_pod_builder_prop(&builder, SPA_PARAM_META_size, 0);
    spa_pod_builder_int(&builder, sizeof(spa_meta_header));
    const spa_pod* params[] = {static_cast<const spa_pod*>(spa_pod_builder_pop(&builder, &object))};
    pw_stream_update_params(reader->stream, params, 1);
}

void onProcess(void* data) {
    auto* reader = static_cast<Reader*>(data);
    pw_buffer* buffer = pw_stream_dequeue_buffer(reader->stream);
    if (buffer == nullptr) {
        return;
    }
    const spa_data& plane = buffer->buffer->datas[0];
    const auto* header = static_cast<const spa_meta_header*>(
        spa_buffer_find_meta_data(buffer->buffer, SPA_META_Header, sizeof(spa_meta_header)));
    if (plane.data != nullptr && plane.chunk->size > 0 && reader->framesLeft > 0) {
        const auto* bytes = static_cast<const std::uint8_t*>(plane.data) + plane.chunk->offset;
        std::printf("frame %llu %lld %016llx\n",
                    static_cast<unsigned long long>(header != nullptr ? header->seq : 0),
                    static_cast<long long>(header != nullptr ? header->pts : 0),
                    static_cast<unsigned long long>(digestOf(bytes, plane.chunk->size)));
        std::fflush(stdout);
        if (--reader->framesLeft == 0) {
            reader->last = decode(reader->format.format, int(reader->format.size.width),
                                  int(reader->format.size.height), bytes, plane.chunk->stride);
            std::ofstream file(reader->savePath, std::ios::binary);
            file << "P6\n" << reader->last.width << " " << reader->last.height << "\n255\n";
            file.write(reinterpret_cast<const char*>(reader->last.rgb.data()),
                       static_cast<std::streamsize>(reader->last.rgb.size()));
            reader->exitCode = file ? 0 : 1;
            pw_main_loop_quit(reader->loop);
        }
    }
    pw_stream_queue_buffer(reader->stream, buffer);
}

void onStateChanged(void* data, pw_stream_state, pw_stream_state state, const char* error) {
    if (state == PW_STREAM_STATE_ERROR) {
        std::printf("error %s\n", error != nullptr ? error : "");
        pw_main_loop_quit(static_cast<Reader*>(data)->loop);
    } else if (state == PW_STREAM_STATE_UNCONNECTED) {
        std::printf("unconnected\n");
        pw_main_loop_quit(static_cast<Reader*>(data)->loop);
    }
    std::fflush(stdout);
}

const spa_pod* wantedFormat(spa_pod_builder& builder, spa_video_format format) {
    spa_pod_frame object;
    spa_pod_builder_push_object(&builder, &object, SPA_TYPE_OBJECT_Format, SPA_PARAM_EnumFormat);
    spa_pod_builder_prop(&builder, SPA_FORMAT_mediaType, 0);
    spa_pod_builder_id(&builder, SPA_MEDIA_TYPE_video);
    spa_pod_builder_prop(&builder, SPA_FORMAT_mediaSubtype, 0);
    spa_pod_builder_id(&builder, SPA_MEDIA_SUBTYPE_raw);
    spa_pod_builder_prop(&builder, SPA_FORMAT_VIDEO_format, 0);
    spa_pod_builder_id(&builder, format);
    spa_pod_frame choice;
    spa_pod_builder_prop(&builder, SPA_FORMAT_VIDEO_size, 0);
    spa_pod_builder_push_choice(&builder, &choice, SPA_CHOICE_Range, 0);
    spa_pod_builder_rectangle(&builder, 1280, 720);
    spa_pod_builder_rectangle(&builder, 1, 1);
    spa_pod_builder_rectangle(&builder, 8192, 8192);
    spa_pod_builder_pop(&builder, &choice);
    spa_pod_builder_prop(&builder, SPA_FORMAT_VIDEO_framerate, 0);
    spa_pod_builder_push_choice(&builder, &choice, SPA_CHOICE_Range, 0);
    spa_pod_builder_fraction(&builder, 30, 1);
    spa_pod_builder_fraction(&builder, 0, 1);
    spa_pod_builder_fraction(&builder, 120, 1);
    spa_pod_builder_pop(&builder, &choice);
    return static_cast<const spa_pod*>(spa_pod_builder_pop(&builder, &object));
}

int read(pw_main_loop* loop, pw_core* core, spa_video_format format, int frames,
         const std::string& path) {
    Reader reader;
    reader.loop = loop;
    reader.wanted = format;
    reader.framesLeft = frames;
    reader.savePath = path;
    reader.stream =
        pw_stream_new(core, "velvix-pipewire-reader",
                      pw_properties_new(PW_KEY_MEDIA_TYPE, "Video", PW_KEY_MEDIA_CATEGORY,
                                        "Capture", PW_KEY_MEDIA_ROLE, "Camera",
                                        PW_KEY_TARGET_OBJECT, "velvix-camera", nullptr));
    pw_stream_events events{};
    events.version = PW_VERSION_STREAM_EVENTS;
    events.state_changed = onStateChanged;
    events.param_changed = onParamChanged;
    events.process = onProcess;
    spa_hook listener{};
    pw_stream_add_listener(reader.stream, &listener, &events, &reader);
    std::array<std::uint8_t, 1024> space{};
    spa_pod_builder builder = SPA_POD_BUILDER_INIT(space.data(), space.size());
    const spa_pod* params[] = {wantedFormat(builder, format)};
    pw_stream_connect(
        reader.stream, PW_DIRECTION_INPUT, PW_ID_ANY,
        static_cast<pw_stream_flags>(PW_STREAM_FLAG_AUTOCONNECT | PW_STREAM_FLAG_MAP_BUFFERS),
        params, 1);
    pw_main_loop_run(loop);
    pw_stream_destroy(reader.stream);
    return reader.exitCode;
}

struct Waiter {
    pw_main_loop* loop = nullptr;
    int exitCode = 1;
};

void onGlobal(void* data, std::uint32_t, std::uint32_t, const char* type, std::uint32_t,
              const spa_dict* props) {
    auto* waiter = static_cast<Waiter*>(data);
    const char* name = props != nullptr ? spa_dict_lookup(props, "metadata.name") : nullptr;
    if (std::strcmp(type, PW_TYPE_INTERFACE_Metadata) == 0 && name != nullptr &&
        std::strcmp(name, "default") == 0) {
        std::printf("session manager ready\n");
        waiter->exitCode = 0;
        pw_main_loop_quit(waiter->loop);
    }
}

int waitForSessionManager(pw_main_loop* loop, pw_core* core) {
    Waiter waiter{loop};
    pw_registry* registry = pw_core_get_registry(core, PW_VERSION_REGISTRY, 0);
    pw_registry_events events{};
    events.version = PW_VERSION_REGISTRY_EVENTS;
    events.global = onGlobal;
    spa_hook listener{};
    pw_registry_add_listener(registry, &listener, &events, &waiter);
    pw_main_loop_run(loop);
    spa_hook_remove(&listener);
    pw_proxy_destroy(reinterpret_cast<pw_proxy*>(registry));
    return waiter.exitCode;
}

void onGiveUp(void* data, std::uint64_t) {
    std::printf("gave up after %d seconds\n", kGiveUpSeconds);
    pw_main_loop_quit(static_cast<pw_main_loop*>(data));
}

int usage() {
    std::fprintf(stderr,
                 "usage: velvix-pipewire-reader wait-for-session-manager\n"
                 "       velvix-pipewire-reader read yuy2|i420|bgrx|rgb FRAMES FILE\n");
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    const std::vector<std::string> arguments(argv + 1, argv + argc);
    const bool waiting = arguments.size() == 1 && arguments[0] == "wait-for-session-manager";
    spa_video_format format = SPA_VIDEO_FORMAT_UNKNOWN;
    if (arguments.size() == 4 && arguments[0] == "read") {
        for (const Named& named : kFormats) {
            format = arguments[1] == named.name ? named.format : format;
        }
    }
    const int frames = arguments.size() == 4 ? std::atoi(arguments[2].c_str()) : 0;
    if (!waiting && (format == SPA_VIDEO_FORMAT_UNKNOWN || frames <= 0)) {
        return usage();
    }
    pw_init(&argc, &argv);
    pw_main_loop* loop = pw_main_loop_new(nullptr);
    pw_context* context = pw_context_new(pw_main_loop_get_loop(loop), nullptr, 0);
    pw_core* core = pw_context_connect(context, nullptr, 0);
    int exitCode = 1;
    if (core == nullptr) {
        std::printf("no PipeWire daemon: %s\n", std::strerror(errno));
    } else {
        spa_source* giveUp = pw_loop_add_timer(pw_main_loop_get_loop(loop), onGiveUp, loop);
        timespec after{kGiveUpSeconds, 0};
        timespec never{0, 0};
        pw_loop_update_timer(pw_main_loop_get_loop(loop), giveUp, &after, &never, false);
        exitCode = waiting ? waitForSessionManager(loop, core)
                           : read(loop, core, format, frames, arguments[3]);
        pw_core_disconnect(core);
    }
    pw_context_destroy(context);
    pw_main_loop_destroy(loop);
    pw_deinit();
    return exitCode;
}
