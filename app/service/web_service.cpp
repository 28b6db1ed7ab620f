#include "web_service.hpp"

#include <httplib.h>
#ifndef _WIN32
#include <poll.h>
#endif

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
constexpr std::size_t kReadyConnections = 32;
// Connections that have sent nothing yet hold no thread; beyond this many the oldest is closed.
constexpr std::size_t kIdleConnections = 256;
constexpr auto kIdlePoll = std::chrono::milliseconds(10);
constexpr auto kReadTimeout = std::chrono::seconds(2);
constexpr auto kWriteTimeout = std::chrono::seconds(5);
// A whole request (it has no body) must arrive within this time and these many bytes, however
// slowly a client trickles it in; a connection may also wait this long before it starts.
constexpr auto kRequestTime = std::chrono::seconds(5);
constexpr std::size_t kRequestBytes = 16 * 1024;

#ifdef _WIN32
int pollSockets(std::vector<pollfd>& sockets, std::chrono::milliseconds timeout) {
    return WSAPoll(sockets.data(), static_cast<ULONG>(sockets.size()),
                   static_cast<int>(timeout.count()));
}
#else
int pollSockets(std::vector<pollfd>& sockets, std::chrono::milliseconds timeout) {
    return ::poll(sockets.data(), static_cast<nfds_t>(sockets.size()),
                  static_cast<int>(timeout.count()));
}
#endif

// Runs ready connections on a fixed number of threads. They wait for a thread in a short
// queue; one that finds the queue full is closed at once.
class ServingThreads {
  public:
    ServingThreads(std::size_t threads, std::size_t waiting) : waiting_(waiting) {
        for (std::size_t i = 0; i < threads; ++i) {
            threads_.emplace_back([this] { serveConnections(); });
        }
    }
    ~ServingThreads() { stop(); }
    ServingThreads(const ServingThreads&) = delete;
    ServingThreads& operator=(const ServingThreads&) = delete;

    // False when the connection was not taken.
    bool run(std::function<void()> connection) {
        const std::lock_guard lock(mutex_);
        if (stopping_ || queue_.size() >= waiting_) {
            return false;
        }
        queue_.push_back(std::move(connection));
        ready_.notify_one();
        return true;
    }

    void stop() {
        {
            const std::lock_guard lock(mutex_);
            stopping_ = true;
        }
        ready_.notify_all();
        for (std::thread& thread : threads_) {
            thread.join();
        }
        threads_.clear();
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

// Accepted connections wait here, without a thread, until their request starts to arrive, so
// that clients that open connections and send nothing cannot keep the web view's requests
// from being served. When too many wait, the oldest is closed; one that waits longer than a
// request may take is closed too.
class IdleConnections {
  public:
    explicit IdleConnections(std::function<void(socket_t)> ready)
        : ready_(std::move(ready)), thread_([this] { watch(); }) {}
    ~IdleConnections() { stop(); }
    IdleConnections(const IdleConnections&) = delete;
    IdleConnections& operator=(const IdleConnections&) = delete;

    void add(socket_t socket) {
        const std::lock_guard lock(mutex_);
        if (stopping_) {
            httplib::detail::close_socket(socket);
            return;
        }
        if (idle_.size() >= kIdleConnections) {
            httplib::detail::close_socket(idle_.front().socket);
            idle_.pop_front();
        }
        idle_.push_back({socket, nextId_++, Clock::now() + kRequestTime});
        changed_.notify_one();
    }

    void stop() {
        if (!thread_.joinable()) {
            return;
        }
        {
            const std::lock_guard lock(mutex_);
            stopping_ = true;
        }
        changed_.notify_all();
        thread_.join();
        for (const Idle& idle : idle_) {
            httplib::detail::close_socket(idle.socket);
        }
        idle_.clear();
    }

  private:
    struct Idle {
        socket_t socket;
        std::uint64_t id;  // a socket's number may come back for a later connection
        Clock::time_point deadline;
    };

    void watch() {
        std::vector<pollfd> polled;
        std::vector<std::uint64_t> ids;
        for (;;) {
            {
                std::unique_lock lock(mutex_);
                changed_.wait(lock, [this] { return stopping_ || !idle_.empty(); });
                if (stopping_) {
                    return;
                }
                polled.clear();
                ids.clear();
                for (const Idle& idle : idle_) {
                    polled.push_back({idle.socket, POLLIN, 0});
                    ids.push_back(idle.id);
                }
            }
            // New connections join the next round, at most one poll interval later.
            if (pollSockets(polled, kIdlePoll) >= 0) {
                handOver(polled, ids);
            }
        }
    }

    // Ready connections go to be served, closed and expired ones are closed.
    void handOver(const std::vector<pollfd>& polled, const std::vector<std::uint64_t>& ids) {
        std::vector<socket_t> ready;
        {
            const std::lock_guard lock(mutex_);
            const auto now = Clock::now();
            std::erase_if(idle_, [&](const Idle& idle) {
                const auto at = std::find(ids.begin(), ids.end(), idle.id);
                const short events =
                    at == ids.end() ? 0
                                    : polled[static_cast<std::size_t>(at - ids.begin())].revents;
                if ((events & POLLIN) != 0) {
                    ready.push_back(idle.socket);
                } else if (events != 0 || now >= idle.deadline) {
                    httplib::detail::close_socket(idle.socket);
                } else {
                    return false;
                }
                return true;
            });
        }
        for (const socket_t socket : ready) {
            ready_(socket);
        }
    }

    std::function<void(socket_t)> ready_;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::deque<Idle> idle_;
    std::uint64_t nextId_ = 0;
    bool stopping_ = false;
    std::thread thread_;
};

// The server's accept loop hands every connection to this queue, which passes it on at once:
// where it waits and which thread serves it, the server decides (process_and_close_socket).
class HandOnQueue final : public httplib::TaskQueue {
  public:
    explicit HandOnQueue(std::function<void()> stopped) : stopped_(std::move(stopped)) {}
    void enqueue(std::function<void()> connection) override { connection(); }
    void shutdown() override { stopped_(); }

  private:
    std::function<void()> stopped_;
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
        new_task_queue = [this] { return new HandOnQueue([this] { stopServing(); }); };
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

    // Called by the accept loop for each new connection, which waits without a thread until
    // its request starts to arrive.
    bool process_and_close_socket(socket_t socket) override {
        idle_.add(socket);
        return true;
    }

    void serveWhenPossible(socket_t socket) {
        if (!serving_.run([this, socket] { serve(socket); })) {
            httplib::detail::close_socket(socket);
        }
    }

    // One request per connection: the deadline of a request is that of its connection, and a
    // connection ends as soon as it has been answered.
    void serve(socket_t socket) {
        RequestStream stream(socket, svr_sock_);
        bool closed = false;
        process_request(stream, true, closed, nullptr);
        httplib::detail::close_socket(socket);
    }

    void stopServing() {
        idle_.stop();
        serving_.stop();
    }

    int port_ = -1;
    ServingThreads serving_{kServingThreads, kReadyConnections};
    IdleConnections idle_{[this](socket_t socket) { serveWhenPossible(socket); }};
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
