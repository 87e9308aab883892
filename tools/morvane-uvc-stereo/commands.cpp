#include "commands.hpp"

#include <poll.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <csignal>

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <nlohmann/json.hpp>
#include <sstream>

#include "command_support.hpp"
#include "commands.hpp"
#include "sonix/sonix_cam.h"
#include "table.hpp"
#include "tool.hpp"
#include "watch.hpp"

namespace morvane::tool {

namespace us = uvc_stereo;
using nlohmann::ordered_json;

int cmd_list(const GlobalOptions&, bool json) {
  auto scan = us::scan_devices();
  if (!scan.ok()) return report(sdk_error(scan));
  const auto& devices = *scan.value;
  if (json) {
    ordered_json out = ordered_json::array();
    for (const auto& d : devices) out.push_back(device_json(d));
    std::cout << out.dump(2, ' ', false, ordered_json::error_handler_t::replace) << "\n";
    return kExitOk;
  }
  if (devices.empty()) {
    std::cout << "no supported camera found\n";
    return kExitOk;
  }
  std::vector<std::vector<std::string>> rows = {
      {"#", "VID:PID", "BUS:ADR", "SERIAL", "VENDOR", "MODEL", "NODE", "USB PATH", "OPENCV"}};
  for (std::size_t i = 0; i < devices.size(); ++i) {
    const auto& d = devices[i];
    char ids[10], busdev[10];
    std::snprintf(ids, sizeof ids, "%04x:%04x", d.vid, d.pid);
    std::snprintf(busdev, sizeof busdev, "%03u:%03u", d.bus_number, d.device_address);
    rows.push_back({std::to_string(i), ids, busdev, table_cell(d.serial), table_cell(d.vendor), table_cell(d.model),
                    table_cell(d.video_node), table_cell(d.usb_path), table_cell(opencv_text(d))});
  }
  std::cout << format_table(rows);
  return kExitOk;
}

namespace {

// SIGINT and SIGTERM, blocked and read through a descriptor so the wait for
// udev and the wait for a signal are one poll.
class StopSignals {
 public:
  StopSignals() {
    sigemptyset(&set_);
    sigaddset(&set_, SIGINT);
    sigaddset(&set_, SIGTERM);
    // A signal ignored by inheritance (a background job of a script) would
    // be discarded before it could be read: take the default action, which
    // never runs while the signal is blocked.
    for (int signal_number : {SIGINT, SIGTERM}) std::signal(signal_number, SIG_DFL);
    if (sigprocmask(SIG_BLOCK, &set_, &previous_) == 0) {
      blocked_ = true;
      fd_ = signalfd(-1, &set_, SFD_CLOEXEC | SFD_NONBLOCK);
    }
  }
  ~StopSignals() {
    if (fd_ >= 0) ::close(fd_);
    if (blocked_) sigprocmask(SIG_SETMASK, &previous_, nullptr);
  }
  int fd() const { return fd_; }

