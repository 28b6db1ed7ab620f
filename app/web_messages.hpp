#pragma once

#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "velvix/pipeline/control_block.hpp"

namespace velvix {

// What a host of the pages does for the message protocol: the window with its web view, or
// the headless host that writes each action as a line.
class WebHost {
  public:
    virtual ~WebHost() = default;
    // Sends a message back to the page that posted one.
    virtual void postToPage(const std::u16string& text) = 0;
    // Shows another page of the service.
    virtual void navigate(const std::string& url) = 0;
    // Opens an address in the user's own browser. When no browser can be started, the page is
    // told with browserFailedMessage().
    virtual void openInBrowser(const std::string& url) = 0;
    // Ends the program as closing its window does.
    virtual void quit() = 0;
};

// What the page is told when no browser could be started for `url`.
std::u16string browserFailedMessage(const std::string& url);

// What the panel says about the camera.
class CameraStatus {
  public:
    virtual ~CameraStatus() = default;
    // "none" (no camera chosen), "starting", "working" or "lost" (no picture; retrying);
    // "working:NOTE" when the camera sends fewer frames than asked, NOTE saying so.
    virtual std::string cameraStateText() = 0;
};

// What the panel shows of the virtual camera, and its set-up button.
class VirtualCameraPanel {
  public:
    virtual ~VirtualCameraPanel() = default;
    // The state as the page gets it after "velv:VCAM:STATE:": "off", "feeding:NAMES",
    // "none", "none:PROBLEM", "setting-up" or "failed:TEXT"; on Windows, whose camera reads the
    // ring by itself, "not-installed:NAME", "ready:NAME" or "reading:NAME".
    virtual std::string stateText() = 0;
    // Starts the set-up of a virtual camera, unless one is under way.
    virtual void setUp() = 0;
};

// The two pictures the panel's preview can show.
enum class PreviewPicture { smoothed, unsmoothed };

// The panel's preview picture.
class PreviewSource {
  public:
    virtual ~PreviewSource() = default;
    // The newest picture of that kind as a JPEG file, when there is one the page has not had
    // yet; nothing otherwise. Asking keeps the pictures coming for a while.
    virtual std::optional<std::string> newJpeg(PreviewPicture picture) = 0;
};

inline constexpr char kDefaultServiceOrigin[] = "https://app.velvix.example";

struct ServiceAddresses {
    std::string smoothPage;
    std::string signUpPage;
    std::string termsOfUse;

    // The terms of use are the service's own "/terms-of-use" unless `termsOfUse` names another
    // address.
    static ServiceAddresses forOrigin(const std::string& origin,
                                      const std::string& termsOfUse = "");
};

// The camera names as a fresh enumeration finds them, index by index.
using CameraNameLister = std::function<std::vector<std::string>()>;
using DebugLines = std::function<void(std::string_view)>;

inline constexpr char kNoCameraName[] = "no camera";
// A longer message is dropped, whichever host carried it: the pages' own messages are a few
// dozen characters, and the headless host's input lines end at the same length.
inline constexpr std::size_t kMaxWebMessageUnits = 64 * 1024;
// The line that says a message of `units` characters was dropped for its length.
std::string overlongMessageLine(std::size_t units);
// A message said on the debug output is cut after this many characters.
inline constexpr std::size_t kMaxEchoedUnits = 200;
// A camera name longer than this many bytes cannot be any device's.
inline constexpr std::size_t kMaxCameraNameBytes = 255;

// The level text of a smoothing message, read like the standard string-to-integer
// conversion: white space skipped, an optional sign, then decimal digits up to the first
// other character. Nothing without digits or outside the 32-bit range.
std::optional<int> parseLevel(std::u16string_view text);

// What the panel asks about besides the control block. Without a virtual camera panel the
// virtual camera is reported as off; without a preview the page is told that there is none;
// without a camera status the camera is reported as not chosen.
struct PanelSources {
    VirtualCameraPanel* virtualCamera = nullptr;
    PreviewSource* preview = nullptr;
    CameraStatus* camera = nullptr;
    // The user's names and camera names reach the debug output only when this is set.
    bool verbose = false;
};

// Turns the messages the pages post into requests to the frame worker, page changes and
// browser openings. Runs on the host's user-interface thread.
class WebMessageHandler {
  public:
    WebMessageHandler(ControlBlock& control, WebHost& host, ServiceAddresses addresses,
                      CameraNameLister listCameras, DebugLines debug, PanelSources panel = {});

    // Never throws: a message that cannot be handled is dropped with a line on the debug
    // output.
    void handle(const std::u16string& message) noexcept;

  private:
    void dispatch(const std::u16string& message);
    void chooseCamera(const std::u16string& message);
    void setSmoothing(const std::u16string& message);
    void answerVirtualCamera(const std::u16string& message);
    void answerPreview(const std::u16string& message);
    void answerCameraState();
    void say(const std::u16string& message, std::string_view remark = {});
    void ignore(const std::u16string& message, std::string_view reason);
    void noteDropped(const char* reason) noexcept;
    int cameraIndex(const std::string& name);

    ControlBlock& control_;
    WebHost& host_;
    ServiceAddresses addresses_;
    CameraNameLister listCameras_;
    DebugLines debug_;
    PanelSources panel_;
};

}  // namespace velvix
