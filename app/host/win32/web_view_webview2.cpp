// The web view through the WebView2 runtime, reached with our own interface declarations and
// our own loader: no SDK is needed to build it.
#include <atomic>
#include <cstdio>
#include <functional>
#include <string_view>
#include <utility>

#include "velvix/platform/input_lines.hpp"
#include "web_text.hpp"
#include "web_view.hpp"
#include "webview2_interfaces.hpp"
#include "webview2_loader.hpp"

namespace velvix {
namespace {

using namespace webview2;

// A page's message is at most as long as a line the headless program reads.
constexpr std::size_t kMaxMessageUnits = platform::kMaxInputLineBytes;
// Addresses in lines for a person are cut at this length.
constexpr std::size_t kShownAddressLength = 200;

std::wstring wide(const std::string& text) {
    const std::u16string units = utf16FromUtf8(text);
    return std::wstring(units.begin(), units.end());
}

std::string narrow(const wchar_t* text) {
    return text == nullptr ? std::string()
                           : utf8FromUtf16(std::u16string(reinterpret_cast<const char16_t*>(text)));
}

std::string shownAddress(const std::string& uri) {
    return uri.size() <= kShownAddressLength ? uri : uri.substr(0, kShownAddressLength) + "...";
}

std::string errorCode(HRESULT result) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%08lx", static_cast<unsigned long>(result));
    return text;
}

// A string the runtime hands over, freed with the task allocator however the caller leaves.
class RuntimeString {
  public:
    RuntimeString() = default;
    ~RuntimeString() { CoTaskMemFree(text_); }
    RuntimeString(const RuntimeString&) = delete;
    RuntimeString& operator=(const RuntimeString&) = delete;

    LPWSTR* out() { return &text_; }
    const wchar_t* get() const { return text_; }
    std::string utf8() const { return narrow(text_); }

  private:
    LPWSTR text_ = nullptr;
};

// A reference-counted callback object for one WebView2 completion or event interface: it
// answers only IUnknown and that interface, deletes itself with its last reference, and
// always reports success to the runtime, whatever its action does.
template <typename Interface, typename... Arguments>
class Callback final : public Interface {
  public:
    using Action = std::function<void(Arguments...)>;

    // The caller owns the one reference it starts with.
    static Interface* make(Action action) { return new Callback(std::move(action)); }

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID id, void** object) override {
        if (IsEqualIID(id, IID_IUnknown) || IsEqualIID(id, Interface::kIid)) {
            *object = static_cast<Interface*>(this);
            AddRef();
            return S_OK;
        }
        *object = nullptr;
        return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return ++references_; }
    ULONG STDMETHODCALLTYPE Release() override {
        const ULONG left = --references_;
        if (left == 0) {
            delete this;
        }
        return left;
    }
    HRESULT STDMETHODCALLTYPE Invoke(Arguments... arguments) override {
        try {
            action_(arguments...);
        } catch (...) {
        }
        return S_OK;
    }

  private:
    explicit Callback(Action action) : action_(std::move(action)) {}

    Action action_;
    std::atomic<ULONG> references_{1};
};

template <typename Interface>
void release(Interface*& object) {
    if (object != nullptr) {
        object->Release();
        object = nullptr;
    }
}

using EnvironmentCompleted = Callback<ICoreWebView2CreateCoreWebView2EnvironmentCompletedHandler,
                                      HRESULT, ICoreWebView2Environment*>;
using ControllerCompleted = Callback<ICoreWebView2CreateCoreWebView2ControllerCompletedHandler,
                                     HRESULT, ICoreWebView2Controller*>;
using ScriptAdded =
    Callback<ICoreWebView2AddScriptToExecuteOnDocumentCreatedCompletedHandler, HRESULT, LPCWSTR>;
using NavigationCompleted = Callback<ICoreWebView2NavigationCompletedEventHandler, ICoreWebView2*,
                                     ICoreWebView2NavigationCompletedEventArgs*>;
