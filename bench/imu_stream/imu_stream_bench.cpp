// The IMU stream and the plain reader side by side, each over the same span
// of virtual time against a clocked virtual IMU with the host read jitter of
// a real UVC driver (0.1 to 2 ms, long-tailed):
//
//   stream_*  ImuStream::next(): error of time_ns against the true sample
//             instant, backward steps, stamps later than the arrival,
//             duplicates, missed samples (reported / silent), CPU per sample;
//   reader_*  Device::read_imu() once per nominal period (on a fixed
//             schedule), as an application
//             without the stream would: error of the midpoint timestamp_ns,
//             and the duplicates and samples it skips without noticing.
//
// Then a table of conditions (tests/support/imu_conditions: the project's own
// cases, rates, drifts, drift over time, late replies, slow starts and reads,
// pauses, device clock steps), each streamed once and judged against the
// virtual IMU's truth, beside the plain reader's p99 under the same
// condition as the baseline.
//
// Run: bench_imu_stream --benchmark_counters_tabular=true
// MORVANE_BENCH_IMU_SECONDS sets the virtual span (default 3600);
// MORVANE_BENCH_IMU_TABLE=0 leaves the table out.
#include <benchmark/benchmark.h>
#include <time.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "emulator/simulated_camera.hpp"
#include "morvane/uvc_stereo/device.hpp"
#include "morvane/uvc_stereo/imu_stream.hpp"
#include "support/imu_conditions.hpp"
#include "support/virtual_camera_fixture.hpp"

