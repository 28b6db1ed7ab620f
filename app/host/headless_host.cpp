#include "headless_host.hpp"

#include <chrono>
#include <thread>

#include "app_core.hpp"
#include "velvix/platform/cpu_info.hpp"
#include "velvix/platform/debug_output.hpp"
#include "velvix/platform/input_lines.hpp"
#include "velvix/platform/log.hpp"
#include "velvix/platform/stop_signals.hpp"
#include "web_text.hpp"

namespace velvix {
namespace {

// How long one wait for input lasts before stop requests are looked at again.
constexpr std::uint32_t kInputWaitMilliseconds = 50;

class RunClock {
  public:
    explicit RunClock(std::optional<int> runSeconds) : runSeconds_(runSeconds) {}
    bool expired() const {
        return runSeconds_ &&
               std::chrono::steady_clock::now() - start_ >= std::chrono::seconds(*runSeconds_);
    }

  private:
    std::optional<int> runSeconds_;
    std::chrono::steady_clock::time_point start_ = std::chrono::steady_clock::now();
};

// Hands each input line to the handler until a stop is due.
void serveMessages(WebMessageHandler& handler, const HeadlessHost& host,
                   platform::StopSignals& signals, const AppOptions& options) {
    platform::InputLines input;
    const RunClock clock(options.runSeconds);
    bool inputOpen = true;
    std::string line;
    while (!clock.expired() && !host.quitting()) {
        if (!inputOpen) {
            if (signals.wait(kInputWaitMilliseconds)) {
                return;
            }
            continue;
        }
        switch (input.next(line, kInputWaitMilliseconds)) {
            case platform::InputLines::Status::line:
                handler.handle(unitsFromBytes(line));
                break;
            case platform::InputLines::Status::ended:
                if (options.exitOnEof) {
                    return;
                }
                inputOpen = false;
                break;
            case platform::InputLines::Status::timeout:
                break;
        }
        if (signals.wait(0)) {
            return;
        }
    }
}

}  // namespace

void HeadlessHost::postToPage(const std::u16string& text) {
    writeLine("post", utf8FromUtf16(text));
}

void HeadlessHost::navigate(const std::string& url) {
    writeLine("navigate", url);
}

void HeadlessHost::openInBrowser(const std::string& url) {
    writeLine("open", url);
}

void HeadlessHost::quit() {
    writeLine("quit", "");
    quitting_ = true;
}

// Control characters from a page must not reach the terminal: the text is escaped as the
// debug output escapes it.
void HeadlessHost::writeLine(const std::string& kind, const std::string& text) {
    std::fprintf(out_, "%s: %s\n", kind.c_str(), platform::printableLine(text).c_str());
    std::fflush(out_);
}

int runHeadless(const AppOptions& options) {
    platform::StopSignals signals;
    AppCore core(options,
                 options.serviceOrigin.empty() ? kDefaultServiceOrigin : options.serviceOrigin);
    HeadlessHost host(stdout);
    WebMessageHandler& handler = core.handleMessagesOf(host);
    core.sayStarted();
    platform::logLine(platform::LogCategory::app, platform::LogSeverity::notice,
                      std::string("velvix: running headless; ") +
                          (hasAVX2 ? "AVX2 available" : "no AVX2") +
                          "; web messages on standard input, one per line; stop with Ctrl+C");
    {
        const FrameService::Threads threads = core.frames.start();
        serveMessages(handler, host, signals, options);
    }
    platform::logLine(platform::LogCategory::app, platform::LogSeverity::notice,
                      "velvix: stopped; " + core.frames.statisticsLine());
    return 0;
}

}  // namespace velvix
