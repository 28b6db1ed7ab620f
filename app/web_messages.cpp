#include "web_messages.hpp"

#include <limits>
#include <string>

#include "web_text.hpp"

namespace velvix {
namespace {

constexpr std::u16string_view kCamera = u"velv:CAMERA";
constexpr std::u16string_view kSmooth = u"velv:SMOOTH";
constexpr std::u16string_view kLogin = u"velv:LOGIN";
constexpr std::u16string_view kLogout = u"velv:LOGOUT";
constexpr std::u16string_view kTerms = u"velv:TERMS";
constexpr std::u16string_view kVirtualCamera = u"velv:VCAM";
constexpr std::u16string_view kVirtualCameraState = u"velv:VCAM:STATE";
constexpr std::u16string_view kVirtualCameraSetUp = u"velv:VCAM:SETUP";
constexpr std::u16string_view kPreview = u"velv:PREVIEW";
constexpr std::u16string_view kPreviewUnsmoothed = u"velv:PREVIEW:BEFORE";
constexpr std::u16string_view kPreviewFrame = u"velv:PREVIEW:FRAME:data:image/jpeg;base64,";
constexpr std::u16string_view kPreviewWait = u"velv:PREVIEW:WAIT";
constexpr std::u16string_view kPreviewOff = u"velv:PREVIEW:OFF";
constexpr std::u16string_view kCameraState = u"velv:CAM:STATE";
constexpr std::u16string_view kQuit = u"velv:QUIT";
constexpr std::u16string_view kBrowserFailed = u"velv:BROWSER:FAILED:";
// Messages whose rest is the user's name or a camera's.
constexpr std::u16string_view kPersonal[] = {kCamera, kLogin, kLogout};

// Where the fields start: one separator after the prefix is skipped unexamined.
constexpr std::u16string_view kOn = u"on";
constexpr std::size_t kCameraNameAt = kCamera.size() + 1;
constexpr std::size_t kSwitchAt = kSmooth.size() + 1;
constexpr std::size_t kLevelAt = kSwitchAt + kOn.size() + 1;

bool isSpace(char16_t unit) {
    return unit == u' ' || (unit >= u'\t' && unit <= u'\r');
}

bool isDigit(char16_t unit) {
    return unit >= u'0' && unit <= u'9';
}

// The camera name as bytes: one byte per unit, for names that the device list can hold.
std::optional<std::string> narrowName(std::u16string_view name) {
    if (name.size() > kMaxCameraNameBytes) {
        return std::nullopt;
    }
    std::string narrow;
    for (const char16_t unit : name) {
        if (unit > 0xFF) {
            return std::nullopt;
        }
        narrow.push_back(static_cast<char>(unit));
    }
    return narrow;
}

// A message as the debug output shows it: whole up to kMaxEchoedUnits, so that a page cannot
// fill the log with one message.
std::string echoed(std::u16string_view message) {
    if (message.size() <= kMaxEchoedUnits) {
        return utf8FromUtf16(message);
    }
    std::size_t kept = kMaxEchoedUnits;
    if (message[kept - 1] >= 0xD800 && message[kept - 1] <= 0xDBFF) {
        --kept;  // not half a surrogate pair
    }
    return utf8FromUtf16(message.substr(0, kept)) + "... (" + std::to_string(message.size()) +
           " characters)";
}

}  // namespace

std::u16string browserFailedMessage(const std::string& url) {
    return std::u16string(kBrowserFailed) + utf16FromUtf8(url);
}

std::string overlongMessageLine(std::size_t units) {
    return "web message dropped: it is " + std::to_string(units) + " characters long, more than " +
           std::to_string(kMaxWebMessageUnits);
}

ServiceAddresses ServiceAddresses::forOrigin(const std::string& origin,
                                             const std::string& termsOfUse) {
    return {origin + "/smooth.html", origin + "/signup.html",
            termsOfUse.empty() ? origin + "/terms-of-use" : termsOfUse};
}

std::optional<int> parseLevel(std::u16string_view text) {
    std::size_t at = 0;
    while (at < text.size() && isSpace(text[at])) {
        ++at;
    }
    const bool negative = at < text.size() && text[at] == u'-';
    if (at < text.size() && (text[at] == u'-' || text[at] == u'+')) {
        ++at;
    }
    if (at == text.size() || !isDigit(text[at])) {
        return std::nullopt;
    }
    // Accumulate towards the negative side, which reaches one further.
    long long value = 0;
    for (; at < text.size() && isDigit(text[at]); ++at) {
        value = value * 10 - (text[at] - u'0');
        if (value < std::numeric_limits<int>::min()) {
            return std::nullopt;
        }
    }
    if (!negative) {
        value = -value;
        if (value > std::numeric_limits<int>::max()) {
            return std::nullopt;
        }
    }
    return static_cast<int>(value);
}

WebMessageHandler::WebMessageHandler(ControlBlock& control, WebHost& host,
                                     ServiceAddresses addresses, CameraNameLister listCameras,
                                     DebugLines debug, PanelSources panel)
    : control_(control),
      host_(host),
      addresses_(std::move(addresses)),
      listCameras_(std::move(listCameras)),
      debug_(std::move(debug)),
      panel_(panel) {}

void WebMessageHandler::handle(const std::u16string& message) noexcept {
    try {
        if (message.size() > kMaxWebMessageUnits) {
            debug_(overlongMessageLine(message.size()));
            return;
        }
        dispatch(message);
    } catch (const std::exception& error) {
        noteDropped(error.what());
    } catch (...) {
        noteDropped("unknown error");
    }
}

void WebMessageHandler::noteDropped(const char* reason) noexcept {
    try {
        debug_(std::string("web message dropped: ") + reason);
    } catch (...) {
        // Nothing is left to report with; the message is dropped all the same.
    }
}

void WebMessageHandler::dispatch(const std::u16string& message) {
    if (message.starts_with(kCamera)) {
        chooseCamera(message);
    } else if (message.starts_with(kSmooth)) {
        setSmoothing(message);
    } else if (message.starts_with(kLogin)) {
        say(message);
        host_.navigate(addresses_.smoothPage);
    } else if (message.starts_with(kLogout)) {
        say(message);
        host_.navigate(addresses_.signUpPage);
    } else if (message.starts_with(kTerms)) {
        host_.openInBrowser(addresses_.termsOfUse);
    } else if (message.starts_with(kVirtualCamera)) {
        answerVirtualCamera(message);
    } else if (message.starts_with(kPreview)) {
        answerPreview(message);
    } else if (message == kCameraState) {
        answerCameraState();
    } else if (message == kQuit) {
        say(message);
        host_.quit();
    } else {
        host_.postToPage(message);
    }
}

// The page asks for the state (and polls it while it shows it), or for the set-up; either
// way the state comes back.
void WebMessageHandler::answerVirtualCamera(const std::u16string& message) {
    if (message == kVirtualCameraSetUp) {
        say(message);
        if (panel_.virtualCamera != nullptr) {
            panel_.virtualCamera->setUp();
        }
    } else if (message != kVirtualCameraState) {
        ignore(message, "it asks nothing the program knows");
        return;
    }
    const std::string state =
        panel_.virtualCamera != nullptr ? panel_.virtualCamera->stateText() : "off";
    host_.postToPage(std::u16string(kVirtualCameraState) + u":" + utf16FromUtf8(state));
}

// The page asks for the next picture once it has shown the last one, so the answer is a new
// picture or word to ask again a little later; it is never left without one.
void WebMessageHandler::answerPreview(const std::u16string& message) {
    if (message != kPreview && message != kPreviewUnsmoothed) {
        ignore(message, "it asks for no picture the program knows");
        return;
    }
    if (panel_.preview == nullptr) {
        host_.postToPage(std::u16string(kPreviewOff));
        return;
    }
    const auto jpeg = panel_.preview->newJpeg(message == kPreview ? PreviewPicture::smoothed
                                                                  : PreviewPicture::unsmoothed);
    if (!jpeg || jpeg->empty()) {
        host_.postToPage(std::u16string(kPreviewWait));
        return;
    }
    std::u16string answer(kPreviewFrame);
    appendBase64(answer, *jpeg);
    host_.postToPage(answer);
}

void WebMessageHandler::answerCameraState() {
    const std::string state = panel_.camera != nullptr ? panel_.camera->cameraStateText() : "none";
    host_.postToPage(std::u16string(kCameraState) + u":" + utf16FromUtf8(state));
}

void WebMessageHandler::ignore(const std::u16string& message, std::string_view reason) {
    say(message, ": ignored, " + std::string(reason));
}

// A message on the debug output; of one that carries a name, only its command unless the
// user asked for everything with --verbose.
void WebMessageHandler::say(const std::u16string& message, std::string_view remark) {
    for (const std::u16string_view personal : kPersonal) {
        if (!panel_.verbose && message.starts_with(personal)) {
            debug_(utf8FromUtf16(personal) + " (names are shown with --verbose)" +
                   std::string(remark));
            return;
        }
    }
    debug_(echoed(message) + std::string(remark));
}

void WebMessageHandler::chooseCamera(const std::u16string& message) {
    if (message.size() < kCameraNameAt) {
        ignore(message, "it names no camera");
        return;
    }
    const auto name = narrowName(std::u16string_view(message).substr(kCameraNameAt));
    if (!name) {
        ignore(message, "no camera can have that name");
        return;
    }
    control_.requestCamera(*name == kNoCameraName ? kCameraOff : cameraIndex(*name));
}

int WebMessageHandler::cameraIndex(const std::string& name) {
    const auto names = listCameras_();
    for (std::size_t index = 0; index < names.size(); ++index) {
        if (names[index] == name) {
            return static_cast<int>(index);
        }
    }
    return kCameraOff;
}

void WebMessageHandler::setSmoothing(const std::u16string& message) {
    const std::u16string_view text(message);
    const bool on = text.size() >= kSwitchAt + kOn.size() && text.substr(kSwitchAt, 2) == kOn;
    if (!on) {
        say(message);
        control_.requestSmoothOff();
        return;
    }
    const auto level = text.size() > kLevelAt ? parseLevel(text.substr(kLevelAt)) : std::nullopt;
    if (!level) {
        ignore(message, "the level is missing, has no digits or is out of range");
        return;
    }
    say(message);
    control_.requestSmoothOn(*level);
}

}  // namespace velvix
