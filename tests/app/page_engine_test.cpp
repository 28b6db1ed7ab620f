// The pages and both scripts in the real web engine: the window host on an Xvfb display the
// test starts itself, the bundled service on a loopback port, and the real message handler.
#include <gtest/gtest.h>
#include <gtk/gtk.h>
#include <httplib.h>
#include <stb_image.h>
#include <sys/stat.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <optional>
#include <thread>

#include "host/frame_service.hpp"
#include "host/gtk/gtk_host.hpp"
#include "page_scripts.hpp"
#include "process.hpp"
#include "service/web_service.hpp"
#include "test_support.hpp"
#include "velvix/pipeline/frame_ring.hpp"
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

// An xdg-open of the test's own, first on PATH while the object lives: it writes down each
// address it is given instead of starting a browser.
class FakeBrowser {
  public:
    // With an exit status other than 0 it fails as xdg-open does where no browser is installed.
    explicit FakeBrowser(int exitStatus = 0) : path_(std::getenv("PATH")) {
        const std::string program = folder_.path() + "/xdg-open";
        std::ofstream(program) << "#!/bin/sh\nprintf '%s\\n' \"$1\" >> \"" << folder_.path()
                               << "/opened\"\nexit " << exitStatus << "\n";
        chmod(program.c_str(), 0700);
        setenv("PATH", (folder_.path() + ":" + path_).c_str(), 1);
    }
    ~FakeBrowser() { setenv("PATH", path_.c_str(), 1); }

    // The addresses, one a line.
    std::string opened() const { return testing::readFile(folder_.path() + "/opened"); }

  private:
    testing::ScopedFolder folder_;
    std::string path_;
};

// Whatever is shown, nothing ends outside the 330 x 390 window: what does not fit lies in a
// part that scrolls, below the header.
constexpr char kOutsideTheWindow[] = R"((() => {
  const scrolls = (e) => ['auto', 'scroll'].includes(getComputedStyle(e).overflowY);
  const outside = [];
  for (const e of document.querySelectorAll('body *')) {
    const r = e.getBoundingClientRect();
    if (!e.getClientRects().length || (r.width === 0 && r.height === 0)) continue;
    let scroller = e.parentElement;
    while (scroller !== document.body && !scrolls(scroller)) scroller = scroller.parentElement;
    const box = scroller === document.body
      ? { left: 0, top: 0, right: innerWidth, bottom: innerHeight }
      : scroller.getBoundingClientRect();
    if (r.left < box.left - 0.5 || r.right > box.right + 0.5 ||
        (scroller === document.body && (r.top < -0.5 || r.bottom > innerHeight + 0.5))) {
      outside.push((e.id || e.className || e.tagName) + ' at ' +
                   [r.left, r.top, r.right, r.bottom].map(Math.round).join(','));
    }
  }
  return outside.join('; ') || 'nothing';
})())";

