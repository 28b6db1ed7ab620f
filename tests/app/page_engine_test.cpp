// The pages and both scripts in the real web engine: the window host on an Xvfb display the
// test starts itself, the bundled service on a loopback port, and the real message handler.
#include <gtest/gtest.h>
#include <gtk/gtk.h>
#include <sys/stat.h>

#include <chrono>
#include <fstream>
#include <memory>
#include <optional>
#include <thread>

#include "host/gtk/gtk_host.hpp"
#include "page_scripts.hpp"
#include "preview.hpp"
#include "process.hpp"
#include "service/web_service.hpp"
#include "test_support.hpp"
#include "virtual_display.hpp"
#include "web_text.hpp"

namespace velvix {
namespace {

using namespace std::chrono_literals;

constexpr auto kPageTimeout = 15s;

class EngineEnvironment final : public ::testing::Environment {
  public:
    void SetUp() override {
        display_ = std::make_unique<testing::VirtualDisplay>();
        ready = display_->running() && gtk_init_check(nullptr, nullptr);
    }
    static inline bool ready = false;

  private:
    std::unique_ptr<testing::VirtualDisplay> display_;
};

const auto* const kEnvironment = ::testing::AddGlobalTestEnvironment(new EngineEnvironment);

// Runs the main loop until `done` holds or the time is up.
template <typename Predicate>
bool spinUntil(Predicate done, std::chrono::milliseconds timeout = kPageTimeout) {
    const auto end = std::chrono::steady_clock::now() + timeout;
    while (!done()) {
        if (std::chrono::steady_clock::now() > end) {
            return false;
        }
        if (!g_main_context_iteration(nullptr, FALSE)) {
            std::this_thread::sleep_for(2ms);
        }
    }
    return true;
}

void spinFor(std::chrono::milliseconds time) {
    spinUntil([] { return false; }, time);
}

// Whatever is shown, nothing ends outside the 330 x 390 window: what does not fit lies in a
// part that scrolls, below the header.
constexpr char kOutsideTheWindow[] =
    "(d => d.scrollWidth > innerWidth || d.scrollHeight > innerHeight ? d.scrollWidth + ' x ' +"
    " d.scrollHeight : 'nothing')(document.documentElement)";

class PageEngine : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(EngineEnvironment::ready) << "Xvfb or GTK could not be started";
        ASSERT_TRUE(serviceStarted_);
        handler_.emplace(
            control_, host_, addresses_, [this] { return cameras_; }, [](std::string_view) {},
            PanelSources{&virtualCamera_, &preview_, &cameraStatus_});
        // Acts as the frame worker: a frame of 1280 x 720 for the preview every 20 ms.
        feeding_ = g_timeout_add(
            20,
            [](gpointer preview) {
                static const std::vector<std::uint8_t> frame(1280 * 720 * 3, 128);
                static_cast<PanelPreview*>(preview)->unsmoothed(frame.data(), {1280, 720});
                static_cast<PanelPreview*>(preview)->published(frame.data(), {1280, 720});
                return gboolean(G_SOURCE_CONTINUE);
            },
            &preview_);
    }
    void TearDown() override {
        if (feeding_ != 0) {
            g_source_remove(feeding_);
        }
    }

    // Opens the window on the sign-up page with these devices in the camera list.
    void open(std::vector<std::string> cameras) {
        cameras_ = std::move(cameras);
        host_.setMessageReceiver([this](const std::u16string& message) {
            messages_.push_back(message);
            handler_->handle(message);
        });
        host_.open(addresses_.signUpPage, dataFolder(), data_.path() + "/cache");
        ASSERT_TRUE(waitForNavigations(1));
    }

    std::string dataFolder() const { return data_.path() + "/data"; }

    bool waitForDebugLine(const std::string& text) {
        return spinUntil([&] { return debugText_.find(text) != std::string::npos; });
    }

    bool waitForNavigations(int count) {
        return spinUntil([&] { return host_.completedNavigations() >= count; });
    }

    bool waitForMessage(const std::u16string& message) {
        return spinUntil([&] { return posted(message); });
    }

    bool posted(const std::u16string& message) const {
        return std::find(messages_.begin(), messages_.end(), message) != messages_.end();
    }

