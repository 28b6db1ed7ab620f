#include "win32_host.hpp"

#include <algorithm>

#include "velvix/platform/browser.hpp"
#include "web_text.hpp"

namespace velvix {

// Put ahead of the document script (host/win32/service_workers_off.js).
extern const std::string_view kServiceWorkersOff;

namespace {

// A web message handed over from another thread; lParam owns a std::u16string.
constexpr UINT kOutsideMessage = WM_APP + 1;
// Devices come and go in bursts; the list is made again once they have settled.
constexpr UINT_PTR kDevicesSettledTimer = 1;
constexpr UINT kDeviceSettleMilliseconds = 500;
// What a later start sends the panel's window.
constexpr wchar_t kBringToFrontMessage[] = L"Velvix.BringToFront";

constexpr DWORD kWindowStyle = WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX;
constexpr wchar_t kFailureCaption[] = L"Windows Desktop Guided Tour";
constexpr char kFailureText[] = "Velvix could not show its control panel: ";
constexpr char kFailureAdvice[] =
    "\r\n\r\nThe picture keeps running with the settings it has. Restart Velvix to try again.";
constexpr int kFailureMargin = 24;

HICON loadIcon(HINSTANCE instance, int sizeMetric) {
    const int size = GetSystemMetrics(sizeMetric);
    return static_cast<HICON>(LoadImageW(instance, MAKEINTRESOURCEW(kIconResource), IMAGE_ICON,
                                         size, size, LR_DEFAULTCOLOR));
}

}  // namespace

Win32WindowHost::Win32WindowHost(PageSetupScript& pageSetup, PageOriginPolicy origins,
                                 DebugLines debug)
    : pageSetup_(pageSetup), origins_(std::move(origins)), debug_(std::move(debug)) {}

Win32WindowHost::~Win32WindowHost() {
    view_.reset();
    if (window_ != nullptr) {
        SetWindowLongPtrW(window_, GWLP_USERDATA, 0);
        if (!panelName_.empty()) {
            RemovePropW(window_, panelName_.c_str());
        }
        DestroyWindow(window_);
    }
}

bool Win32WindowHost::createWindow(int showCommand) {
    const HINSTANCE instance = GetModuleHandleW(nullptr);
    WNDCLASSEXW windowClass{};
    windowClass.cbSize = sizeof windowClass;
    windowClass.style = CS_HREDRAW | CS_VREDRAW;
    windowClass.lpfnWndProc = windowProcedure;
    windowClass.hInstance = instance;
    windowClass.hIcon = loadIcon(instance, SM_CXICON);
    windowClass.hCursor = LoadCursorW(nullptr, MAKEINTRESOURCEW(32512));  // IDC_ARROW
    windowClass.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_WINDOW + 1);
    windowClass.lpszClassName = kWindowClass;
    windowClass.hIconSm = loadIcon(instance, SM_CXSMICON);
    if (RegisterClassExW(&windowClass) == 0) {
        MessageBoxW(nullptr, L"Call to RegisterClassEx failed!", kFailureCaption, MB_OK);
        return false;
    }
    // The outer size for exactly 330 x 390 client pixels in the style the window has.
    RECT outer{0, 0, kClientWidth, kClientHeight};
    AdjustWindowRect(&outer, kWindowStyle, FALSE);
    window_ =
        CreateWindowExW(0, kWindowClass, kWindowTitle, kWindowStyle, 0, 0, outer.right - outer.left,
                        outer.bottom - outer.top, nullptr, nullptr, instance, this);
    if (window_ == nullptr) {
        MessageBoxW(nullptr, L"Call to CreateWindow failed!", kFailureCaption, MB_OK);
        return false;
    }
    ShowWindow(window_, showCommand);
    UpdateWindow(window_);
    return true;
}

void Win32WindowHost::startView(const std::string& firstPage, const std::string& dataFolder) {
    WebViewSetup setup(origins_);
    setup.window = window_;
    setup.firstPage = firstPage;
    setup.documentScript = std::string(kServiceWorkersOff) + std::string(documentScript());
    setup.debug = debug_;
    setup.pageSetupScript = [this] { return pageSetup_.text(); };
    setup.dataFolder = dataFolder;
    setup.events.messageReceived = [this](const std::u16string& message, const std::string&) {
        receive(message);
    };
    setup.events.failed = [this](const std::string& reason) { showFailure(reason); };
    setup.events.openInBrowser = [this](const std::string& url) { openInBrowser(url); };
    auto view = startWebView(std::move(setup));
    if (!view) {
        showFailure(view.error());
        return;
    }
    view_ = std::move(*view);
}

int Win32WindowHost::runMessageLoop() {
    MSG message{};
    while (GetMessageW(&message, nullptr, 0, 0) > 0) {
        TranslateMessage(&message);
        DispatchMessageW(&message);
    }
    return static_cast<int>(message.wParam);
}

void Win32WindowHost::postMessageFromOutside(const std::u16string& message) {
    auto* copy = new std::u16string(message);
    if (!PostMessageW(window_, kOutsideMessage, 0, reinterpret_cast<LPARAM>(copy))) {
        delete copy;
    }
}

void Win32WindowHost::requestClose() {
    PostMessageW(window_, WM_CLOSE, 0, 0);
}

void Win32WindowHost::postToPage(const std::u16string& text) {
    if (view_ != nullptr) {
        view_->postMessage(text);
    }
}

void Win32WindowHost::navigate(const std::string& url) {
    if (view_ != nullptr) {
        view_->navigate(url);
    }
}