class PageEngine : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(EngineEnvironment::ready) << "Xvfb or GTK could not be started";
        ASSERT_TRUE(serviceStarted_);
        handler_.emplace(
            control_, host_, addresses_, [this] { return cameras_; }, [](std::string_view) {},
            PanelSources{&virtualCamera_, nullptr, &cameraStatus_});
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
        return spinUntil([&] {
            return std::any_of(
                debugLines_.begin(), debugLines_.end(),
                [&](const std::string& line) { return line.find(text) != std::string::npos; });
        });
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

    // Signs in and waits until the smoothing page is set up.
    void reachSmoothingPage() {
        signIn("Ada");
        ASSERT_TRUE(waitForMessage(u"velv:LOGIN:Ada"));
        ASSERT_TRUE(waitForNavigations(2));
    }

    // As the user changes it: a new value, then the change event.
    void changeControl(const std::string& id, const std::string& value) {
        host_.runScript("{ const c = document.getElementById('" + id + "'); c.value = '" + value +
                        "'; c.dispatchEvent(new Event('change')); }");
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

    void typeText(const std::string& text) {
        for (const char letter : text) {
            pressKey(gdk_unicode_to_keyval(static_cast<unsigned char>(letter)));
        }
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
    std::vector<std::string> debugLines_;
    GtkWebViewHost host_{pageSetup_, PageOriginPolicy(service_.origin()),
                         [this](std::string_view line) { debugLines_.emplace_back(line); }};
    ControlBlock control_;
    struct FakeVirtualCamera final : VirtualCameraPanel {
        std::string stateText() override { return state; }
        void setUp() override {
            ++setUps;
            state = "setting-up";
        }
        std::string state = "none";
        int setUps = 0;
    } virtualCamera_;
    struct FakeCameraStatus final : CameraStatus {
        std::string cameraStateText() override { return state; }
        std::string state = "none";
    } cameraStatus_;
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
    GtkWindow* window = GTK_WINDOW(host_.window());
    EXPECT_STREQ(gtk_window_get_title(window), "Velvix");
    EXPECT_FALSE(gtk_window_get_resizable(window));
    GtkAllocation client;
    gtk_widget_get_allocation(view(), &client);
    EXPECT_EQ(client.width, 330);
    EXPECT_EQ(client.height, 390);
    GList* icons = gtk_window_get_icon_list(window);
    EXPECT_EQ(g_list_length(icons), 10u);  // one for each size the installed icon theme has
    g_list_free(icons);

    // The page setup runs after completed navigations only. The service closes a connection
    // whose request is longer than it reads: that load fails.
    int before = host_.completedNavigations();
    host_.navigate(addresses_.signUpPage + "?" + std::string(20000, 'a'));
    spinFor(1500ms);
    EXPECT_EQ(host_.completedNavigations(), before);
    host_.navigate(addresses_.signUpPage);
    EXPECT_TRUE(waitForNavigations(before + 1));
    EXPECT_EQ(query("document.getElementsByTagName('button')[0].getAttribute('onclick')"),
              "doLogin()");

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
    EXPECT_EQ(query("location.origin"), service_.origin());
    // A frame of another origin would not even let the page read its address.
    EXPECT_EQ(query("(() => { try { return frames[0].location.href; } catch (e) { return e.name; }"
                    " })()"),
              "about:blank");
    EXPECT_EQ(host_.completedNavigations(), before);
    EXPECT_FALSE(postedWithPrefix(u"velv:SMOOTH"));
    EXPECT_EQ(control_.takeOverSettings(), kNoCameraChosen);
    EXPECT_FALSE(control_.applied.smoothOn);
    reload();

    // The terms and links to other sites open in the browser; the default terms address is the
    // service's own page, which loads.
    {
        const FakeBrowser browser;
        host_.runScript("document.getElementById('terms-of-use').click();");
        const std::string terms = service_.origin() + "/terms-of-use\n";
        EXPECT_TRUE(spinUntil([&] { return browser.opened() == terms; })) << browser.opened();
        const auto page = httplib::Client(service_.origin()).Get("/terms-of-use");
        ASSERT_TRUE(page);
        EXPECT_EQ(page->status, 200);
        EXPECT_NE(page->body.find("<h1>Terms of use</h1>"), std::string::npos);
        host_.runScript(
            "const link = document.createElement('a'); link.href = 'https://example.org/';"
            " link.textContent = 'elsewhere'; document.body.appendChild(link); link.click();");
        EXPECT_TRUE(spinUntil([&] { return browser.opened() == terms + "https://example.org/\n"; }))
            << browser.opened();
        EXPECT_EQ(query("location.href"), addresses_.signUpPage);
    }
    reload();
    checkFits("sign-up page");
    // Without a browser the page says so and shows the address; Escape closes what it says.
    {
        const FakeBrowser browser(3);
        focusView();
        host_.runScript("document.getElementById('terms-of-use').click();");
        const std::string dialog =
            "(d => d ? d.open + ' ' + d.querySelector('.address').textContent : 'none')"
            "(document.querySelector('dialog'))";
        EXPECT_TRUE(waitForQuery(dialog, "true " + service_.origin() + "/terms-of-use"));
        checkFits("sign-up page without a browser");
        pressKey(GDK_KEY_Escape);
        EXPECT_TRUE(waitForQuery(dialog, "none"));
    }

    // A name is needed: one hint until there is one.
    const std::string hint = "document.getElementById('username-hint').hidden";
    EXPECT_EQ(query(hint), "true");
    for (int attempt = 0; attempt < 2; ++attempt) {
        signIn("   ");
    }
    EXPECT_TRUE(waitForQuery(hint, "false"));
    EXPECT_EQ(query("document.querySelectorAll('.hint:not([hidden])').length"), "1");
    EXPECT_EQ(query("document.activeElement.id"), "username");
    EXPECT_FALSE(postedWithPrefix(u"velv:LOGIN"));
    checkFits("sign-up page without a name");

    // The page's helpers are private, so that a page's own names break nothing, and no service
    // worker could outlive the run and answer later runs in the service's place.
    EXPECT_EQ(query("'serviceWorker' in navigator"), "false");
    EXPECT_EQ(query("[typeof post, typeof getCookie, typeof setCookie, typeof clearCookie,"
                    " typeof smoothLevel, typeof checkBox, typeof velvUser].join()"),
              "undefined,undefined,undefined,undefined,undefined,undefined,undefined");
    EXPECT_EQ(query("[doLogin, doLogout, showTerms, selectCamera, initCamera, initOnOff,"
                    " onChangeOnOff, onChangeSlider, enableOnOff, disableOnOff]"
                    ".map(f => typeof f).join()"),
              "function,function,function,function,function,function,function,function,"
              "function,function");

    // Every control by keyboard, through the view: the name (without its spaces), the switch,
    // reached with Tab, showing its focus and turned with the space bar, and Ctrl+Q.
    const int signUpLoads = host_.completedNavigations();
    focusView();
    host_.runScript("document.getElementById('username').focus();");
    EXPECT_TRUE(waitForQuery("document.activeElement.id", "username"));
    host_.runScript(
        "window.post = function () {}; window.getCookie = function () { return 'x'; };"
        " window.setCookie = function () {}; window.chrome = {};");
    typeText("Ada ");
    pressKey(GDK_KEY_Return);
    ASSERT_TRUE(waitForMessage(u"velv:LOGIN:Ada"));
    ASSERT_TRUE(waitForNavigations(signUpLoads + 1));
    ASSERT_TRUE(waitForMessage(u"velv:SMOOTH:on,35"));
    std::vector<std::string> reached;
    while (reached.size() < 10 && (reached.empty() || reached.back() != "smooth-switch")) {
        pressKey(GDK_KEY_Tab);
        spinFor(50ms);
        reached.push_back(query("document.activeElement.id || document.activeElement.className"));
    }
    ASSERT_EQ(reached.back(), "smooth-switch") << ::testing::PrintToString(reached);
    EXPECT_NE(query("getComputedStyle(document.querySelector('.track')).outlineStyle"), "none");
    pressKey(GDK_KEY_space);
    EXPECT_TRUE(waitForMessage(u"velv:SMOOTH:off"));
    pressKey(GDK_KEY_q, GDK_CONTROL_MASK);
    EXPECT_TRUE(waitForMessage(u"velv:QUIT"));

    EXPECT_EQ(testing::permissionBits(dataFolder()), 0700u);
    EXPECT_EQ(testing::permissionBits(dataFolder() + "/cookies.sqlite"), 0600u);
    EXPECT_EQ(testing::permissionBits(data_.path() + "/cache"), 0700u);
}

// One session on the smoothing page: names that come back byte for byte, what is remembered,
// the camera's and the virtual camera's states, cameras that come and go, and signing out.
// Whatever is shown fits the window.
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
    EXPECT_EQ(query("location.pathname"), "/smooth.html");
    EXPECT_EQ(query("document.getElementById('username').innerText"),
              utf8FromUtf16(unitsFromBytes(user)));
    // The program's own device is left out, and with it the default mark; the next one runs.
    EXPECT_TRUE(waitForMessage(u"velv:CAMERA:My Velvix"));
    EXPECT_EQ(cameraOptions(), "no camera|My Velvix*|" + shownName);
    ASSERT_TRUE(waitForMessage(u"velv:SMOOTH:on,35"));

    // The name is remembered: the sign-up page signs in again.
    messages_.clear();
    int before = host_.completedNavigations();
    host_.navigate(addresses_.signUpPage);
    EXPECT_TRUE(waitForMessage(u"velv:LOGIN:" + unitsFromBytes(user)));
    EXPECT_TRUE(waitForNavigations(before + 1));
    EXPECT_TRUE(spinUntil([&] { return query("location.pathname") == "/smooth.html"; }));
    ASSERT_TRUE(waitForMessage(u"velv:CAMERA:My Velvix"));

    // The camera, the switch and the level are remembered over a reload.
    host_.runScript("selectCamera(document.getElementById('camera-select').options[2].value);");
    EXPECT_TRUE(waitForMessage(u"velv:CAMERA:" + unitsFromBytes(name)));
    EXPECT_EQ(control_.takeOverSettings(), 2);
    host_.runScript("document.getElementById('smooth-switch').click();");
    EXPECT_TRUE(waitForMessage(u"velv:SMOOTH:off"));
    messages_.clear();
    host_.runScript("document.getElementById('smooth-switch').click();");
    EXPECT_TRUE(waitForMessage(u"velv:SMOOTH:on,35"));
    changeControl("smooth-level", "60");
    ASSERT_TRUE(waitForMessage(u"velv:SMOOTH:on,60"));
    messages_.clear();
    reload();
    EXPECT_TRUE(waitForMessage(u"velv:CAMERA:" + unitsFromBytes(name)));
    EXPECT_TRUE(waitForMessage(u"velv:SMOOTH:on,60"));
    EXPECT_EQ(query("document.getElementById('smooth-level').value"), "60");
    EXPECT_EQ(cameraOptions(), "no camera|My Velvix|" + shownName + "*");
    EXPECT_FALSE(posted(u"velv:CAMERA:My Velvix"));
    // While the remembered camera is missing the first one runs, and the list shows that one.
    host_.runScript("document.cookie = 'cam=Unplugged Cam;path=/';");
    messages_.clear();
    reload();
    EXPECT_TRUE(waitForMessage(u"velv:CAMERA:My Velvix"));
    EXPECT_EQ(cameraOptions(), "no camera|My Velvix*|" + shownName);

    // What the camera's line and the picture say in each state of the camera.
    const std::string cameraLine = "document.getElementById('camera-state').textContent";
    const std::string picture =
        "(s => s.hidden ? '(none)' : s.textContent)(document.getElementById('preview-status'))";
    struct CameraRow {
        const char* state;
        const char* line;
        const char* picture;
    };
    for (const CameraRow& row :
         {CameraRow{"working:10 fps: the camera sends no faster at this size",
                    "Camera working, 10 fps: the camera sends no faster at this size", "(none)"},
          CameraRow{"lost", "Camera lost, retrying", "No picture from the camera - trying again"},
          CameraRow{"none", "No camera", "No camera chosen"}}) {
        cameraStatus_.state = row.state;
        EXPECT_TRUE(waitForQuery(cameraLine, row.line));
        EXPECT_EQ(query(picture), row.picture) << row.state;
        checkFits(row.state);
    }

    // The virtual camera's line, and its one button to set one up.
    const std::string line = "document.getElementById('virtual-camera').textContent";
    const std::string button = "document.getElementById('virtual-camera-setup')";
    EXPECT_TRUE(waitForQuery(
        line, "No virtual camera yet: set one up (needs the package v4l2loopback-dkms)."));
    EXPECT_EQ(query(button + ".hidden"), "false");
    host_.runScript(button + ".click();");
    ASSERT_TRUE(waitForMessage(u"velv:VCAM:SETUP"));
    EXPECT_EQ(virtualCamera_.setUps, 1);
    EXPECT_TRUE(waitForQuery(line, "Setting up the virtual camera\u2026"));
    EXPECT_EQ(query(button + ".disabled"), "true");
    // The state is asked for again while the page shows: a device that is fed now appears; the
    // PipeWire camera is read, and programs that only use V4L2 still need a loopback device; a
    // reason given is shown as text, and a long one scrolls.
    struct VirtualCameraRow {
        std::string state;
        std::string line;
        std::string button;  // its text, or "hidden"
    };
    const std::string why(300, 'w');
    for (const VirtualCameraRow& row : {
             VirtualCameraRow{"feeding:Velvix Camera",
                              "Other programs see the picture as the camera \"Velvix Camera\".",
                              "hidden"},
             VirtualCameraRow{"pipewire=reading;none",
                              "Other programs see the picture as the PipeWire camera \"Velvix "
                              "Camera\"; a program is reading it. Programs that only use V4L2 "
                              "need a loopback device (package v4l2loopback-dkms).",
                              "Set up a V4L2 camera"},
             VirtualCameraRow{"failed:the module is <b>missing</b>",
                              "The virtual camera could not be set up: the module is "
                              "<b>missing</b>",
                              "Try again"},
             VirtualCameraRow{"failed:" + why, "The virtual camera could not be set up: " + why,
                              "Try again"},
         }) {
        virtualCamera_.state = row.state;
        EXPECT_TRUE(waitForQuery(line, row.line));
        EXPECT_EQ(query("(b => b.hidden ? 'hidden' : b.textContent)(" + button + ")"), row.button);
        checkFits(row.state);
    }
    // What does not fit lies in a part that scrolls, below the header.
    EXPECT_EQ(query("(c => c.scrollHeight > c.clientHeight)(document.querySelector('.card'))"),
              "true");
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
    EXPECT_EQ(query("document.getElementById('preview-status').textContent"), "No camera found");
    cameras_ = {"Cam A"};
    std::remove((devices.path() + "/video4").c_str());
    EXPECT_TRUE(waitForMessage(u"velv:CAMERA:Cam A"));
    EXPECT_EQ(cameraOptions(), "no camera|Cam A[marked]*");
    EXPECT_TRUE(waitForQuery(cameraLine, "No camera"));

    // Signing out forgets the name: the sign-up page does not sign in again.
    before = host_.completedNavigations();
    host_.runScript("document.getElementsByClassName('btn-logout')[0].click();");
    ASSERT_TRUE(waitForMessage(u"velv:LOGOUT:" + unitsFromBytes(user)));
    ASSERT_TRUE(waitForNavigations(before + 1));
    messages_.clear();
    spinFor(300ms);
    EXPECT_EQ(query("location.pathname"), "/signup.html");
    EXPECT_FALSE(postedWithPrefix(u"velv:LOGIN"));
}

