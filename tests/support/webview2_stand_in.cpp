// A stand-in for the WebView2 runtime's client library (EmbeddedBrowserWebView.dll): the real
// engine cannot run under wine. Every call the program makes is written to standard error as a
// line that begins with "webview2: ". Completions come later through the program's message
// loop, as the runtime's do. A test raises events with WM_COPYDATA (a UTF-16 command, below) to
// the message-only window "VelvixWebView2StandIn"; they run on the program's window thread
// before SendMessage returns. VELVIX_WEBVIEW2_STAND_IN_FAILS=controller fails the controller.
#include <windows.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <functional>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "host/win32/webview2_interfaces.hpp"

namespace {

using namespace velvix::webview2;

// One function answers every slot nobody expects, whatever its arguments: on x64 the caller
// clears them away.
static_assert(sizeof(void*) == 8, "the generic slots need the x64 calling convention");

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
    const std::u8string text = std::filesystem::path(escaped + L'\n').u8string();
    DWORD written = 0;
    WriteFile(GetStdHandle(STD_ERROR_HANDLE), text.data(), static_cast<DWORD>(text.size()),
              &written, nullptr);
}

HRESULT copyOut(const std::wstring& text, LPWSTR* out) {
    const std::size_t bytes = (text.size() + 1) * sizeof(wchar_t);
    *out = static_cast<LPWSTR>(CoTaskMemAlloc(bytes));
    CopyMemory(*out, text.c_str(), bytes);
    return S_OK;
}

// A COM object of the stand-in, alive as long as the process: its vtable comes first. `name`
// is recorded when the program gives back its last reference.
struct Object {
    const void* const* vtable;
    std::vector<IID> answers;  // what QueryInterface gives besides IUnknown
    const wchar_t* name = nullptr;
    ULONG references = 0;

    Object& handedOut() {
        ++references;
        return *this;
    }
};

template <typename Interface>
Interface* as(Object& object) {
    return reinterpret_cast<Interface*>(&object);
}

// The most slots an interface of the runtime's table has (ICoreWebView2's).
constexpr std::size_t kSlots = 61;

HRESULT unexpected(Object*) {
    record(L"unexpected call");
    return E_NOTIMPL;
}

HRESULT queryInterface(Object* self, REFIID id, void** out) {
    const bool answers =
        IsEqualIID(id, IID_IUnknown) ||
        std::any_of(self->answers.begin(), self->answers.end(),
                    [&](const IID& answer) { return IsEqualIID(id, answer) != FALSE; });
    *out = answers ? self : nullptr;
    self->references += answers ? 1 : 0;
    return answers ? S_OK : E_NOINTERFACE;
}

ULONG addReference(Object* self) {
    return ++self->references;
}

ULONG release(Object* self) {
    if (--self->references == 0 && self->name != nullptr) {
        record(std::wstring(self->name) + L" released");
    }
    return self->references;
}

// mingw's g++ follows the Itanium C++ ABI: a pointer to a virtual member function holds 1 plus
// the method's byte offset in the vtable.
template <typename Member>
std::size_t slotOf(Member member) {
    std::uintptr_t words[2];
    std::memcpy(words, &member, sizeof words);
    return (words[0] - 1) / sizeof(void*);
}

// A vtable whose every slot is unexpected but IUnknown's and those set.
class Slots {
  public:
    Slots() {
        slots_.fill(reinterpret_cast<const void*>(&unexpected));
        slots_[0] = reinterpret_cast<const void*>(&queryInterface);
        slots_[1] = reinterpret_cast<const void*>(&addReference);
        slots_[2] = reinterpret_cast<const void*>(&release);
    }
    // `function` takes the object and then the method's own arguments.
    template <typename Interface, typename Self, typename... Parameters>
    Slots& set(HRESULT (Interface::*method)(Parameters...),
               HRESULT (*function)(Self*, Parameters...)) {
        slots_[slotOf(method)] = reinterpret_cast<const void*>(function);
        return *this;
    }
    const void* const* table() const { return slots_.data(); }

  private:
    std::array<const void*, kSlots> slots_;
};

HRESULT recorded(const std::wstring& line) {
    record(line);
    return S_OK;
}