    bool postedWithPrefix(std::u16string_view prefix) const {
        return std::any_of(messages_.begin(), messages_.end(),
                           [&](const std::u16string& m) { return m.starts_with(prefix); });
    }

    // The value of a script expression in the current page, as text.
    std::string query(const std::string& expression) {
        const std::u16string prefix =
            u"query:" + std::u16string(1, char16_t(u'0' + queries_++ % 10));
        const std::string prefix8 = utf8FromUtf16(prefix);
        host_.runScript("window.chrome.webview.postMessage('" + prefix8 + "' + String(" +
                        expression + "));");
        std::string answer = "(no answer)";
        spinUntil([&] {
            for (auto it = messages_.rbegin(); it != messages_.rend(); ++it) {
                if (it->starts_with(prefix)) {
                    answer = utf8FromUtf16(it->substr(prefix.size()));
                    messages_.erase(std::next(it).base());
                    return true;
                }
            }
            return false;
        });
        return answer;
    }

    std::string cameraOptions() {
        return query(
            "Array.from(document.getElementById('camera-select').options).map("
            "o => o.value + (o.defaultSelected ? '[marked]' : '') + (o.selected ? '*' : ''))"
            ".join('|')");
    }

    void signIn(const std::string& name) {
        std::string literal;
        appendScriptStringContent(literal, unitsFromBytes(name));
        host_.runScript("document.getElementById('username').value = \"" + literal +
                        "\"; document.getElementsByTagName('button')[0].click();");
    }

    // Asks until the expression has this value; false when it never gets it.
    bool waitForQuery(const std::string& expression, const std::string& expected) {
        const auto end = std::chrono::steady_clock::now() + kPageTimeout;
        while (std::chrono::steady_clock::now() < end) {
            if (query(expression) == expected) {
                return true;
            }
            spinFor(50ms);
        }
        ADD_FAILURE() << expression << " is " << query(expression) << ", not " << expected;
        return false;
    }

    enum class KeyPress { down, up, both };

    GtkWidget* view() const { return gtk_bin_get_child(GTK_BIN(host_.window())); }

    void focusView() {
        gtk_window_present(GTK_WINDOW(host_.window()));
        gtk_widget_grab_focus(view());
    }

    // A key as the keyboard gives it to the window.
    void pressKey(guint keyval, guint modifiers = 0, KeyPress kind = KeyPress::both) {
        GdkDisplay* display = gdk_display_get_default();
        GdkKeymapKey* keys = nullptr;
        gint count = 0;
        gdk_keymap_get_entries_for_keyval(gdk_keymap_get_for_display(display), keyval, &keys,
                                          &count);
        const guint16 code = count > 0 ? static_cast<guint16>(keys[0].keycode) : 0;
        g_free(keys);
        for (const GdkEventType type : {GDK_KEY_PRESS, GDK_KEY_RELEASE}) {
            if (kind == (type == GDK_KEY_PRESS ? KeyPress::up : KeyPress::down)) {
                continue;
            }
            GdkEvent* event = gdk_event_new(type);
            event->key.window = GDK_WINDOW(g_object_ref(gtk_widget_get_window(view())));
            event->key.time = GDK_CURRENT_TIME;
            event->key.state = modifiers;
            event->key.keyval = keyval;
            event->key.hardware_keycode = code;
            event->key.string = g_strdup("");
            gdk_event_set_device(event,
                                 gdk_seat_get_keyboard(gdk_display_get_default_seat(display)));
            gtk_main_do_event(event);
            gdk_event_free(event);
            spinFor(20ms);
        }
    }

    // Holds the picture with the space bar, as the keyboard gives it to the window.
    void pressPicture(bool down) {
        focusView();
        host_.runScript("document.querySelector('.preview').focus();");
        ASSERT_TRUE(waitForQuery("document.activeElement.classList.contains('preview')", "true"));
        pressKey(GDK_KEY_space, 0, down ? KeyPress::down : KeyPress::up);
    }

    void reload() {
        const int before = host_.completedNavigations();
        host_.runScript("location.reload();");
        ASSERT_TRUE(waitForNavigations(before + 1));
    }