void Win32WindowHost::openInBrowser(const std::string& url) {
    if (!platform::openInBrowser(url)) {
        debug_("velvix: no web browser could be started for " + url);
        postToPage(browserFailedMessage(url));
    }
}

void Win32WindowHost::markAsPanel(const std::wstring& instanceName) {
    panelName_ = instanceName;
    SetPropW(window_, panelName_.c_str(), reinterpret_cast<HANDLE>(1));
}

bool Win32WindowHost::bringPanelToFront(const std::wstring& instanceName) {
    struct Search {
        const std::wstring* name;
        HWND found = nullptr;
    } search{&instanceName};
    EnumWindows(
        [](HWND candidate, LPARAM data) -> BOOL {
            auto* looking = reinterpret_cast<Search*>(data);
            if (GetPropW(candidate, looking->name->c_str()) != nullptr) {
                looking->found = candidate;
                return FALSE;
            }
            return TRUE;
        },
        reinterpret_cast<LPARAM>(&search));
    if (search.found == nullptr) {
        return false;
    }
    // Only the program the user just started may hand the foreground on.
    DWORD process = 0;
    GetWindowThreadProcessId(search.found, &process);
    AllowSetForegroundWindow(process);
    return PostMessageW(search.found, RegisterWindowMessageW(kBringToFrontMessage), 0, 0) != 0;
}

void Win32WindowHost::bringToFront() {
    if (IsIconic(window_)) {
        ShowWindow(window_, SW_RESTORE);
    }
    SetForegroundWindow(window_);
    debug_("velvix: another start brought the window to the front");
}

void Win32WindowHost::remakeCameraList() {
    debug_("velvix: the cameras changed; the list is made again");
    if (view_ != nullptr) {
        view_->runScript(pageSetup_.text());
    }
}

LRESULT CALLBACK Win32WindowHost::windowProcedure(HWND window, UINT message, WPARAM wParam,
                                                  LPARAM lParam) {
    if (message == WM_NCCREATE) {
        const auto* creation = reinterpret_cast<const CREATESTRUCTW*>(lParam);
        SetWindowLongPtrW(window, GWLP_USERDATA,
                          reinterpret_cast<LONG_PTR>(creation->lpCreateParams));
    }
    auto* host = reinterpret_cast<Win32WindowHost*>(GetWindowLongPtrW(window, GWLP_USERDATA));
    if (host == nullptr) {
        if (message == kOutsideMessage) {
            delete reinterpret_cast<std::u16string*>(lParam);
            return 0;
        }
        return DefWindowProcW(window, message, wParam, lParam);
    }
    if (host->window_ == nullptr) {
        host->window_ = window;
    }
    return host->handle(message, wParam, lParam);
}

LRESULT Win32WindowHost::handle(UINT message, WPARAM wParam, LPARAM lParam) {
    static const UINT bringToFrontMessage = RegisterWindowMessageW(kBringToFrontMessage);
    if (message == bringToFrontMessage) {
        bringToFront();
        return 0;
    }
    switch (message) {
        case WM_DEVICECHANGE:
            // A camera plugged in or removed (DBT_DEVNODES_CHANGED and its kind).
            SetTimer(window_, kDevicesSettledTimer, kDeviceSettleMilliseconds, nullptr);
            return TRUE;
        case WM_TIMER:
            if (wParam != kDevicesSettledTimer) {
                break;
            }
            KillTimer(window_, kDevicesSettledTimer);
            remakeCameraList();
            return 0;
        case WM_SIZE:
            // Minimising gives an empty client area, restoring the whole one again.
            fitToClientArea();
            return 0;
        case WM_DESTROY:
            PostQuitMessage(0);
            return 0;
        case kOutsideMessage: {
            const std::unique_ptr<std::u16string> text(reinterpret_cast<std::u16string*>(lParam));
            receive(*text);
            return 0;
        }
        default:
            break;
    }
    return DefWindowProcW(window_, message, wParam, lParam);
}

void Win32WindowHost::fitToClientArea() {
    RECT client{};
    GetClientRect(window_, &client);
    if (view_ != nullptr) {
        view_->resize(client);
    }
    if (failureText_ != nullptr) {
        MoveWindow(failureText_, kFailureMargin, kFailureMargin,
                   std::max(0L, client.right - 2 * kFailureMargin),
                   std::max(0L, client.bottom - 2 * kFailureMargin), TRUE);
    }
}

// The picture keeps running; the window says that its control panel is missing.
void Win32WindowHost::showFailure(const std::string& reason) {
    if (failed_) {
        return;
    }
    failed_ = true;
    debug_("velvix: the control panel cannot be shown: " + reason);
    const std::u16string text = utf16FromUtf8(kFailureText + reason + kFailureAdvice);
    failureText_ = CreateWindowExW(0, L"STATIC", reinterpret_cast<const wchar_t*>(text.c_str()),
                                   WS_CHILD | WS_VISIBLE | SS_CENTER | SS_EDITCONTROL, 0, 0, 0, 0,
                                   window_, nullptr, GetModuleHandleW(nullptr), nullptr);
    SendMessageW(failureText_, WM_SETFONT,
                 reinterpret_cast<WPARAM>(GetStockObject(DEFAULT_GUI_FONT)), TRUE);
    fitToClientArea();
    if (onFailure_) {
        onFailure_();
    }
}

void Win32WindowHost::receive(const std::u16string& message) {
    if (receiver_) {
        receiver_(message);
    }
}

}  // namespace velvix
