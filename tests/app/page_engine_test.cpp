// The pages and both scripts in the real web engine: the window host on an Xvfb display the
// test starts itself, the bundled service on a loopback port, and the real message handler.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <gtk/gtk.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <memory>
#include <optional>
#include <thread>

#include "host/gtk/gtk_host.hpp"
#include "page_scripts.hpp"
#include "service/web_service.hpp"
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

// A loopback port nothing listens on.
int closedPort() {
    const int probe = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    bind(probe, reinterpret_cast<sockaddr*>(&address), length);
    getsockname(probe, reinterpret_cast<sockaddr*>(&address), &length);
    close(probe);
    return ntohs(address.sin_port);
}

void spinFor(std::chrono::milliseconds time) {
    spinUntil([] { return false; }, time);
}

class PageEngine : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(EngineEnvironment::ready) << "Xvfb or GTK could not be started";
        ASSERT_TRUE(service_.start());
        addresses_ = ServiceAddresses::forOrigin(service_.origin());
        handler_.emplace(
            control_, host_, addresses_, [this] { return cameras_; }, [](std::string_view) {});
    }

    // Opens the window on the sign-up page with these devices in the camera list.
    void open(std::vector<std::string> cameras) {
        cameras_ = std::move(cameras);
        host_.setMessageReceiver([this](const std::u16string& message) {
            messages_.push_back(message);
            handler_->handle(message);
        });
        host_.open(addresses_.signUpPage, data_.path());
        ASSERT_TRUE(waitForNavigations(1));
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

    void reload() {
        const int before = host_.completedNavigations();
        host_.runScript("location.reload();");
        ASSERT_TRUE(waitForNavigations(before + 1));
    }

    BundledService service_;
    ServiceAddresses addresses_;
    testing::ScopedFolder data_;
    std::vector<std::string> cameras_;
    PageSetupScript pageSetup_{[this] { return cameras_; }};
    GtkWebViewHost host_{pageSetup_, [](std::string_view) {}};
    ControlBlock control_;
    std::optional<WebMessageHandler> handler_;
    std::vector<std::u16string> messages_;
    int queries_ = 0;
};

TEST_F(PageEngine, WindowIsFixedAt330By390WithTitleAndIcons) {
    open({});
    GtkWindow* window = GTK_WINDOW(host_.window());
    EXPECT_STREQ(gtk_window_get_title(window), "Velvix");
    EXPECT_FALSE(gtk_window_get_resizable(window));
    GtkAllocation client;
    gtk_widget_get_allocation(gtk_bin_get_child(GTK_BIN(window)), &client);
    EXPECT_EQ(client.width, 330);
    EXPECT_EQ(client.height, 390);
    GList* icons = gtk_window_get_icon_list(window);
    std::vector<int> sizes;
    for (GList* icon = icons; icon != nullptr; icon = icon->next) {
        sizes.push_back(gdk_pixbuf_get_width(GDK_PIXBUF(icon->data)));
    }
    g_list_free(icons);
    // The sizes the installed icon theme has too.
    EXPECT_EQ(sizes, (std::vector<int>{16, 22, 24, 32, 48, 64, 96, 128, 256, 512}));
}

TEST_F(PageEngine, SignInPostsTheNameRemembersItAndSignsInAgainOnAReload) {
    open({"Cam A"});
    signIn("Ada O'Neil");
    ASSERT_TRUE(waitForMessage(u"velv:LOGIN:Ada O'Neil"));
    ASSERT_TRUE(waitForNavigations(2));
    EXPECT_EQ(query("location.pathname"), "/smooth.html");
    EXPECT_EQ(query("document.getElementById('username').innerText"), "Ada O'Neil");

    messages_.clear();
    const int before = host_.completedNavigations();
    host_.navigate(addresses_.signUpPage);
    EXPECT_TRUE(waitForMessage(u"velv:LOGIN:Ada O'Neil"));
    EXPECT_TRUE(waitForNavigations(before + 1));
    EXPECT_TRUE(spinUntil([&] { return query("location.pathname") == "/smooth.html"; }));
}

TEST_F(PageEngine, RunsThePageSetupAfterCompletedNavigationsOnly) {
    open({"Cam A"});
    const int before = host_.completedNavigations();
    host_.navigate("http://127.0.0.1:" + std::to_string(closedPort()) + "/signup.html");
    spinFor(1500ms);
    EXPECT_EQ(host_.completedNavigations(), before);
    host_.navigate(addresses_.signUpPage);
    EXPECT_TRUE(waitForNavigations(before + 1));
    EXPECT_EQ(query("document.getElementsByTagName('button')[0].getAttribute('onclick')"),
              "doLogin()");
}

