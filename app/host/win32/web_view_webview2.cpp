// The web view through the WebView2 SDK's interfaces; built only where the builder names the
// SDK's folder (VELVIX_WEBVIEW2_SDK). The loader library itself is loaded at run time.
#include <WebView2.h>

#include <atomic>
#include <functional>
#include <utility>

#include "web_text.hpp"
#include "web_view.hpp"
#include "webview2_loader.hpp"

namespace velvix {
namespace {

using CreateEnvironmentFunction = HRESULT(STDAPICALLTYPE*)(
    PCWSTR browserFolder, PCWSTR userDataFolder, ICoreWebView2EnvironmentOptions* options,
    ICoreWebView2CreateCoreWebView2EnvironmentCompletedHandler* handler);

std::wstring wide(const std::string& text) {
    const std::u16string units = utf16FromUtf8(text);
    return std::wstring(units.begin(), units.end());
}

std::string narrow(const wchar_t* text) {
    return text == nullptr ? std::string()
                           : utf8FromUtf16(std::u16string(reinterpret_cast<const char16_t*>(text)));
}

// A reference-counted callback object for one WebView2 completion or event interface: it
// answers only IUnknown and that interface, deletes itself with its last reference, and
// always reports success to the runtime, whatever its action does.
template <typename Interface, typename... Arguments>
class Callback final : public Interface {
  public:
    using Action = std::function<void(Arguments...)>;

