#pragma once

#include <windows.h>

#include <functional>
#include <memory>
#include <string>

#include "page_scripts.hpp"
#include "web_messages.hpp"
#include "web_view.hpp"

namespace velvix {

inline constexpr int kClientWidth = 330;
inline constexpr int kClientHeight = 390;
inline constexpr wchar_t kWindowClass[] = L"DesktopApp";
inline constexpr wchar_t kWindowTitle[] = L"Velvix";
// The icon group of the program's resources.
inline constexpr int kIconResource = 110;

// Receives each text a page posts with window.chrome.webview.postMessage.
using MessageReceiver = std::function<void(const std::u16string&)>;

// The main window with its web view, on the thread that runs its message loop: 330 x 390
// client pixels at the top-left corner of the screen, with a minimise button but no maximise
// button and no sizing border. The view fills the client area, also after minimising and
// restoring; closing the window ends the message loop.
class Win32WindowHost final : public WebHost {
  public:
    Win32WindowHost(PageSetupScript& pageSetup, PageOriginPolicy origins, DebugLines debug);
    ~Win32WindowHost() override;
    Win32WindowHost(const Win32WindowHost&) = delete;
    Win32WindowHost& operator=(const Win32WindowHost&) = delete;

    // Registers the window class and shows the window. False after the message box that says
    // which call failed.
    bool createWindow(int showCommand);
    // Asks for the web view, which opens `firstPage` once it is up; cookies in `dataFolder`.
    void startView(const std::string& firstPage, const std::string& dataFolder);
    void setMessageReceiver(MessageReceiver receiver) { receiver_ = std::move(receiver); }
    // Called once when the control panel cannot be shown.
    void setFailureListener(std::function<void()> listener) { onFailure_ = std::move(listener); }

    // Runs the message loop until the window is closed; the quit message's code.
    int runMessageLoop();

    // From any thread: a web message as if the page had posted it, handled on the window's
    // thread.
    void postMessageFromOutside(const std::u16string& message);
    // From any thread: closes the window as its close button does.
    void requestClose();

    void postToPage(const std::u16string& text) override;
    void navigate(const std::string& url) override;
    void openInBrowser(const std::string& url) override;
    void quit() override { requestClose(); }

    // Marks the window as the panel of `instanceName`, for a later start to find.
    void markAsPanel(const std::wstring& instanceName);
    // From a later start: asks the panel of `instanceName` to come to the front. False when
    // no such window is there (yet).
    static bool bringPanelToFront(const std::wstring& instanceName);

    HWND window() const { return window_; }
    bool failed() const { return failed_; }

  private:
    static LRESULT CALLBACK windowProcedure(HWND window, UINT message, WPARAM wParam,
                                            LPARAM lParam);
    LRESULT handle(UINT message, WPARAM wParam, LPARAM lParam);
    void fitToClientArea();
    void showFailure(const std::string& reason);
    void receive(const std::u16string& message);
    void bringToFront();
    void remakeCameraList();

    PageSetupScript& pageSetup_;
    PageOriginPolicy origins_;
    DebugLines debug_;
    MessageReceiver receiver_;
    std::function<void()> onFailure_;
    HWND window_ = nullptr;
    HWND failureText_ = nullptr;
    std::unique_ptr<EmbeddedWebView> view_;
    bool failed_ = false;
    std::wstring panelName_;
};

}  // namespace velvix
