#include "win32_app.hpp"

#include <objbase.h>
#include <shlobj.h>
#include <windows.h>

#include <stop_token>
#include <thread>

#include "host/app_core.hpp"
#include "velvix/platform/input_lines.hpp"
#include "velvix/platform/log.hpp"
#include "velvix/platform/stop_signals.hpp"
#include "web_text.hpp"
#include "win32_host.hpp"

namespace velvix {
namespace {

constexpr std::uint32_t kWaitMilliseconds = 50;

// Cookies and the web view's cache: %LOCALAPPDATA%\Velvix.
std::string dataFolder() {
    wchar_t* folder = nullptr;
    std::string path;
    if (SUCCEEDED(SHGetKnownFolderPath(FOLDERID_LocalAppData, 0, nullptr, &folder))) {
        const std::wstring wide(folder);
        path = utf8FromUtf16(std::u16string(wide.begin(), wide.end())) + "\\Velvix";
    }
    CoTaskMemFree(folder);
    return path;
}

// Started from Explorer, the program gets a console window of its own that nobody needs;
// started from a console, or with its input redirected, it keeps the console.
void leaveAConsoleOfItsOwn() {
    DWORD processes[2];
    const HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
    if (GetConsoleProcessList(processes, 2) == 1 && input != nullptr &&
        input != INVALID_HANDLE_VALUE && GetFileType(input) == FILE_TYPE_CHAR) {
        FreeConsole();
    }
}

// Without its control panel the window takes the page's messages from standard input, one
// per line, as the headless program does.
void forwardInputLines(Win32WindowHost& host, std::stop_token stop) {
    platform::InputLines input;
    std::string line;
    while (!stop.stop_requested()) {
        switch (input.next(line, kWaitMilliseconds)) {
            case platform::InputLines::Status::line:
                host.postMessageFromOutside(unitsFromBytes(line));
                break;
            case platform::InputLines::Status::ended:
                return;
            case platform::InputLines::Status::timeout:
                break;
        }
    }
}

// Ctrl+C, Ctrl+Break and closing the console close the window, so the worker is stopped and
// joined in every case.
void closeOnStopSignals(Win32WindowHost& host, platform::StopSignals& signals,
                        std::stop_token stop) {
    while (!stop.stop_requested()) {
        if (signals.wait(kWaitMilliseconds)) {
            host.requestClose();
            return;
        }
    }
}

// The window's thread is a single-threaded COM apartment, as the web view requires.
class ComApartment {
  public:
    ComApartment() : result_(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED)) {}
    ~ComApartment() {
        if (SUCCEEDED(result_)) {
            CoUninitialize();
        }
    }
    ComApartment(const ComApartment&) = delete;
    ComApartment& operator=(const ComApartment&) = delete;

  private:
    HRESULT result_;
};

}  // namespace

// One panel per user and ring: the first start holds a mutex named after the ring in the
// session's namespace; a later start asks the first's window to come to the front and ends.
class SinglePanel {
  public:
    explicit SinglePanel(const std::string& ringName)
        : name_(wideName(panelInstanceName("Velvix", ringName))),
          mutex_(CreateMutexW(nullptr, FALSE, (L"Local\\" + name_).c_str())),
          elsewhere_(mutex_ != nullptr && GetLastError() == ERROR_ALREADY_EXISTS) {}
    ~SinglePanel() {
        if (mutex_ != nullptr) {
            CloseHandle(mutex_);
        }
    }
    SinglePanel(const SinglePanel&) = delete;
    SinglePanel& operator=(const SinglePanel&) = delete;

    bool runsElsewhere() const { return elsewhere_; }
    const std::wstring& name() const { return name_; }

  private:
    static std::wstring wideName(const std::string& name) { return {name.begin(), name.end()}; }

    std::wstring name_;
    HANDLE mutex_;
    bool elsewhere_;
};

int runWindow(const AppOptions& options) {
    const SinglePanel single(options.ringName);
    if (single.runsElsewhere()) {
        Win32WindowHost::bringPanelToFront(single.name());
        platform::logLine(platform::LogCategory::app, platform::LogSeverity::notice,
                          "velvix: already running; its window is brought to the front");
        return 0;
    }
    platform::StopSignals signals;
    leaveAConsoleOfItsOwn();
    const ComApartment apartment;
    BundledService service;
    const auto origin = servePages(options, service);
    if (!origin) {
        return 1;
    }
    AppCore core(options, *origin);
    Win32WindowHost host(core.pageSetup, PageOriginPolicy(core.origin), AppCore::pageLines());
    core.handleMessagesOfWindow(host);
    if (!host.createWindow(SW_SHOWNORMAL)) {
        return 1;
    }
    host.markAsPanel(single.name());
    core.sayStarted();
    platform::logLine(platform::LogCategory::app, platform::LogSeverity::notice,
                      "velvix: pages from " + core.origin);

    std::jthread input;
    host.setFailureListener([&] {
        platform::logLine(platform::LogCategory::app, platform::LogSeverity::notice,
                          "velvix: web messages on standard input, one per line");
        input = std::jthread([&host](std::stop_token stop) { forwardInputLines(host, stop); });
    });
    host.startView(core.addresses.signUpPage, dataFolder());
    int code = 0;
    {
        const FrameService::Threads threads = core.frames.start();
        const std::jthread closer(
            [&](std::stop_token stop) { closeOnStopSignals(host, signals, stop); });
        platform::logLine(platform::LogCategory::app, platform::LogSeverity::notice,
                          "velvix: window open");
        code = host.runMessageLoop();
    }
    platform::logLine(platform::LogCategory::app, platform::LogSeverity::notice, "velvix: stopped");
    return code;
}

}  // namespace velvix