template <typename Value>
HRESULT give(Value* out, Value value) {
    *out = value;
    return S_OK;
}

// A setting's put_ method, which is recorded.
#define VELVIX_SETTING(Interface, name) \
    set(                                \
        &Interface::put_##name, +[](Object*, BOOL on) { return setting(L## #name, on); })

HRESULT setting(const wchar_t* name, BOOL value) {
    return recorded(std::wstring(L"setting ") + name + (value ? L"=1" : L"=0"));
}

using Settings = ICoreWebView2Settings;
const Slots kSettingsSlots =
    Slots()
        .VELVIX_SETTING(Settings, IsScriptEnabled)
        .VELVIX_SETTING(Settings, IsWebMessageEnabled)
        .VELVIX_SETTING(Settings, AreDefaultScriptDialogsEnabled)
        .VELVIX_SETTING(Settings, IsStatusBarEnabled)
        .VELVIX_SETTING(Settings, AreDevToolsEnabled)
        .VELVIX_SETTING(Settings, AreDefaultContextMenusEnabled)
        .VELVIX_SETTING(ICoreWebView2Settings3, AreBrowserAcceleratorKeysEnabled);

// The arguments of an event: where it goes, who started it, and what the program answered.
struct Arguments : Object {
    std::wstring uri;
    std::wstring text;
    BOOL given = FALSE;   // started by the user; for a navigation's end, success
    BOOL answer = FALSE;  // cancelled or handled
    bool isText = true;

    static HRESULT getUri(Arguments* self, LPWSTR* uri) { return copyOut(self->uri, uri); }
    static HRESULT getGiven(Arguments* self, BOOL* given) { return give(given, self->given); }
    static HRESULT getAnswer(Arguments* self, BOOL* answer) { return give(answer, self->answer); }
    static HRESULT putAnswer(Arguments* self, BOOL answer) { return give(&self->answer, answer); }
    static HRESULT getText(Arguments* self, LPWSTR* text) {
        *text = nullptr;
        return self->isText ? copyOut(self->text, text) : E_INVALIDARG;
    }
};

using Starting = ICoreWebView2NavigationStartingEventArgs;
using NewWindow = ICoreWebView2NewWindowRequestedEventArgs;
using Completed = ICoreWebView2NavigationCompletedEventArgs;
using Message = ICoreWebView2WebMessageReceivedEventArgs;
const Slots kStartingSlots = Slots()
                                 .set(&Starting::get_Uri, &Arguments::getUri)
                                 .set(&Starting::get_IsUserInitiated, &Arguments::getGiven)
                                 .set(&Starting::get_Cancel, &Arguments::getAnswer)
                                 .set(&Starting::put_Cancel, &Arguments::putAnswer);
const Slots kNewWindowSlots = Slots()
                                  .set(&NewWindow::get_Uri, &Arguments::getUri)
                                  .set(&NewWindow::get_IsUserInitiated, &Arguments::getGiven)
                                  .set(&NewWindow::put_Handled, &Arguments::putAnswer);
const Slots kCompletedSlots = Slots().set(&Completed::get_IsSuccess, &Arguments::getGiven);
const Slots kMessageSlots = Slots()
                                .set(&Message::get_Source, &Arguments::getUri)
                                .set(&Message::TryGetWebMessageAsString, &Arguments::getText);

// The program's handler of one event (it adds one), with the stand-in's own reference.
template <typename Handler>
struct Handlers {
    HRESULT add(Handler* added, EventRegistrationToken* token) {
        added->AddRef();
        handler = added;
        token->value = 1;
        return S_OK;
    }
    template <typename Interface>
    void raise(ICoreWebView2* sender, const Slots& slots, Arguments& arguments) {
        arguments.vtable = slots.table();
        arguments.answers = {Interface::kIid};
        if (handler != nullptr) {
            handler->Invoke(sender, as<Interface>(arguments));
        }
    }
    Handler* handler = nullptr;
};

HWND controlWindow = nullptr;

// Work the runtime does later, on the thread that asked, through its message loop.
void later(std::function<void()> work) {
    PostMessageW(controlWindow, kRunPending, 0,
                 reinterpret_cast<LPARAM>(new std::function<void()>(std::move(work))));
}

using View = ICoreWebView2;
using StartingHandler = ICoreWebView2NavigationStartingEventHandler;
using CompletedHandler = ICoreWebView2NavigationCompletedEventHandler;
using NewWindowHandler = ICoreWebView2NewWindowRequestedEventHandler;
using MessageHandler = ICoreWebView2WebMessageReceivedEventHandler;
using ScriptAddedHandler = ICoreWebView2AddScriptToExecuteOnDocumentCreatedCompletedHandler;

const Slots& viewSlots();
const Slots& controllerSlots();

struct WebView : Object {
    WebView() : Object{viewSlots().table(), {View::kIid}, L"view"} {}

    Object settings{kSettingsSlots.table(),
                    {Settings::kIid, ICoreWebView2Settings2::kIid, ICoreWebView2Settings3::kIid}};
    std::wstring source = L"about:blank";
    Handlers<StartingHandler> starting;
    Handlers<StartingHandler> frameStarting;
    Handlers<CompletedHandler> completed;
    Handlers<NewWindowHandler> newWindow;
    Handlers<MessageHandler> messages;

    View* self() { return as<View>(*this); }
    void navigate(bool mainFrame, bool user, const std::wstring& uri) {
        Arguments arguments{{}, uri, L"", user};
        (mainFrame ? starting : frameStarting).raise<Starting>(self(), kStartingSlots, arguments);
        record(std::wstring(L"navigation-starting ") + (mainFrame ? L"main " : L"frame ") + uri +
               (arguments.answer ? L": cancelled" : L": goes on"));
        if (mainFrame && !arguments.answer) {
            source = uri;
            complete(true);
        }
    }
    void complete(bool success) {
        Arguments arguments{{}, L"", L"", success};
        completed.raise<Completed>(self(), kCompletedSlots, arguments);
    }
    void askForWindow(bool user, const std::wstring& uri) {
        Arguments arguments{{}, uri, L"", user};
        newWindow.raise<NewWindow>(self(), kNewWindowSlots, arguments);
        record(L"new-window " + uri + (arguments.answer ? L": handled" : L": opened"));
    }
    void post(const std::wstring& page, const std::wstring& text, bool isText) {
        Arguments arguments{{}, page, text, FALSE, FALSE, isText};
        messages.raise<Message>(self(), kMessageSlots, arguments);
    }

    static HRESULT getSettings(WebView* self, Settings** out) {
        return give(out, as<Settings>(self->settings.handedOut()));
    }
    static HRESULT getSource(WebView* self, LPWSTR* uri) { return copyOut(self->source, uri); }
    static HRESULT startNavigation(WebView* self, LPCWSTR uri) {
        later([self, address = std::wstring(uri)] { self->navigate(true, false, address); });
        return recorded(std::wstring(L"navigate ") + uri);
    }
    template <typename Handler, Handlers<Handler> WebView::*Event>
    static HRESULT add(WebView* self, Handler* handler, EventRegistrationToken* token) {
        return (self->*Event).add(handler, token);
    }
    static HRESULT addScript(WebView*, LPCWSTR script, ScriptAddedHandler* handler) {
        handler->AddRef();
        later([handler] {
            record(L"script added");
            handler->Invoke(S_OK, L"1");
            handler->Release();
        });
        return recorded(std::wstring(L"add-script ") + script);
    }
    static HRESULT runScript(WebView*, LPCWSTR script,
                             ICoreWebView2ExecuteScriptCompletedHandler* handler) {
        return recorded(std::wstring(handler == nullptr ? L"" : L"unexpected completion of ") +
                        L"execute-script " + script);
    }
    static HRESULT postToPage(WebView*, LPCWSTR text) {
        return recorded(std::wstring(L"post ") + text);
    }
};

const Slots& viewSlots() {
    static const Slots slots =
        Slots()
            .set(&View::get_Settings, &WebView::getSettings)
            .set(&View::get_Source, &WebView::getSource)
            .set(&View::Navigate, &WebView::startNavigation)
            .set(&View::add_NavigationStarting, &WebView::add<StartingHandler, &WebView::starting>)
            .set(&View::add_FrameNavigationStarting,
                 &WebView::add<StartingHandler, &WebView::frameStarting>)
            .set(&View::add_NavigationCompleted,
                 &WebView::add<CompletedHandler, &WebView::completed>)
            .set(&View::add_NewWindowRequested,
                 &WebView::add<NewWindowHandler, &WebView::newWindow>)
            .set(&View::add_WebMessageReceived, &WebView::add<MessageHandler, &WebView::messages>)
            .set(&View::AddScriptToExecuteOnDocumentCreated, &WebView::addScript)
            .set(&View::ExecuteScript, &WebView::runScript)
            .set(&View::PostWebMessageAsString, &WebView::postToPage);
    return slots;
}

using Control = ICoreWebView2Controller;
struct Controller : Object {
    Controller() : Object{controllerSlots().table(), {Control::kIid}, L"controller"} {}

    WebView view;

    static HRESULT putBounds(Controller*, RECT bounds) {
        return recorded(L"bounds " + std::to_wstring(bounds.left) + L" " +
                        std::to_wstring(bounds.top) + L" " + std::to_wstring(bounds.right) + L" " +
                        std::to_wstring(bounds.bottom));
    }
    static HRESULT close(Controller*) { return recorded(L"controller closed"); }
    static HRESULT getView(Controller* self, View** out) {
        return give(out, as<View>(self->view.handedOut()));
    }
};

const Slots& controllerSlots() {
    static const Slots slots = Slots()
                                   .set(&Control::put_Bounds, &Controller::putBounds)
                                   .set(&Control::Close, &Controller::close)
                                   .set(&Control::get_CoreWebView2, &Controller::getView);
    return slots;
}

Controller controller;

// Delivers `object` to a completion later, or E_FAIL when `fails`.
template <typename Handler, typename Delivered>
void completeLater(Handler* handler, Delivered* object, bool fails = false) {
    handler->AddRef();
    later([handler, object, fails] {
        handler->Invoke(fails ? E_FAIL : S_OK, fails ? nullptr : object);
        handler->Release();
    });
}

const Slots kEnvironmentSlots = Slots().set(
    &ICoreWebView2Environment::CreateCoreWebView2Controller,
    +[](Object*, HWND parent,
        ICoreWebView2CreateCoreWebView2ControllerCompletedHandler* handler) -> HRESULT {
        wchar_t parentClass[64] = {};
        GetClassNameW(parent, parentClass, 64);
        record(std::wstring(L"create-controller in ") + parentClass);
        wchar_t fails[16] = {};
        GetEnvironmentVariableW(L"VELVIX_WEBVIEW2_STAND_IN_FAILS", fails, 16);
        completeLater(handler, as<Control>(controller), lstrcmpW(fails, L"controller") == 0);
        return S_OK;
    });

Object environment{kEnvironmentSlots.table(), {ICoreWebView2Environment::kIid}};

void obey(const std::wstring& command) {
    std::wistringstream words(command);
    std::wstring verb, what, who, rest;
    words >> verb >> what;
    if (verb == L"navigate") {
        words >> who;
    }
    std::getline(words >> std::ws, rest);
    WebView& view = controller.view;
    if (verb == L"navigate") {
        view.navigate(what == L"main", who == L"user", rest);
    } else if (verb == L"new-window") {
        view.askForWindow(what == L"user", rest);
    } else if (verb == L"message" || verb == L"object-message") {
        view.post(what, rest, verb == L"message");
    } else if (verb == L"complete") {
        view.complete(what == L"success");
    } else {
        record(L"unknown command " + command);
    }
}

LRESULT CALLBACK control(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == kRunPending) {
        const std::unique_ptr<std::function<void()>> work(
            reinterpret_cast<std::function<void()>*>(lParam));
        (*work)();
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
    windowClass.lpfnWndProc = control;
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
    record(std::wstring(L"create-environment check-running=") +
           (checkRunningInstance ? L"1" : L"0") + L" runtime-type=" + std::to_wstring(runtimeType) +
           L" user-data=" + (userDataFolder != nullptr ? userDataFolder : L"(none)") +
           (options != nullptr ? L" with options" : L" without options"));
    controlWindow = makeControlWindow();
    completeLater(handler, as<ICoreWebView2Environment>(environment));
    return S_OK;
}