    // The caller owns the one reference it starts with.
    static Interface* make(const IID& id, Action action) {
        return new Callback(id, std::move(action));
    }

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID id, void** object) override {
        if (IsEqualIID(id, IID_IUnknown) || IsEqualIID(id, id_)) {
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
    Callback(const IID& id, Action action) : id_(id), action_(std::move(action)) {}

    const IID& id_;
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

class WebView2View final : public EmbeddedWebView {
  public:
    explicit WebView2View(WebViewSetup setup) : setup_(std::move(setup)) {}
    ~WebView2View() override {
        release(view_);
        release(controller_);
    }

    Result<> start(FARPROC entry);

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
    void configure();
    void navigationCompleted(ICoreWebView2NavigationCompletedEventArgs* arguments);
    // Whether a navigation to `uri` may go on; sends links to other sites to the browser.
    bool allowNavigation(const std::string& uri, bool followedLink);
    void navigationStarting(ICoreWebView2NavigationStartingEventArgs* arguments);
    void newWindowRequested(ICoreWebView2NewWindowRequestedEventArgs* arguments);
    // True while the main frame shows a page of the service.
    bool showsServicePage() const;
    void messageReceived(ICoreWebView2WebMessageReceivedEventArgs* arguments);
    void fail(const std::string& reason) {
        if (setup_.events.failed) {
            setup_.events.failed(reason);
        }
    }

    WebViewSetup setup_;
    ICoreWebView2Controller* controller_ = nullptr;
    ICoreWebView2* view_ = nullptr;
    EventRegistrationToken navigationToken_{};
};

Result<> WebView2View::start(FARPROC entry) {
    auto* handler = Callback<ICoreWebView2CreateCoreWebView2EnvironmentCompletedHandler, HRESULT,
                             ICoreWebView2Environment*>::
        make(IID_ICoreWebView2CreateCoreWebView2EnvironmentCompletedHandler,
             [this](HRESULT result, ICoreWebView2Environment* environment) {
                 environmentCreated(result, environment);
             });
    const auto create = reinterpret_cast<CreateEnvironmentFunction>(entry);
    const HRESULT result = create(nullptr, wide(setup_.dataFolder).c_str(), nullptr, handler);
    handler->Release();
    if (FAILED(result)) {
        return Failure{"the WebView2 runtime could not be started (" + std::to_string(result) +
                       ")"};
    }
    return {};
}

// Without an environment or a controller the chain stops there and the window says so.
void WebView2View::environmentCreated(HRESULT result, ICoreWebView2Environment* environment) {
    if (FAILED(result) || environment == nullptr) {
        fail("the WebView2 runtime is not installed or could not start");
        return;
    }
    auto* handler = Callback<ICoreWebView2CreateCoreWebView2ControllerCompletedHandler, HRESULT,
                             ICoreWebView2Controller*>::
        make(IID_ICoreWebView2CreateCoreWebView2ControllerCompletedHandler,
             [this](HRESULT created, ICoreWebView2Controller* controller) {
                 controllerCreated(created, controller);
             });
    environment->CreateCoreWebView2Controller(setup_.window, handler);
    handler->Release();
}

void WebView2View::controllerCreated(HRESULT result, ICoreWebView2Controller* controller) {
    if (FAILED(result) || controller == nullptr) {
        fail("the web view could not be created");
        return;
    }
    controller->AddRef();
    release(controller_);
    controller_ = controller;
    release(view_);
    if (FAILED(controller_->get_CoreWebView2(&view_)) || view_ == nullptr) {
        fail("the web view could not be created");
        return;
    }
    configure();
}

void WebView2View::configure() {
    ICoreWebView2Settings* settings = nullptr;
    if (SUCCEEDED(view_->get_Settings(&settings)) && settings != nullptr) {
        settings->put_IsScriptEnabled(TRUE);
        settings->put_AreDefaultScriptDialogsEnabled(TRUE);
        settings->put_IsWebMessageEnabled(TRUE);
        settings->put_AreDefaultContextMenusEnabled(FALSE);
        settings->put_AreDevToolsEnabled(FALSE);
        settings->put_IsStatusBarEnabled(FALSE);
        ICoreWebView2Settings3* settings3 = nullptr;
        if (SUCCEEDED(settings->QueryInterface(IID_ICoreWebView2Settings3,
                                               reinterpret_cast<void**>(&settings3)))) {
            settings3->put_AreBrowserAcceleratorKeysEnabled(FALSE);
            settings3->Release();
        }
        settings->Release();
    }
    RECT bounds{};
    GetClientRect(setup_.window, &bounds);
    controller_->put_Bounds(bounds);

    // The first page opens only once the document script is in force.
    auto* scriptAdded = Callback<
        ICoreWebView2AddScriptToExecuteOnDocumentCreatedCompletedHandler, HRESULT,
        LPCWSTR>::make(IID_ICoreWebView2AddScriptToExecuteOnDocumentCreatedCompletedHandler,
                       [this](HRESULT, LPCWSTR) { navigate(setup_.firstPage); });
    view_->AddScriptToExecuteOnDocumentCreated(wide(setup_.documentScript).c_str(), scriptAdded);
    scriptAdded->Release();

    auto* completed = Callback<ICoreWebView2NavigationCompletedEventHandler, ICoreWebView2*,
                               ICoreWebView2NavigationCompletedEventArgs*>::
        make(IID_ICoreWebView2NavigationCompletedEventHandler,
             [this](ICoreWebView2*, ICoreWebView2NavigationCompletedEventArgs* arguments) {
                 navigationCompleted(arguments);
             });
    view_->add_NavigationCompleted(completed, &navigationToken_);
    completed->Release();

    auto* message = Callback<ICoreWebView2WebMessageReceivedEventHandler, ICoreWebView2*,
                             ICoreWebView2WebMessageReceivedEventArgs*>::
        make(IID_ICoreWebView2WebMessageReceivedEventHandler,
             [this](ICoreWebView2*, ICoreWebView2WebMessageReceivedEventArgs* arguments) {
                 messageReceived(arguments);
             });
    EventRegistrationToken messageToken{};
    view_->add_WebMessageReceived(message, &messageToken);
    message->Release();

    // Main frame and sub-frames alike stay on the service's origin.
    auto* starting = Callback<ICoreWebView2NavigationStartingEventHandler, ICoreWebView2*,
                              ICoreWebView2NavigationStartingEventArgs*>::
        make(IID_ICoreWebView2NavigationStartingEventHandler,
             [this](ICoreWebView2*, ICoreWebView2NavigationStartingEventArgs* arguments) {
                 navigationStarting(arguments);
             });
    EventRegistrationToken startingToken{};
    view_->add_NavigationStarting(starting, &startingToken);
    view_->add_FrameNavigationStarting(starting, &startingToken);
    starting->Release();

    auto* newWindow = Callback<ICoreWebView2NewWindowRequestedEventHandler, ICoreWebView2*,
                               ICoreWebView2NewWindowRequestedEventArgs*>::
        make(IID_ICoreWebView2NewWindowRequestedEventHandler,
             [this](ICoreWebView2*, ICoreWebView2NewWindowRequestedEventArgs* arguments) {
                 newWindowRequested(arguments);
             });
    EventRegistrationToken newWindowToken{};
    view_->add_NewWindowRequested(newWindow, &newWindowToken);
    newWindow->Release();
}

bool WebView2View::allowNavigation(const std::string& uri, bool followedLink) {
    switch (setup_.origins.decide(uri, followedLink)) {
        case PageOriginPolicy::Navigation::show:
            return true;
        case PageOriginPolicy::Navigation::openInBrowser:
            if (setup_.events.openInBrowser) {
                setup_.events.openInBrowser(uri);
            }
            return false;
        case PageOriginPolicy::Navigation::refuse:
            return false;
    }
    return false;
}

void WebView2View::navigationStarting(ICoreWebView2NavigationStartingEventArgs* arguments) {
    LPWSTR uri = nullptr;
    BOOL userInitiated = FALSE;
    if (arguments == nullptr || FAILED(arguments->get_Uri(&uri))) {
        return;
    }
    arguments->get_IsUserInitiated(&userInitiated);
    const std::string address = narrow(uri);
    CoTaskMemFree(uri);
    if (!allowNavigation(address, userInitiated != FALSE)) {
        arguments->put_Cancel(TRUE);
    }
}

// No page opens a window of its own: a link to another site goes to the browser, anything else
// is dropped.
void WebView2View::newWindowRequested(ICoreWebView2NewWindowRequestedEventArgs* arguments) {
    LPWSTR uri = nullptr;
    if (arguments == nullptr) {
        return;
    }
    arguments->put_Handled(TRUE);
    if (SUCCEEDED(arguments->get_Uri(&uri))) {
        const std::string address = narrow(uri);
        CoTaskMemFree(uri);
        if (setup_.origins.decide(address, true) == PageOriginPolicy::Navigation::openInBrowser &&
            setup_.events.openInBrowser) {
            setup_.events.openInBrowser(address);
        }
    }
}

bool WebView2View::showsServicePage() const {
    LPWSTR source = nullptr;
    if (view_ == nullptr || FAILED(view_->get_Source(&source))) {
        return false;
    }
    const std::string address = narrow(source);
    CoTaskMemFree(source);
    return setup_.origins.talksTo(address);
}

void WebView2View::navigationCompleted(ICoreWebView2NavigationCompletedEventArgs* arguments) {
    BOOL success = FALSE;
    if (arguments == nullptr || FAILED(arguments->get_IsSuccess(&success)) || !success ||
        !showsServicePage()) {
        return;
    }
    runScript(setup_.pageSetupScript());
    if (setup_.events.navigationCompleted) {
        setup_.events.navigationCompleted();
    }
}

// Messages that are not texts are dropped: the protocol has only texts.
void WebView2View::messageReceived(ICoreWebView2WebMessageReceivedEventArgs* arguments) {
    LPWSTR text = nullptr;
    LPWSTR source = nullptr;
    if (arguments == nullptr || FAILED(arguments->TryGetWebMessageAsString(&text)) ||
        text == nullptr) {
        return;
    }
    arguments->get_Source(&source);
    const std::u16string message(reinterpret_cast<const char16_t*>(text));
    const std::string page = narrow(source);
    CoTaskMemFree(text);
    CoTaskMemFree(source);
    if (!setup_.origins.talksTo(page)) {
        return;
    }
    if (setup_.events.messageReceived) {
        setup_.events.messageReceived(message, page);
    }
}

}  // namespace

Result<std::unique_ptr<EmbeddedWebView>> startWebView(WebViewSetup setup) {
    const Result<FARPROC> entry = loadWebView2();
    if (!entry) {
        return Failure{entry.error()};
    }
    auto view = std::make_unique<WebView2View>(std::move(setup));
    if (const Result<> started = view->start(*entry); !started) {
        return Failure{started.error()};
    }
    return std::unique_ptr<EmbeddedWebView>(std::move(view));
}

}  // namespace velvix
