#include "webcam_faces.hpp"

#include <stb_image.h>
#include <stb_image_resize.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <ranges>

#include "face_data.hpp"

namespace velvix::testing {
namespace {

constexpr FrameSize kFrame{1280, 720};

// A gentle gradient with some texture, as a room behind a person might give.
std::uint8_t backgroundValue(int x, int y, int channel) {
    const int texture = ((x * 13 + y * 7) % 23) - 11;
    return static_cast<std::uint8_t>(
        std::clamp(90 + x / 16 + y / 12 + channel * 15 + texture, 0, 255));
}

}  // namespace

std::optional<std::string> faceDataFolder(const std::string& subfolder) {
    const char* named = std::getenv("VELVIX_DATA_DIR");
    for (const char* up : {"..", "../..", "../../..", "../../../.."}) {
        const std::filesystem::path base =
            named != nullptr ? std::filesystem::path(named)
                             : std::filesystem::path(VELVIX_SOURCE_DIR) / up / "shared/data";
        if (std::filesystem::is_directory(base / subfolder)) {
            return (base / subfolder).string();
        }
    }
    return std::nullopt;
}

std::vector<WebcamFace> webcamFaces(const std::string& folder, float faceWidth) {
    std::vector<WebcamFace> faces;
    int index = 0;
    for (const auto& photo : train::annotatedPictures(folder)) {
        const auto points =
            train::readPointsFile(std::filesystem::path(photo).replace_extension(".pts").string())
                .value_or(std::vector<train::Point>{});
        int width = 0;
        int height = 0;
        int channels = 0;
        stbi_uc* rgb = stbi_load(photo.string().c_str(), &width, &height, &channels, 3);
        if (rgb == nullptr || points.empty()) {
            stbi_image_free(rgb);
            continue;
        }
        const auto [left, right] =
            std::ranges::minmax(points | std::views::transform(&train::Point::x));
        const auto [top, bottom] =
            std::ranges::minmax(points | std::views::transform(&train::Point::y));
        const float scale =
            std::min(faceWidth / (right - left), 700.0f / static_cast<float>(height));
        const int scaledWidth = static_cast<int>(std::lround(static_cast<float>(width) * scale));
        const int scaledHeight = static_cast<int>(std::lround(static_cast<float>(height) * scale));
        std::vector<std::uint8_t> scaled(static_cast<std::size_t>(scaledWidth * scaledHeight * 3));
        stbir_resize_uint8(rgb, width, height, 0, scaled.data(), scaledWidth, scaledHeight, 0, 3);
        stbi_image_free(rgb);

        // Spread the faces over the frame, as people sit left, right or in the middle.
        const int offsetX = 40 + (index * 197) % std::max(1, kFrame.width - scaledWidth - 80);
        const int offsetY = (kFrame.height - scaledHeight) / 2;
        ++index;
        WebcamFace face{kFrame,
                        std::vector<std::uint8_t>(static_cast<std::size_t>(kFrame.pixels()) * 3)};
        for (int y = 0; y < kFrame.height; ++y) {
            // The frame holds the bottom row first.
            std::uint8_t* row = face.frame.data() +
                                static_cast<std::size_t>(kFrame.height - 1 - y) * kFrame.width * 3;
            for (int x = 0; x < kFrame.width; ++x) {
                const int sx = x - offsetX;
                const int sy = y - offsetY;
                const bool inPhoto = sx >= 0 && sy >= 0 && sx < scaledWidth && sy < scaledHeight;
                for (int c = 0; c < 3; ++c) {
                    row[x * 3 + c] = inPhoto ? scaled[static_cast<std::size_t>(
                                                   (sy * scaledWidth + sx) * 3 + (2 - c))]
                                             : backgroundValue(x, y, c);
                }
            }
        }
        face.centreX = static_cast<float>(kFrame.width - 1 - offsetX) - (left + right) / 2 * scale;
        face.centreY = static_cast<float>(offsetY) + (top + bottom) / 2 * scale;
        faces.push_back(std::move(face));
    }
    return faces;
}

}  // namespace velvix::testing
