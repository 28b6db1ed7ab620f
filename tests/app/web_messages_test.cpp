#include "web_messages.hpp"

#include <gtest/gtest.h>

#include <utility>

#include "web_text.hpp"

namespace velvix {
namespace {

class RecordingHost final : public WebHost {
  public:
    void postToPage(const std::u16string& text) override {
        calls.push_back("post " + utf8FromUtf16(text));
    }
    void navigate(const std::string& url) override { calls.push_back("navigate " + url); }
    void openInBrowser(const std::string& url) override { calls.push_back("open " + url); }
    void quit() override { calls.push_back("quit"); }

    std::vector<std::string> calls;
};

// What the frame worker would take over now.
struct Requested {
    int camera;
    bool smoothOn;
    int level;
    int generation;

    friend bool operator==(const Requested&, const Requested&) = default;
};

std::ostream& operator<<(std::ostream& out, const Requested& r) {
    return out << "camera " << r.camera << ", on " << r.smoothOn << ", level " << r.level
               << ", generation " << r.generation;
}

class WebMessagesTest : public ::testing::Test {
  protected:
    Requested requested() {
        const int camera = control.takeOverSettings();
        control.applied.activeCamera = camera;  // as the worker does
        return {camera, control.applied.smoothOn, control.applied.smoothLevel,
                control.applied.seenGeneration};
    }

    void send(const std::u16string& message) { handler.handle(message); }

