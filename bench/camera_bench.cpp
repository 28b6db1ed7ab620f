// The Velvix Camera's processor time per delivered frame (Windows; under wine here): the camera
// DLL, loaded as a video-call program loads it, streams through the capture backend's graph
// (the camera, a sample grabber, a null renderer) while a thread of this program publishes
// 1280 x 720 frames into a ring of its own at 30 frames per second. The process's processor time
// less the publishing thread's, over the frames delivered, is the camera's time per frame,
// with the graph's own share (the sample grabber's callback included).
//   velvix-bench-camera [SECONDS]
#include <windows.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "velvix/capture/dshow_backend.hpp"
#include "velvix/pipeline/frame_ring.hpp"
#include "velvix/platform/clock.hpp"
#include "velvix/virtual_camera/windows_camera.hpp"
#include "video_sources.hpp"

namespace {

using velvix::FrameSize;
using velvix::MediaSubtype;

double seconds(FILETIME time) {
    return static_cast<double>((static_cast<std::uint64_t>(time.dwHighDateTime) << 32) |
                               time.dwLowDateTime) /
           1e7;
}

double processSeconds() {
    FILETIME created, ended, kernel, user;
    GetProcessTimes(GetCurrentProcess(), &created, &ended, &kernel, &user);
    return seconds(kernel) + seconds(user);
}

double threadSeconds(HANDLE thread) {
    FILETIME created, ended, kernel, user;
    GetThreadTimes(thread, &created, &ended, &kernel, &user);
    return seconds(kernel) + seconds(user);
}

// The camera straight from its DLL, without registering it.
class CameraFromDll final : public velvix::VideoSources {
  public:
    std::vector<std::u16string> names() override { return {u"Velvix Camera"}; }

    HRESULT addSource(int, IGraphBuilder& graph, IBaseFilter** source) override {
        const HMODULE dll = LoadLibraryW(L"" VELVIX_CAMERA_DLL);
        using GetClassObject = HRESULT(WINAPI*)(REFCLSID, REFIID, LPVOID*);
        const auto getClassObject = reinterpret_cast<GetClassObject>(
            reinterpret_cast<void*>(GetProcAddress(dll, "DllGetClassObject")));
        CLSID camera{};
        CLSIDFromString(velvix::virtual_camera::kWindowsCameraClassId, &camera);
        IClassFactory* factory = nullptr;
        if (getClassObject == nullptr ||
            FAILED(getClassObject(camera, IID_IClassFactory, reinterpret_cast<void**>(&factory)))) {
            return E_FAIL;
        }
        IBaseFilter* filter = nullptr;
        HRESULT result =
            factory->CreateInstance(nullptr, IID_IBaseFilter, reinterpret_cast<void**>(&filter));
        factory->Release();
        if (SUCCEEDED(result) && FAILED(result = graph.AddFilter(filter, L"Velvix Camera"))) {
            filter->Release();
        }
        if (SUCCEEDED(result)) {
            *source = filter;
        }
        return result;
    }
};

class FrameCounter final : public velvix::SampleSink {
  public:
    void deliverSample(const std::uint8_t*, std::size_t) override { ++frames; }
    std::atomic<long> frames{0};
};

// Publishes a fixed frame at 30 frames per second until stopped, on a thread whose processor
// time it reports. Like the program, it re-makes the ring at a size a reader asks for, unless
// told to keep its size (as the program keeps it when the section is too small).
class Publisher {
  public:
    explicit Publisher(std::string ring) : name_(std::move(ring)) {
        makeRing(velvix::kDefaultFrameSize);
        if (ring_) {
            thread_ = std::thread([this] { publish(); });
        }
    }
    ~Publisher() {
        stop_ = true;
        if (thread_.joinable()) {
            thread_.join();
        }
        if (threadHandle_ != nullptr) {
            CloseHandle(threadHandle_);
        }
    }
    bool running() const { return thread_.joinable(); }
    void keepSize(bool keep) { keepSize_ = keep; }
    // Once the thread has started.
    double processorSeconds() const {
        return threadHandle_ != nullptr ? threadSeconds(threadHandle_.load()) : 0;
    }

  private:
    void makeRing(FrameSize size) {
        auto created = velvix::FrameRing::create(name_, size, debug_);
        if (created) {
            ring_.emplace(std::move(*created));
            frame_.assign(static_cast<std::size_t>(size.pixels()) * 3, 0);
            for (std::size_t i = 0; i < frame_.size(); ++i) {
                frame_[i] = static_cast<std::uint8_t>(i * 7 / 3);
            }
        }
    }

