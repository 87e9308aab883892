// The imu subcommand: IMU samples as a table, CSV or JSON, then a summary.
#include <algorithm>
#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <iostream>
#include <nlohmann/json.hpp>
#include <vector>

#include "command_support.hpp"
#include "commands.hpp"
#include "tool.hpp"

namespace morvane::tool {

namespace us = uvc_stereo;
using nlohmann::ordered_json;

namespace {

constexpr long kMaxImuCount = 10000000;
constexpr long kMaxImuSeconds = 86400;
// The table's note on a sample whose stamps were re-anchored.
constexpr const char* kDiscontinuityNote = "  discontinuity";

}  // namespace

int cmd_imu(const GlobalOptions& g, const ImuOptions& options) {
  if (options.format != "table" && options.format != "csv" && options.format != "json")
    return report({kExitUsage, "--format must be table, csv or json"});
  if (!(options.rate_hz == 0 || (options.rate_hz >= 1 && options.rate_hz <= 10000)))
    return report({kExitUsage, "--rate must be 0 (measure it) or 1 to 10000 Hz"});
  if (options.count < 0 || options.count > kMaxImuCount)
    return report({kExitUsage, "--count must be 0 to " + std::to_string(kMaxImuCount)});
  if (!std::isfinite(options.duration_s) || options.duration_s < 0 || options.duration_s > kMaxImuSeconds)
    return report({kExitUsage, "--duration must be a number of seconds from 0 to " + std::to_string(kMaxImuSeconds)});
  // Opening the IMU checks the firmware, a flash operation.
  auto selection = pick_for_flash(g);
  if (!selection.device) return report(selection.error);
  auto device = open_untouched(*selection.device);
  if (!device.ok()) return report(sdk_error(device));
  us::ImuStreamOptions stream_options;
  stream_options.sample_rate_hz = options.rate_hz;
  auto opened = us::open_imu_stream(*device.value, stream_options);
  if (!opened.ok()) return report(with_permission_hint(sdk_error(opened), g, *selection.device));
  us::ImuStream& stream = *opened.value;

  long count = options.count;
  if (count <= 0 && options.duration_s <= 0) count = 10;
  const std::uint64_t duration_ns = static_cast<std::uint64_t>(options.duration_s * 1e9);
  // Bounds a duration-only run even if the clock stalls.
  const long limit = count > 0 ? count : kMaxImuCount;

  std::uint64_t first_ns = 0, last_ns = 0, first_counter = 0, last_counter = 0;
  std::vector<double> intervals_ms;
  ordered_json samples = ordered_json::array();
  bool csv = options.format == "csv", json = options.format == "json";
  if (csv) {
    std::printf(options.raw
                    ? "index,host_ns,device_counter,temperature,ax,ay,az,gx,gy,gz,time_ns,missed_before,discontinuity\n"
                    : "index,host_ns,device_counter,temperature_c,ax_g,ay_g,az_g,gx_dps,gy_dps,gz_dps,time_ns,"
                      "missed_before,discontinuity\n");
  } else if (!json) {
    std::printf("%6s %20s %20s %10s %9s %10s %10s %10s %10s %10s %10s  %s\n", "#", "time_ns", "host_ns", "counter",
                options.raw ? "temp" : "temp_c", options.raw ? "ax" : "ax_g", options.raw ? "ay" : "ay_g",
                options.raw ? "az" : "az_g", options.raw ? "gx" : "gx_dps", options.raw ? "gy" : "gy_dps",
                options.raw ? "gz" : "gz_dps", "note");
  }

  long n = 0;
  for (; n < limit; ++n) {
    auto next = stream.next();
    if (!next.ok()) return report(sdk_error(next));
    const us::ImuStreamSample& sample = *next.value;
    const auto& raw = sample.raw;
    const auto& s = sample.value;
    if (n == 0) {
      first_ns = sample.time_ns;
      first_counter = sample.device_counter;
    } else {
      intervals_ms.push_back(static_cast<double>(sample.time_ns - last_ns) / 1e6);
    }
    last_ns = sample.time_ns;
    last_counter = sample.device_counter;
    if (json) {
      ordered_json item{{"index", n},
                        {"host_ns", sample.host_ns},
                        {"time_ns", sample.time_ns},
                        {"device_counter", sample.device_counter},
                        {"device_counter_raw", raw.sensor_timestamp},
                        {"missed_before", sample.missed_before},
                        {"discontinuity", sample.discontinuity}};
      if (options.raw) {
        item["temperature_raw"] = raw.temperature_raw;
        item["accel_raw"] = {raw.accel_raw[0], raw.accel_raw[1], raw.accel_raw[2]};
        item["gyro_raw"] = {raw.gyro_raw[0], raw.gyro_raw[1], raw.gyro_raw[2]};
      } else {
        item["temperature_c"] = s.temperature_c;
        item["accel_g"] = {s.accel_g[0], s.accel_g[1], s.accel_g[2]};
        item["gyro_dps"] = {s.gyro_dps[0], s.gyro_dps[1], s.gyro_dps[2]};
      }
      samples.push_back(item);
    } else if (csv) {
      if (options.raw) {
        std::printf("%ld,%" PRIu64 ",%" PRIu64 ",%d,%d,%d,%d,%d,%d,%d,%" PRIu64 ",%" PRIu64 ",%d\n", n, sample.host_ns,
                    sample.device_counter, raw.temperature_raw, raw.accel_raw[0], raw.accel_raw[1], raw.accel_raw[2],
                    raw.gyro_raw[0], raw.gyro_raw[1], raw.gyro_raw[2], sample.time_ns, sample.missed_before,
                    sample.discontinuity ? 1 : 0);
      } else {
        std::printf("%ld,%" PRIu64 ",%" PRIu64 ",%.4f,%.6f,%.6f,%.6f,%.4f,%.4f,%.4f,%" PRIu64 ",%" PRIu64 ",%d\n", n,
                    sample.host_ns, sample.device_counter, s.temperature_c, s.accel_g[0], s.accel_g[1], s.accel_g[2],
                    s.gyro_dps[0], s.gyro_dps[1], s.gyro_dps[2], sample.time_ns, sample.missed_before,
                    sample.discontinuity ? 1 : 0);
      }
    } else if (options.raw) {
      std::printf("%6ld %20" PRIu64 " %20" PRIu64 " %10" PRIu64 " %9d %10d %10d %10d %10d %10d %10d%s\n", n,
                  sample.time_ns, sample.host_ns, sample.device_counter, raw.temperature_raw, raw.accel_raw[0],
                  raw.accel_raw[1], raw.accel_raw[2], raw.gyro_raw[0], raw.gyro_raw[1], raw.gyro_raw[2],
                  sample.discontinuity ? kDiscontinuityNote : "");
    } else {
      std::printf("%6ld %20" PRIu64 " %20" PRIu64 " %10" PRIu64 " %9.3f %10.5f %10.5f %10.5f %10.3f %10.3f %10.3f%s\n",
                  n, sample.time_ns, sample.host_ns, sample.device_counter, s.temperature_c, s.accel_g[0], s.accel_g[1],
                  s.accel_g[2], s.gyro_dps[0], s.gyro_dps[1], s.gyro_dps[2],
                  sample.discontinuity ? kDiscontinuityNote : "");
    }
    // Output that cannot be written ends the run at once.
    if (!json && std::ferror(stdout)) {
      std::string error;
      stdout_ok(error);
      return report({kExitFileError, error});
    }
    if (count <= 0 && last_ns - first_ns >= duration_ns) {
      ++n;
      break;
    }
  }
  const us::ImuClockEstimate estimate = stream.clock_estimate();
  const us::ImuStreamStats stats = stream.stats();
  opened.value = std::nullopt;  // the stream goes before the IMU closes
  device.value->close_imu();

  double span_s = static_cast<double>(last_ns - first_ns) / 1e9;
  double rate = span_s > 0 ? static_cast<double>(n - 1) / span_s : 0.0;
  double mean = 0, min = 0, max = 0, stddev = 0;
  if (!intervals_ms.empty()) {
    min = *std::min_element(intervals_ms.begin(), intervals_ms.end());
    max = *std::max_element(intervals_ms.begin(), intervals_ms.end());
    for (double v : intervals_ms) mean += v;
    mean /= static_cast<double>(intervals_ms.size());
    for (double v : intervals_ms) stddev += (v - mean) * (v - mean);
    stddev = std::sqrt(stddev / static_cast<double>(intervals_ms.size()));
  }
  const std::uint64_t counter_span = last_counter - first_counter;
  if (json) {
    ordered_json out{{"samples", samples},
                     {"summary",
                      {{"count", n},
                       {"span_s", span_s},
                       {"rate_hz", rate},
                       {"interval_ms", {{"mean", mean}, {"min", min}, {"max", max}, {"stddev", stddev}}},
                       {"device_counter_span", counter_span},
                       {"tick_rate_hz", estimate.tick_rate_hz},
                       {"drift_ppm", estimate.drift_ppm},
                       {"rate_locked", estimate.rate_locked},
                       {"reads", stats.reads},
                       {"duplicates_dropped", stats.duplicates},
                       {"samples_missed", stats.missed},
                       {"discontinuities", stats.discontinuities}}}};
    std::cout << out.dump(2, ' ', false, ordered_json::error_handler_t::replace) << "\n";
  } else {
    std::FILE* summary = csv ? stderr : stdout;
    std::fflush(stdout);
    std::fprintf(summary,
                 "summary: %ld samples over %.3f s, %.1f Hz; interval mean %.3f ms, min %.3f, max %.3f, stddev %.3f; "
                 "device counter advanced %" PRIu64 "; tick rate %.1f Hz (%+.1f ppm%s); %" PRIu64
                 " duplicate reads dropped, %" PRIu64 " samples missed, %" PRIu64 " discontinuities\n",
                 n, span_s, rate, mean, min, max, stddev, counter_span, estimate.tick_rate_hz, estimate.drift_ppm,
                 estimate.rate_locked ? "" : ", not yet fitted", stats.duplicates, stats.missed, stats.discontinuities);
  }
  return kExitOk;
}

}  // namespace morvane::tool
