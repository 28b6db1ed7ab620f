#include "options.hpp"

#include <charconv>

#include "velvix/pipeline/frame_ring.hpp"

namespace velvix {
namespace {

std::optional<int> positiveNumber(const std::string& text) {
    int value = 0;
    const char* end = text.data() + text.size();
    const auto [rest, error] = std::from_chars(text.data(), end, value);
    if (error != std::errc{} || rest != end || value <= 0) {
        return std::nullopt;
    }
    return value;
}

}  // namespace

std::string appUsage() {
    return "usage: velvix --headless [--run-seconds N] [--ring NAME]\n"
           "  --headless        run without a window\n"
           "  --run-seconds N   stop after N seconds (otherwise on Ctrl+C or SIGTERM)\n"
           "  --ring NAME       name of the shared-memory frame ring (default VelvixShm)\n";
}

ParsedOptions parseAppOptions(const std::vector<std::string>& arguments) {
    ParsedOptions parsed;
    parsed.options.ringName = kRingName;
    auto fail = [&](std::string text) {
        parsed.error = std::move(text);
        return parsed;
    };
    for (std::size_t i = 0; i < arguments.size(); ++i) {
        const std::string& argument = arguments[i];
        const bool hasValue = i + 1 < arguments.size();
        if (argument == "--headless") {
            parsed.options.headless = true;
        } else if (argument == "--help" || argument == "-h") {
            parsed.options.help = true;
        } else if (argument == "--run-seconds") {
            const auto seconds = hasValue ? positiveNumber(arguments[++i]) : std::nullopt;
            if (!seconds) {
                return fail("--run-seconds needs a whole number of seconds above 0");
            }
            parsed.options.runSeconds = seconds;
        } else if (argument == "--ring") {
            if (!hasValue || arguments[i + 1].empty()) {
                return fail("--ring needs a name");
            }
            parsed.options.ringName = arguments[++i];
        } else {
            return fail("unknown option " + argument);
        }
    }
    return parsed;
}

}  // namespace velvix
