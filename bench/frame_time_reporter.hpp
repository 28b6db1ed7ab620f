#pragma once

#include <benchmark/benchmark.h>

#include <functional>
#include <map>
#include <string>
#include <utility>
#include <vector>

namespace velvix::bench {

// Prints the usual table, then hands the real time per iteration of each benchmark that ran
// without error, in nanoseconds by benchmark name, to a summary of the program's own.
class FrameTimeReporter : public benchmark::ConsoleReporter {
  public:
    using Summary = std::function<void(const std::map<std::string, double>& nanoseconds)>;

    explicit FrameTimeReporter(Summary summary) : summary_(std::move(summary)) {}

    void ReportRuns(const std::vector<Run>& runs) override {
        ConsoleReporter::ReportRuns(runs);
        for (const auto& run : runs) {
            if (!run.error_occurred) {
                nanoseconds_[run.benchmark_name()] =
                    run.GetAdjustedRealTime() * 1e3;  // the tables are in microseconds
            }
        }
    }

    void Finalize() override {
        ConsoleReporter::Finalize();
        summary_(nanoseconds_);
    }

  private:
    Summary summary_;
    std::map<std::string, double> nanoseconds_;
};

// Runs the benchmarks the command line selects and reports them with the summary.
inline int runBenchmarks(int argc, char** argv, FrameTimeReporter::Summary summary) {
    benchmark::Initialize(&argc, argv);
    FrameTimeReporter reporter(std::move(summary));
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    return 0;
}

}  // namespace velvix::bench