using MessageReceived = Callback<ICoreWebView2WebMessageReceivedEventHandler, ICoreWebView2*,
                                 ICoreWebView2WebMessageReceivedEventArgs*>;
using NavigationStarting = Callback<ICoreWebView2NavigationStartingEventHandler, ICoreWebView2*,
                                    ICoreWebView2NavigationStartingEventArgs*>;
using NewWindowRequested = Callback<ICoreWebView2NewWindowRequestedEventHandler, ICoreWebView2*,
                                    ICoreWebView2NewWindowRequestedEventArgs*>;

class WebView2View final : public EmbeddedWebView {
  public:
    explicit WebView2View(WebViewSetup setup) : setup_(std::move(setup)) {}
    // The runtime is told that the view goes before the last references are given back.
    ~WebView2View() override {
        if (controller_ != nullptr) {
            controller_->Close();
        }
        release(view_);
        release(controller_);
    }

    Result<> start(CreateEnvironmentFunction create, const WebView2Runtime& runtime);

    void resize(const RECT& bounds) override {
        if (controller_ != nullptr) {
            controller_->put_Bounds(bounds);
        }
    }
    void navigate(const std::string& url) override {
        if (view_ != nullptr) {
            view_->Navigate(wide(url).c_str());
        }
    }
    void runScript(const std::string& script) override {
        if (view_ != nullptr) {
            view_->ExecuteScript(wide(script).c_str(), nullptr);
        }
    }
    void postMessage(const std::u16string& text) override {
        if (view_ != nullptr && showsServicePage()) {
            view_->PostWebMessageAsString(std::wstring(text.begin(), text.end()).c_str());
        }
    }

  private:
    void environmentCreated(HRESULT result, ICoreWebView2Environment* environment);
    void controllerCreated(HRESULT result, ICoreWebView2Controller* controller);
    void applySettings();
    void listen();
    void navigationCompleted(ICoreWebView2NavigationCompletedEventArgs* arguments);
    // Whether a navigation to `uri` may go on; sends links the user follows to other sites to
    // the browser.
    bool allowNavigation(const std::string& uri, bool followedLink, bool newWindow);
    void navigationStarting(ICoreWebView2NavigationStartingEventArgs* arguments);
    void newWindowRequested(ICoreWebView2NewWindowRequestedEventArgs* arguments);
    // True while the main frame shows a page of the service.
    bool showsServicePage() const;
    void messageReceived(ICoreWebView2WebMessageReceivedEventArgs* arguments);
    void say(const std::string& line) const {
        if (setup_.debug) {
            setup_.debug(line);
        }
    }
    void fail(const std::string& reason) {
        if (setup_.events.failed) {
            setup_.events.failed(reason);
        }
    }

    WebViewSetup setup_;
    ICoreWebView2Controller* controller_ = nullptr;
    ICoreWebView2* view_ = nullptr;
};

Result<> WebView2View::start(CreateEnvironmentFunction create, const WebView2Runtime& runtime) {
    auto* handler =
        EnvironmentCompleted::make([this](HRESULT result, ICoreWebView2Environment* environment) {
            environmentCreated(result, environment);
        });
    const std::wstring dataFolder = webView2DataFolder(wide(setup_.dataFolder));
    // Forwarded to a runtime that already runs for the same folder; no options of ours.
    const HRESULT result =
        create(true, runtime.named ? 1 : 0, dataFolder.empty() ? nullptr : dataFolder.c_str(),
               nullptr, handler);
    handler->Release();
    if (FAILED(result)) {
        return Failure{"the WebView2 runtime could not be started (error " + errorCode(result) +
                       ")"};
    }
    return {};
}

// Without an environment or a controller the chain stops there and the window says so.
void WebView2View::environmentCreated(HRESULT result, ICoreWebView2Environment* environment) {
    if (FAILED(result) || environment == nullptr) {
        fail("the WebView2 runtime could not start (error " + errorCode(result) + ")");
        return;
    }
    auto* handler =
        ControllerCompleted::make([this](HRESULT created, ICoreWebView2Controller* controller) {
            controllerCreated(created, controller);
        });
    const HRESULT asked = environment->CreateCoreWebView2Controller(setup_.window, handler);
    handler->Release();
    if (FAILED(asked)) {
        fail("the web view could not be created (error " + errorCode(asked) + ")");
    }
}

