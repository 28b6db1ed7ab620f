// A stand-in for the WebView2 runtime's client library (EmbeddedBrowserWebView.dll), for the
// tests only: the real engine cannot run under wine. It exports the runtime's entry point and
// keeps the environment, the controller, the web view and its settings in memory.
//
// Every call the program makes is written to the program's standard error as one line that
// begins with "webview2: ", among the program's own lines and in the order of the calls. The
// first navigation and the completions come later through the program's message loop, as the
// runtime's do. A test raises events with WM_COPYDATA (a UTF-16 command, as listed below) sent
// to the message-only window of class "VelvixWebView2StandIn"; they run on the program's window
// thread before SendMessage returns. VELVIX_WEBVIEW2_STAND_IN_FAILS=environment or =controller
// makes that completion deliver E_FAIL.
#include <windows.h>

#include <deque>
#include <functional>
#include <string>
#include <vector>

#include "host/win32/webview2_interfaces.hpp"

namespace {

using namespace velvix::webview2;

constexpr wchar_t kWindowClass[] = L"VelvixWebView2StandIn";
constexpr UINT kRunPending = WM_APP + 1;

// Commands a test sends, word by word:
//   navigate main|frame user|script URI     a navigation of the main frame or of a sub-frame
//   new-window user|script URI              a page asks for a new window
//   message SOURCE TEXT...                  the page at SOURCE posts TEXT
//   object-message SOURCE                   the page at SOURCE posts something that is no text
//   complete success|failure                the main frame's navigation ends so
// A main-frame navigation that goes on shows URI and completes successfully.

void record(const std::wstring& line) {
    std::wstring escaped = L"webview2: ";
    for (const wchar_t unit : line) {
        escaped += unit == L'\n' ? std::wstring(L"\\n") : std::wstring(1, unit);
    }
    escaped += L'\n';
    const int bytes = WideCharToMultiByte(
        CP_UTF8, 0, escaped.data(), static_cast<int>(escaped.size()), nullptr, 0, nullptr, nullptr);
    std::string text(static_cast<std::size_t>(bytes), '\0');
    WideCharToMultiByte(CP_UTF8, 0, escaped.data(), static_cast<int>(escaped.size()), text.data(),
                        bytes, nullptr, nullptr);
    DWORD written = 0;
    WriteFile(GetStdHandle(STD_ERROR_HANDLE), text.data(), static_cast<DWORD>(text.size()),
              &written, nullptr);
}

HRESULT unexpected(const wchar_t* method) {
    record(std::wstring(L"unexpected ") + method);
    return E_NOTIMPL;
}

HRESULT copyOut(const std::wstring& text, LPWSTR* out) {
    const std::size_t bytes = (text.size() + 1) * sizeof(wchar_t);
    *out = static_cast<LPWSTR>(CoTaskMemAlloc(bytes));
    CopyMemory(*out, text.c_str(), bytes);
    return S_OK;
}

std::wstring flag(BOOL value) {
    return value ? L"1" : L"0";
}

// IUnknown for the stand-in's objects, which live as long as the process. `name` is recorded
// when the program gives back its last reference.
template <typename Interface>
class Unknown : public Interface {
  public:
    explicit Unknown(const wchar_t* name = nullptr) : name_(name) {}
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID id, void** object) override {
        if (IsEqualIID(id, IID_IUnknown) || answers(id)) {
            *object = this;
            AddRef();
            return S_OK;
        }
        *object = nullptr;
        return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return ++references_; }
    ULONG STDMETHODCALLTYPE Release() override {
        if (--references_ == 0 && name_ != nullptr) {
            record(std::wstring(name_) + L" released");
        }
        return references_;
    }

  protected:
    virtual bool answers(REFIID id) const { return IsEqualIID(id, Interface::kIid); }

  private:
    const wchar_t* name_;
    ULONG references_ = 0;
};

