#include "web_messages.hpp"

#include <gtest/gtest.h>

#include <functional>
#include <tuple>
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

// What the frame worker would take over now: camera, smoothing on, level, generation.
using Requested = std::tuple<int, bool, int, int>;

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

// Each message advances the generation, so that the worker takes it over even when it repeats
// the last one.
TEST_F(WebMessagesTest, ChoosesCamerasByNameAndReadsTheSwitchAndLevelLikeTheStandardConversion) {
    struct Row {
        std::u16string message;
        Requested after;
    };
    const Row rows[] = {
        {u"velv:CAMERA:Cam B", {2, false, 35, 1}},  // the first of two equal names
        {u"velv:CAMERA:USB Cam", {1, false, 35, 2}},
        {u"velv:CAMERA:USB Cam", {1, false, 35, 3}},
        {u"velv:CAMERA:usb cam", {-1, false, 35, 4}},
        {u"velv:CAMERA:no camera", {-1, false, 35, 5}},  // needs no enumeration
        {u"velv:SMOOTH:on,35", {-1, true, 35, 6}},
        {u"velv:SMOOTH:on,40abc", {-1, true, 40, 7}},
        {u"velv:SMOOTH:on;+2147483647", {-1, true, 2147483647, 8}},
        // Off keeps the level, also for short messages.
        {u"velv:SMOOTH:on,60", {-1, true, 60, 9}},
        {u"velv:SMOOTH:off", {-1, false, 60, 10}},
        {u"velv:SMOOTH:on,61", {-1, true, 61, 11}},
        {u"velv:SMOOTH", {-1, false, 61, 12}},
        {u"velv:SMOOTHon,3", {-1, false, 61, 13}},  // positions 12 and 13 are "n,": off
    };
    for (const Row& row : rows) {
        send(row.message);
        EXPECT_EQ(requested(), row.after) << utf8FromUtf16(row.message);
    }
    EXPECT_EQ(enumerations, 4);
    EXPECT_EQ(debugLines.front(), "velv:SMOOTH:on,35");  // cameras leave no line
    EXPECT_TRUE(host.calls.empty());
}

TEST_F(WebMessagesTest, MalformedMessagesChangeNothingAndLeaveOneDebugLine) {
    send(u"velv:CAMERA:USB Cam");
    send(u"velv:SMOOTH:on,20");
    const Requested before = requested();
    debugLines.clear();
    const std::u16string malformed[] = {
        u"velv:CAMERA",
        u"velv:SMOOTH:on,",
        u"velv:SMOOTH:on,abc",
        u"velv:SMOOTH:on,2147483648",
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
    EXPECT_EQ(debugLines[8], "web message dropped: it is 65541 characters long, more than 65536");
    // A page cannot fill the log: what a line echoes of a message is cut.
    for (const std::string& line : debugLines) {
        EXPECT_LE(line.size(), kMaxEchoedUnits + 100) << line.substr(0, 100);
    }
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
    withPreview.handle(u"velv:PREVIEW:AFTER");
    send(u"velv:PREVIEW");  // a handler without a preview
    EXPECT_EQ(host.calls,
              (std::vector<std::string>{"post velv:PREVIEW:FRAME:data:image/jpeg;base64,/9gA/g==",
                                        "post velv:PREVIEW:WAIT", "post velv:PREVIEW:OFF"}));
    EXPECT_EQ(source.asked,
              (std::vector<PreviewPicture>{PreviewPicture::smoothed, PreviewPicture::unsmoothed}));
    EXPECT_EQ(debugLines.size(), 1u);  // the request it did not understand
    EXPECT_EQ(std::get<3>(requested()), 0);
}

TEST_F(WebMessagesTest, AnEnumerationThatThrowsDropsTheMessage) {
    using Enumeration = std::function<std::vector<std::string>()>;
    for (const Enumeration& enumerate :
         {Enumeration([]() -> std::vector<std::string> { throw std::bad_alloc(); }),
          Enumeration([]() -> std::vector<std::string> { throw 42; })}) {
        WebMessageHandler failing{control, host, ServiceAddresses::forOrigin("https://s.test"),
                                  enumerate,
                                  [this](std::string_view line) { debugLines.emplace_back(line); }};
        EXPECT_NO_THROW(failing.handle(u"velv:CAMERA:USB Cam"));
    }
    EXPECT_EQ(debugLines.size(), 2u);
    EXPECT_EQ(debugLines.back(), "web message dropped: unknown error");
    EXPECT_EQ(std::get<3>(requested()), 0);
}

TEST(WebText, WritesBase64AsRfc4648Does) {
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
