#include "web_service.hpp"

#include <httplib.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <string_view>
#include <vector>

namespace velvix {

extern const std::string_view kSignUpPage;
extern const std::string_view kSmoothPage;
extern const std::string_view kTermsOfUsePage;
extern const std::string_view kStyleSheet;

namespace {

using Clock = std::chrono::steady_clock;

// The web view asks for four small files; these bounds leave it room and nobody else much.
constexpr std::size_t kServingThreads = 8;
constexpr std::size_t kWaitingConnections = 32;
constexpr auto kReadTimeout = std::chrono::seconds(2);
constexpr auto kWriteTimeout = std::chrono::seconds(5);
// A whole request (it has no body) must arrive within this time and these many bytes, however
// slowly a client trickles it in.
constexpr auto kRequestTime = std::chrono::seconds(5);
constexpr std::size_t kRequestBytes = 16 * 1024;

// Set while the connection queue has a connection closed unserved, on the thread that does it.
thread_local bool tRefusingConnection = false;

// Runs each connection on one of a fixed number of threads. Connections wait for a thread in a
// short queue; one that finds the queue full is closed at once, so that clients that hold their
// connections open cannot pile up without bound.
class ConnectionQueue final : public httplib::TaskQueue {
  public:
    ConnectionQueue(std::size_t threads, std::size_t waiting) : waiting_(waiting) {
        for (std::size_t i = 0; i < threads; ++i) {
            threads_.emplace_back([this] { serveConnections(); });
        }
    }

    void enqueue(std::function<void()> connection) override {
        {
            const std::lock_guard lock(mutex_);
            if (!stopping_ && queue_.size() < waiting_) {
                queue_.push_back(std::move(connection));
                ready_.notify_one();
                return;
            }
        }
        tRefusingConnection = true;
        connection();
        tRefusingConnection = false;
    }

    void shutdown() override {
        {
            const std::lock_guard lock(mutex_);
            stopping_ = true;
        }
        ready_.notify_all();
        for (std::thread& thread : threads_) {
            thread.join();
        }
    }

  private:
    void serveConnections() {
        for (;;) {
            std::function<void()> connection;
            {
                std::unique_lock lock(mutex_);
                ready_.wait(lock, [this] { return stopping_ || !queue_.empty(); });
                if (queue_.empty()) {
                    return;
                }
                connection = std::move(queue_.front());
                queue_.pop_front();
            }
            connection();
        }
    }

    const std::size_t waiting_;
    std::mutex mutex_;
    std::condition_variable ready_;
    std::deque<std::function<void()>> queue_;
    bool stopping_ = false;
    std::vector<std::thread> threads_;
};

// One request on one connection. Each read waits at most the read time-out (the server sets it
// on every connection it accepts); this stream also ends the request when its time or its bytes
// are used up, or when the server stops.
class RequestStream final : public httplib::Stream {
  public:
    RequestStream(socket_t socket, const std::atomic<socket_t>& listener)
        : socket_(socket), listener_(listener) {}

    bool is_readable() const override {
        return bytesLeft_ > 0 && Clock::now() < deadline_ && listener_ != INVALID_SOCKET;
    }
    bool is_writable() const override { return listener_ != INVALID_SOCKET; }

    ssize_t read(char* data, size_t size) override {
        if (!is_readable()) {
            return -1;
        }
        const ssize_t got =
            httplib::detail::read_socket(socket_, data, std::min(size, bytesLeft_), 0);
        if (got > 0) {
            bytesLeft_ -= static_cast<std::size_t>(got);
        }
        return got;
    }

    ssize_t write(const char* data, size_t size) override {
#ifdef MSG_NOSIGNAL
        // A client that went away must not take the program down with SIGPIPE.
        constexpr int kFlags = MSG_NOSIGNAL;
#else
        constexpr int kFlags = 0;
#endif
        return httplib::detail::send_socket(socket_, data, size, kFlags);
    }

    // Every client is on the loopback interface; its address tells nothing.
    void get_remote_ip_and_port(std::string&, int&) const override {}
    void get_local_ip_and_port(std::string&, int&) const override {}
    socket_t socket() const override {
        return socket_;
    }