namespace {

using namespace morvane::uvc_stereo;
namespace emu = morvane::emulator;

double virtual_seconds() {
  const char* text = std::getenv("MORVANE_BENCH_IMU_SECONDS");
  const double s = text ? std::atof(text) : 3600.0;
  return s > 1 ? s : 3600.0;
}

std::uint64_t thread_cpu_ns() {
  timespec ts{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return static_cast<std::uint64_t>(ts.tv_sec) * 1000000000ULL + static_cast<std::uint64_t>(ts.tv_nsec);
}

emu::CameraConfig camera(double rate_hz, double drift_ppm, emu::ImuReadMode mode) {
  emu::CameraConfig config = morvane::testing::default_camera_config();
  config.imu = emu::realistic_imu_config();
  config.imu.rate_hz = rate_hz;
  config.imu.drift_ppm = drift_ppm;
  config.imu.read_mode = mode;
  return config;
}

Device open_camera() {
  OpenDeviceOptions options;
  options.required_capabilities = 0;
  return std::move(
      *open_device(morvane::testing::camera_record(morvane::testing::default_camera_config()), options).value);
}

struct Errors {
  std::vector<float> abs_us;      // |stamp - truth| in microseconds
  std::vector<float> settled_us;  // the same after the first 10 s
  double quantile(double q) {
    if (abs_us.empty()) return 0;
    auto at = abs_us.begin() + static_cast<std::ptrdiff_t>(q * static_cast<double>(abs_us.size() - 1));
    std::nth_element(abs_us.begin(), at, abs_us.end());
    return *at;
  }
  std::uint64_t over(double us) const {
    return static_cast<std::uint64_t>(std::count_if(abs_us.begin(), abs_us.end(), [us](float e) { return e > us; }));
  }
  double max() const { return abs_us.empty() ? 0 : *std::max_element(abs_us.begin(), abs_us.end()); }
  double settled_max() const {
    return settled_us.empty() ? 0 : *std::max_element(settled_us.begin(), settled_us.end());
  }
  void add(std::uint64_t stamp, std::uint64_t truth, bool settled) {
    const float e = static_cast<float>(std::fabs(static_cast<double>(stamp) - static_cast<double>(truth)) / 1e3);
    abs_us.push_back(e);
    if (settled) settled_us.push_back(e);
  }
};

void BM_ImuStream(benchmark::State& state) {
  const double rate = static_cast<double>(state.range(0));
  const double drift = static_cast<double>(state.range(1));
  const auto mode = state.range(2) == 0 ? emu::ImuReadMode::latest : emu::ImuReadMode::queue;
  const double seconds = virtual_seconds();
  const double period_ticks = 1e6 / rate;

  for (auto _ : state) {
    // ---- The stream.
    Errors stream_errors;
    std::uint64_t backward = 0, later = 0, duplicates = 0, missed = 0, silent = 0, wraps = 0, samples = 0;
    std::uint64_t cpu = 0;
    double drift_estimate = 0;
    {
      morvane::testing::VirtualCameraRig rig({camera(rate, drift, mode)});
      Device device = open_camera();
      ImuStream stream = std::move(*open_imu_stream(device).value);
      std::uint64_t cpu_start = thread_cpu_ns();
      Result<ImuStreamSample> first = stream.next();
      cpu += thread_cpu_ns() - cpu_start;
      // The stream may read ahead before its first sample: go back from the
      // latest sample the device returned by the counter distance.
      const emu::ImuSampleTruth last = *rig.camera().imu_last_reply_truth();
      const std::uint32_t ahead = (last.counter - first.value->raw.sensor_timestamp) & 0xFFFFF;
      const std::uint64_t first_index = last.index - static_cast<std::uint64_t>(std::llround(ahead / period_ticks));
      ImuStreamSample previous = *first.value;
      std::uint64_t previous_index = first_index;
      const std::uint64_t start = previous.host_ns;
      const std::uint64_t end = start + static_cast<std::uint64_t>(seconds * 1e9);
      samples = 1;
      while (previous.host_ns < end) {
        cpu_start = thread_cpu_ns();
        Result<ImuStreamSample> got = stream.next();
        cpu += thread_cpu_ns() - cpu_start;
        if (!got.ok()) {
          state.SkipWithError(got.message.c_str());
          return;
        }
        const ImuStreamSample& s = *got.value;
        const std::uint64_t ticks = s.device_counter - first.value->device_counter;
        const auto index = first_index + static_cast<std::uint64_t>(std::llround(ticks / period_ticks));
        const emu::ImuSampleTruth truth = rig.camera().imu_sample_truth(index);
        stream_errors.add(s.time_ns, truth.taken_ns, s.host_ns > start + 10'000'000'000ULL);
        backward += s.time_ns < previous.time_ns;
        later += s.time_ns > s.host_ns;
        duplicates += index <= previous_index;
        if (index > previous_index) {
          missed += index - previous_index - 1;
          silent += index - previous_index - 1 - std::min(s.missed_before, index - previous_index - 1);
        }
        wraps += (s.device_counter >> 20) != (previous.device_counter >> 20);
        previous = s;
        previous_index = index;
        ++samples;
        if (samples % 20000 == 0) rig.camera().clear_logs();
      }
      drift_estimate = stream.clock_estimate().drift_ppm;
    }

    // ---- The plain reader, one read per nominal period.
    Errors reader_errors;
    std::uint64_t reader_dups = 0, reader_skipped = 0, reader_reads = 0;
    {
      morvane::testing::VirtualCameraRig rig({camera(rate, drift, mode)});
      Device device = open_camera();
      if (!device.open_imu().ok()) {
        state.SkipWithError("open_imu failed");
        return;
      }
      const std::uint64_t period_ns = static_cast<std::uint64_t>(1e9 / rate);
      const std::uint64_t start = rig.clock().now_ns();
      const std::uint64_t end = start + static_cast<std::uint64_t>(seconds * 1e9);
      std::uint64_t previous_index = 0;
      bool have = false;
      while (rig.clock().now_ns() < end) {
        Result<ReadImuResult> raw = device.read_imu();
        if (!raw.ok()) {
          state.SkipWithError(raw.message.c_str());
          return;
        }
        ++reader_reads;
        const emu::ImuSampleTruth truth = *rig.camera().imu_last_reply_truth();
        reader_errors.add(raw.value->timestamp_ns, truth.taken_ns, rig.clock().now_ns() > start + 10'000'000'000ULL);
        if (have && truth.index == previous_index) ++reader_dups;
        if (have && truth.index > previous_index + 1) reader_skipped += truth.index - previous_index - 1;
        previous_index = truth.index;
        have = true;
        // The application sleeps until its next deadline on a fixed schedule.
        const std::uint64_t deadline = start + reader_reads * period_ns;
        if (deadline > rig.clock().now_ns()) rig.clock().advance_ns(deadline - rig.clock().now_ns());
        if (reader_reads % 20000 == 0) rig.camera().clear_logs();
      }
    }

    const double stream_p99 = stream_errors.quantile(0.99);
    const double reader_p99 = reader_errors.quantile(0.99);
    state.counters["wraps"] = static_cast<double>(wraps);
    state.counters["samples"] = static_cast<double>(samples);
    state.counters["stream_p50_us"] = stream_errors.quantile(0.5);
    state.counters["stream_p99_us"] = stream_p99;
    state.counters["stream_max_us"] = stream_errors.max();
    state.counters["stream_max10s_us"] = stream_errors.settled_max();
    state.counters["stream_over200us"] = static_cast<double>(stream_errors.over(200));
    state.counters["stream_back"] = static_cast<double>(backward);
    state.counters["stream_later"] = static_cast<double>(later);
    state.counters["stream_dup"] = static_cast<double>(duplicates);
    state.counters["stream_missed"] = static_cast<double>(missed);
    state.counters["stream_silent"] = static_cast<double>(silent);
    state.counters["stream_cpu_us"] = static_cast<double>(cpu) / 1e3 / static_cast<double>(samples);
    state.counters["core_pct"] = static_cast<double>(cpu) / 1e9 / seconds * 100;
    state.counters["drift_est"] = drift_estimate;
    state.counters["reader_p50_us"] = reader_errors.quantile(0.5);
    state.counters["reader_p99_us"] = reader_p99;
    state.counters["reader_max_us"] = reader_errors.max();
    state.counters["reader_dup"] = static_cast<double>(reader_dups);
    state.counters["reader_silent"] = static_cast<double>(reader_skipped);
    state.counters["p99_ratio"] = stream_p99 > 0 ? reader_p99 / stream_p99 : 0;
  }
}

// rate (Hz), drift (ppm), read behaviour (0 latest, 1 queue).
BENCHMARK(BM_ImuStream)
    ->ArgNames({"hz", "ppm", "queue"})
    ->ArgsProduct({{200, 1000}, {80, -150}, {0, 1}})
    ->Iterations(1)
    ->Unit(benchmark::kSecond);

// The plain reader under a condition: read_imu() once per nominal period
// for the same span; p99 of |midpoint - truth| in microseconds.
double reader_p99_us(const morvane::testing::ImuCondition& c) {
  emu::CameraConfig config = morvane::testing::default_camera_config();
  config.imu = c.imu;
  morvane::testing::VirtualCameraRig rig({config});
  Device device = open_camera();
  if (!device.open_imu().ok()) return -1;
  Errors errors;
  const std::uint64_t period_ns = static_cast<std::uint64_t>(1e9 / c.imu.rate_hz);
  const std::uint64_t start = rig.clock().now_ns();
  const std::uint64_t end = start + static_cast<std::uint64_t>(c.seconds * 1e9);
  for (std::uint64_t reads = 1; rig.clock().now_ns() < end; ++reads) {
    Result<ReadImuResult> raw = device.read_imu();
    if (!raw.ok()) return -1;
    errors.add(raw.value->timestamp_ns, rig.camera().imu_last_reply_truth()->taken_ns, false);
    const std::uint64_t deadline = start + reads * period_ns;
    if (deadline > rig.clock().now_ns()) rig.clock().advance_ns(deadline - rig.clock().now_ns());
    if (reads % 20000 == 0) rig.camera().clear_logs();
  }
  return errors.quantile(0.99);
}

void print_conditions_table() {
  std::printf(
      "\nIMU stream under scripted conditions (errors in us against the device's truth; settled: after 10 s and "
      "outside a disturbance and the 3 s after it)\n");
  std::printf("%-32s %8s %8s %9s %8s %8s %4s %4s %4s %8s %7s %6s %7s %6s %6s %9s %6s %6s %9s\n", "condition", "p50",
              "p99", "max", "set_p99", "set_max", "back", "aftr", "dup", "missed", "phantom", "silent", "flagged",
              "ovrcnf", "beyond", "drift_est", "locked", "core%", "reader99");
  for (const morvane::testing::ImuCondition& c : morvane::testing::imu_conditions()) {
    const morvane::testing::ImuRunResult r = morvane::testing::run_imu_condition(c);
    if (!r.failure.empty()) {
      std::printf("%-32s failed: %s\n", c.name.c_str(), r.failure.c_str());
      continue;
    }
    const double core = r.streamed_s > 0 ? static_cast<double>(r.cpu_ns) / 1e9 / r.streamed_s * 100 : 0;
    std::printf(
        "%-32s %8.1f %8.1f %9.1f %8.1f %8.1f %4llu %4llu %4llu %8llu %7llu %6llu %3llu/%-3llu %6llu %6llu %9.1f %6s "
        "%6.3f %9.1f\n",
        c.name.c_str(), r.p50_us, r.p99_us, r.max_us, r.settled_p99_us, r.settled_max_us,
        static_cast<unsigned long long>(r.backward), static_cast<unsigned long long>(r.after_arrival),
        static_cast<unsigned long long>(r.duplicates), static_cast<unsigned long long>(r.missed),
        static_cast<unsigned long long>(r.phantom), static_cast<unsigned long long>(r.silent),
        static_cast<unsigned long long>(r.flagged), static_cast<unsigned long long>(r.flagged_missed),
        static_cast<unsigned long long>(r.overconfident), static_cast<unsigned long long>(r.beyond_band), r.drift_ppm,
        r.rate_locked ? "yes" : "no", core, reader_p99_us(c));
    std::fflush(stdout);
  }
  std::printf(
      "flagged: samples with discontinuity set / device samples missed before them (unknown to the stream); "
      "ovrcnf: samples off by more than 2 x uncertainty + 100 us while rate_locked; beyond: settled samples off by "
      "more than the uncertainty (plus the condition's slack) while rate_locked; core%%: thread CPU in next() "
      "per second streamed, the virtual camera's own work included; reader99: the plain reader's p99 under the "
      "same condition\n\n");
}

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  const char* table = std::getenv("MORVANE_BENCH_IMU_TABLE");
  if (table == nullptr || std::string(table) != "0") print_conditions_table();
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
