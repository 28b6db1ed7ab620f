#include "page_origin.hpp"

#include <algorithm>
#include <charconv>

namespace velvix {
namespace {

constexpr unsigned kHighestPort = 65535;

std::string lowerCase(std::string_view text) {
    std::string out(text);
    std::transform(out.begin(), out.end(), out.begin(), [](char c) {
        return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
    });
    return out;
}

std::string_view defaultPort(std::string_view scheme) {
    if (scheme == "http") {
        return "80";
    }
    if (scheme == "https") {
        return "443";
    }
    return {};
}

struct HostAndPort {
    std::string_view host;
    std::string_view port;  // empty when the address gives none
    bool valid = false;
};

// The authority without its user information: "host", "host:port", "[v6]" or "[v6]:port".
HostAndPort splitAuthority(std::string_view authority) {
    if (const std::size_t at = authority.rfind('@'); at != std::string_view::npos) {
        authority.remove_prefix(at + 1);
    }
    std::size_t hostEnd = authority.find(':');
    if (authority.starts_with('[')) {
        const std::size_t close = authority.find(']');
        if (close == std::string_view::npos) {
            return {};
        }
        hostEnd = close + 1;
        if (hostEnd < authority.size() && authority[hostEnd] != ':') {
            return {};
        }
    }
    HostAndPort parts;
    parts.host = authority.substr(0, hostEnd);
    if (hostEnd < authority.size()) {
        parts.port = authority.substr(hostEnd + 1);
    }
    parts.valid = !parts.host.empty();
    return parts;
}

// The port as a number without leading zeros; empty when it is not one.
std::string portNumber(std::string_view text) {
    unsigned value = 0;
    const char* end = text.data() + text.size();
    const auto [rest, error] = std::from_chars(text.data(), end, value);
    if (text.empty() || error != std::errc{} || rest != end || value > kHighestPort) {
        return {};
    }
    return std::to_string(value);
}

}  // namespace

std::string webOrigin(std::string_view url) {
    const std::size_t colon = url.find(':');
    if (colon == std::string_view::npos) {
        return {};
    }
    const std::string scheme = lowerCase(url.substr(0, colon));
    const std::string_view schemeDefaultPort = defaultPort(scheme);
    std::string_view rest = url.substr(colon + 1);
    if (schemeDefaultPort.empty() || !rest.starts_with("//")) {
        return {};
    }
    rest.remove_prefix(2);
    // A backslash ends the authority as a slash does in the address parsers of web engines.
    const HostAndPort parts = splitAuthority(rest.substr(0, rest.find_first_of("/?#\\")));
    if (!parts.valid) {
        return {};
    }
    const std::string port = portNumber(parts.port.empty() ? schemeDefaultPort : parts.port);
    if (port.empty()) {
        return {};
    }
    return scheme + "://" + lowerCase(parts.host) + ":" + port;
}

PageOriginPolicy::PageOriginPolicy(std::string_view serviceAddress)
    : origin_(webOrigin(serviceAddress)) {}

bool PageOriginPolicy::isServicePage(std::string_view url) const {
    return !origin_.empty() && webOrigin(url) == origin_;
}

PageOriginPolicy::Navigation PageOriginPolicy::decide(std::string_view url,
                                                      bool followedLink) const {
    if (isServicePage(url)) {
        return Navigation::show;
    }
    if (followedLink && !webOrigin(url).empty()) {
        return Navigation::openInBrowser;
    }
    return Navigation::refuse;
}

bool PageOriginPolicy::talksTo(std::string_view mainFrameUrl, bool fromMainFrame) const {
    return fromMainFrame && isServicePage(mainFrameUrl);
}

}  // namespace velvix
