#include "camera_lists.hpp"

#include <cmath>
#include <fstream>
#include <map>
#include <sstream>
#include <stdexcept>

namespace velvix::testing {

std::vector<CameraMode> cameraModes(const std::string& camera) {
    // As V4L2 prints them.
    const std::map<std::string, MediaSubtype> subtypes = {{"YUYV", MediaSubtype::yuy2},
                                                          {"MJPG", MediaSubtype::mjpg},
                                                          {"NV12", MediaSubtype::nv12},
                                                          {"YU12", MediaSubtype::i420}};
    const std::string path = std::string(VELVIX_CAMERA_LISTS) + "/" + camera + ".txt";
    std::ifstream file(path);
    if (!file) {
        throw std::runtime_error("no camera list " + path);
    }
    std::vector<CameraMode> modes;
    for (std::string line; std::getline(file, line);) {
        std::istringstream fields(line);
        std::string fourcc;
        CameraMode mode{};
        char times = 0;
        fields >> fourcc >> mode.width >> times >> mode.height;
        const auto subtype = subtypes.find(fourcc);
        if (line.starts_with('#') || subtype == subtypes.end()) {
            continue;
        }
        mode.subtype = subtype->second;
        for (double rate = 0; fields >> rate;) {
            // 100 ns units, as the capture layer counts frame periods.
            mode.framePeriods.push_back(static_cast<int>(std::lround(1e7 / rate)));
        }
        modes.push_back(mode);
    }
    return modes;
}

}  // namespace velvix::testing