// A picture of red, green and blue bytes, top row first.
struct Picture {
    FrameSize size;
    std::vector<std::uint8_t> rgb;

    const std::uint8_t* at(int x, int y) const {
        return &rgb[(static_cast<std::size_t>(y) * size.width + x) * 3];
    }
};

Picture decodeImageFile(const std::string& bytes) {
    int width = 0;
    int height = 0;
    int channels = 0;
    stbi_uc* pixels =
        stbi_load_from_memory(reinterpret_cast<const stbi_uc*>(bytes.data()),
                              static_cast<int>(bytes.size()), &width, &height, &channels, 3);
    if (pixels == nullptr) {
        return {};
    }
    Picture picture{{width, height}, {pixels, pixels + std::size_t(width) * height * 3}};
    stbi_image_free(pixels);
    return picture;
}

// The ring's frame the right way up, in red, green, blue.
Picture uprightFrame(const RingFrame& frame) {
    Picture picture{frame.size, std::vector<std::uint8_t>(frame.pixels.size())};
    for (int y = 0; y < frame.size.height; ++y) {
        const std::uint8_t* row =
            &frame.pixels[static_cast<std::size_t>(frame.size.height - 1 - y) * frame.size.width *
                          3];
        for (int x = 0; x < frame.size.width; ++x) {
            std::uint8_t* out =
                &picture.rgb[(static_cast<std::size_t>(y) * frame.size.width + x) * 3];
            out[0] = row[x * 3 + 2];
            out[1] = row[x * 3 + 1];
            out[2] = row[x * 3];
        }
    }
    return picture;
}