    ControlBlock control;
    RecordingHost host;
    std::vector<std::string> cameras{"Integrated Camera", "USB Cam", "Cam B", "Cam B"};
    int enumerations = 0;
    std::vector<std::string> debugLines;
    WebMessageHandler handler{
        control, host,
        ServiceAddresses::forOrigin("https://service.test", "https://maker.test/terms-of-use"),
        [this] {
            ++enumerations;
            return cameras;
        },
        [this](std::string_view line) { debugLines.emplace_back(line); }};
};

TEST_F(WebMessagesTest, ChoosesCamerasByNameAndAdvancesTheGenerationEachTime) {
    send(u"velv:CAMERA:Cam B");
    EXPECT_EQ(requested(), (Requested{2, false, 35, 1}));  // the first of two equal names
    send(u"velv:CAMERA:USB Cam");
    EXPECT_EQ(requested(), (Requested{1, false, 35, 2}));
    send(u"velv:CAMERA:USB Cam");
    EXPECT_EQ(requested(), (Requested{1, false, 35, 3}));
    send(u"velv:CAMERA:usb cam");
    EXPECT_EQ(requested(), (Requested{-1, false, 35, 4}));
    send(u"velv:CAMERA:");
    EXPECT_EQ(requested(), (Requested{-1, false, 35, 5}));
    EXPECT_EQ(enumerations, 5);
    send(u"velv:CAMERA:no camera");  // needs no enumeration
    EXPECT_EQ(requested(), (Requested{-1, false, 35, 6}));
    EXPECT_EQ(enumerations, 5);
    EXPECT_TRUE(debugLines.empty());
    EXPECT_TRUE(host.calls.empty());

    // Names are compared byte for byte after the narrow conversion.
    cameras = {"Cam\xe9ra"};
    send(u"velv:CAMERA:Cam\u00e9ra");
    EXPECT_EQ(requested().camera, 0);
}

TEST_F(WebMessagesTest, ReadsTheLevelLikeTheStandardConversion) {
    send(u"velv:SMOOTH:on,35");
    EXPECT_EQ(requested(), (Requested{-2, true, 35, 1}));
    send(u"velv:SMOOTH:on,40abc");
    EXPECT_EQ(requested(), (Requested{-2, true, 40, 2}));
    send(u"velv:SMOOTH:on, 7");
    EXPECT_EQ(requested(), (Requested{-2, true, 7, 3}));
    send(u"velv:SMOOTH:on,-5");
    EXPECT_EQ(requested(), (Requested{-2, true, -5, 4}));
    send(u"velv:SMOOTH:on;+2147483647");
    EXPECT_EQ(requested(), (Requested{-2, true, 2147483647, 5}));
    EXPECT_EQ(debugLines.front(), "velv:SMOOTH:on,35");
    EXPECT_EQ(debugLines.size(), 5u);
}

TEST_F(WebMessagesTest, SwitchesOffKeepingTheLevelAlsoForShortMessages) {
    send(u"velv:SMOOTH:on,60");
    send(u"velv:SMOOTH:off");
    EXPECT_EQ(requested(), (Requested{-2, false, 60, 2}));
    send(u"velv:SMOOTH:on,61");
    send(u"velv:SMOOTH");
    EXPECT_EQ(requested(), (Requested{-2, false, 61, 4}));
    send(u"velv:SMOOTH:o");
    send(u"velv:SMOOTHon,3");  // positions 12 and 13 are "n,": off
    EXPECT_EQ(requested(), (Requested{-2, false, 61, 6}));
}

TEST_F(WebMessagesTest, MalformedMessagesChangeNothingAndLeaveOneDebugLine) {
    send(u"velv:CAMERA:USB Cam");
    send(u"velv:SMOOTH:on,20");
    const Requested before = requested();
    debugLines.clear();
    const std::u16string malformed[] = {
        u"velv:CAMERA",
        u"velv:SMOOTH:on",
        u"velv:SMOOTH:on,",
        u"velv:SMOOTH:on,abc",
        u"velv:SMOOTH:on,-",
        u"velv:SMOOTH:on,2147483648",
        u"velv:SMOOTH:on,-2147483649",
        u"velv:CAMERA:" + std::u16string(256, u'x'),
        u"velv:CAMERA:\u0421am",
        u"velv:SMOOTH:on,x" + std::u16string(5000, u'y'),
        // Longer than any message may be: not even posted back.
        u"velv:LOGIN:" + std::u16string(kMaxWebMessageUnits, u'z'),
        u"hello" + std::u16string(kMaxWebMessageUnits, u'z'),
    };
    for (const auto& message : malformed) {
        const std::size_t lines = debugLines.size();
        send(message);
        EXPECT_EQ(debugLines.size(), lines + 1) << utf8FromUtf16(message);
    }
    EXPECT_EQ(requested(), before);
    EXPECT_TRUE(host.calls.empty());
    EXPECT_EQ(debugLines[0],
              "velv:CAMERA (names are shown with --verbose): ignored, it names no camera");
    EXPECT_EQ(debugLines[8],
              "velv:CAMERA (names are shown with --verbose): ignored, no camera "
              "can have that name");
    EXPECT_EQ(debugLines[11], "web message dropped: it is 65541 characters long, more than 65536");
    // A page cannot fill the log: what a line echoes of a message is cut.
    for (const std::string& line : debugLines) {
        EXPECT_LE(line.size(), kMaxEchoedUnits + 100) << line.substr(0, 100);
    }

    // The longest name that fits is looked up like any other.
    send(u"velv:CAMERA:" + std::u16string(255, u'x'));
    EXPECT_EQ(requested().camera, -1);
    EXPECT_EQ(requested().generation, before.generation + 1);
}

TEST_F(WebMessagesTest, NavigatesOnSignInAndSignOutWithoutTouchingTheSettings) {
    send(u"velv:SMOOTH:on,20");
    const Requested before = requested();
    send(u"velv:LOGIN:someone");
    send(u"velv:LOGOUT:");
    send(u"velv:LOGINX");
    EXPECT_EQ(host.calls, (std::vector<std::string>{"navigate https://service.test/smooth.html",
                                                    "navigate https://service.test/signup.html",
                                                    "navigate https://service.test/smooth.html"}));
    EXPECT_EQ(requested(), before);
    // The user's name reaches the debug output only with --verbose.
    EXPECT_EQ(debugLines.back(), "velv:LOGIN (names are shown with --verbose)");
    WebMessageHandler verbose{control,
                              host,
                              ServiceAddresses::forOrigin("https://s.test"),
                              [this] { return cameras; },
                              [this](std::string_view line) { debugLines.emplace_back(line); },
                              {.verbose = true}};
    verbose.handle(u"velv:LOGOUT:Ada");
    EXPECT_EQ(debugLines.back(), "velv:LOGOUT:Ada");
}

TEST_F(WebMessagesTest, OpensTheTermsAndPostsEverythingElseBack) {
    send(u"velv:TERMS");
    send(u"velv:login");
    send(u"hello");
    send(u"");
    send(u"caf\u00e9 \u2603");
    EXPECT_EQ(host.calls,
              (std::vector<std::string>{"open https://maker.test/terms-of-use", "post velv:login",
                                        "post hello", "post ", "post caf\xC3\xA9 \xE2\x98\x83"}));
    EXPECT_EQ(requested().generation, 0);
}

TEST_F(WebMessagesTest, AnswersThePanelsQuestionsStartsTheSetUpAndQuits) {
    struct Panel final : VirtualCameraPanel {
        std::string stateText() override { return setUps == 0 ? "none" : "setting-up"; }
        void setUp() override { ++setUps; }
        int setUps = 0;
    } panel;
    struct Camera final : CameraStatus {
        std::string cameraStateText() override { return "lost"; }
    } camera;
    WebMessageHandler withPanel{control,
                                host,
                                ServiceAddresses::forOrigin("https://s.test"),
                                [this] { return cameras; },
                                [this](std::string_view line) { debugLines.emplace_back(line); },
                                {&panel, nullptr, &camera}};
    withPanel.handle(u"velv:VCAM:STATE");
    withPanel.handle(u"velv:VCAM:SETUP");
    withPanel.handle(u"velv:VCAM:SETUPX");
    withPanel.handle(u"velv:VCAM");
    withPanel.handle(u"velv:CAM:STATE");
    send(u"velv:VCAM:STATE");  // a handler without a panel: no virtual camera
    send(u"velv:CAM:STATE");   // and no camera
    send(u"velv:QUIT");
    EXPECT_EQ(host.calls, (std::vector<std::string>{
                              "post velv:VCAM:STATE:none", "post velv:VCAM:STATE:setting-up",
                              "post velv:CAM:STATE:lost", "post velv:VCAM:STATE:off",
                              "post velv:CAM:STATE:none", "quit"}));
    EXPECT_EQ(panel.setUps, 1);
    EXPECT_EQ(debugLines.size(), 4u);  // the set-up, the two it did not understand, the quit
    EXPECT_EQ(requested().generation, 0);
}

// The page asks again after every answer, so every request gets one: a picture it has not
// had, word to wait, or word that there is none.
TEST_F(WebMessagesTest, AnswersEachPreviewRequestWithAPictureOrWordToWait) {
    struct Source final : PreviewSource {
        std::optional<std::string> newJpeg(PreviewPicture picture) override {
            asked.push_back(picture);
            return std::exchange(next, std::nullopt);
        }
        std::optional<std::string> next;
        std::vector<PreviewPicture> asked;
    } source;
    WebMessageHandler withPreview{control,
                                  host,
                                  ServiceAddresses::forOrigin("https://s.test"),
                                  [this] { return cameras; },
                                  [this](std::string_view line) { debugLines.emplace_back(line); },
                                  {nullptr, &source}};
    source.next = std::string("\xff\xd8\x00\xfe", 4);
    withPreview.handle(u"velv:PREVIEW");
    withPreview.handle(u"velv:PREVIEW:BEFORE");
    source.next = std::string();  // a picture that could not be encoded
    withPreview.handle(u"velv:PREVIEW");
    withPreview.handle(u"velv:PREVIEW:AFTER");
    send(u"velv:PREVIEW");  // a handler without a preview
    EXPECT_EQ(host.calls,
              (std::vector<std::string>{"post velv:PREVIEW:FRAME:data:image/jpeg;base64,/9gA/g==",
                                        "post velv:PREVIEW:WAIT", "post velv:PREVIEW:WAIT",
                                        "post velv:PREVIEW:OFF"}));
    EXPECT_EQ(source.asked,
              (std::vector<PreviewPicture>{PreviewPicture::smoothed, PreviewPicture::unsmoothed,
                                           PreviewPicture::smoothed}));
    EXPECT_EQ(debugLines.size(), 1u);  // the request it did not understand
    EXPECT_EQ(requested().generation, 0);
}

TEST_F(WebMessagesTest, AnEnumerationThatFailsDropsTheMessage) {
    WebMessageHandler failing{control, host, ServiceAddresses::forOrigin("https://s.test"),
                              []() -> std::vector<std::string> { throw std::bad_alloc(); },
                              [this](std::string_view line) { debugLines.emplace_back(line); }};
    EXPECT_NO_THROW(failing.handle(u"velv:CAMERA:USB Cam"));
    EXPECT_EQ(requested().generation, 0);
    EXPECT_EQ(debugLines.size(), 1u);

    WebMessageHandler strange{control, host, ServiceAddresses::forOrigin("https://s.test"),
                              []() -> std::vector<std::string> { throw 42; },
                              [this](std::string_view line) { debugLines.emplace_back(line); }};
    EXPECT_NO_THROW(strange.handle(u"velv:CAMERA:USB Cam"));
    EXPECT_EQ(debugLines.back(), "web message dropped: unknown error");
    EXPECT_EQ(requested().generation, 0);
}

TEST(WebText, ConvertsBetweenUnitsAndBytes) {
    EXPECT_EQ(unitsFromBytes("A\xe9\xff"), u"A\u00e9\u00ff");
    EXPECT_EQ(utf8FromUtf16(u"\U0001F600"), "\xF0\x9F\x98\x80");
    EXPECT_EQ(utf8FromUtf16(std::u16string(1, char16_t{0xD800})), "\xEF\xBF\xBD");

    // The examples of RFC 4648, and bytes above 127 in every position of a group.
    std::u16string base64;
    for (const std::string_view bytes : {"", "f", "fo", "foo", "foob", "fooba", "foobar"}) {
        appendBase64(base64, bytes);
        base64 += u'|';
    }
    appendBase64(base64, "\xff\xfe\xfd\xfc\x80");
    EXPECT_EQ(base64, u"|Zg==|Zm8=|Zm9v|Zm9vYg==|Zm9vYmE=|Zm9vYmFy|//79/IA=");
}

}  // namespace
}  // namespace velvix
