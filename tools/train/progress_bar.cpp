#include "progress_bar.hpp"

#include <algorithm>
#include <cmath>

namespace velvix::train {

std::string ProgressBar::line(double done, double secondsSoFar, int width) {
    done = std::clamp(done, 0.0, 1.0);
    const int filled = static_cast<int>(done * width);
    std::string bar = "[" + std::string(static_cast<std::size_t>(filled), '#') +
                      std::string(static_cast<std::size_t>(width - filled), '.') + "] ";
    bar += std::to_string(static_cast<int>(done * 100.0)) + " %";
    if (done > 0.0) {
        const double left = secondsSoFar * (1.0 - done) / done;
        bar += "  " + std::to_string(static_cast<long>(std::lround(left))) + " s left";
    }
    return bar;
}

void ProgressBar::start(const std::string& label) {
    label_ = label;
    started_ = std::chrono::steady_clock::now();
    show(0.0);
}

void ProgressBar::show(double done) {
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - started_).count();
    std::fprintf(output_, "\r%s %s   ", label_.c_str(), line(done, seconds).c_str());
    std::fflush(output_);
}

void ProgressBar::finish() {
    show(1.0);
    std::fputc('\n', output_);
}

}  // namespace velvix::train