// A grid of 32 x 18 cells laid over a picture, whatever its size, so that pictures of one frame
// at different sizes compare: the mean colour of each cell, or with `detail` the mean difference
// between neighbouring pixels along its rows, the fine detail that smoothing takes away where it
// works (on the skin).
std::vector<double> cells(const Picture& picture, bool detail = false) {
    constexpr int kColumns = 32;
    constexpr int kRows = 18;
    std::vector<double> values;
    for (int row = 0; row < kRows; ++row) {
        const int top = row * picture.size.height / kRows;
        const int bottom = (row + 1) * picture.size.height / kRows;
        for (int column = 0; column < kColumns; ++column) {
            const int left = column * picture.size.width / kColumns;
            const int right = (column + 1) * picture.size.width / kColumns;
            for (int channel = 0; channel < 3; ++channel) {
                double sum = 0;
                for (int y = top; y < bottom; ++y) {
                    for (int x = left + detail; x < right; ++x) {
                        const int value = picture.at(x, y)[channel];
                        sum += detail ? std::abs(value - picture.at(x - 1, y)[channel]) : value;
                    }
                }
                values.push_back(sum / ((bottom - top) * (right - left - detail)));
            }
        }
    }
    return values;
}

double meanDifference(const std::vector<double>& a, const std::vector<double>& b) {
    double sum = 0;
    for (std::size_t i = 0; i < a.size(); ++i) {
        sum += std::abs(a[i] - b[i]);
    }
    return a.empty() || a.size() != b.size() ? 1e9 : sum / static_cast<double>(a.size());
}

