#include "web_service.hpp"

#include <httplib.h>

#include <string_view>

namespace velvix {

extern const std::string_view kSignUpPage;
extern const std::string_view kSmoothPage;
extern const std::string_view kTermsOfUsePage;
extern const std::string_view kStyleSheet;

struct BundledService::Server {
    httplib::Server http;
};

namespace {

void serve(httplib::Server& http, const char* path, std::string_view body, const char* type) {
    http.Get(path, [body, type](const httplib::Request&, httplib::Response& response) {
        response.set_content(body.data(), body.size(), type);
        response.set_header("Cache-Control", "no-store");
    });
}

}  // namespace

BundledService::BundledService() : server_(std::make_unique<Server>()) {
    httplib::Server& http = server_->http;
    serve(http, "/signup.html", kSignUpPage, "text/html; charset=utf-8");
    serve(http, "/smooth.html", kSmoothPage, "text/html; charset=utf-8");
    serve(http, "/terms-of-use", kTermsOfUsePage, "text/html; charset=utf-8");
    serve(http, "/velvix.css", kStyleSheet, "text/css; charset=utf-8");
    http.Get("/", [](const httplib::Request&, httplib::Response& response) {
        response.set_redirect("/signup.html");
    });
}

BundledService::~BundledService() {
    if (thread_.joinable()) {
        server_->http.stop();
    }
}

bool BundledService::start() {
    port_ = server_->http.bind_to_any_port("127.0.0.1");
    if (port_ <= 0) {
        return false;
    }
    thread_ = std::jthread([this] { server_->http.listen_after_bind(); });
    // stop() only takes effect once the loop runs, so the destructor must not come earlier.
    while (!server_->http.is_running()) {
        std::this_thread::yield();
    }
    return true;
}

std::string BundledService::origin() const {
    return "http://127.0.0.1:" + std::to_string(port_);
}

}  // namespace velvix
