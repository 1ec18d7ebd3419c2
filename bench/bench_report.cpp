#include "bench/bench_report.h"

#include <benchmark/benchmark.h>

#include <cstdio>
#include <fstream>
#include <vector>

namespace {

class CollectingReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& run : runs) {
      if (run.error_occurred) {
        std::fprintf(stderr, "%s: %s\n", run.benchmark_name().c_str(), run.error_message.c_str());
      } else if (run.iterations > 0) {
        seconds[run.run_name.function_name] = run.real_accumulated_time / static_cast<double>(run.iterations);
      }
    }
  }
  std::map<std::string, double> seconds;
};

}  // namespace

std::map<std::string, double> RunBenchmarks(int* argc, char** argv) {
  benchmark::Initialize(argc, argv);
  CollectingReporter reporter;
  std::ofstream sink("/dev/null");
  reporter.SetOutputStream(&sink);
  reporter.SetErrorStream(&sink);
  benchmark::RunSpecifiedBenchmarks(&reporter);
  return reporter.seconds;
}
