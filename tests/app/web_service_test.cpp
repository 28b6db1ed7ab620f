#include "service/web_service.hpp"

#include <gtest/gtest.h>
// First: on Windows it brings the socket headers and starts Winsock.
#include <httplib.h>
#ifdef _WIN32
#include <winsock2.h>
#else
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>
#endif

#include <chrono>
#include <stop_token>
#include <thread>

#include "test_support.hpp"

namespace velvix {
namespace {

using namespace std::chrono_literals;

// httplib gives the socket type.
#ifdef _WIN32
constexpr int kSendFlags = 0;
const auto close = closesocket;
const auto poll = WSAPoll;
#else
constexpr int kSendFlags = MSG_NOSIGNAL;
#endif

int portOf(const std::string& origin) {
    return std::stoi(origin.substr(origin.rfind(':') + 1));
}

// A client that writes whatever bytes the test gives it.
class RawConnection {
  public:
    explicit RawConnection(int port) : fd_(socket(AF_INET, SOCK_STREAM, 0)) {
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(static_cast<std::uint16_t>(port));
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        connected_ = connect(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    }
    ~RawConnection() { close(fd_); }
    RawConnection(const RawConnection&) = delete;
    RawConnection& operator=(const RawConnection&) = delete;

    bool send(std::string_view text) const {
        return connected_ && ::send(fd_, text.data(), static_cast<int>(text.size()), kSendFlags) ==
                                 static_cast<int>(text.size());
    }

    // What the service sends until it closes the connection or the time is up.
    std::string answer(std::chrono::milliseconds timeout) const {
        std::string received;
        const auto end = std::chrono::steady_clock::now() + timeout;
        char buffer[4096];
        while (waitForInput(end)) {
            const auto got = recv(fd_, buffer, sizeof buffer, 0);
            if (got <= 0) {
                break;
            }
            received.append(buffer, static_cast<std::size_t>(got));
        }
        return received;
    }

    // True when the service has closed the connection without answering, within the time.
    bool closedUnanswered(std::chrono::steady_clock::time_point end) const {
        char byte = 0;
        return waitForInput(end) && recv(fd_, &byte, 1, 0) <= 0;
    }

  private:
    bool waitForInput(std::chrono::steady_clock::time_point end) const {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            end - std::chrono::steady_clock::now());
        pollfd waiting{fd_, POLLIN, 0};
        return poll(&waiting, 1, static_cast<int>(std::max<std::int64_t>(left.count(), 0))) > 0;
    }

    socket_t fd_;
    bool connected_ = false;
};

TEST(BundledService, ServesItsPagesToItsOwnHostOnlyAndNothingButGetAndHead) {
    BundledService service;
    ASSERT_TRUE(service.start());
    ASSERT_TRUE(service.origin().starts_with("http://127.0.0.1:"));
    const std::string port = std::to_string(portOf(service.origin()));
    httplib::Client client(service.origin());
    const auto terms = client.Get("/terms-of-use");
    ASSERT_TRUE(terms);
    EXPECT_EQ(terms->status, 200);
    EXPECT_EQ(terms->get_header_value("Content-Type"), "text/html; charset=utf-8");
    EXPECT_EQ(client.Get("/../etc/passwd")->status, 404);
    EXPECT_EQ(client.Get("/signup.html", {{"Host", "LocalHost:" + port}})->status, 200);

    // Other names for the same address are what a page in the user's browser would use after
    // rebinding its own name to 127.0.0.1.
    for (const std::string& host : std::vector<std::string>{
             "evil.example:" + port, "127.0.0.1:1", "127.0.0.1:" + port + ".evil.example"}) {
        EXPECT_EQ(client.Get("/signup.html", {{"Host", host}})->status, 421) << host;
    }
    const auto post = client.Post("/signup.html", "x", "text/plain");
    EXPECT_EQ(post->status, 405);
    EXPECT_EQ(post->get_header_value("Allow"), "GET, HEAD");

    // Answered from the headers alone, without waiting for (or keeping) a body.
    const std::string target = "/signup.html HTTP/1.1\r\nHost: 127.0.0.1:" + port + "\r\n";
    for (const auto& [request, status] : std::vector<std::pair<std::string, std::string>>{
             {"POST " + target + "Content-Length: 400000000\r\n\r\nabc", "405"},
             {"GET " + target + "Transfer-Encoding: chunked\r\n\r\n1000\r\nabc", "413"},
             {"GET /signup.html HTTP/1.0\r\n\r\n", "421"}}) {
        const RawConnection connection(portOf(service.origin()));
        ASSERT_TRUE(connection.send(request));
        EXPECT_TRUE(connection.answer(10s).starts_with("HTTP/1.1 " + status)) << request;
    }
}

// Sends a request's first line and then one header line a second, as long as it is let.
void trickle(std::stop_token stop, const RawConnection& connection) {
    connection.send("GET /signup.html HTTP/1.1\r\n");
    while (testing::tickUnlessStopped(stop, 1s) && connection.send("X-Slow: 1\r\n")) {
    }
}

TEST(BundledService, KeepsAnsweringWhileSlowAndIdleClientsHoldConnections) {
    BundledService service;
    ASSERT_TRUE(service.start());
    const int port = portOf(service.origin());
    httplib::Client client(service.origin());
    client.set_read_timeout(30s);
    {
        // More of them than the service has threads; without a deadline for the whole request
        // they would hold every thread for as long as they liked.
        std::vector<std::unique_ptr<RawConnection>> slow;
        std::vector<std::jthread> tricklers;
        for (int i = 0; i < 12; ++i) {
            slow.push_back(std::make_unique<RawConnection>(port));
            tricklers.emplace_back(trickle, std::cref(*slow.back()));
        }
        const auto page = client.Get("/signup.html");
        ASSERT_TRUE(page) << httplib::to_string(page.error());
        EXPECT_EQ(page->status, 200);
    }

    // Connections that send nothing hold no thread: the page is served while they stay open,
    // and of more than the service keeps waiting, the oldest are closed first.
    std::vector<std::unique_ptr<RawConnection>> idle;
    for (int i = 0; i < 300; ++i) {
        idle.push_back(std::make_unique<RawConnection>(port));
    }
    const auto page = client.Get("/signup.html");
    ASSERT_TRUE(page) << httplib::to_string(page.error());
    EXPECT_EQ(page->status, 200);
    EXPECT_TRUE(idle.front()->closedUnanswered(std::chrono::steady_clock::now() + 10s));
}

}  // namespace
}  // namespace velvix