// How many cells (and colours) of `smoother` have less than 90 % of the detail they have in
// `sharper`: none between two pictures of the same frame, a face's worth after smoothing (the
// face alone is smoothed, the demo photo's face covers about 20 cells).
int smoothedCells(const Picture& smoother, const Picture& sharper) {
    const auto less = cells(smoother, true);
    const auto more = cells(sharper, true);
    int count = 0;
    for (std::size_t i = 0; i < less.size() && i < more.size(); ++i) {
        count += less[i] < more[i] * 0.9 ? 1 : 0;
    }
    return count;
}

// The preview with the program's own frame service behind the page: the test camera on the
// demo photo, the face step and the smoother, publishing into a ring of the test's own.
class PagePreview : public PageEngine {
  protected:
    void SetUp() override {
        PageEngine::SetUp();
        AppOptions options;
        FileCameraConfig camera;
        camera.path = VELVIX_DEMO_PHOTO;
        options.fileCameras = {camera};
        options.ringName = ring_.get();
        options.virtualCamera = AppOptions::VirtualCamera::off;
        frames_.emplace(options);
        handler_.emplace(
            frames_->control, host_, addresses_, [this] { return frames_->cameraNames(); },
            [](std::string_view) {}, frames_->panel(options));
        threads_ = frames_->start();
        open(frames_->cameraNames());
        reachSmoothingPage();
    }
    void TearDown() override { threads_ = {}; }