    // Whatever is shown, nothing ends outside the window.
    void checkFits(const std::string& state) {
        EXPECT_EQ(query(kOutsideTheWindow), "nothing") << state;
    }

    BundledService service_;
    bool serviceStarted_ = service_.start();
    ServiceAddresses addresses_ = ServiceAddresses::forOrigin(service_.origin());
    testing::ScopedFolder data_;
    std::vector<std::string> cameras_;
    PageSetupScript pageSetup_{[this] { return cameras_; }};
    std::string debugText_;
    GtkWebViewHost host_{pageSetup_, PageOriginPolicy(service_.origin()),
                         [this](std::string_view line) { (debugText_ += line) += '\n'; }};
    ControlBlock control_;
    struct FakeVirtualCamera final : VirtualCameraPanel {
        std::string stateText() override { return state; }
        void setUp() override { state = "setting-up"; }
        std::string state = "none";
    } virtualCamera_;
    struct FakeCameraStatus final : CameraStatus {
        std::string cameraStateText() override { return state; }
        std::string state = "none";
    } cameraStatus_;
    PanelPreview preview_;
    guint feeding_ = 0;
    std::optional<WebMessageHandler> handler_;
    std::vector<std::u16string> messages_;
    int queries_ = 0;
};

// One session on the sign-up page: the window, what a hostile page or frame cannot do, the
// browser, and the way to the smoothing page by keyboard alone.
TEST_F(PageEngine, SignUpPageHoldsAgainstOtherOriginsAndWorksByKeyboard) {
    // As an earlier version left the data folder: open to everybody.
    ASSERT_EQ(mkdir(dataFolder().c_str(), 0755), 0);
    std::ofstream(dataFolder() + "/cookies.sqlite").close();
    chmod(dataFolder().c_str(), 0755);
    chmod((dataFolder() + "/cookies.sqlite").c_str(), 0644);
    open({"Cam A"});
    // The page setup runs after completed navigations only: the service closes a connection
    // whose request is longer than it reads.
    int before = host_.completedNavigations();
    host_.navigate(addresses_.signUpPage + "?" + std::string(20000, 'a'));
    spinFor(1500ms);
    EXPECT_EQ(host_.completedNavigations(), before);
    host_.navigate(addresses_.signUpPage);
    EXPECT_TRUE(waitForNavigations(before + 1));

    // Texts posted to the page arrive as message events; a text longer than any message may be
    // reaches the program as its length alone, and what is not a string not at all.
    host_.runScript(
        "window.chrome.webview.addEventListener('message',"
        " e => window.chrome.webview.postMessage('got ' + e.data), { once: true });");
    const std::u16string text = u"a \"quoted\" </script> \\ \u00e9 \u4e2d";
    host_.postToPage(text);
    ASSERT_TRUE(waitForMessage(u"got " + text));
    messages_.clear();
    host_.runScript(
        "window.chrome.webview.postMessage({ a: 1 });"
        "window.chrome.webview.postMessage('y'.repeat(50000000));"
        "window.chrome.webview.postMessage('x');");
    ASSERT_TRUE(waitForMessage(u"x"));
    EXPECT_EQ(messages_.size(), 1u);
    EXPECT_TRUE(waitForDebugLine("it is 50000000 characters long, more than 65536"));

    // The window and its frames stay on the service's origin.
    BundledService foreign;  // the same pages, from another origin
    ASSERT_TRUE(foreign.start());
    before = host_.completedNavigations();
    host_.runScript("location.href = '" + foreign.origin() + "/smooth.html';");
    EXPECT_TRUE(waitForDebugLine("refused to show " + foreign.origin() + "/smooth.html"));
    host_.runScript("const frame = document.createElement('iframe'); frame.src = '" +
                    foreign.origin() + "/signup.html'; document.body.appendChild(frame);");
    EXPECT_TRUE(waitForDebugLine("refused to show " + foreign.origin() + "/signup.html"));
    // What a frame of another origin could do: post through the message handler directly.
    host_.runScript("window.webkit.messageHandlers.velvix.postMessage('velv:SMOOTH:on,97');");
    EXPECT_TRUE(waitForDebugLine("did not come from the page's main frame"));
    EXPECT_EQ(host_.completedNavigations(), before);
    EXPECT_FALSE(postedWithPrefix(u"velv:SMOOTH"));
    EXPECT_EQ(control_.takeOverSettings(), kNoCameraChosen);
    EXPECT_FALSE(control_.applied.smoothOn);
    reload();
    checkFits("sign-up page");
    // No service worker could outlive the run and answer later runs in the service's place.
    EXPECT_EQ(query("'serviceWorker' in navigator"), "false");
    // The keyboard, through the view: the name (without its spaces), the switch turned with the
    // space bar, and Ctrl+Q. The page's helpers are private: a page's own names break nothing.
    const int signUpLoads = host_.completedNavigations();
    focusView();
    host_.runScript("document.getElementById('username').focus();");
    EXPECT_TRUE(waitForQuery("document.activeElement.id", "username"));
    host_.runScript(
        "window.post = function () {}; window.getCookie = function () { return 'x'; };"
        " window.setCookie = function () {}; window.chrome = {};");
    for (const char letter : std::string("Ada ")) {
        pressKey(gdk_unicode_to_keyval(static_cast<unsigned char>(letter)));
    }
    pressKey(GDK_KEY_Return);
    ASSERT_TRUE(waitForMessage(u"velv:LOGIN:Ada"));
    ASSERT_TRUE(waitForNavigations(signUpLoads + 1));
    ASSERT_TRUE(waitForMessage(u"velv:SMOOTH:on,35"));
    host_.runScript("document.getElementById('smooth-switch').focus();");
    EXPECT_TRUE(waitForQuery("document.activeElement.id", "smooth-switch"));
    pressKey(GDK_KEY_space);
    EXPECT_TRUE(waitForMessage(u"velv:SMOOTH:off"));
    pressKey(GDK_KEY_q, GDK_CONTROL_MASK);
    EXPECT_TRUE(waitForMessage(u"velv:QUIT"));

    EXPECT_EQ(testing::permissionBits(dataFolder()), 0700u);
    EXPECT_EQ(testing::permissionBits(dataFolder() + "/cookies.sqlite"), 0600u);
    EXPECT_EQ(testing::permissionBits(data_.path() + "/cache"), 0700u);
}