void WebView2View::controllerCreated(HRESULT result, ICoreWebView2Controller* controller) {
    if (FAILED(result) || controller == nullptr) {
        fail("the web view could not be created (error " + errorCode(result) + ")");
        return;
    }
    controller->AddRef();
    release(controller_);
    controller_ = controller;
    release(view_);
    if (FAILED(controller_->get_CoreWebView2(&view_)) || view_ == nullptr) {
        fail("the web view could not be created: the runtime gave no view");
        return;
    }
    applySettings();
    RECT bounds{};
    GetClientRect(setup_.window, &bounds);
    controller_->put_Bounds(bounds);
    // The first page opens only once the document script is in force.
    auto* scriptAdded = ScriptAdded::make([this](HRESULT, LPCWSTR) { navigate(setup_.firstPage); });
    view_->AddScriptToExecuteOnDocumentCreated(wide(setup_.documentScript).c_str(), scriptAdded);
    scriptAdded->Release();
    listen();
}

void WebView2View::applySettings() {
    ICoreWebView2Settings* settings = nullptr;
    if (FAILED(view_->get_Settings(&settings)) || settings == nullptr) {
        return;
    }
    settings->put_IsScriptEnabled(TRUE);
    settings->put_AreDefaultScriptDialogsEnabled(TRUE);
    settings->put_IsWebMessageEnabled(TRUE);
    settings->put_AreDefaultContextMenusEnabled(FALSE);
    settings->put_AreDevToolsEnabled(FALSE);
    settings->put_IsStatusBarEnabled(FALSE);
    // Older runtimes have no third settings interface, and keep their accelerator keys.
    ICoreWebView2Settings3* settings3 = nullptr;
    if (SUCCEEDED(settings->QueryInterface(ICoreWebView2Settings3::kIid,
                                           reinterpret_cast<void**>(&settings3)))) {
        settings3->put_AreBrowserAcceleratorKeysEnabled(FALSE);
        settings3->Release();
    }
    settings->Release();
}

// The handlers stay registered for the life of the view.
void WebView2View::listen() {
    EventRegistrationToken token{};
    auto* completed = NavigationCompleted::make(
        [this](ICoreWebView2*, ICoreWebView2NavigationCompletedEventArgs* arguments) {
            navigationCompleted(arguments);
        });
    view_->add_NavigationCompleted(completed, &token);
    completed->Release();

    auto* message = MessageReceived::make(
        [this](ICoreWebView2*, ICoreWebView2WebMessageReceivedEventArgs* arguments) {
            messageReceived(arguments);
        });
    view_->add_WebMessageReceived(message, &token);
    message->Release();

    // Main frame and sub-frames alike stay on the service's origin.
    auto* starting = NavigationStarting::make(
        [this](ICoreWebView2*, ICoreWebView2NavigationStartingEventArgs* arguments) {
            navigationStarting(arguments);
        });
    view_->add_NavigationStarting(starting, &token);
    view_->add_FrameNavigationStarting(starting, &token);
    starting->Release();

    auto* newWindow = NewWindowRequested::make(
        [this](ICoreWebView2*, ICoreWebView2NewWindowRequestedEventArgs* arguments) {
            newWindowRequested(arguments);
        });
    view_->add_NewWindowRequested(newWindow, &token);
    newWindow->Release();
}

bool WebView2View::allowNavigation(const std::string& uri, bool followedLink, bool newWindow) {
    switch (setup_.origins.decide(uri, followedLink)) {
        case PageOriginPolicy::Navigation::show:
            if (!newWindow) {
                return true;
            }
            say("velvix: no second window for " + shownAddress(uri));
            return false;
        case PageOriginPolicy::Navigation::openInBrowser:
            if (setup_.events.openInBrowser) {
                setup_.events.openInBrowser(uri);
            }
            return false;
        case PageOriginPolicy::Navigation::refuse:
            break;
    }
    say("velvix: refused to show " + shownAddress(uri) + ": the window shows only pages of " +
        setup_.origins.origin());
    return false;
}

