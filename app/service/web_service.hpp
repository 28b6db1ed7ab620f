#pragma once

#include <memory>
#include <string>
#include <thread>

namespace velvix {

// The service's pages as the program serves them itself: the sign-up page, the smoothing page,
// the terms of use and their style sheet, on 127.0.0.1 at a port the system picks.
//
// It answers GET and HEAD only, without request bodies, and only requests addressed to its own
// host and port (127.0.0.1 or localhost), so that a web page in the user's browser cannot
// reach it under a name of its own (DNS rebinding). Each connection carries one request, which
// must arrive within a few seconds; a fixed number of connections is served at a time, a few
// more wait, and any beyond those are closed at once.
class BundledService {
  public:
    BundledService();
    ~BundledService();
    BundledService(const BundledService&) = delete;
    BundledService& operator=(const BundledService&) = delete;

    // Binds and starts answering; false when no port could be bound.
    bool start();
    // "http://127.0.0.1:PORT", valid after a successful start.
    std::string origin() const;

  private:
    class Server;
    std::unique_ptr<Server> server_;
    std::jthread thread_;
};

}  // namespace velvix
