// Feeds any bytes to the web message handler as one message. The first byte chooses how the
// rest becomes UTF-16: one unit per byte, as the headless host reads its input lines, or one
// unit per pair of bytes, so that every unit a page can post (unpaired surrogates too) comes.
// Every line the handler writes for a person must come out of the escaping without a control
// character.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "velvix/platform/debug_output.hpp"
#include "web_messages.hpp"
#include "web_text.hpp"

namespace {

void checkPrintable(std::string_view text) {
    for (const char byte : velvix::platform::printableLine(text)) {
        const auto unit = static_cast<unsigned char>(byte);
        if (unit < 0x20 || unit == 0x7F) {
            __builtin_trap();
        }
    }
}

class CheckingHost final : public velvix::WebHost {
  public:
    void postToPage(const std::u16string& text) override {
        checkPrintable(velvix::utf8FromUtf16(text));
    }
    void navigate(const std::string& url) override { checkPrintable(url); }
    void openInBrowser(const std::string& url) override { checkPrintable(url); }
    void quit() override {}
};

std::u16string messageOf(const std::uint8_t* data, std::size_t size) {
    if (size == 0) {
        return {};
    }
    const std::string_view rest(reinterpret_cast<const char*>(data + 1), size - 1);
    if (data[0] % 2 == 0) {
        return velvix::unitsFromBytes(rest);
    }
    std::u16string units;
    for (std::size_t i = 0; i + 1 < rest.size(); i += 2) {
        units.push_back(static_cast<char16_t>(static_cast<unsigned char>(rest[i]) |
                                              static_cast<unsigned char>(rest[i + 1]) << 8));
    }
    return units;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    velvix::ControlBlock control;
    CheckingHost host;
    const std::vector<std::string> cameras = {"Integrated Camera", "Test camera: a.png",
                                              "no camera"};
    velvix::WebMessageHandler handler(
        control, host, velvix::ServiceAddresses::forOrigin("http://127.0.0.1:8080"),
        [&cameras] { return cameras; }, [](std::string_view line) { checkPrintable(line); });
    handler.handle(messageOf(data, size));
    const int camera = control.takeOverSettings();
    if (camera < -2 || camera >= static_cast<int>(cameras.size())) {
        __builtin_trap();
    }
    return 0;
}