void WebView2View::navigationStarting(ICoreWebView2NavigationStartingEventArgs* arguments) {
    RuntimeString uri;
    BOOL userInitiated = FALSE;
    if (arguments == nullptr || FAILED(arguments->get_Uri(uri.out()))) {
        return;
    }
    arguments->get_IsUserInitiated(&userInitiated);
    if (!allowNavigation(uri.utf8(), userInitiated != FALSE, false)) {
        arguments->put_Cancel(TRUE);
    }
}

// No page opens a window of its own: a link to another site that the user clicked goes to the
// browser; what a page opens by itself goes nowhere.
void WebView2View::newWindowRequested(ICoreWebView2NewWindowRequestedEventArgs* arguments) {
    if (arguments == nullptr) {
        return;
    }
    arguments->put_Handled(TRUE);
    RuntimeString uri;
    BOOL userInitiated = FALSE;
    if (SUCCEEDED(arguments->get_Uri(uri.out()))) {
        arguments->get_IsUserInitiated(&userInitiated);
        allowNavigation(uri.utf8(), userInitiated != FALSE, true);
    }
}

bool WebView2View::showsServicePage() const {
    RuntimeString source;
    return view_ != nullptr && SUCCEEDED(view_->get_Source(source.out())) &&
           setup_.origins.talksTo(source.utf8());
}

void WebView2View::navigationCompleted(ICoreWebView2NavigationCompletedEventArgs* arguments) {
    BOOL success = FALSE;
    if (arguments == nullptr || FAILED(arguments->get_IsSuccess(&success)) || !success) {
        return;
    }
    if (!showsServicePage()) {
        say("velvix: the page setup script does not run outside " + setup_.origins.origin());
        return;
    }
    runScript(setup_.pageSetupScript());
    if (setup_.events.navigationCompleted) {
        setup_.events.navigationCompleted();
    }
}

// Only texts from a page of the service count, each cut at the length of a line the headless
// program takes: the protocol has only short texts.
void WebView2View::messageReceived(ICoreWebView2WebMessageReceivedEventArgs* arguments) {
    RuntimeString source;
    RuntimeString text;
    if (arguments == nullptr || FAILED(arguments->get_Source(source.out()))) {
        return;
    }
    const std::string page = source.utf8();
    if (!setup_.origins.talksTo(page)) {
        say("web message dropped: it came from " + shownAddress(page) + ", not from a page of " +
            setup_.origins.origin());
        return;
    }
    if (FAILED(arguments->TryGetWebMessageAsString(text.out())) || text.get() == nullptr) {
        say("web message dropped: the page posted something that is not a text");
        return;
    }
    const std::u16string_view whole(reinterpret_cast<const char16_t*>(text.get()));
    const std::u16string message(whole.substr(0, kMaxMessageUnits));
    if (whole.size() > kMaxMessageUnits) {
        say("web message cut: a message longer than " + std::to_string(kMaxMessageUnits) +
            " units was cut there and the rest of it dropped");
    }
    if (setup_.events.messageReceived) {
        setup_.events.messageReceived(message, page);
    }
}

}  // namespace

Result<std::unique_ptr<EmbeddedWebView>> startWebView(WebViewSetup setup) {
    const Result<WebView2Runtime> runtime = findWebView2Runtime();
    if (!runtime) {
        return Failure{runtime.error()};
    }
    const Result<CreateEnvironmentFunction> create = loadWebView2(*runtime);
    if (!create) {
        return Failure{create.error()};
    }
    auto view = std::make_unique<WebView2View>(std::move(setup));
    if (const Result<> started = view->start(*create, *runtime); !started) {
        return Failure{started.error()};
    }
    return std::unique_ptr<EmbeddedWebView>(std::move(view));
}

}  // namespace velvix
