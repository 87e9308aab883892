// Console reporter that remembers each benchmark's time per iteration so that
// the caller can print how two of them compare.
#pragma once

#include <benchmark/benchmark.h>

#include <cstdio>
#include <map>
#include <string>
#include <vector>

namespace morvane::uvc_stereo::bench {

class RatioReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& reports) override {
    for (const Run& run : reports) {
      if (run.run_type == Run::RT_Iteration && !run.error_occurred) {
        real_ns_[run.run_name.function_name] = run.GetAdjustedRealTime();
      }
    }
    ConsoleReporter::ReportRuns(reports);
  }

  // Prints "<slow> / <fast> time ratio: R" when both ran (the last run of each counts).
  void print_ratio(const std::string& fast, const std::string& slow) const {
    const auto f = real_ns_.find(fast);
    const auto s = real_ns_.find(slow);
    if (f == real_ns_.end() || s == real_ns_.end() || f->second <= 0.0) {
      std::printf("ratio %s vs %s: not measured (filtered out or failed)\n", slow.c_str(), fast.c_str());
      return;
    }
    std::printf("time ratio %s / %s: %.2fx\n", slow.c_str(), fast.c_str(), s->second / f->second);
  }

 private:
  std::map<std::string, double> real_ns_;
};

}  // namespace morvane::uvc_stereo::bench
