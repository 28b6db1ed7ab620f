#pragma once

#include <string>
#include <string_view>

namespace velvix {

// The origin of an http or https address: scheme and host in lower case and the port, the
// scheme's default filled in ("http://127.0.0.1:8080", "https://app.example:443"). Empty for
// any other address, and for one whose host or port cannot be read.
std::string webOrigin(std::string_view url);

// Which pages may talk to the program: only those of the service's own origin. The pages can
// change the camera, the smoothing and open addresses in the browser, and the page setup script
// hands them the names of the user's cameras, so no other page may get that far.
class PageOriginPolicy {
  public:
    // `serviceAddress` is the service's origin or any address on it.
    explicit PageOriginPolicy(std::string_view serviceAddress);

    enum class Navigation {
        show,           // a page of the service
        openInBrowser,  // a link the user followed to another web site
        refuse,         // everything else: other origins, other schemes
    };

    // What the web view does with a navigation of its main frame or of a sub-frame to `url`.
    // `followedLink`: the user clicked a link to it.
    Navigation decide(std::string_view url, bool followedLink) const;

    // Messages are taken from a page, the page setup script runs in it and messages are posted
    // back to it only while its main frame shows a page of the service, and only for the main
    // frame.
    bool talksTo(std::string_view mainFrameUrl, bool fromMainFrame = true) const;

    bool isServicePage(std::string_view url) const;
    const std::string& origin() const { return origin_; }

  private:
    std::string origin_;
};

}  // namespace velvix
