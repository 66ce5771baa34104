// A console reporter that also remembers each benchmark's time per
// iteration, so a benchmark program can print its figures beside the
// baseline measured in the same run.
#pragma once

#include <cstdio>
#include <map>
#include <string>

#include <benchmark/benchmark.h>

namespace pelk::bench {

class RecordingReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& run : runs) {
      if (run.run_type == Run::RT_Iteration && run.iterations > 0) {
        seconds_[run.benchmark_name()] = run.real_accumulated_time / static_cast<double>(run.iterations);
      }
    }
    ConsoleReporter::ReportRuns(runs);
  }
  // Returns the seconds per iteration of the benchmark whose name starts with `prefix`.
  double seconds(const std::string& prefix) const {
    for (const auto& [name, s] : seconds_) {
      if (name.rfind(prefix, 0) == 0) return s;
    }
    return 0;
  }

 private:
  std::map<std::string, double> seconds_;
};

// Runs the registered benchmarks and returns the reporter holding their times.
inline void run_all(int argc, char** argv, RecordingReporter& reporter) {
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks(&reporter);
}

// Prints one figure line: what, ours, baseline, ratio and the target.
inline void print_ratio(const char* what, double ours, double baseline, double target) {
  const double ratio = ours > 0 ? baseline / ours : 0;
  std::printf("%-40s ours %.6g  baseline %.6g  ratio %.1fx  (target >= %.0fx) %s\n", what, ours, baseline, ratio,
              target, ratio >= target ? "MET" : "NOT MET");
}

}  // namespace pelk::bench
