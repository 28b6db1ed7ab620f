// velvix-pipewire-reader FORMAT FRAMES FILE: reads FRAMES frames of "velvix-camera" from
// PipeWire in FORMAT (yuy2, i420, bgrx or rgb) as a video-call program does, for the tests of
// the PipeWire camera. It prints for each frame "frame SEQUENCE NANOSECONDS DIGEST" (the digest of
// its bytes), and writes the last frame to FILE as a binary PPM picture (top row first), decoded by
// its own formulas, independent of the program's. Only the last frame is decoded, so that the
// reader keeps up with any camera as a video-call program does. It reads until it has them, or the
// stream fails.
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
#include <vector>

namespace {

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

// RGB, top row first. `stride` is the bytes of one row of the first plane.
std::vector<std::uint8_t> decode(spa_video_format format, int width, int height,
                                 const std::uint8_t* data, int stride) {
    std::vector<std::uint8_t> picture(std::size_t(width) * height * 3);
    const int chromaWidth = (width + 1) / 2;
    const std::uint8_t* uPlane = data + std::size_t(stride) * height;
    const std::uint8_t* vPlane = uPlane + std::size_t(chromaWidth) * ((height + 1) / 2);
    for (int y = 0; y < height; ++y) {
        const std::uint8_t* row = data + std::size_t(y) * stride;
        for (int x = 0; x < width; ++x) {
            std::uint8_t* out = picture.data() + (std::size_t(y) * width + x) * 3;
            const std::size_t chroma = std::size_t(y / 2) * chromaWidth + x / 2;
            switch (format) {
                case SPA_VIDEO_FORMAT_YUY2:
                    rgbFromYuv(row[x * 2], row[(x / 2) * 4 + 1], row[(x / 2) * 4 + 3], out);
                    break;
                case SPA_VIDEO_FORMAT_I420:
                    rgbFromYuv(row[x], uPlane[chroma], vPlane[chroma], out);
                    break;
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
    spa_video_info_raw format{};
    int framesLeft = 0;
    std::string savePath;
    int exitCode = 1;
};

void onParamChanged(void* data, std::uint32_t id, const spa_pod* param) {
    auto* reader = static_cast<Reader*>(data);
    if (id != SPA_PARAM_Format || param == nullptr ||
        spa_format_video_raw_parse(param, &reader->format) < 0) {
        return;
    }
    // Each buffer's header carries the camera's frame number and time.
    std::array<std::uint8_t, 256> space{};
    spa_pod_builder builder = SPA_POD_BUILDER_INIT(space.data(), space.size());
    const spa_pod* params[] = {static_cast<const spa_pod*>(spa_pod_builder_add_object(
        &builder, SPA_TYPE_OBJECT_ParamMeta, SPA_PARAM_Meta, SPA_PARAM_META_type,
        SPA_POD_Id(SPA_META_Header), SPA_PARAM_META_size, SPA_POD_Int(sizeof(spa_meta_header))))};
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
            const int width = int(reader->format.size.width);
            const int height = int(reader->format.size.height);
            const auto picture =
                decode(reader->format.format, width, height, bytes, plane.chunk->stride);
            std::ofstream file(reader->savePath, std::ios::binary);
            file << "P6\n" << width << " " << height << "\n255\n";
            file.write(reinterpret_cast<const char*>(picture.data()),
                       static_cast<std::streamsize>(picture.size()));
            reader->exitCode = file ? 0 : 1;
            pw_main_loop_quit(reader->loop);
        }
    }
    pw_stream_queue_buffer(reader->stream, buffer);
}

void onStateChanged(void* data, pw_stream_state, pw_stream_state state, const char* error) {
    if (state == PW_STREAM_STATE_ERROR || state == PW_STREAM_STATE_UNCONNECTED) {
        std::printf("%s %s\n", pw_stream_state_as_string(state), error != nullptr ? error : "");
        std::fflush(stdout);
        pw_main_loop_quit(static_cast<Reader*>(data)->loop);
    }
}

}  // namespace

int main(int argc, char** argv) {
    const auto named = std::find_if(kFormats.begin(), kFormats.end(), [&](const Named& n) {
        return argc == 4 && std::strcmp(argv[1], n.name) == 0;
    });
    const int frames = argc == 4 ? std::atoi(argv[2]) : 0;
    if (named == kFormats.end() || frames <= 0) {
        std::fprintf(stderr, "usage: velvix-pipewire-reader yuy2|i420|bgrx|rgb FRAMES FILE\n");
        return 2;
    }
    pw_init(&argc, &argv);
    Reader reader{pw_main_loop_new(nullptr), nullptr, {}, frames, argv[3]};
    pw_stream_events events{};
    events.version = PW_VERSION_STREAM_EVENTS;
    events.state_changed = onStateChanged;
    events.param_changed = onParamChanged;
    events.process = onProcess;
    reader.stream =
        pw_stream_new_simple(pw_main_loop_get_loop(reader.loop), "velvix-pipewire-reader",
                             pw_properties_new(PW_KEY_MEDIA_TYPE, "Video", PW_KEY_MEDIA_CATEGORY,
                                               "Capture", PW_KEY_MEDIA_ROLE, "Camera",
                                               PW_KEY_TARGET_OBJECT, "velvix-camera", nullptr),
                             &events, &reader);
    // The camera's size and rate, in the one format asked for.
    spa_video_info_raw wanted{};
    wanted.format = named->format;
    wanted.size = {1280, 720};
    wanted.framerate = {30, 1};
    std::array<std::uint8_t, 1024> space{};
    spa_pod_builder builder = SPA_POD_BUILDER_INIT(space.data(), space.size());
    const spa_pod* params[] = {spa_format_video_raw_build(&builder, SPA_PARAM_EnumFormat, &wanted)};
    const int connected = pw_stream_connect(
        reader.stream, PW_DIRECTION_INPUT, PW_ID_ANY,
        static_cast<pw_stream_flags>(PW_STREAM_FLAG_AUTOCONNECT | PW_STREAM_FLAG_MAP_BUFFERS),
        params, 1);
    if (connected == 0) {
        pw_main_loop_run(reader.loop);
    } else {
        std::printf("cannot connect: %s\n", std::strerror(-connected));
    }
    pw_stream_destroy(reader.stream);
    pw_main_loop_destroy(reader.loop);
    pw_deinit();
    return reader.exitCode;
}