    // What the page's picture shows now, read back from the page through a canvas.
    // The picture comes back in pieces: a message may not be longer than 64 KiB.
    Picture shown() {
        const std::string length = query(
            "(() => { const image = document.getElementById('preview');"
            " if (!image.complete || !image.naturalWidth) { window.shownPng = ''; return 0; }"
            " const canvas = document.createElement('canvas');"
            " canvas.width = image.naturalWidth; canvas.height = image.naturalHeight;"
            " canvas.getContext('2d').drawImage(image, 0, 0);"
            " window.shownPng = canvas.toDataURL('image/png').split(',')[1];"
            " return window.shownPng.length; })()");
        std::string png;
        for (std::size_t at = 0; at < std::stoul(length); at += kMaxWebMessageUnits / 2) {
            png += query("window.shownPng.substr(" + std::to_string(at) + ", " +
                         std::to_string(kMaxWebMessageUnits / 2) + ")");
        }
        gsize size = 0;
        guchar* bytes = g_base64_decode(png.c_str(), &size);
        const Picture picture =
            decodeImageFile(std::string(reinterpret_cast<const char*>(bytes), size));
        g_free(bytes);
        return picture;
    }

    Picture published() {
        const FrameRingReader reader = FrameRingReader::open(ring_.get());
        RingFrame frame;
        if (!reader.isOpen() || reader.readNewest(frame) != FrameRingReader::ReadOutcome::frame) {
            return {};
        }
        return uprightFrame(frame);
    }

    // What the page shows once the worker has taken over what was just changed (a level, the
    // picture held): a frame copied after the change has been encoded and drawn. The page asks
    // for the next picture only once it has drawn the last, so when the third picture after
    // that copy is encoded, the second has been drawn.
    Picture shownAfterTheChange() {
        const std::uint64_t copied = frames_->preview().copiedFrames();
        EXPECT_TRUE(spinUntil([&] { return frames_->preview().copiedFrames() >= copied + 2; }));
        const std::uint64_t encoded = frames_->preview().encodedPictures();
        EXPECT_TRUE(spinUntil([&] { return frames_->preview().encodedPictures() >= encoded + 3; }));
        Picture picture;
        EXPECT_TRUE(spinUntil([&] {
            picture = shown();
            return !picture.rgb.empty();
        }));
        return picture;
    }

