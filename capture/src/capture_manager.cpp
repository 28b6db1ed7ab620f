#include "velvix/capture/capture_manager.hpp"

#include <cstdlib>
#include <map>

#include "format_choice.hpp"
#include "layout_conversions.hpp"
#include "media_types.hpp"
#include "mjpg_decoder.hpp"
#include "sample_grabber.hpp"
#include "velvix/platform/log.hpp"

namespace velvix {
namespace {

constexpr int kFarAway = 9999999;
constexpr int kFarAwayStep = 999999;

thread_local std::map<CaptureBackend*, int> threadUses;

int connectorTypeFor(ConnectorKind kind) {
    switch (kind) {
        case ConnectorKind::composite:
            return 2;
        case ConnectorKind::sVideo:
            return 3;
        case ConnectorKind::tuner:
            return 1;
        case ConnectorKind::usb:
            return 11;
        case ConnectorKind::ieee1394:
            return 10;
        case ConnectorKind::yryby:
            return 5;
        case ConnectorKind::serialDigital:
            return 6;
    }
    return 2;
}

std::string lowBytes(const std::u16string& name, std::size_t limit) {
    std::string narrow;
    for (const char16_t unit : name.substr(0, limit)) {
        narrow.push_back(static_cast<char>(unit & 0xFF));
    }
    return narrow;
}

// The value in [low, high] on the grid low + k * step nearest to `wanted`; the first of two
// equally near ones. Exact when `wanted` lies on the grid.
int nearestOnGrid(int low, int high, int step, int wanted) {
    int best = kFarAwayStep;
    for (int value = low; value <= high; value += step) {
        if (value == wanted) {
            return wanted;
        }
        if (std::abs(wanted - value) < std::abs(wanted - best)) {
            best = value;
        }
    }
    return best;
}

}  // namespace

std::optional<VideoFormat> nearestOfferedSize(const std::vector<SizeCapability>& capabilities,
                                              int width, int height) {
    int nearWidth = kFarAway;
    int nearHeight = kFarAway;
    std::optional<VideoFormat> result;
    for (const SizeCapability& capability : capabilities) {
        if (capability.stepX < 1 || capability.stepY < 1) {
            continue;
        }
        const int bestX =
            nearestOnGrid(capability.minWidth, capability.maxWidth, capability.stepX, width);
        const int bestY =
            nearestOnGrid(capability.minHeight, capability.maxHeight, capability.stepY, height);
        if (bestX == width && bestY == height) {
            return VideoFormat{width, height, capability.subtype};
        }
        if (std::abs(width - bestX) + std::abs(height - bestY) <
            std::abs(width - nearWidth) + std::abs(height - nearHeight)) {
            nearWidth = bestX;
            nearHeight = bestY;
            result = VideoFormat{bestX, bestY, capability.subtype};
        }
    }
    return result;
}

BackendThreadUse::BackendThreadUse(const CaptureBackends& backends) : backends_(backends) {
    for (const auto& backend : backends_) {
        if (threadUses[backend.get()]++ == 0) {
            backend->beginThreadUse();
        }
    }
}

BackendThreadUse::~BackendThreadUse() {
    for (const auto& backend : backends_) {
        const auto found = threadUses.find(backend.get());
        if (found == threadUses.end()) {
            continue;
        }
        if (--found->second == 0) {
            threadUses.erase(found);
            backend->endThreadUse();
        }
    }
}

CaptureDevice::CaptureDevice()
    : decoder(std::make_unique<MjpgDecoder>()), callback(std::make_unique<SampleGrabberCallback>()) {}

CaptureDevice::~CaptureDevice() {
    if (connection != nullptr) {
        connection->stopStreaming();
    }
}

CaptureManager::CaptureManager(CaptureBackends backends) : backends_(std::move(backends)) {
    for (auto& device : devices_) {
        device = std::make_unique<CaptureDevice>();
    }
}

CaptureManager::~CaptureManager() = default;

std::vector<CaptureManager::DeviceLocation> CaptureManager::locateDevices(
    std::vector<std::u16string>* names) {
    std::vector<DeviceLocation> locations;
    for (const auto& backend : backends_) {
        const auto found = backend->deviceNames();
        for (std::size_t i = 0; i < found.size(); ++i) {
            locations.push_back({backend.get(), static_cast<int>(i)});
            if (names != nullptr) {
                names->push_back(found[i]);
            }
        }
    }
    return locations;
}

int CaptureManager::countDevices() {
    BackendThreadUse use(backends_);
    std::vector<std::u16string> names;
    const auto locations = locateDevices(&names);
    for (std::size_t row = 0; row < names.size() && row < names_.size(); ++row) {
        names_[row] = lowBytes(names[row], kMaxDeviceNameBytes);
    }
    return static_cast<int>(locations.size());
}

std::string CaptureManager::deviceName(int index) const {
    return isRecord(index) ? names_[static_cast<std::size_t>(index)] : std::string();
}

void CaptureManager::setFramePeriod(int device, int period100ns) {
    if (isRecord(device)) {
        recordAt(device).framePeriod = period100ns;
    }
}

void CaptureManager::setAskSize(int device, int width, int height, MediaSubtype subtype) {
    if (!isRecord(device)) {
        return;
    }
    CaptureDevice& record = recordAt(device);
    record.askWidth = width;
    record.askHeight = height;
    record.tryOtherSizes = true;
    record.askSubtype = subtype;
}

void CaptureManager::setConnector(int device, ConnectorKind kind) {
    if (!isRecord(device)) {
        return;
    }
    CaptureDevice& record = recordAt(device);
    record.connectorType = connectorTypeFor(kind);
    record.connectorKind = kind;
    record.useInputRouting = true;
}

void CaptureManager::setReconnect(int device, int threshold) {
    if (!isRecord(device)) {
        return;
    }
    CaptureDevice& record = recordAt(device);
    record.reconnectOnFreeze = true;
    record.reconnectThreshold = threshold;
}

bool CaptureManager::openDevice(int device) {
    BackendThreadUse use(backends_);
    const auto locations = locateDevices(nullptr);
    deviceCount_ = static_cast<int>(locations.size());
    if (device < 0 || device > deviceCount_ - 1 || !isRecord(device) ||
        recordAt(device).capturing) {
        return false;
    }
    return buildStream(device, locations[index(device)]);
}

void CaptureManager::closeDevice(int device) {
    if (isRecord(device)) {
        replaceRecord(device);
    }
}

void CaptureManager::replaceRecord(int device) {
    {
        const std::scoped_lock lock(noteLock_);
        if (cameraNoteDevice_ == device) {
            cameraNote_.clear();
            cameraNoteDevice_ = -1;
        }
    }
    auto& slot = devices_[index(device)];
    slot.reset();
    slot = std::make_unique<CaptureDevice>();
}

bool CaptureManager::isCapturing(int device) const {
    return device >= 0 && device < deviceCount_ && isRecord(device) && record(device).capturing;
}

bool CaptureManager::failBuild(int device) {
    replaceRecord(device);
    return false;
}

bool CaptureManager::buildStream(int device, DeviceLocation location) {
    CaptureDevice& record = recordAt(device);
    record.deviceId = device;
    record.buildStarted = true;
    record.connection = location.backend->connect(location.index);
    if (record.connection == nullptr) {
        return failBuild(device);
    }
    record.threadUse = std::make_unique<BackendThreadUse>(backends_);
    if (record.useInputRouting) {
        record.connection->routeInput(record.connectorType);
    }
    const auto current = record.connection->currentFormat();
    if (!current) {
        return failBuild(device);
    }
    record.mediaType = *current;
    const int ownWidth = current->width;
    const int ownHeight = current->height;
    if (!(record.tryOtherSizes && negotiate(record))) {
        useDefaultFormat(record, ownWidth, ownHeight);
    }
    if (!record.sizeFixed || !record.connection->startStreaming(
                                 deliveredSubtype(record.mediaType.subtype), *record.callback)) {
        return failBuild(device);
    }
    record.capturing = true;
    platform::logLine(platform::LogCategory::capture, platform::LogSeverity::notice,
                      "camera " + std::to_string(device) + " opened at " +
                          std::to_string(record.width) + " x " + std::to_string(record.height) +
                          ", " + std::string(subtypeName(record.mediaType.subtype)));
    return true;
}

std::string CaptureManager::cameraNote() const {
    const std::scoped_lock lock(noteLock_);
    return cameraNote_;
}

// A device that lists its formats gets the chosen one; one that lists none, or refuses the
// choice, is asked for formats one by one.
bool CaptureManager::negotiate(CaptureDevice& record) {
    const VideoFormat asked{record.askWidth, record.askHeight, record.askSubtype,
                            record.framePeriod};
    const auto choice = chooseFormat(record.connection->modes(asked), record.askWidth,
                                     record.askHeight, record.framePeriod);
    if (choice && applyChoice(record, *choice)) {
        return true;
    }
    if (applyFormat(record, record.askWidth, record.askHeight, record.askSubtype)) {
        record.subtype = record.askSubtype;
        return fixSize(record, record.askWidth, record.askHeight);
    }
    for (int position = 0; position < kSubtypeCount; ++position) {
        if (applyFormat(record, record.askWidth, record.askHeight, subtypeAt(position))) {
            record.subtype = subtypeAt(position);
            return fixSize(record, record.askWidth, record.askHeight);
        }
    }
    const auto nearest =
        nearestOfferedSize(record.connection->capabilities(), record.askWidth, record.askHeight);
    if (nearest && applyFormat(record, nearest->width, nearest->height, nearest->subtype)) {
        return fixSize(record, nearest->width, nearest->height);
    }
    return false;
}

bool CaptureManager::applyChoice(CaptureDevice& record, const FormatChoice& choice) {
    VideoFormat wanted = choice.format;
    if (wanted.framePeriod == kNoFramePeriod) {
        wanted.framePeriod = record.framePeriod;
    }
    if (!applyWanted(record, wanted) ||
        !fixSize(record, choice.format.width, choice.format.height)) {
        return false;
    }
    record.subtype = choice.format.subtype;
    platform::logLine(platform::LogCategory::capture, platform::LogSeverity::notice,
                      choiceLine(choice));
    const std::scoped_lock lock(noteLock_);
    cameraNote_ = slowCameraNote(choice);
    cameraNoteDevice_ = record.deviceId;
    return true;
}

bool CaptureManager::applyFormat(CaptureDevice& record, int width, int height,
                                 MediaSubtype subtype) {
    // A device that runs NV12 is only ever switched to NV12 by a request.
    const auto current = record.connection->currentFormat();
    if (current && current->subtype == MediaSubtype::nv12 && subtype != MediaSubtype::nv12) {
        return false;
    }
    VideoFormat wanted{width, height, subtype, record.mediaType.framePeriod};
    if (record.framePeriod != kNoFramePeriod) {
        wanted.framePeriod = record.framePeriod;
    }
    return applyWanted(record, wanted);
}

bool CaptureManager::applyWanted(CaptureDevice& record, const VideoFormat& wanted) {
    const auto old = record.connection->currentFormat();
    if (!old) {
        return false;
    }
    if (record.connection->setFormat(wanted)) {
        record.mediaType = wanted;
        return true;
    }
    record.connection->setFormat(*old);
    record.mediaType = *old;
    return false;
}

void CaptureManager::useDefaultFormat(CaptureDevice& record, int width, int height) {
    if (record.framePeriod != kNoFramePeriod) {
        record.mediaType.framePeriod = record.framePeriod;
        record.connection->setFormat(record.mediaType);
    }
    fixSize(record, width, height);
}

bool CaptureManager::fixSize(CaptureDevice& record, int width, int height) {
    if (record.sizeFixed) {
        return true;
    }
    const MediaSubtype delivered = deliveredSubtype(record.mediaType.subtype);
    const auto bytes = deliveredFrameBytes(delivered, width, height);
    if (!bytes) {
        return false;
    }
    record.width = width;
    record.height = height;
    record.bufferSize = *bytes;
    record.sizeFixed = true;
    record.frameBuffer.assign(
        static_cast<std::size_t>(width) * static_cast<std::size_t>(height) * 4, 0);
    record.callback->prepareBuffer(record.bufferSize,
                                   delivered == MediaSubtype::mjpg
                                       ? SampleGrabberCallback::SampleLength::upTo
                                       : SampleGrabberCallback::SampleLength::exact);
    return true;
}

bool CaptureManager::pollNewFrame(int device) {
    if (!isCapturing(device)) {
        return false;
    }
    CaptureDevice& record = recordAt(device);
    const auto poll = record.callback->poll();
    const bool frozen = record.pollsRunning > kPollsBeforeFreezeCheck &&
                        poll.freezeCount > record.reconnectThreshold;
    ++record.pollsRunning;
    if (frozen && record.reconnectOnFreeze) {
        reopenDevice(record.deviceId);
    }
    return poll.frameWaiting;
}

bool CaptureManager::fetchFrame(int device, std::uint8_t* destination, FrameSize size) {
    if (!isCapturing(device) || size.width <= 0 || size.height <= 0) {
        return false;
    }
    CaptureDevice& record = recordAt(device);
    if (!record.callback->waitForFrame(std::chrono::milliseconds(kFetchWaitMilliseconds))) {
        return false;
    }
    const FrameSize own{record.width, record.height};
    bool fetched = false;
    record.callback->fetch([&](const std::uint8_t* frame, std::size_t length) {
        if (own == size) {
            fetched = toCaptureLayout(record, frame, length, destination);
            return;
        }
        fetched = toCaptureLayout(record, frame, length, record.frameBuffer.data());
        if (!fetched) {
            return;
        }
        if (!record.scaler || record.scaler->source() != own ||
            record.scaler->destination() != size) {
            record.scaler = coverScaler(own, size);
        }
        record.scaler->scale(packedPicture<const std::uint8_t>(record.frameBuffer.data(), own, 4),
                             packedPicture(destination, size, 4));
    });
    return fetched;
}

// MJPG is decoded here, on the fetching thread, rather than as it arrives: frames the worker
// never fetches cost no decoding, and the picture goes from the JPEG into the capture layout
// with no copy between.
bool CaptureManager::toCaptureLayout(CaptureDevice& record, const std::uint8_t* frame,
                                     std::size_t length, std::uint8_t* destination) {
    const MediaSubtype delivered = deliveredSubtype(record.mediaType.subtype);
    if (delivered != MediaSubtype::mjpg) {
        convertToCaptureLayout(delivered, frame, destination, record.width, record.height);
        return true;
    }
    if (record.decoder->decode(frame, length, record.width, record.height, destination)) {
        return true;
    }
    platform::logLine(platform::LogCategory::capture, platform::LogSeverity::debug,
                      "camera " + std::to_string(record.deviceId) +
                          ": a damaged MJPG frame was dropped (" + record.decoder->problem() + ")");
    return false;
}

bool CaptureManager::reopenDevice(int device) {
    if (!isCapturing(device)) {
        return false;
    }
    const CaptureDevice& old = record(device);
    const ConnectorKind connectorKind = old.connectorKind;
    const int width = old.width;
    const int height = old.height;
    const int threshold = old.reconnectThreshold;
    const bool reconnectOnFreeze = old.reconnectOnFreeze;
    const int framePeriod = old.framePeriod;
    replaceRecord(device);
    if (framePeriod != kNoFramePeriod) {
        setFramePeriod(device, framePeriod);
    }
    setAskSize(device, width, height, MediaSubtype::rgb24);
    setConnector(device, connectorKind);
    if (!openDevice(device)) {
        return false;
    }
    if (reconnectOnFreeze) {
        setReconnect(device, threshold);
    }
    return true;
}

}  // namespace velvix
