#pragma once

#include <cstdio>

#include "options.hpp"
#include "web_messages.hpp"

namespace velvix {

// Shows what the window would show as lines on an output stream: "post: TEXT",
// "navigate: URL", "open: URL" and "quit:".
class HeadlessHost final : public WebHost {
  public:
    explicit HeadlessHost(std::FILE* out) : out_(out) {}

    void postToPage(const std::u16string& text) override;
    void navigate(const std::string& url) override;
    void openInBrowser(const std::string& url) override;
    void quit() override;
    bool quitting() const { return quitting_; }

  private:
    void writeLine(const std::string& kind, const std::string& text);

    std::FILE* out_;
    bool quitting_ = false;
};

// Runs the frame worker without a window. Each line on standard input is one web message; it
// stops on SIGINT or SIGTERM, after --run-seconds, or at the end of input with --exit-on-eof.
int runHeadless(const AppOptions& options);

}  // namespace velvix
