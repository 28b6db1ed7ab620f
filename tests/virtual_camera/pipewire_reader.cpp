// velvix-pipewire-reader FORMAT FRAMES FILE: reads FRAMES frames of "velvix-camera" from
// PipeWire in FORMAT (yuy2, i420, bgrx or rgb) as a video-call program does. It prints for each
// frame "frame SEQUENCE NANOSECONDS DIGEST" and writes the last one to FILE as a PNG picture,
// decoded by its own formulas, independent of the program's (only the last, so that it keeps up
// with the camera as a video-call program does).
#include <pipewire/pipewire.h>
#include <spa/param/video/format-utils.h>
#include <stb_image_write.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <map>
#include <string>
#include <string_view>
#include <vector>

namespace {

const std::map<std::string, spa_video_format> kFormats{{"yuy2", SPA_VIDEO_FORMAT_YUY2},
                                                       {"i420", SPA_VIDEO_FORMAT_I420},
                                                       {"bgrx", SPA_VIDEO_FORMAT_BGRx},
                                                       {"rgb", SPA_VIDEO_FORMAT_RGB}};

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
            if (format == SPA_VIDEO_FORMAT_YUY2) {
                rgbFromYuv(row[x * 2], row[(x / 2) * 4 + 1], row[(x / 2) * 4 + 3], out);
            } else if (format == SPA_VIDEO_FORMAT_I420) {
                rgbFromYuv(row[x], uPlane[chroma], vPlane[chroma], out);
            } else if (format == SPA_VIDEO_FORMAT_BGRx) {
                std::reverse_copy(row + 4 * x, row + 4 * x + 3, out);
            } else {
                std::copy_n(row + 3 * x, 3, out);
            }
        }
    }
    return picture;
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
        const std::string_view frame(reinterpret_cast<const char*>(bytes), plane.chunk->size);
        std::printf("frame %llu %lld %zx\n",
                    static_cast<unsigned long long>(header != nullptr ? header->seq : 0),
                    static_cast<long long>(header != nullptr ? header->pts : 0),
                    std::hash<std::string_view>{}(frame));
        std::fflush(stdout);
        if (--reader->framesLeft == 0) {
            const int width = int(reader->format.size.width);
            const int height = int(reader->format.size.height);
            const auto picture =
                decode(reader->format.format, width, height, bytes, plane.chunk->stride);
            reader->exitCode = stbi_write_png(reader->savePath.c_str(), width, height, 3,
                                              picture.data(), width * 3) == 0;
            pw_main_loop_quit(reader->loop);
        }
    }
    pw_stream_queue_buffer(reader->stream, buffer);
}

}  // namespace

int main(int argc, char** argv) {
    const auto named = argc == 4 ? kFormats.find(argv[1]) : kFormats.end();
    if (named == kFormats.end() || std::atoi(argv[2]) <= 0) {
        std::fprintf(stderr, "usage: velvix-pipewire-reader yuy2|i420|bgrx|rgb FRAMES FILE\n");
        return 2;
    }
    pw_init(&argc, &argv);
    Reader reader{pw_main_loop_new(nullptr), nullptr, {}, std::atoi(argv[2]), argv[3]};
    const pw_stream_events events{
        .version = PW_VERSION_STREAM_EVENTS, .param_changed = onParamChanged, .process = onProcess};
    reader.stream =
        pw_stream_new_simple(pw_main_loop_get_loop(reader.loop), "velvix-pipewire-reader",
                             pw_properties_new(PW_KEY_MEDIA_TYPE, "Video", PW_KEY_MEDIA_CATEGORY,
                                               "Capture", PW_KEY_MEDIA_ROLE, "Camera",
                                               PW_KEY_TARGET_OBJECT, "velvix-camera", nullptr),
                             &events, &reader);
    // The camera's size and rate, in the one format asked for.
    spa_video_info_raw wanted{.format = named->second, .size = {1280, 720}, .framerate = {30, 1}};
    std::array<std::uint8_t, 1024> space{};
    spa_pod_builder builder = SPA_POD_BUILDER_INIT(space.data(), space.size());
    const spa_pod* params[] = {spa_format_video_raw_build(&builder, SPA_PARAM_EnumFormat, &wanted)};
    if (pw_stream_connect(
            reader.stream, PW_DIRECTION_INPUT, PW_ID_ANY,
            static_cast<pw_stream_flags>(PW_STREAM_FLAG_AUTOCONNECT | PW_STREAM_FLAG_MAP_BUFFERS),
            params, 1) == 0) {
        pw_main_loop_run(reader.loop);
    }
    pw_stream_destroy(reader.stream);
    pw_main_loop_destroy(reader.loop);
    pw_deinit();
    return reader.exitCode;
}
