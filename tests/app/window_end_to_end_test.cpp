// The whole program with its window: velvix under an Xvfb display of the test's own, its pages
// served by the test (the bundled pages plus a few lines that act for the user), frames read
// from the ring, and the window closed the way a window manager closes it.
#include <gtest/gtest.h>
#include <httplib.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <optional>
#include <thread>

#include "process.hpp"
#include "test_support.hpp"
#include "velvix/pipeline/frame_ring.hpp"
#include "virtual_display.hpp"

// Last: Xlib's macros would break the headers above.
#include <X11/Xlib.h>
#include <X11/Xutil.h>

namespace velvix {
namespace {

using namespace std::chrono_literals;

// Acts for the user: signs in as soon as the program has wired the button, then keeps the
// slider at the level the test serves at /level.
constexpr char kActAsUser[] = R"(<script>
setInterval(() => {
  const slider = document.getElementById('smooth-level');
  const button = document.getElementsByTagName('button')[0];
  if (!slider && button.getAttribute('onclick') && !window.signingIn) {
    window.signingIn = true;
    document.getElementById('username').value = 'Grace';
    button.click();
  } else if (slider) {
    fetch('/level').then(r => r.text()).then(level => {
      if (level !== '' && slider.value !== level) {
        slider.value = level;
        slider.dispatchEvent(new Event('change'));
      }
    });
  }
}, 100);
</script></body>)";

// The bundled pages, each with kActAsUser, and the level to set.
class TestService {
  public:
    TestService() {
        server_.Get(R"(/([a-z]+\.(html|css)))", [](const httplib::Request& request,
                                                   httplib::Response& response) {
            std::string text = testing::readFile(VELVIX_SERVICE_DIR "/" + request.matches[1].str());
            if (request.matches[2] == "html") {
                text.replace(text.rfind("</body>"), 7, kActAsUser);
            }
            response.set_content(text, request.matches[2] == "html" ? "text/html" : "text/css");
        });
        server_.Get("/level", [this](const httplib::Request&, httplib::Response& response) {
            const int level = level_;
            response.set_content(level < 0 ? "" : std::to_string(level), "text/plain");
        });
        port_ = server_.bind_to_any_port("127.0.0.1");
        thread_ = std::thread([this] { server_.listen_after_bind(); });
        while (!server_.is_running()) {
            std::this_thread::yield();
        }
    }
    ~TestService() {
        server_.stop();
        thread_.join();
    }
    std::string origin() const { return "http://127.0.0.1:" + std::to_string(port_); }
    void setLevel(int level) { level_ = level; }