  private:
    const socket_t socket_;
    const std::atomic<socket_t>& listener_;
    const Clock::time_point deadline_ = Clock::now() + kRequestTime;
    std::size_t bytesLeft_ = kRequestBytes;
};

bool equalsIgnoringCase(std::string_view a, std::string_view b) {
    return std::equal(a.begin(), a.end(), b.begin(), b.end(), [](char x, char y) {
        return std::tolower(static_cast<unsigned char>(x)) ==
               std::tolower(static_cast<unsigned char>(y));
    });
}

bool hasBody(const httplib::Request& request) {
    return request.has_header("Transfer-Encoding") ||
           (request.has_header("Content-Length") &&
            request.get_header_value("Content-Length") != "0");
}

}  // namespace

class BundledService::Server final : public httplib::Server {
  public:
    Server() {
        new_task_queue = [] { return new ConnectionQueue(kServingThreads, kWaitingConnections); };
        set_read_timeout(kReadTimeout);
        set_write_timeout(kWriteTimeout);
        set_pre_routing_handler([this](const httplib::Request& request, httplib::Response& answer) {
            return refuse(request, answer) ? HandlerResponse::Handled : HandlerResponse::Unhandled;
        });
        serve("/signup.html", kSignUpPage, "text/html; charset=utf-8");
        serve("/smooth.html", kSmoothPage, "text/html; charset=utf-8");
        serve("/terms-of-use", kTermsOfUsePage, "text/html; charset=utf-8");
        serve("/velvix.css", kStyleSheet, "text/css; charset=utf-8");
        Get("/", [](const httplib::Request&, httplib::Response& answer) {
            answer.set_redirect("/signup.html");
        });
    }

    bool bind() {
        port_ = bind_to_any_port("127.0.0.1");
        return port_ > 0;
    }
    int port() const { return port_; }

  private:
    void serve(const char* path, std::string_view body, const char* type) {
        Get(path, [body, type](const httplib::Request&, httplib::Response& answer) {
            answer.set_content(body.data(), body.size(), type);
            answer.set_header("Cache-Control", "no-store");
        });
    }

    // Answers what this service does not do, before any body is read; false for requests it
    // serves.
    bool refuse(const httplib::Request& request, httplib::Response& answer) const {
        if (request.method != "GET" && request.method != "HEAD") {
            answer.status = 405;
            answer.set_header("Allow", "GET, HEAD");
        } else if (hasBody(request)) {
            answer.status = 413;
        } else if (!addressedToThisService(request)) {
            answer.status = 421;
        } else {
            return false;
        }
        return true;
    }

    bool addressedToThisService(const httplib::Request& request) const {
        if (request.get_header_value_count("Host") != 1) {
            return false;
        }
        const std::string host = request.get_header_value("Host");
        const std::string port = ":" + std::to_string(port_);
        if (!host.ends_with(port)) {
            return false;
        }
        const std::string_view name = std::string_view(host).substr(0, host.size() - port.size());
        return name == "127.0.0.1" || equalsIgnoringCase(name, "localhost");
    }

    // One request per connection: the deadline of a request is that of its connection, and a
    // connection ends as soon as it has been answered.
    bool process_and_close_socket(socket_t socket) override {
        bool served = false;
        if (!tRefusingConnection) {
            RequestStream stream(socket, svr_sock_);
            bool closed = false;
            served = process_request(stream, true, closed, nullptr);
        }
        httplib::detail::close_socket(socket);
        return served;
    }

    int port_ = -1;
};

BundledService::BundledService() : server_(std::make_unique<Server>()) {}

BundledService::~BundledService() {
    if (thread_.joinable()) {
        server_->stop();
    }
}

bool BundledService::start() {
    if (!server_->bind()) {
        return false;
    }
    thread_ = std::jthread([this] { server_->listen_after_bind(); });
    // stop() only takes effect once the loop runs, so the destructor must not come earlier.
    while (!server_->is_running()) {
        std::this_thread::yield();
    }
    return true;
}

std::string BundledService::origin() const {
    return "http://127.0.0.1:" + std::to_string(server_->port());
}

}  // namespace velvix
