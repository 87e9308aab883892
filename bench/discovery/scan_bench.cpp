// Scan time against the number of video nodes, with a fake `udevadm` that
// takes 20 ms per run. The udev children of one scan run side by side, so 32
// nodes should cost little more than one.
//
// The platform lists a fake /dev of N names and forwards run_command to the
// real Linux implementation, so each query is a real shell and child process.
#include <sys/resource.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <benchmark/benchmark.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <string>

#include "morvane/uvc_stereo/discovery.hpp"
#include "platform/platform.hpp"
#include "tests/support/forwarding_platform.hpp"

namespace {

namespace platform = morvane::uvc_stereo::platform;

// A child that exists only as a deadline: its output is ready at once and
// waiting for it (close) returns 20 ms after it was started. It isolates how
// the scan overlaps its queries from what starting real processes costs.
class SimulatedChild final : public platform::CommandStream {
 public:
  explicit SimulatedChild(std::string node) : node_(std::move(node)) {
    clock_gettime(CLOCK_MONOTONIC, &deadline_);
    deadline_.tv_nsec += 20'000'000;
    if (deadline_.tv_nsec >= 1'000'000'000) {
      deadline_.tv_nsec -= 1'000'000'000;
      ++deadline_.tv_sec;
    }
  }
  bool read_line(char* buffer, int size) override {
    static const char* const kLines[] = {"ID_VENDOR_ID=0c45\n", "ID_MODEL_ID=0643\n"};
    if (line_ < 2) {
      std::snprintf(buffer, static_cast<std::size_t>(size), "%s", kLines[line_++]);
      return true;
    }
    if (line_ == 2) {
      std::snprintf(buffer, static_cast<std::size_t>(size), "ID_PATH=bench-%s\n", node_.c_str());
      ++line_;
      return true;
    }
    return false;
  }
  int close() override {
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &deadline_, nullptr) == EINTR) {
    }
    return 0;
  }

 private:
  std::string node_;
  timespec deadline_{};
  int line_ = 0;
};

// No USB, no sysfs files and no video nodes (forwarded to a system without
// them); the clock and sleeps are real.
class FakeDevPlatform final : public morvane::uvc_stereo::testing::ForwardingPlatform {
 public:
  FakeDevPlatform(int nodes, bool simulated_children)
      : ForwardingPlatform(morvane::uvc_stereo::testing::no_usb_platform()), simulated_children_(simulated_children) {
    for (int i = 0; i < nodes; ++i) names_.push_back("video" + std::to_string(i));
  }
  bool path_exists(const std::string& path) override { return path == "/dev"; }
  bool list_directory(const std::string& path, std::vector<std::string>& names) override {
    if (path != "/dev") return false;
    names = names_;
    return true;
  }
  std::unique_ptr<platform::CommandStream> run_command(const std::string& command) override {
    if (simulated_children_) return std::make_unique<SimulatedChild>(command.substr(command.rfind('/') + 1));
    return platform::linux_platform().run_command(command);
  }
  int monotonic_time(timespec* now) override { return platform::linux_platform().monotonic_time(now); }
  int sleep(const timespec* request, timespec* remaining) override {
    return platform::linux_platform().sleep(request, remaining);
  }

 private:
  bool simulated_children_;
  std::vector<std::string> names_;
};

void run_scans(benchmark::State& state, bool simulated_children) {
  const int nodes = static_cast<int>(state.range(0));
  FakeDevPlatform fake(nodes, simulated_children);
  platform::ScopedPlatform scope(fake);
  std::size_t found = 0;
  rusage before{};
  getrusage(RUSAGE_CHILDREN, &before);
  for (auto _ : state) {
    auto result = morvane::uvc_stereo::scan_devices();
    if (!result.ok()) {
      state.SkipWithError(result.message.c_str());
      return;
    }
    found = result.value->size();
    benchmark::DoNotOptimize(found);
  }
  if (found != static_cast<std::size_t>(nodes)) {
    state.SkipWithError("the fake udevadm did not answer for every node");
    return;
  }
  // CPU the udevadm children used (shell start-up, exec, sleep): with two
  // cores and other work running, starting 32 of them is what bounds the time.
  rusage after{};
  getrusage(RUSAGE_CHILDREN, &after);
  auto ms = [](const timeval& t) { return t.tv_sec * 1e3 + t.tv_usec / 1e3; };
  double child_cpu = ms(after.ru_utime) + ms(after.ru_stime) - ms(before.ru_utime) - ms(before.ru_stime);
  state.counters["nodes"] = nodes;
  if (!simulated_children)
    state.counters["child_cpu_ms_per_scan"] = child_cpu / static_cast<double>(state.iterations());
}
// Real shell and udevadm processes.
void BM_Scan(benchmark::State& state) { run_scans(state, false); }
// Simulated children: only the scan's own overlapping is measured.
void BM_ScanSimulatedChildren(benchmark::State& state) { run_scans(state, true); }
BENCHMARK(BM_Scan)->Arg(1)->Arg(32)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(10);
BENCHMARK(BM_ScanSimulatedChildren)->Arg(1)->Arg(32)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(10);

// Keeps the real time per iteration of each run so main can print the ratio.
class RatioReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& run : runs) {
      if (!run.error_occurred && run.iterations > 0) times[run.benchmark_name()] = run.GetAdjustedRealTime();
    }
    ConsoleReporter::ReportRuns(runs);
  }
  std::map<std::string, double> times;
};

// Puts the directory of the fake udevadm (a small program that reports one
// supported camera per node, with its own ID_PATH so every node is a camera
// of its own, and takes 20 ms) first on PATH.
bool install_fake_udevadm() {
  const char* old_path = std::getenv("PATH");
  std::string path = std::string(MORVANE_FAKE_UDEVADM_DIR) + ":" + (old_path ? old_path : "/usr/bin:/bin");
  return setenv("PATH", path.c_str(), 1) == 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (!install_fake_udevadm()) {
    std::fprintf(stderr, "cannot install the fake udevadm\n");
    return 1;
  }
  benchmark::Initialize(&argc, argv);
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();

  for (const char* name : {"BM_Scan", "BM_ScanSimulatedChildren"}) {
    auto one = reporter.times.find(std::string(name) + "/1/iterations:10/real_time");
    auto many = reporter.times.find(std::string(name) + "/32/iterations:10/real_time");
    if (one == reporter.times.end() || many == reporter.times.end()) {
      std::printf("%s: ratio not available (a run was filtered out or failed)\n", name);
      continue;
    }
    std::printf("%s: scan of 32 nodes / scan of 1 node = %.2fx (target below 3x; one after the other ~32x)\n", name,
                many->second / one->second);
  }
  return 0;
}