    void setLevel(int level) {
        changeControl("smooth-level", std::to_string(level));
        ASSERT_TRUE(waitForMessage(u"velv:SMOOTH:on," + utf16FromUtf8(std::to_string(level))));
    }

    // Holds the picture with the space bar, as the keyboard gives it to the window.
    void pressPicture(bool down) {
        focusView();
        host_.runScript("document.querySelector('.preview').focus();");
        ASSERT_TRUE(waitForQuery("document.activeElement.classList.contains('preview')", "true"));
        pressKey(GDK_KEY_space, 0, down ? KeyPress::down : KeyPress::up);
    }

    testing::ScopedRingName ring_;
    std::optional<FrameService> frames_;
    FrameService::Threads threads_;
};

// Smoothing keeps the colours of the cells and takes the fine detail of the skin away.
constexpr int kFaceCells = 9;

// One session with the preview: it shows the published picture, which follows the level; held,
// the picture before smoothing while the ring keeps the smoothed one; its hint; and nothing is
// asked for or copied once the page has gone.
TEST_F(PagePreview, ShowsThePublishedPictureHeldTheOneBeforeAndStopsWithThePage) {
    ASSERT_TRUE(waitForMessage(u"velv:SMOOTH:on,35"));
    // The hint is one line in a corner, none while smoothing is off, and no tooltip comes up.
    const std::string hint = "document.querySelector('.preview .hint')";
    EXPECT_EQ(query("document.querySelectorAll('[title]').length"), "0");
    EXPECT_EQ(query("(h => [h.getClientRects().length, h.offsetHeight < 20,"
                    " h.offsetWidth * 2 < h.parentNode.offsetWidth].join())(" +
                    hint + ")"),
              "1,true,true");
    host_.runScript("document.getElementById('smooth-switch').click();");
    ASSERT_TRUE(waitForMessage(u"velv:SMOOTH:off"));
    EXPECT_EQ(query(hint + ".getClientRects().length"), "0");
    messages_.clear();
    host_.runScript("document.getElementById('smooth-switch').click();");
    ASSERT_TRUE(waitForMessage(u"velv:SMOOTH:on,35"));

    setLevel(0);
    const Picture gentle = shownAfterTheChange();
    ASSERT_EQ(gentle.size, (FrameSize{288, 162}));
    // At level 0 the ring holds the test camera's picture hardly changed.
    const Picture photo = published();
    EXPECT_LT(meanDifference(cells(gentle), cells(photo)), 3.0);
    setLevel(100);
    const Picture smoothed = shownAfterTheChange();
    EXPECT_GT(smoothedCells(smoothed, gentle), kFaceCells);
    EXPECT_LT(meanDifference(cells(smoothed), cells(published())), 2.0);

    pressPicture(true);
    EXPECT_TRUE(
        waitForQuery("document.querySelector('.preview').classList.contains('held')", "true"));
    const Picture before = shownAfterTheChange();
    EXPECT_GT(smoothedCells(smoothed, before), kFaceCells);
    EXPECT_LT(meanDifference(cells(before), cells(photo)), 3.0);
    EXPECT_GT(smoothedCells(published(), photo), kFaceCells);
    pressPicture(false);
    EXPECT_GT(smoothedCells(shownAfterTheChange(), before), kFaceCells);

    EXPECT_TRUE(
        waitForQuery("document.querySelector('.preview').classList.contains('showing')", "true"));
    const int navigations = host_.completedNavigations();
    host_.runScript("document.getElementsByClassName('btn-logout')[0].click();");
    ASSERT_TRUE(waitForNavigations(navigations + 1));
    messages_.clear();
    const std::uint64_t encoded = frames_->preview().encodedPictures();
    // The worker keeps copying for a second after the last request.
    spinFor(kPreviewInterest + 500ms);
    const std::uint64_t copied = frames_->preview().copiedFrames();
    spinFor(1s);
    EXPECT_EQ(frames_->preview().copiedFrames(), copied);
    EXPECT_EQ(frames_->preview().encodedPictures(), encoded);
    EXPECT_FALSE(postedWithPrefix(u"velv:PREVIEW"));
}

}  // namespace
}  // namespace velvix