  private:
    httplib::Server server_;
    int port_ = 0;
    std::thread thread_;
    std::atomic<int> level_{-1};
};

// Asks the window with this title to close, as a window manager's close button does; false
// when there is none. Without a window manager, windows are children of the root.
bool closeWindow(const std::string& title) {
    Display* display = XOpenDisplay(nullptr);
    if (display == nullptr) {
        return false;
    }
    Window root = 0;
    Window parent = 0;
    Window* children = nullptr;
    unsigned int count = 0;
    Window window = 0;
    XQueryTree(display, DefaultRootWindow(display), &root, &parent, &children, &count);
    for (unsigned int i = 0; i < count && window == 0; ++i) {
        char* name = nullptr;
        if (XFetchName(display, children[i], &name) != 0 && name != nullptr) {
            window = title == name ? children[i] : 0;
            XFree(name);
        }
    }
    XFree(children);
    if (window != 0) {
        XEvent event{};
        event.xclient.type = ClientMessage;
        event.xclient.window = window;
        event.xclient.message_type = XInternAtom(display, "WM_PROTOCOLS", False);
        event.xclient.format = 32;
        event.xclient.data.l[0] =
            static_cast<long>(XInternAtom(display, "WM_DELETE_WINDOW", False));
        event.xclient.data.l[1] = CurrentTime;
        XSendEvent(display, window, False, NoEventMask, &event);
    }
    XCloseDisplay(display);
    return window != 0;
}

RingFrame newestFrameAfter(const FrameRingReader& ring, std::uint32_t frameNumber) {
    RingFrame frame;
    testing::waitUntil([&] {
        return ring.readNewest(frame) == FrameRingReader::ReadOutcome::frame &&
               frame.frameNumber > frameNumber;
    });
    return frame;
}

double meanDifference(const RingFrame& a, const RingFrame& b) {
    double sum = 0;
    for (std::size_t i = 0; i < a.pixels.size() && i < b.pixels.size(); ++i) {
        sum += std::abs(a.pixels[i] - b.pixels[i]);
    }
    return sum / static_cast<double>(std::max<std::size_t>(a.pixels.size(), 1));
}

// One run of the window: it signs in and smooths; a second start on its ring (over the test's
// own session bus) brings it to the front, a start on another ring runs on its own and stops on
// SIGHUP; the window closes as a window manager closes it.
TEST(WindowEndToEnd, SmoothsIsOnePanelPerRingAndStopsCleanlyEitherWay) {
    testing::VirtualDisplay display;
    ASSERT_TRUE(display.running()) << "Xvfb did not start";
    testing::ScopedFolder data;
    setenv("XDG_DATA_HOME", data.path().c_str(), 1);
    setenv("XDG_CACHE_HOME", (data.path() + "/cache").c_str(), 1);
    // GLib's own allocator would hide a use of a destroyed widget from everything but GLib.
    setenv("G_SLICE", "always-malloc", 1);
    setenv("G_DEBUG", "gc-friendly", 1);
    const std::string bus = "unix:path=" + data.path() + "/bus";
    testing::ChildProcess daemon(
        {"/usr/bin/dbus-daemon", "--session", "--nofork", "--address=" + bus, "--print-address=1"},
        data.path() + "/dbus.log");
    ASSERT_TRUE(daemon.waitForOutput(bus, 10000)) << testing::readFile(data.path() + "/dbus.log");
    setenv("DBUS_SESSION_BUS_ADDRESS", bus.c_str(), 1);
    TestService service;
    testing::ScopedRingName ring;
    const std::string log = data.path() + "/velvix.log";
    testing::ChildProcess velvix({VELVIX_APP, "--file-camera", VELVIX_DEMO_PHOTO, "--ring",
                                  ring.get(), "--service-origin", service.origin()},
                                 log);

    std::optional<FrameRingReader> opened;
    ASSERT_TRUE(testing::waitUntil([&] {
        opened.emplace(FrameRingReader::open(ring.get()));
        return opened->isOpen();
    }));
    const FrameRingReader& reader = *opened;
    // The program echoes the page's message when it takes the level; the frame being made
    // then may have started before, the one after it has the level.
    const auto frameAtLevel = [&](int level) {
        service.setLevel(level);
        EXPECT_TRUE(velvix.waitForOutput("velv:SMOOTH:on," + std::to_string(level) + "\n"))
            << testing::readFile(log);
        return newestFrameAfter(reader, newestFrameAfter(reader, 0).frameNumber + 1);
    };
    const RingFrame unsmoothed = frameAtLevel(0);
    const RingFrame smoothed = frameAtLevel(100);
    ASSERT_FALSE(smoothed.pixels.empty());
    EXPECT_GT(meanDifference(unsmoothed, smoothed), 0.01);

    const auto second = testing::runProgram({VELVIX_APP, "--ring", ring.get()});
    EXPECT_EQ(second.exitCode, 0) << second.output;
    EXPECT_NE(second.output.find("velvix: already running"), std::string::npos) << second.output;
    EXPECT_TRUE(velvix.waitForOutput("another start brought the window to the front"))
        << testing::readFile(log);
    testing::ScopedRingName otherRing;
    const std::string otherLog = data.path() + "/other.log";
    testing::ChildProcess other({VELVIX_APP, "--ring", otherRing.get()}, otherLog);
    ASSERT_TRUE(other.waitForOutput("velvix: pages from")) << testing::readFile(otherLog);
    other.signal(SIGHUP);
    EXPECT_EQ(other.waitForExit(20000), 0) << "ended with " << other.exitStatus() << "\n"
                                           << testing::readFile(otherLog);
    EXPECT_NE(testing::readFile(otherLog).find("velvix: stopped"), std::string::npos);

    ASSERT_TRUE(closeWindow("Velvix"));
    EXPECT_EQ(velvix.waitForExit(10000), 0) << testing::readFile(log);
    unsetenv("DBUS_SESSION_BUS_ADDRESS");
    // No warning or critical of GLib's.
    const std::string said = testing::readFile(log);
    EXPECT_EQ(said.find("-WARNING **"), std::string::npos) << said;
    EXPECT_EQ(said.find("-CRITICAL **"), std::string::npos) << said;
    // Readers show no frame of a program that has stopped.
    EXPECT_EQ(reader.header().state, RingState::initialised);

    // The cookies hold the user's name and camera; the cache goes where caches go.
    EXPECT_EQ(testing::permissionBits(data.path() + "/velvix"), 0700u);
    EXPECT_EQ(testing::permissionBits(data.path() + "/velvix/WebKitCache"), 01000u);
}

}  // namespace
}  // namespace velvix
