#pragma once

#include <memory>
#include <string>
#include <thread>

namespace velvix {

// The service's pages as the program serves them itself: the sign-up page, the smoothing page,
// the terms of use and their style sheet, on 127.0.0.1 at a port the system picks.
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
    struct Server;
    std::unique_ptr<Server> server_;
    int port_ = -1;
    std::jthread thread_;
};

}  // namespace velvix