#define VELVIX_UNUSED(method, ...)                           \
    HRESULT STDMETHODCALLTYPE method(__VA_ARGS__) override { \
        return unexpected(L## #method);                      \
    }

#define VELVIX_SETTING(name)                                    \
    HRESULT STDMETHODCALLTYPE get_##name(BOOL*) override {      \
        return unexpected(L"get_" #name);                       \
    }                                                           \
    HRESULT STDMETHODCALLTYPE put_##name(BOOL value) override { \
        record(L"setting " #name "=" + flag(value));            \
        return S_OK;                                            \
    }

class Settings final : public Unknown<ICoreWebView2Settings3> {
  public:
    VELVIX_SETTING(IsScriptEnabled)
    VELVIX_SETTING(IsWebMessageEnabled)
    VELVIX_SETTING(AreDefaultScriptDialogsEnabled)
    VELVIX_SETTING(IsStatusBarEnabled)
    VELVIX_SETTING(AreDevToolsEnabled)
    VELVIX_SETTING(AreDefaultContextMenusEnabled)
    VELVIX_SETTING(AreHostObjectsAllowed)
    VELVIX_SETTING(IsZoomControlEnabled)
    VELVIX_SETTING(IsBuiltInErrorPageEnabled)
    VELVIX_SETTING(AreBrowserAcceleratorKeysEnabled)
    VELVIX_UNUSED(get_UserAgent, LPWSTR*)
    VELVIX_UNUSED(put_UserAgent, LPCWSTR)

  private:
    bool answers(REFIID id) const override {
        return IsEqualIID(id, ICoreWebView2Settings::kIid) ||
               IsEqualIID(id, ICoreWebView2Settings2::kIid) ||
               IsEqualIID(id, ICoreWebView2Settings3::kIid);
    }
};

class NavigationStartingArguments final : public Unknown<ICoreWebView2NavigationStartingEventArgs> {
  public:
    NavigationStartingArguments(std::wstring uri, bool user) : uri_(std::move(uri)), user_(user) {}
    HRESULT STDMETHODCALLTYPE get_Uri(LPWSTR* uri) override { return copyOut(uri_, uri); }
    HRESULT STDMETHODCALLTYPE get_IsUserInitiated(BOOL* user) override {
        *user = user_;
        return S_OK;
    }
    VELVIX_UNUSED(get_IsRedirected, BOOL*)
    VELVIX_UNUSED(get_RequestHeaders, ICoreWebView2HttpRequestHeaders**)
    HRESULT STDMETHODCALLTYPE get_Cancel(BOOL* cancel) override {
        *cancel = cancel_;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE put_Cancel(BOOL cancel) override {
        cancel_ = cancel;
        return S_OK;
    }
    bool cancelled() const { return cancel_ != FALSE; }

  private:
    std::wstring uri_;
    BOOL user_;
    BOOL cancel_ = FALSE;
};

class NewWindowArguments final : public Unknown<ICoreWebView2NewWindowRequestedEventArgs> {
  public:
    NewWindowArguments(std::wstring uri, bool user) : uri_(std::move(uri)), user_(user) {}
    HRESULT STDMETHODCALLTYPE get_Uri(LPWSTR* uri) override { return copyOut(uri_, uri); }
    VELVIX_UNUSED(put_NewWindow, ICoreWebView2*)
    VELVIX_UNUSED(get_NewWindow, ICoreWebView2**)
    HRESULT STDMETHODCALLTYPE put_Handled(BOOL handled) override {
        handled_ = handled;
        return S_OK;
    }
    VELVIX_UNUSED(get_Handled, BOOL*)
    HRESULT STDMETHODCALLTYPE get_IsUserInitiated(BOOL* user) override {
        *user = user_;
        return S_OK;
    }
    bool handled() const { return handled_ != FALSE; }

  private:
    std::wstring uri_;
    BOOL user_;
    BOOL handled_ = FALSE;
};

class NavigationCompletedArguments final
    : public Unknown<ICoreWebView2NavigationCompletedEventArgs> {
  public:
    explicit NavigationCompletedArguments(bool success) : success_(success) {}
    HRESULT STDMETHODCALLTYPE get_IsSuccess(BOOL* success) override {
        *success = success_;
        return S_OK;
    }

  private:
    BOOL success_;
};

class MessageArguments final : public Unknown<ICoreWebView2WebMessageReceivedEventArgs> {
  public:
    MessageArguments(std::wstring source, std::wstring text, bool isText)
        : source_(std::move(source)), text_(std::move(text)), isText_(isText) {}
    HRESULT STDMETHODCALLTYPE get_Source(LPWSTR* source) override {
        return copyOut(source_, source);
    }
    VELVIX_UNUSED(get_WebMessageAsJson, LPWSTR*)
    HRESULT STDMETHODCALLTYPE TryGetWebMessageAsString(LPWSTR* text) override {
        *text = nullptr;
        return isText_ ? copyOut(text_, text) : E_INVALIDARG;
    }

  private:
    std::wstring source_;
    std::wstring text_;
    bool isText_;
};

// The program's handlers of one event, each with the stand-in's own reference.
template <typename Handler>
class Handlers {
  public:
    HRESULT add(Handler* handler, EventRegistrationToken* token) {
        handler->AddRef();
        handlers_.push_back(handler);
        token->value = static_cast<INT64>(handlers_.size());
        return S_OK;
    }
    template <typename Arguments>
    void raise(ICoreWebView2* sender, Arguments* arguments) {
        for (Handler* handler : handlers_) {
            handler->Invoke(sender, arguments);
        }
    }

  private:
    std::vector<Handler*> handlers_;
};

// Work the runtime does later, on the thread that asked, through its message loop.
class Later {
  public:
    void run(std::function<void()> work) {
        pending_.push_back(std::move(work));
        PostMessageW(window_, kRunPending, 0, 0);
    }
    void runNext() {
        if (pending_.empty()) {
            return;
        }
        const std::function<void()> work = std::move(pending_.front());
        pending_.pop_front();
        work();
    }
    void setWindow(HWND window) { window_ = window; }

  private:
    HWND window_ = nullptr;
    std::deque<std::function<void()>> pending_;
};

Later later;

class WebView final : public Unknown<ICoreWebView2> {
  public:
    WebView() : Unknown(L"view") {}

    HRESULT STDMETHODCALLTYPE get_Settings(ICoreWebView2Settings** settings) override {
        settings_.AddRef();
        *settings = &settings_;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE get_Source(LPWSTR* uri) override { return copyOut(source_, uri); }
    HRESULT STDMETHODCALLTYPE Navigate(LPCWSTR uri) override {
        record(std::wstring(L"navigate ") + uri);
        later.run([this, address = std::wstring(uri)] { navigate(true, false, address); });
        return S_OK;
    }
    VELVIX_UNUSED(NavigateToString, LPCWSTR)
    HRESULT STDMETHODCALLTYPE
    add_NavigationStarting(ICoreWebView2NavigationStartingEventHandler* handler,
                           EventRegistrationToken* token) override {
        return starting_.add(handler, token);
    }
    VELVIX_UNUSED(remove_NavigationStarting, EventRegistrationToken)
    VELVIX_UNUSED(add_ContentLoading, ICoreWebView2ContentLoadingEventHandler*,
                  EventRegistrationToken*)
    VELVIX_UNUSED(remove_ContentLoading, EventRegistrationToken)
    VELVIX_UNUSED(add_SourceChanged, ICoreWebView2SourceChangedEventHandler*,
                  EventRegistrationToken*)
    VELVIX_UNUSED(remove_SourceChanged, EventRegistrationToken)
    VELVIX_UNUSED(add_HistoryChanged, ICoreWebView2HistoryChangedEventHandler*,
                  EventRegistrationToken*)
    VELVIX_UNUSED(remove_HistoryChanged, EventRegistrationToken)
    HRESULT STDMETHODCALLTYPE
    add_NavigationCompleted(ICoreWebView2NavigationCompletedEventHandler* handler,
                            EventRegistrationToken* token) override {
        return completed_.add(handler, token);
    }
    VELVIX_UNUSED(remove_NavigationCompleted, EventRegistrationToken)
    HRESULT STDMETHODCALLTYPE
    add_FrameNavigationStarting(ICoreWebView2NavigationStartingEventHandler* handler,
                                EventRegistrationToken* token) override {
        return frameStarting_.add(handler, token);
    }
    VELVIX_UNUSED(remove_FrameNavigationStarting, EventRegistrationToken)
    VELVIX_UNUSED(add_FrameNavigationCompleted, ICoreWebView2NavigationCompletedEventHandler*,
                  EventRegistrationToken*)
    VELVIX_UNUSED(remove_FrameNavigationCompleted, EventRegistrationToken)
    VELVIX_UNUSED(add_ScriptDialogOpening, ICoreWebView2ScriptDialogOpeningEventHandler*,
                  EventRegistrationToken*)
    VELVIX_UNUSED(remove_ScriptDialogOpening, EventRegistrationToken)
    VELVIX_UNUSED(add_PermissionRequested, ICoreWebView2PermissionRequestedEventHandler*,
                  EventRegistrationToken*)
    VELVIX_UNUSED(remove_PermissionRequested, EventRegistrationToken)
    VELVIX_UNUSED(add_ProcessFailed, ICoreWebView2ProcessFailedEventHandler*,
                  EventRegistrationToken*)
    VELVIX_UNUSED(remove_ProcessFailed, EventRegistrationToken)
    HRESULT STDMETHODCALLTYPE AddScriptToExecuteOnDocumentCreated(
        LPCWSTR script,
        ICoreWebView2AddScriptToExecuteOnDocumentCreatedCompletedHandler* handler) override {
        record(std::wstring(L"add-script ") + script);
        handler->AddRef();
        later.run([handler] {
            record(L"script added");
            handler->Invoke(S_OK, L"1");
            handler->Release();
        });
        return S_OK;
    }
    VELVIX_UNUSED(RemoveScriptToExecuteOnDocumentCreated, LPCWSTR)
    HRESULT STDMETHODCALLTYPE
    ExecuteScript(LPCWSTR script, ICoreWebView2ExecuteScriptCompletedHandler* handler) override {
        record(std::wstring(L"execute-script ") + script);
        return handler == nullptr ? S_OK : unexpected(L"ExecuteScript with a completion");
    }
    VELVIX_UNUSED(CapturePreview, COREWEBVIEW2_CAPTURE_PREVIEW_IMAGE_FORMAT, IStream*,
                  ICoreWebView2CapturePreviewCompletedHandler*)
    VELVIX_UNUSED(Reload)
    VELVIX_UNUSED(PostWebMessageAsJson, LPCWSTR)
    HRESULT STDMETHODCALLTYPE PostWebMessageAsString(LPCWSTR text) override {
        record(std::wstring(L"post ") + text);
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE
    add_WebMessageReceived(ICoreWebView2WebMessageReceivedEventHandler* handler,
                           EventRegistrationToken* token) override {
        return messages_.add(handler, token);
    }
    VELVIX_UNUSED(remove_WebMessageReceived, EventRegistrationToken)
    VELVIX_UNUSED(CallDevToolsProtocolMethod, LPCWSTR, LPCWSTR,
                  ICoreWebView2CallDevToolsProtocolMethodCompletedHandler*)
    VELVIX_UNUSED(get_BrowserProcessId, UINT32*)
    VELVIX_UNUSED(get_CanGoBack, BOOL*)
    VELVIX_UNUSED(get_CanGoForward, BOOL*)
    VELVIX_UNUSED(GoBack)
    VELVIX_UNUSED(GoForward)
    VELVIX_UNUSED(GetDevToolsProtocolEventReceiver, LPCWSTR,
                  ICoreWebView2DevToolsProtocolEventReceiver**)
    VELVIX_UNUSED(Stop)
    HRESULT STDMETHODCALLTYPE
    add_NewWindowRequested(ICoreWebView2NewWindowRequestedEventHandler* handler,
                           EventRegistrationToken* token) override {
        return newWindow_.add(handler, token);
    }

    void navigate(bool mainFrame, bool user, const std::wstring& uri) {
        NavigationStartingArguments arguments(uri, user);
        (mainFrame ? starting_ : frameStarting_).raise(this, &arguments);
        record(std::wstring(L"navigation-starting ") + (mainFrame ? L"main " : L"frame ") + uri +
               (arguments.cancelled() ? L": cancelled" : L": goes on"));
        if (mainFrame && !arguments.cancelled()) {
            source_ = uri;
            complete(true);
        }
    }
    void complete(bool success) {
        NavigationCompletedArguments arguments(success);
        completed_.raise(this, &arguments);
    }
    void askForWindow(bool user, const std::wstring& uri) {
        NewWindowArguments arguments(uri, user);
        newWindow_.raise(this, &arguments);
        record(L"new-window " + uri + (arguments.handled() ? L": handled" : L": opened"));
    }
    void post(const std::wstring& source, const std::wstring& text, bool isText) {
        MessageArguments arguments(source, text, isText);
        messages_.raise(this, &arguments);
    }

  private:
    Settings settings_;
    std::wstring source_ = L"about:blank";
    Handlers<ICoreWebView2NavigationStartingEventHandler> starting_;
    Handlers<ICoreWebView2NavigationStartingEventHandler> frameStarting_;
    Handlers<ICoreWebView2NavigationCompletedEventHandler> completed_;
    Handlers<ICoreWebView2NewWindowRequestedEventHandler> newWindow_;
    Handlers<ICoreWebView2WebMessageReceivedEventHandler> messages_;
};

class Controller final : public Unknown<ICoreWebView2Controller> {
  public:
    Controller() : Unknown(L"controller") {}

    VELVIX_UNUSED(get_IsVisible, BOOL*)
    VELVIX_UNUSED(put_IsVisible, BOOL)
    VELVIX_UNUSED(get_Bounds, RECT*)
    HRESULT STDMETHODCALLTYPE put_Bounds(RECT bounds) override {
        record(L"bounds " + std::to_wstring(bounds.left) + L" " + std::to_wstring(bounds.top) +
               L" " + std::to_wstring(bounds.right) + L" " + std::to_wstring(bounds.bottom));
        return S_OK;
    }
    VELVIX_UNUSED(get_ZoomFactor, double*)
    VELVIX_UNUSED(put_ZoomFactor, double)
    VELVIX_UNUSED(add_ZoomFactorChanged, ICoreWebView2ZoomFactorChangedEventHandler*,
                  EventRegistrationToken*)
    VELVIX_UNUSED(remove_ZoomFactorChanged, EventRegistrationToken)
    VELVIX_UNUSED(SetBoundsAndZoomFactor, RECT, double)
    VELVIX_UNUSED(MoveFocus, COREWEBVIEW2_MOVE_FOCUS_REASON)
    VELVIX_UNUSED(add_MoveFocusRequested, ICoreWebView2MoveFocusRequestedEventHandler*,
                  EventRegistrationToken*)
    VELVIX_UNUSED(remove_MoveFocusRequested, EventRegistrationToken)
    VELVIX_UNUSED(add_GotFocus, ICoreWebView2FocusChangedEventHandler*, EventRegistrationToken*)
    VELVIX_UNUSED(remove_GotFocus, EventRegistrationToken)
    VELVIX_UNUSED(add_LostFocus, ICoreWebView2FocusChangedEventHandler*, EventRegistrationToken*)
    VELVIX_UNUSED(remove_LostFocus, EventRegistrationToken)
    VELVIX_UNUSED(add_AcceleratorKeyPressed, ICoreWebView2AcceleratorKeyPressedEventHandler*,
                  EventRegistrationToken*)
    VELVIX_UNUSED(remove_AcceleratorKeyPressed, EventRegistrationToken)
    VELVIX_UNUSED(get_ParentWindow, HWND*)
    VELVIX_UNUSED(put_ParentWindow, HWND)
    VELVIX_UNUSED(NotifyParentWindowPositionChanged)
    HRESULT STDMETHODCALLTYPE Close() override {
        record(L"controller closed");
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE get_CoreWebView2(ICoreWebView2** view) override {
        view_.AddRef();
        *view = &view_;
        return S_OK;
    }

    WebView& view() { return view_; }

  private:
    WebView view_;
};

Controller controller;

bool fails(const wchar_t* step) {
    wchar_t value[32] = {};
    GetEnvironmentVariableW(L"VELVIX_WEBVIEW2_STAND_IN_FAILS", value, 32);
    return lstrcmpW(value, step) == 0;
}

// Delivers `object` to a completion later, or E_FAIL where the test makes `step` fail.
template <typename Handler, typename Object>
void completeLater(Handler* handler, const wchar_t* step, Object* object) {
    handler->AddRef();
    later.run([handler, step, object] {
        if (fails(step)) {
            handler->Invoke(E_FAIL, nullptr);
        } else {
            handler->Invoke(S_OK, object);
        }
        handler->Release();
    });
}

class Environment final : public Unknown<ICoreWebView2Environment> {
  public:
    HRESULT STDMETHODCALLTYPE CreateCoreWebView2Controller(
        HWND parent, ICoreWebView2CreateCoreWebView2ControllerCompletedHandler* handler) override {
        wchar_t parentClass[64] = {};
        GetClassNameW(parent, parentClass, 64);
        record(std::wstring(L"create-controller in ") + parentClass);
        completeLater(handler, L"controller", &controller);
        return S_OK;
    }
};

Environment environment;

std::vector<std::wstring> words(const std::wstring& text, std::size_t count) {
    std::vector<std::wstring> result;
    std::size_t at = 0;
    while (result.size() + 1 < count && at < text.size()) {
        const std::size_t space = text.find(L' ', at);
        if (space == std::wstring::npos) {
            break;
        }
        result.push_back(text.substr(at, space - at));
        at = space + 1;
    }
    result.push_back(text.substr(std::min(at, text.size())));
    return result;
}

void obey(const std::wstring& command) {
    const auto word = words(command, 4);
    WebView& view = controller.view();
    if (word[0] == L"navigate" && word.size() == 4) {
        view.navigate(word[1] == L"main", word[2] == L"user", word[3]);
    } else if (word[0] == L"new-window" && word.size() == 3) {
        view.askForWindow(word[1] == L"user", word[2]);
    } else if (word[0] == L"message" && word.size() >= 2) {
        const auto parts = words(command, 3);
        view.post(parts[1], parts.size() == 3 ? parts[2] : L"", true);
    } else if (word[0] == L"object-message" && word.size() == 2) {
        view.post(word[1], L"", false);
    } else if (word[0] == L"complete" && word.size() == 2) {
        view.complete(word[1] == L"success");
    } else {
        record(L"unknown command " + command);
    }
}

LRESULT CALLBACK controlWindow(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == kRunPending) {
        later.runNext();
        return 0;
    }
    if (message == WM_COPYDATA) {
        const auto* data = reinterpret_cast<const COPYDATASTRUCT*>(lParam);
        obey(std::wstring(static_cast<const wchar_t*>(data->lpData),
                          data->cbData / sizeof(wchar_t)));
        return 1;
    }
    return DefWindowProcW(window, message, wParam, lParam);
}

HWND makeControlWindow() {
    WNDCLASSW windowClass{};
    windowClass.lpfnWndProc = controlWindow;
    windowClass.hInstance = GetModuleHandleW(nullptr);
    windowClass.lpszClassName = kWindowClass;
    RegisterClassW(&windowClass);
    return CreateWindowExW(0, kWindowClass, L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                           windowClass.hInstance, nullptr);
}

}  // namespace

extern "C" __declspec(dllexport) HRESULT STDMETHODCALLTYPE
    CreateWebViewEnvironmentWithOptionsInternal(
        bool checkRunningInstance, int runtimeType, PCWSTR userDataFolder, IUnknown* options,
        ICoreWebView2CreateCoreWebView2EnvironmentCompletedHandler* handler) {
    record(L"create-environment check-running=" + flag(checkRunningInstance) + L" runtime-type=" +
           std::to_wstring(runtimeType) + L" user-data=" +
           (userDataFolder != nullptr ? userDataFolder : L"(none)") +
           (options != nullptr ? L" with options" : L" without options"));
    later.setWindow(makeControlWindow());
    completeLater(handler, L"environment", &environment);
    return S_OK;
}
