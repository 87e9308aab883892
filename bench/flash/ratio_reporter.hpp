// Console reporter that remembers each benchmark's best time per iteration
// (over repetitions) so that the caller can print how two of them compare.
// CPU time is reported next to wall time: on a shared machine wall time also
// counts the time other processes held the core.
#pragma once

#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstdio>
#include <map>
#include <string>
#include <vector>

namespace morvane::uvc_stereo::bench {

class RatioReporter : public benchmark::ConsoleReporter {
 public:
  // Colours only on a terminal.
  RatioReporter() : ConsoleReporter(isatty(fileno(stdout)) ? OO_Defaults : OO_Tabular) {}

  // Keeps the median when repetitions are aggregated, else the best single run.
  void ReportRuns(const std::vector<Run>& reports) override {
    for (const Run& run : reports) {
      if (run.error_occurred) continue;
      const std::string& name = run.run_name.function_name;
      if (run.run_type == Run::RT_Aggregate && run.aggregate_name == "median") {
        median_names_[name] = true;
        real_ns_[name] = run.GetAdjustedRealTime();
        cpu_ns_[name] = run.GetAdjustedCPUTime();
      } else if (run.run_type == Run::RT_Iteration && !median_names_.count(name)) {
        keep_min(real_ns_, name, run.GetAdjustedRealTime());
        keep_min(cpu_ns_, name, run.GetAdjustedCPUTime());
      }
    }
    ConsoleReporter::ReportRuns(reports);
  }

  // Prints how many times longer `slow` took than `fast`, by CPU and wall time.
  void print_ratio(const std::string& fast, const std::string& slow) const {
    const auto fr = real_ns_.find(fast);
    const auto sr = real_ns_.find(slow);
    if (fr == real_ns_.end() || sr == real_ns_.end() || fr->second <= 0.0 || cpu_ns_.at(fast) <= 0.0) {
      std::printf("ratio %s / %s: not measured (filtered out or failed)\n", slow.c_str(), fast.c_str());
      return;
    }
    std::printf("ratio %s / %s: %.2fx by CPU time, %.2fx by wall time\n", slow.c_str(), fast.c_str(),
                cpu_ns_.at(slow) / cpu_ns_.at(fast), sr->second / fr->second);
  }

 private:
  using Times = std::map<std::string, double>;
  static void keep_min(Times& times, const std::string& name, double ns) {
    const auto it = times.find(name);
    if (it == times.end() || ns < it->second) times[name] = ns;
  }

  Times real_ns_;
  Times cpu_ns_;
  std::map<std::string, bool> median_names_;
};

}  // namespace morvane::uvc_stereo::bench
