#pragma once

#include <chrono>
#include <cstdio>
#include <string>

namespace velvix::train {

// One line per stage on standard error, redrawn in place: a bar, the share done and an
// estimate of the time left from the pace so far.
class ProgressBar {
  public:
    explicit ProgressBar(std::FILE* output) : output_(output) {}

    void start(const std::string& label);
    void show(double done);
    void finish();

    // "[#####.....]  50 %  12 s left" for `done` between 0 and 1.
    static std::string line(double done, double secondsSoFar, int width = 30);

  private:
    std::FILE* output_;
    std::string label_;
    std::chrono::steady_clock::time_point started_;
};

}  // namespace velvix::train