 private:
  sigset_t set_{};
  sigset_t previous_{};
  bool blocked_ = false;
  int fd_ = -1;
};

// A failed read of udev's events is tried again after this long.
constexpr int kWatchRetryMs = 1000;

void print_event(const us::DeviceEvent& event, bool json) {
  const char* kind = us::device_event_kind_name(event.kind);
  const us::DeviceInfo& d = event.device;
  if (json) {
    ordered_json line = ordered_json{{"event", kind}, {"device", device_json(d)}};
    if (event.previous) line["previous"] = device_json(*event.previous);
    std::cout << line.dump(-1, ' ', false, ordered_json::error_handler_t::replace) << std::endl;
    return;
  }
  char ids[10];
  std::snprintf(ids, sizeof ids, "%04x:%04x", d.vid, d.pid);
  std::cout << kind << "  " << ids << "  " << table_cell(d.serial) << "  " << table_cell(d.model) << "  "
            << table_cell(d.video_node) << "  " << table_cell(d.usb_path) << std::endl;
}

}  // namespace

int cmd_watch(const GlobalOptions& g, bool json) {
  StopSignals signals;
  if (signals.fd() < 0) return report({kExitSdkError, std::string("cannot wait for signals: ") + std::strerror(errno)});
  auto opened = us::open_device_monitor();
  if (!opened.ok()) return report(sdk_error(opened));
  us::DeviceMonitor monitor = std::move(*opened);
  std::string error;
  const std::vector<us::DeviceInfo> attached = monitor.devices();
  std::optional<WatchSelector> which = WatchSelector::make(g.device, attached, error);
  if (!which) return report({kExitNoDevice, error});
  std::size_t matching = 0;
  for (const us::DeviceInfo& d : attached) matching += which->matches(d) ? 1 : 0;
  // On standard error, so the events alone go to standard output.
  std::cerr << "watching " << matching << " camera(s) for arrivals and removals"
            << (g.device.empty() ? std::string() : " (--device '" + g.device + "')") << "; interrupt to stop"
            << std::endl;
  const int ended = watch_events(monitor, *which, signals.fd(), kWatchRetryMs, std::cerr,
                                 [json](const us::DeviceEvent& event) { print_event(event, json); });
  if (ended < 0) return report({kExitSdkError, std::string("poll failed: ") + std::strerror(errno)});
  // Interrupted: a normal end. The signal is taken, so that it does not
  // strike once the mask is restored.
  signalfd_siginfo info{};
  if (::read(signals.fd(), &info, sizeof info) < 0) return kExitOk;
  return kExitOk;
}

int cmd_info(const GlobalOptions& g, bool json) {
  auto selection = pick_for_flash(g);
  if (!selection.device) return report(selection.error);
  const auto& d = *selection.device;
  auto config = flash_config_for(d);

  auto firmware = us::detail::read_firmware_version_from_device(config);
  auto probe = us::probe_flash_transport(config);
  auto imu = us::detail::ensure_imu_supported_by_firmware(d, config);
  StoredBlob stored = read_stored_blob(g, d, true);

  if (json) {
    ordered_json out = device_json(d);
    out["firmware_version"] = firmware.ok() ? ordered_json(*firmware.value) : ordered_json(nullptr);
    out["flash_reachable"] = probe.ok();
    out["imu_supported"] = imu.ok();
    if (!probe.ok()) out["flash_error"] = probe.message;
    if (!imu.ok()) out["imu_error"] = imu.message;
    if (stored.blob.ok()) {
      out["config_version"] = stored.blob.value->version;
      out["config_bytes"] = stored.blob.value->raw.size();
      out["config_read_path"] = std::string(us::flash_read_path_name(stored.path));
    } else {
      out["config_error"] = stored.blob.message;
    }
    std::cout << out.dump(2, ' ', false, ordered_json::error_handler_t::replace) << "\n";
  } else {
    // Texts from the device and udev, escaped for the terminal.
    const auto e = [](const std::string& text) { return escape_text(text); };
    std::printf("camera:           %04x:%04x on bus %u address %u\n", d.vid, d.pid, d.bus_number, d.device_address);
    std::printf("serial:           %s\n", e(d.serial).c_str());
    std::printf("vendor / model:   %s / %s\n", e(d.vendor).c_str(), e(d.model).c_str());
    std::printf("video node:       %s\n", e(d.video_node).c_str());
    std::printf("usb path:         %s\n", e(d.usb_path).c_str());
    std::printf("opencv indices:   %s\n", opencv_text(d).c_str());
    std::printf("firmware version: %s\n",
                firmware.ok() ? e(*firmware.value).c_str() : ("unavailable: " + e(firmware.message)).c_str());
    std::printf("flash:            %s\n", probe.ok() ? "reachable" : ("unreachable: " + probe.message).c_str());
    std::printf("imu:              %s\n", imu.ok() ? "supported" : ("not available: " + e(imu.message)).c_str());
    if (stored.blob.ok()) {
      std::printf("configuration:    version %u, %zu bytes (read by %s)\n", stored.blob.value->version,
                  stored.blob.value->raw.size(), std::string(us::flash_read_path_name(stored.path)).c_str());
    } else {
      std::printf("configuration:    unreadable: %s\n", stored.blob.message.c_str());
    }
  }
  if (!probe.ok()) return report(with_permission_hint(sdk_error(probe), g, d));
  return kExitOk;
}

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

int cmd_sensor_read(const GlobalOptions& g, std::uint8_t slave, std::uint16_t reg, int reg_len, int len) {
  auto selection = pick(g);
  if (!selection.device) return report(selection.error);
  SonixSession session(*selection.device);
  if (!session.open()) return report(with_permission_hint(session_failed(), g, *selection.device));
  std::uint8_t data[2] = {0, 0};
  if (!SonixCam_SensorRegisterCustomRead(slave, reg, static_cast<std::uint16_t>(reg_len), data,
                                         static_cast<std::uint16_t>(len), 0)) {
    return report({kExitSdkError, "sensor register read failed (no acknowledge or bus timeout)"});
  }
  unsigned value = len >= 2 ? (unsigned(data[0]) << 8 | data[1]) : data[0];
  std::printf("0x%0*x\n", len >= 2 ? 4 : 2, value);
  return kExitOk;
}

int cmd_sensor_write(const GlobalOptions& g, std::uint8_t slave, std::uint16_t reg, int reg_len, std::uint16_t value,
                     int len) {
  if (len < 2 && value > 0xFF) return report({kExitUsage, "value does not fit one byte (use --len 2)"});
  auto selection = pick(g);
  if (!selection.device) return report(selection.error);
  SonixSession session(*selection.device);
  if (!session.open()) return report(with_permission_hint(session_failed(), g, *selection.device));
  std::uint8_t data[2];
  if (len >= 2) {
    data[0] = static_cast<std::uint8_t>(value >> 8);
    data[1] = static_cast<std::uint8_t>(value);
  } else {
    data[0] = static_cast<std::uint8_t>(value);
    data[1] = 0;
  }
  if (!SonixCam_SensorRegisterCustomWrite(slave, reg, static_cast<std::uint16_t>(reg_len), data,
                                          static_cast<std::uint16_t>(len), 0)) {
    return report({kExitSdkError, "sensor register write failed (no acknowledge or bus timeout)"});
  }
  return kExitOk;
}

}  // namespace morvane::tool
