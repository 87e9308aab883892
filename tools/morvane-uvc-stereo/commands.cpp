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
  signals.take();
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