TEST_F(PageEngine, ListsTheCamerasAfterNoCameraAndMarksTheFirst) {
    open({"Cam A", "Cam B"});
    reachSmoothingPage();
    EXPECT_EQ(cameraOptions(), "no camera|Cam A[marked]*|Cam B");
    EXPECT_TRUE(waitForMessage(u"velv:CAMERA:Cam A"));
}

TEST_F(PageEngine, LeavesOutTheProgramsOwnDevicesOnly) {
    open({"Velvix Camera", "My Velvix"});
    reachSmoothingPage();
    EXPECT_EQ(cameraOptions(), "no camera|My Velvix*");
    EXPECT_TRUE(waitForMessage(u"velv:CAMERA:My Velvix"));
}

TEST_F(PageEngine, PostsNoCameraWhenThereIsNone) {
    open({});
    reachSmoothingPage();
    EXPECT_EQ(cameraOptions(), "no camera*");
    spinFor(300ms);
    EXPECT_FALSE(postedWithPrefix(u"velv:CAMERA"));
}

TEST_F(PageEngine, SelectsTheRememberedCameraAgain) {
    open({"Cam A", "Cam B"});
    reachSmoothingPage();
    changeControl("camera-select", "Cam B");
    ASSERT_TRUE(waitForMessage(u"velv:CAMERA:Cam B"));
    messages_.clear();
    reload();
    EXPECT_TRUE(waitForMessage(u"velv:CAMERA:Cam B"));
    EXPECT_EQ(cameraOptions(), "no camera|Cam A[marked]|Cam B*");
    EXPECT_FALSE(posted(u"velv:CAMERA:Cam A"));
}

TEST_F(PageEngine, SliderPostsTheLevelAndRemembersIt) {
    open({"Cam A"});
    reachSmoothingPage();
    EXPECT_TRUE(waitForMessage(u"velv:SMOOTH:on,35"));
    changeControl("smooth-level", "60");
    ASSERT_TRUE(waitForMessage(u"velv:SMOOTH:on,60"));
    messages_.clear();
    reload();
    EXPECT_TRUE(waitForMessage(u"velv:SMOOTH:on,60"));
    EXPECT_EQ(query("document.getElementById('smooth-level').value"), "60");
}

TEST_F(PageEngine, SwitchPostsOffAndOn) {
    open({"Cam A"});
    reachSmoothingPage();
    ASSERT_TRUE(waitForMessage(u"velv:SMOOTH:on,35"));
    host_.runScript("document.getElementById('smooth-switch').click();");
    EXPECT_TRUE(waitForMessage(u"velv:SMOOTH:off"));
    messages_.clear();
    host_.runScript("document.getElementById('smooth-switch').click();");
    EXPECT_TRUE(waitForMessage(u"velv:SMOOTH:on,35"));
}

TEST_F(PageEngine, SignOutForgetsTheName) {
    open({"Cam A"});
    reachSmoothingPage();
    const int before = host_.completedNavigations();
    host_.runScript("document.getElementsByClassName('btn-logout')[0].click();");
    ASSERT_TRUE(waitForMessage(u"velv:LOGOUT:undefined"));
    ASSERT_TRUE(waitForNavigations(before + 1));
    messages_.clear();
    spinFor(300ms);
    EXPECT_EQ(query("location.pathname"), "/signup.html");
    EXPECT_FALSE(postedWithPrefix(u"velv:LOGIN"));
}

TEST_F(PageEngine, NamesWithQuotesAndMarkupComeBackByteForByte) {
    const std::string name = "Cam \"A\" 'b' <i>&amp; \\ \xE9\r";
    open({name, "Cam B"});
    reachSmoothingPage();
    EXPECT_TRUE(waitForMessage(u"velv:CAMERA:" + unitsFromBytes(name)));
    EXPECT_EQ(control_.takeOverSettings(), 0);
}

TEST_F(PageEngine, MessagesPostedBackArriveAsMessageEvents) {
    open({});
    host_.runScript(
        "window.chrome.webview.addEventListener('message',"
        " e => window.chrome.webview.postMessage('got ' + e.data), { once: true });");
    const std::u16string text = u"a \"quoted\" </script> \\ \u00e9 \u4e2d";
    host_.postToPage(text);
    EXPECT_TRUE(waitForMessage(u"got " + text));
}

TEST_F(PageEngine, TextsThatAreNotStringsAreDropped) {
    open({});
    host_.runScript(
        "window.chrome.webview.postMessage({ a: 1 }); window.chrome.webview.postMessage('x');");
    ASSERT_TRUE(waitForMessage(u"x"));
    EXPECT_EQ(messages_.size(), 1u);
}

}  // namespace
}  // namespace velvix