// One session on the smoothing page: names that come back byte for byte, the preview, what is
// remembered, the camera's and the virtual camera's states, cameras that come and go, and
// signing out. Whatever is shown fits the window.
TEST_F(PageEngine, SmoothingPageRemembersShowsEveryStateAndFollowsTheCameras) {
    const std::string name =
        "Cam \"A\"; 'b'=1 <i>&amp; \\ %41 \xE9\r, a rather long name that goes on (USB 3.0)";
    const std::string shownName = utf8FromUtf16(unitsFromBytes(name));
    const std::string user = "Zo\xEB; \"<b>\" %41";
    const testing::ScopedFolder devices;
    open({"Velvix Camera", "My Velvix", name});
    host_.watchDevices(devices.path());
    signIn(user);
    ASSERT_TRUE(waitForMessage(u"velv:LOGIN:" + unitsFromBytes(user)));
    ASSERT_TRUE(waitForNavigations(2));
    EXPECT_EQ(query("document.getElementById('username').innerText"),
              utf8FromUtf16(unitsFromBytes(user)));
    // The program's own device is left out, and with it the default mark; the next one runs.
    EXPECT_TRUE(waitForMessage(u"velv:CAMERA:My Velvix"));
    EXPECT_EQ(cameraOptions(), "no camera|My Velvix*|" + shownName);
    ASSERT_TRUE(waitForMessage(u"velv:SMOOTH:on,35"));
    // The preview shows the pictures the worker leaves; held, it asks for the one before
    // smoothing.
    EXPECT_TRUE(waitForQuery("document.getElementById('preview').naturalWidth", "288"));
    pressPicture(true);
    EXPECT_TRUE(
        waitForQuery("document.querySelector('.preview').classList.contains('held')", "true"));
    EXPECT_TRUE(waitForMessage(u"velv:PREVIEW:BEFORE"));
    pressPicture(false);
    messages_.clear();
    EXPECT_TRUE(waitForMessage(u"velv:PREVIEW"));
    EXPECT_FALSE(posted(u"velv:PREVIEW:BEFORE"));

    // The camera and the level are remembered over a reload.
    host_.runScript("selectCamera(document.getElementById('camera-select').options[2].value);");
    EXPECT_TRUE(waitForMessage(u"velv:CAMERA:" + unitsFromBytes(name)));
    EXPECT_EQ(control_.takeOverSettings(), 2);
    // As the user changes it: a new value, then the change event.
    host_.runScript(
        "{ const c = document.getElementById('smooth-level'); c.value = '60';"
        " c.dispatchEvent(new Event('change')); }");
    ASSERT_TRUE(waitForMessage(u"velv:SMOOTH:on,60"));
    messages_.clear();
    reload();
    EXPECT_TRUE(waitForMessage(u"velv:CAMERA:" + unitsFromBytes(name)));
    EXPECT_TRUE(waitForMessage(u"velv:SMOOTH:on,60"));
    EXPECT_EQ(cameraOptions(), "no camera|My Velvix|" + shownName + "*");
    // A camera lost: its line says so.
    const std::string cameraLine = "document.getElementById('camera-state').textContent";
    cameraStatus_.state = "lost";
    EXPECT_TRUE(waitForQuery(cameraLine, "Camera lost, retrying"));
    cameraStatus_.state = "none";

    // The virtual camera's button sets one up; its state is asked for again while the page
    // shows, and a reason given is shown as text (a long one scrolls).
    host_.runScript("document.getElementById('virtual-camera-setup').click();");
    ASSERT_TRUE(waitForMessage(u"velv:VCAM:SETUP"));
    const std::string why = "the module is <b>missing</b> " + std::string(300, 'w');
    virtualCamera_.state = "failed:" + why;
    EXPECT_TRUE(waitForQuery("document.getElementById('virtual-camera').textContent",
                             "The virtual camera could not be set up: " + why));
    checkFits("virtual camera failed");
    host_.postToPage(
        browserFailedMessage("https://example.org/" + std::string(120, 'x') + "/terms-of-use"));
    ASSERT_TRUE(waitForQuery("document.querySelectorAll('dialog[open]').length", "1"));
    checkFits("smoothing page without a browser");

    // With no camera at all the page says so; the list is made again when one is plugged in,
    // which then runs, and when it is removed.
    cameras_ = {};
    std::ofstream(devices.path() + "/video4").close();
    EXPECT_TRUE(waitForQuery("document.getElementById('camera-select').options.length", "1"));
    EXPECT_TRUE(waitForQuery(cameraLine, "No camera found"));
    cameras_ = {"Cam A"};
    std::remove((devices.path() + "/video4").c_str());
    EXPECT_TRUE(waitForMessage(u"velv:CAMERA:Cam A"));
    EXPECT_EQ(cameraOptions(), "no camera|Cam A[marked]*");
    EXPECT_TRUE(waitForQuery(cameraLine, "No camera"));

    // Signing out forgets the name: the sign-up page does not sign in again.
    const int before = host_.completedNavigations();
    host_.runScript("document.getElementsByClassName('btn-logout')[0].click();");
    ASSERT_TRUE(waitForMessage(u"velv:LOGOUT:" + unitsFromBytes(user)));
    ASSERT_TRUE(waitForNavigations(before + 1));
    messages_.clear();
    // Nor is a picture asked for, copied or encoded (the worker copies for a second after the
    // last request).
    const std::uint64_t encoded = preview_.encodedPictures();
    spinFor(kPreviewInterest + 500ms);
    const std::uint64_t copied = preview_.copiedFrames();
    spinFor(1s);
    EXPECT_EQ(preview_.copiedFrames(), copied);
    EXPECT_EQ(preview_.encodedPictures(), encoded);
    EXPECT_EQ(query("location.pathname"), "/signup.html");
    EXPECT_FALSE(postedWithPrefix(u"velv:LOGIN"));
    EXPECT_FALSE(postedWithPrefix(u"velv:PREVIEW"));
}

}  // namespace
}  // namespace velvix