    void publish() {
        threadHandle_ = OpenThread(THREAD_QUERY_LIMITED_INFORMATION, FALSE, GetCurrentThreadId());
        std::uint64_t next = velvix::platform::clockNow100ns();
        while (!stop_ && ring_) {
            const FrameSize asked = ring_->requestedSize().value_or(ring_->size());
            if (asked != ring_->size()) {
                const FrameSize size = keepSize_ ? ring_->size() : asked;
                ring_->detach();
                ring_.reset();
                makeRing(size);
                continue;
            }
            ring_->publish(frame_.data());
            next += velvix::kFramePeriod;
            const std::uint64_t now = velvix::platform::clockNow100ns();
            if (next > now) {
                velvix::platform::sleepMilliseconds(
                    static_cast<std::uint32_t>((next - now) / 10000));
            }
        }
        if (ring_) {
            ring_->endPublishing();
        }
    }

    const std::string name_;
    velvix::platform::DebugOnce debug_;
    std::optional<velvix::FrameRing> ring_;
    std::vector<std::uint8_t> frame_;
    std::atomic<bool> stop_{false};
    std::atomic<bool> keepSize_{false};
    std::atomic<HANDLE> threadHandle_{nullptr};
    std::thread thread_;
};

struct Case {
    const char* name;
    velvix::VideoFormat format;
    bool ringKeepsItsSize;
};

}  // namespace

int main(int argc, char** argv) {
    const int measuredSeconds = argc > 1 ? std::atoi(argv[1]) : 10;
    const std::string ring = "VelvixBenchCamera" + std::to_string(GetCurrentProcessId());
    _putenv((std::string(velvix::virtual_camera::kCameraRingVariable) + "=" + ring).c_str());
    auto backend = std::make_shared<velvix::DirectShowBackend>(std::make_shared<CameraFromDll>());
    backend->beginThreadUse();
    Publisher publisher(ring);
    if (!publisher.running()) {
        std::fprintf(stderr, "velvix-bench-camera: no ring\n");
        return 1;
    }
    std::printf("ring 1280 x 720 at 30 fps, measured over %d s after 2 s\n", measuredSeconds);
    std::printf(
        "| camera delivers | processor time per frame | share of one core | frames per "
        "second |\n|---|---|---|---|\n");
    bool ok = true;
    for (const Case& c :
         {Case{"RGB24 1280 x 720 (the ring's own rows)", {1280, 720, MediaSubtype::rgb24}, true},
          Case{"YUY2 1280 x 720", {1280, 720, MediaSubtype::yuy2}, true},
          Case{"YUY2 640 x 480 from 1280 x 720, scaled", {640, 480, MediaSubtype::yuy2}, true},
          Case{"YUY2 640 x 480, the ring re-made at that size",
               {640, 480, MediaSubtype::yuy2},
               false}}) {
        publisher.keepSize(c.ringKeepsItsSize);
        FrameCounter counter;
        auto camera = backend->connect(0);
        if (camera == nullptr || !camera->setFormat(c.format) ||
            !camera->startStreaming(c.format.subtype, counter)) {
            std::printf("| %s | the camera did not stream |\n", c.name);
            ok = false;
            continue;
        }
        Sleep(2000);
        const long frames = counter.frames;
        const double process = processSeconds();
        const double publishing = publisher.processorSeconds();
        const std::uint64_t start = velvix::platform::clockNow100ns();
        Sleep(static_cast<DWORD>(measuredSeconds) * 1000);
        const double elapsed = static_cast<double>(velvix::platform::clockNow100ns() - start) / 1e7;
        const long delivered = counter.frames - frames;
        const double cameraSeconds =
            (processSeconds() - process) - (publisher.processorSeconds() - publishing);
        camera->stopStreaming();
        if (delivered <= 0) {
            std::printf("| %s | no frame delivered |\n", c.name);
            ok = false;
            continue;
        }
        const double perFrame = cameraSeconds / static_cast<double>(delivered);
        std::printf("| %s | %.2f ms | %.1f %% | %.2f |\n", c.name, perFrame * 1e3,
                    perFrame * 30 * 100, static_cast<double>(delivered) / elapsed);
        std::fflush(stdout);
    }
    backend->endThreadUse();
    return ok ? 0 : 1;
}
