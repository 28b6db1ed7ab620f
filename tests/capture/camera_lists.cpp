#include "camera_lists.hpp"

#include <cmath>
#include <fstream>
#include <map>
#include <sstream>
#include <stdexcept>

namespace velvix::testing {
namespace {

const std::map<std::string, MediaSubtype> kSubtypes = {
    {"YUYV", MediaSubtype::yuy2},
    {"MJPG", MediaSubtype::mjpg},
    {"NV12", MediaSubtype::nv12},
    {"YU12", MediaSubtype::i420},
};

// 100 ns units, as the capture layer counts frame periods.
int framePeriodOf(double framesPerSecond) {
    return static_cast<int>(std::lround(1e7 / framesPerSecond));
}

}  // namespace

std::vector<ListedSize> readCameraList(const std::string& camera) {
    const std::string path = std::string(VELVIX_CAMERA_LISTS) + "/" + camera + ".txt";
    std::ifstream file(path);
    if (!file) {
        throw std::runtime_error("no camera list " + path);
    }
    std::vector<ListedSize> listed;
    std::string line;
    while (std::getline(file, line)) {
        if (line.empty() || line.starts_with('#')) {
            continue;
        }
        std::istringstream fields(line);
        ListedSize size;
        char times = 0;
        fields >> size.fourcc >> size.width >> times >> size.height;
        for (double rate = 0; fields >> rate;) {
            size.framesPerSecond.push_back(rate);
        }
        listed.push_back(size);
    }
    return listed;
}

std::vector<CameraMode> cameraModes(const std::vector<ListedSize>& listed) {
    std::vector<CameraMode> modes;
    for (const ListedSize& size : listed) {
        const auto subtype = kSubtypes.find(size.fourcc);
        if (subtype == kSubtypes.end()) {
            continue;
        }
        CameraMode mode{subtype->second, size.width, size.height, {}};
        for (const double rate : size.framesPerSecond) {
            mode.framePeriods.push_back(framePeriodOf(rate));
        }
        modes.push_back(mode);
    }
    return modes;
}

}  // namespace velvix::testing
