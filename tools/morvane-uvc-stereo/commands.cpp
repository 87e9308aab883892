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
#include <iomanip>
#include <iostream>
#include <nlohmann/json.hpp>
#include <sstream>

#include "sonix/sonix_cam.h"
#include "table.hpp"
#include "tool.hpp"

namespace morvane::tool {

namespace us = uvc_stereo;
using nlohmann::ordered_json;

namespace {

constexpr std::uint32_t kCalibrationAddress = 0x51000;

// The scan, then one camera out of it.
Selection pick(const GlobalOptions& g) {
  auto scan = us::scan_devices();
  if (!scan.ok()) {
    Selection s;
    s.error = sdk_error(scan);
    s.error.exit_code = kExitNoDevice;
    return s;
  }
  return select_device(*scan.value, g.device);
}

// Picks the camera for a flash or firmware operation. Such an operation
// detaches the kernel's video driver, which ends any capture or IMU read in
// another process: refused while one has the video node open, unless
// --force. When the check itself cannot be made the operation goes ahead
// with a warning, as it did before the check existed.
Selection pick_for_flash(const GlobalOptions& g) {
  Selection s = pick(g);
  if (!s.device || g.simulated || s.device->video_node.empty()) return s;
  const std::string& node = s.device->video_node;
  auto users = us::video_node_users(node);
  if (!users.ok()) {
    std::cerr << "warning: cannot tell whether another process uses " << node << ": " << users.message << "\n";
    return s;
  }
  if (users.value->empty()) return s;
  std::string names;
  for (const auto& u : *users.value) {
    names += (names.empty() ? "" : ", ") + std::string("pid ") + std::to_string(u.pid) + " (" + u.command + ")";
  }
  if (g.force) {
    std::cerr << "warning: " << node << " is open in " << names
              << "; going ahead (--force): its use of the camera ends\n";
    return s;
  }
  Selection refused;
  refused.error = {kExitBusy, node + " is open in another process: " + names +
                                  "; a flash or firmware operation would end its capture and IMU reads. Close it, "
                                  "or pass --force"};
  return refused;
}

// Adds a hint when a USB connection failed because the device node is not
// writable by this user.
ToolError with_permission_hint(ToolError error, const GlobalOptions& g, const us::DeviceInfo& device) {
  if (g.simulated || device.bus_number == 0) return error;
  char node[64];
  std::snprintf(node, sizeof node, "/dev/bus/usb/%03u/%03u", device.bus_number, device.device_address);
  if (access(node, R_OK | W_OK) != 0 && errno == EACCES) {
    error.message += std::string("\n") + "permission denied on " + node +
                     ": install the udev rule shipped with the SDK and re-plug the camera:\n"
                     "  sudo cp /usr/lib/udev/rules.d/70-morvane-uvc-stereo.rules /etc/udev/rules.d/\n"
                     "  sudo udevadm control --reload-rules && sudo udevadm trigger";
  }
  return error;
}

// An open SonixCam connection to one camera for the life of the object.
class SonixSession {
 public:
  explicit SonixSession(const us::DeviceInfo& device) {
    std::string text = vidpid_text(device.vid, device.pid);
    std::vector<char> writable(text.begin(), text.end());
    writable.push_back('\0');
    open_ = SonixCam_Init(writable.data(), device.bus_number, device.device_address) != 0;
  }
  ~SonixSession() {
    if (open_) SonixCam_UnInit();
  }
  SonixSession(const SonixSession&) = delete;
  SonixSession& operator=(const SonixSession&) = delete;
  bool open() const { return open_; }

 private:
  bool open_ = false;
};

ToolError session_failed() {
  // The access library leaves gEC 16 when another user kept the camera for its whole wait.
  if (gEC == SONIXCAM_EC_BUSY)
    return {kExitSdkError, "camera is busy: another program (or library) is using it; try again when it is done"};
  return {kExitSdkError, "cannot open the camera's USB controller (SonixCam_Init failed)"};
}

ToolError sonix_failed(const std::string& what) {
  std::ostringstream out;
  out << what << " failed (controller error code " << SonixCam_GetErrorCode() << ")";
  return {kExitSdkError, out.str()};
}

std::string opencv_text(const us::DeviceInfo& d) {
  std::string text;
  for (const auto& [backend, index] : d.opencv_indices) {
    if (!text.empty()) text += ",";
    text += std::string(us::opencv_backend_name(backend)) + "=" + std::to_string(index);
  }
  return text.empty() ? "-" : text;
}

ordered_json device_json(const us::DeviceInfo& d) {
  ordered_json indices = ordered_json::object();
  for (const auto& [backend, index] : d.opencv_indices) indices[std::string(us::opencv_backend_name(backend))] = index;
  char ids[10];
  std::snprintf(ids, sizeof ids, "%04x:%04x", d.vid, d.pid);
  return ordered_json{{"vid_pid", ids},
                      {"vid", d.vid},
                      {"pid", d.pid},
                      {"bus_number", d.bus_number},
                      {"device_address", d.device_address},
                      {"serial", d.serial},
                      {"vendor", d.vendor},
                      {"model", d.model},
                      {"video_node", d.video_node},
                      {"usb_path", d.usb_path},
                      {"opencv_indices", indices}};
}

// An SDK failure about the contents of a file the user gave.
template <typename T>
ToolError bad_file(const uvc_stereo::Result<T>& result, const std::string& prefix = "") {
  ToolError e = sdk_error(result);
  e.exit_code = kExitFileError;
  e.message = prefix + e.message;
  return e;
}

// Opens the selected camera without touching it; device I/O happens per call.
uvc_stereo::Result<us::Device> open_untouched(const us::DeviceInfo& device) {
  us::OpenDeviceOptions options;
  options.required_capabilities = 0;
  return us::open_device(device, options);
}

// The stored blob by the read the options ask for: the byte-banging read
// with --no-fast, else the fast read, which reads every byte of the blob.
// Only with --reuse-cache, and only where `may_reuse` (never for a backup,
// which promises the flash's own bytes), is the cached blob reused when the
// stored header and the payload's last bytes match it. A successful read
// refreshes the cache (unless --no-cache).
struct StoredBlob {
  us::Result<us::FlashBlob> blob;
  us::FlashReadPath path = us::FlashReadPath::byte_banging;
};

StoredBlob read_stored_blob(const GlobalOptions& g, const us::DeviceInfo& device, bool may_reuse) {
  const us::FlashConfig config = flash_config_for(device);
  const std::string cache = g.cache ? blob_cache_path(device) : std::string();
  StoredBlob stored{us::Result<us::FlashBlob>::failure(us::ErrorCode::internal_error, "not read"),
                    us::FlashReadPath::byte_banging};
  if (g.fast) {
    us::FastReadOptions options;
    if (may_reuse && g.reuse_cache) {
      options.held_blob = load_cached_blob(cache, config.max_total_length);
      options.reuse_held_copy = true;
    }
    auto fast = us::read_blob_fast(config, options);
    if (fast.ok()) {
      stored.path = fast.value->path;
      stored.blob = us::Result<us::FlashBlob>::success(std::move(fast.value->blob));
    } else {
      stored.blob = us::Result<us::FlashBlob>::forward(fast);
    }
  } else {
    stored.blob = us::read_blob_from_device(config);
  }
  // A reused copy is already what the cache holds.
  if (stored.blob.ok() && stored.path != us::FlashReadPath::held_copy) store_cached_blob(cache, stored.blob.value->raw);
  return stored;
}

std::string firmware_text_field(const std::uint8_t* buffer, std::size_t size) {
  std::size_t n = 0;
  while (n < size && buffer[n] != 0) ++n;
  return std::string(reinterpret_cast<const char*>(buffer), n);
}

}  // namespace

int cmd_list(const GlobalOptions&, bool json) {
  auto scan = us::scan_devices();
  if (!scan.ok()) return report(sdk_error(scan));
  const auto& devices = *scan.value;
  if (json) {
    ordered_json out = ordered_json::array();
    for (const auto& d : devices) out.push_back(device_json(d));
    std::cout << out.dump(2) << "\n";
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

void print_event(const us::DeviceEvent& event, bool json) {
  const char* kind = us::device_event_kind_name(event.kind);
  const us::DeviceInfo& d = event.device;
  if (json) {
    ordered_json line = ordered_json{{"event", kind}, {"device", device_json(d)}};
    std::cout << line.dump() << std::endl;
    return;
  }
  char ids[10];
  std::snprintf(ids, sizeof ids, "%04x:%04x", d.vid, d.pid);
  std::cout << kind << "  " << ids << "  " << table_cell(d.serial) << "  " << table_cell(d.model) << "  "
            << table_cell(d.video_node) << "  " << table_cell(d.usb_path) << std::endl;
}

}  // namespace

void block_stop_signals() {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGINT);
  sigaddset(&set, SIGTERM);
  sigprocmask(SIG_BLOCK, &set, nullptr);
}

int cmd_watch(const GlobalOptions&, bool json) {
  StopSignals signals;
  if (signals.fd() < 0) return report({kExitSdkError, std::string("cannot wait for signals: ") + std::strerror(errno)});
  auto opened = us::open_device_monitor();
  if (!opened.ok()) return report(sdk_error(opened));
  us::DeviceMonitor monitor = std::move(*opened);
  // On standard error, so the events alone go to standard output.
  std::cerr << "watching " << monitor.devices().size() << " camera(s) for arrivals and removals; interrupt to stop"
            << std::endl;
  for (;;) {
    pollfd fds[2] = {{monitor.fd(), POLLIN, 0}, {signals.fd(), POLLIN, 0}};
    const int ready = ::poll(fds, 2, -1);
    if (ready < 0) {
      if (errno == EINTR) continue;
      return report({kExitSdkError, std::string("poll failed: ") + std::strerror(errno)});
    }
    if (fds[1].revents != 0) return kExitOk;  // interrupted: a normal end
    auto events = monitor.read_events();
    if (!events.ok()) return report(sdk_error(events));
    for (const auto& event : *events) print_event(event, json);
  }
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
    std::cout << out.dump(2) << "\n";
  } else {
    std::printf("camera:           %04x:%04x on bus %u address %u\n", d.vid, d.pid, d.bus_number, d.device_address);
    std::printf("serial:           %s\n", d.serial.c_str());
    std::printf("vendor / model:   %s / %s\n", d.vendor.c_str(), d.model.c_str());
    std::printf("video node:       %s\n", d.video_node.c_str());
    std::printf("usb path:         %s\n", d.usb_path.c_str());
    std::printf("opencv indices:   %s\n", opencv_text(d).c_str());
    std::printf("firmware version: %s\n",
                firmware.ok() ? firmware.value->c_str() : ("unavailable: " + firmware.message).c_str());
    std::printf("flash:            %s\n", probe.ok() ? "reachable" : ("unreachable: " + probe.message).c_str());
    std::printf("imu:              %s\n", imu.ok() ? "supported" : ("not available: " + imu.message).c_str());
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

int cmd_config_get(const GlobalOptions& g, bool pretty, const std::string& output) {
  auto selection = pick_for_flash(g);
  if (!selection.device) return report(selection.error);
  std::string compact;
  bool have = false;
  if (g.fast) {
    StoredBlob stored = read_stored_blob(g, *selection.device, true);
    if (!stored.blob.ok()) return report(with_permission_hint(sdk_error(stored.blob), g, *selection.device));
    const auto& payload = stored.blob.value->payload;
    auto minified =
        us::minify_and_validate_json(std::string_view(reinterpret_cast<const char*>(payload.data()), payload.size()));
    if (minified.ok()) {
      compact = std::move(*minified.value);
      have = true;
    } else if (stored.path == us::FlashReadPath::byte_banging) {
      return report(sdk_error(minified));
    }
    // Otherwise the byte-banging document read below has the last word.
  }
  if (!have) {
    auto device = open_untouched(*selection.device);
    if (!device.ok()) return report(sdk_error(device));
    auto document = device.value->read_json();
    if (!document.ok()) return report(with_permission_hint(sdk_error(document), g, *selection.device));
    compact = std::move(document.value->json);
  }
  std::string text = pretty ? pretty_json(compact) : compact;
  text += "\n";
  std::string error;
  if (!write_file(output.empty() ? "-" : output, std::vector<std::uint8_t>(text.begin(), text.end()), error))
    return report({kExitFileError, error});
  return kExitOk;
}

int cmd_config_set(const GlobalOptions& g, const std::string& input) {
  std::vector<std::uint8_t> bytes;
  std::string error;
  if (!read_file(input, bytes, error)) return report({kExitFileError, error});
  std::string_view text(reinterpret_cast<const char*>(bytes.data()), bytes.size());
  // Checked before anything on the camera is touched.
  auto minified = us::minify_and_validate_json(text);
  if (!minified.ok()) return report(bad_file(minified, (input == "-" ? std::string("standard input") : input) + ": "));
  auto selection = pick_for_flash(g);
  if (!selection.device) return report(selection.error);
  auto device = open_untouched(*selection.device);
  if (!device.ok()) return report(sdk_error(device));
  auto written = device.value->write_json(*minified.value);
  if (!written.ok()) return report(with_permission_hint(sdk_error(written), g, *selection.device));
  std::cerr << "stored " << minified.value->size() << " bytes of configuration\n";
  return kExitOk;
}

int cmd_config_backup(const GlobalOptions& g, const std::string& output) {
  auto selection = pick_for_flash(g);
  if (!selection.device) return report(selection.error);
  StoredBlob stored = read_stored_blob(g, *selection.device, false);
  auto& blob = stored.blob;
  if (!blob.ok()) return report(with_permission_hint(sdk_error(blob), g, *selection.device));
  std::string error;
  if (!write_file(output, blob.value->raw, error)) return report({kExitFileError, error});
  std::cerr << "saved " << blob.value->raw.size() << " bytes (document version " << blob.value->version << ")\n";
  return kExitOk;
}

int cmd_config_restore(const GlobalOptions& g, const std::string& input) {
  std::vector<std::uint8_t> bytes;
  std::string error;
  if (!read_file(input, bytes, error)) return report({kExitFileError, error});
  us::FlashConfig defaults;
  auto blob = us::parse_and_validate_raw_blob(bytes, defaults);
  if (!blob.ok()) return report(bad_file(blob, input + " is not a valid configuration blob: "));
  auto json = us::minify_and_validate_json(
      std::string_view(reinterpret_cast<const char*>(blob.value->payload.data()), blob.value->payload.size()));
  if (!json.ok()) return report(bad_file(json, input + " holds a blob whose document is not valid JSON: "));
  auto selection = pick_for_flash(g);
  if (!selection.device) return report(selection.error);
  auto written = us::write_blob_to_device(flash_config_for(*selection.device), *blob.value);
  if (!written.ok()) return report(with_permission_hint(sdk_error(written), g, *selection.device));
  std::cerr << "restored " << blob.value->raw.size() << " bytes\n";
  return kExitOk;
}

int cmd_config_check(const std::string& input) {
  std::vector<std::uint8_t> bytes;
  std::string error;
  if (!read_file(input, bytes, error)) return report({kExitFileError, error});
  us::FlashConfig defaults;
  const std::uint32_t magic = defaults.magic;
  bool looks_like_blob = bytes.size() >= 4 && bytes[0] == (magic & 0xFF) && bytes[1] == ((magic >> 8) & 0xFF) &&
                         bytes[2] == ((magic >> 16) & 0xFF) && bytes[3] == (magic >> 24);
  std::string_view document(reinterpret_cast<const char*>(bytes.data()), bytes.size());
  if (looks_like_blob) {
    auto blob = us::parse_and_validate_raw_blob(bytes, defaults);
    if (!blob.ok()) return report(bad_file(blob));
    std::printf("blob: version %u, header %u bytes, payload %u bytes, crc32 0x%08x\n", blob.value->version,
                blob.value->header_size, blob.value->payload_length, blob.value->crc32);
    auto json = us::minify_and_validate_json(
        std::string_view(reinterpret_cast<const char*>(blob.value->payload.data()), blob.value->payload.size()));
    if (!json.ok()) return report(bad_file(json));
    std::printf("document: valid JSON, %zu bytes compact\n", json.value->size());
    return kExitOk;
  }
  auto json = us::minify_and_validate_json(document);
  if (!json.ok()) return report(bad_file(json));
  auto blob = us::build_blob(0, std::vector<std::uint8_t>(json.value->begin(), json.value->end()), defaults);
  if (!blob.ok()) return report(bad_file(blob));
  std::printf("document: valid JSON, %zu bytes, %zu bytes compact; stored blob would be %zu bytes\n", bytes.size(),
              json.value->size(), blob.value->raw.size());
  return kExitOk;
}

int cmd_imu(const GlobalOptions& g, const ImuOptions& options) {
  if (options.format != "table" && options.format != "csv" && options.format != "json")
    return report({kExitUsage, "--format must be table, csv or json"});
  if (!(options.rate_hz == 0 || (options.rate_hz >= 1 && options.rate_hz <= 10000)))
    return report({kExitUsage, "--rate must be 0 (measure it) or 1 to 10000 Hz"});
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
  const long limit = count > 0 ? count : 1000000;

  std::uint64_t first_ns = 0, last_ns = 0, first_counter = 0, last_counter = 0;
  std::vector<double> intervals_ms;
  ordered_json samples = ordered_json::array();
  bool csv = options.format == "csv", json = options.format == "json";
  if (csv) {
    std::printf(options.raw ? "index,host_ns,device_counter,temperature,ax,ay,az,gx,gy,gz,time_ns,missed_before\n"
                            : "index,host_ns,device_counter,temperature_c,ax_g,ay_g,az_g,gx_dps,gy_dps,gz_dps,time_ns,"
                              "missed_before\n");
  } else if (!json) {
    std::printf("%6s %20s %20s %10s %9s %10s %10s %10s %10s %10s %10s\n", "#", "time_ns", "host_ns", "counter",
                options.raw ? "temp" : "temp_c", options.raw ? "ax" : "ax_g", options.raw ? "ay" : "ay_g",
                options.raw ? "az" : "az_g", options.raw ? "gx" : "gx_dps", options.raw ? "gy" : "gy_dps",
                options.raw ? "gz" : "gz_dps");
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
                        {"missed_before", sample.missed_before}};
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
        std::printf("%ld,%" PRIu64 ",%" PRIu64 ",%d,%d,%d,%d,%d,%d,%d,%" PRIu64 ",%" PRIu64 "\n", n, sample.host_ns,
                    sample.device_counter, raw.temperature_raw, raw.accel_raw[0], raw.accel_raw[1], raw.accel_raw[2],
                    raw.gyro_raw[0], raw.gyro_raw[1], raw.gyro_raw[2], sample.time_ns, sample.missed_before);
      } else {
        std::printf("%ld,%" PRIu64 ",%" PRIu64 ",%.4f,%.6f,%.6f,%.6f,%.4f,%.4f,%.4f,%" PRIu64 ",%" PRIu64 "\n", n,
                    sample.host_ns, sample.device_counter, s.temperature_c, s.accel_g[0], s.accel_g[1], s.accel_g[2],
                    s.gyro_dps[0], s.gyro_dps[1], s.gyro_dps[2], sample.time_ns, sample.missed_before);
      }
    } else if (options.raw) {
      std::printf("%6ld %20" PRIu64 " %20" PRIu64 " %10" PRIu64 " %9d %10d %10d %10d %10d %10d %10d\n", n,
                  sample.time_ns, sample.host_ns, sample.device_counter, raw.temperature_raw, raw.accel_raw[0],
                  raw.accel_raw[1], raw.accel_raw[2], raw.gyro_raw[0], raw.gyro_raw[1], raw.gyro_raw[2]);
    } else {
      std::printf("%6ld %20" PRIu64 " %20" PRIu64 " %10" PRIu64 " %9.3f %10.5f %10.5f %10.5f %10.3f %10.3f %10.3f\n", n,
                  sample.time_ns, sample.host_ns, sample.device_counter, s.temperature_c, s.accel_g[0], s.accel_g[1],
                  s.accel_g[2], s.gyro_dps[0], s.gyro_dps[1], s.gyro_dps[2]);
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
                       {"samples_missed", stats.missed}}}};
    std::cout << out.dump(2) << "\n";
  } else {
    std::FILE* summary = csv ? stderr : stdout;
    std::fflush(stdout);
    std::fprintf(summary,
                 "summary: %ld samples over %.3f s, %.1f Hz; interval mean %.3f ms, min %.3f, max %.3f, stddev %.3f; "
                 "device counter advanced %" PRIu64 "; tick rate %.1f Hz (%+.1f ppm%s); %" PRIu64
                 " duplicate reads dropped, %" PRIu64 " samples missed\n",
                 n, span_s, rate, mean, min, max, stddev, counter_span, estimate.tick_rate_hz, estimate.drift_ppm,
                 estimate.rate_locked ? "" : ", not yet fitted", stats.duplicates, stats.missed);
  }
  return kExitOk;
}

int cmd_firmware_version(const GlobalOptions& g, bool json) {
  auto selection = pick_for_flash(g);
  if (!selection.device) return report(selection.error);
  SonixSession session(*selection.device);
  if (!session.open()) return report(with_permission_hint(session_failed(), g, *selection.device));
  std::uint8_t raw[256] = {0}, text[256] = {0};
  if (!SonixCam_GetFwVersion(raw, sizeof raw, 1)) return report(sonix_failed("reading the firmware version"));
  if (!SonixCam_GetFwVersion(text, sizeof text, 0)) return report(sonix_failed("reading the firmware version"));
  int rom_type = 0;
  std::uint8_t chip = 0;
  SonixCam_GetAsicRomType(&rom_type, &chip);
  std::string raw_text = firmware_text_field(raw, sizeof raw), full_text = firmware_text_field(text, sizeof text);
  if (json) {
    char chip_text[8];
    std::snprintf(chip_text, sizeof chip_text, "0x%02x", chip);
    std::cout
        << ordered_json{{"raw", raw_text}, {"text", full_text}, {"chip_id", chip_text}, {"rom_type", rom_type}}.dump(2)
        << "\n";
  } else {
    std::printf("firmware version: %s\nfull version:     %s\ncontroller:       chip 0x%02x, ROM type %d\n",
                raw_text.c_str(), full_text.c_str(), chip, rom_type);
  }
  return kExitOk;
}

int cmd_firmware_export(const GlobalOptions& g, const std::string& output, std::uint32_t size) {
  if (size == 0) return report({kExitUsage, "--size must be greater than 0"});
  auto selection = pick_for_flash(g);
  if (!selection.device) return report(selection.error);
  std::vector<std::uint8_t> image(size);
  {
    SonixSession session(*selection.device);
    if (!session.open()) return report(with_permission_hint(session_failed(), g, *selection.device));
    Progress progress("export", true);
    if (!SonixCam_ExportFW(image.data(), size, &Progress::callback, &progress))
      return report(sonix_failed("reading the firmware"));
    progress.finish();
  }
  std::string error;
  if (!write_file(output, image, error)) return report({kExitFileError, error});
  std::cerr << "exported " << size << " bytes to " << output << "\n";
  return kExitOk;
}

int cmd_firmware_burn(const GlobalOptions& g, const std::string& input, bool yes, std::uint32_t flash_size) {
  std::vector<std::uint8_t> image;
  std::string error;
  if (!read_file(input, image, error)) return report({kExitFileError, error});
  if (image.empty()) return report({kExitFileError, input + " is empty"});
  if (image.size() > flash_size) {
    return report({kExitFileError, input + " holds " + std::to_string(image.size()) +
                                       " bytes, more than the serial flash (" + std::to_string(flash_size) + ")"});
  }
  if (image.size() > kCalibrationAddress) {
    return report({kExitFileError, input + " reaches into the calibration area at 0x51000; refusing to burn it"});
  }
  auto selection = pick_for_flash(g);
  if (!selection.device) return report(selection.error);
  const auto& device = *selection.device;
  auto config = flash_config_for(device);

  // The image must carry version fields where this camera's controller keeps them.
  {
    SonixSession session(device);
    if (!session.open()) return report(with_permission_hint(session_failed(), g, device));
    std::uint8_t version[256] = {0};
    // The version fields sit below 64 KiB in every controller generation; a
    // shorter image is looked at through an erased-flash (0xFF) tail so the
    // lookup never reads past the file's bytes.
    std::vector<std::uint8_t> padded(image);
    if (padded.size() < 0x10000) padded.resize(0x10000, 0xFF);
    std::string text;
    bool found = SonixCam_GetFwVersionFromFile(padded.data(), version, sizeof version, 1) != 0;
    if (found) text = firmware_text_field(version, sizeof version);
    bool printable = !text.empty() && std::all_of(text.begin(), text.end(), [](char c) {
      return (c >= 0x20 && c < 0x7F) || c == '\r' || c == '\n';
    });
    if (!printable) {
      return report({kExitFileError, input + " is not a firmware image for this camera's controller"});
    }
    std::cerr << "image firmware version: " << firmware_text_field(version, sizeof version) << "\n";
  }

  // A chip erase destroys the calibration blob: keep it to write it back.
  auto saved = us::read_blob_from_device(config);
  bool have_blob = saved.ok();
  if (!have_blob && saved.code != us::ErrorCode::magic_mismatch) {
    return report(
        {kExitSdkError, "cannot save the calibration before burning: " + describe(saved.code, saved.message)});
  }
  if (!have_blob) std::cerr << "no calibration stored on the camera; nothing to keep\n";

  if (!yes) {
    // The chip erase takes sector 0 with it: name the boot-code risk.
    std::cerr << "This erases the whole serial flash of camera " << vidpid_text(device.vid, device.pid) << " (serial '"
              << device.serial << "') and writes " << input
              << ". Sector 0 holds the controller's boot code: if power is lost or the write fails before it is "
                 "rewritten, the camera will not boot (not even to be burned again). Continue? [y/N] ";
    std::string answer;
    if (!std::getline(std::cin, answer) || (answer != "y" && answer != "Y" && answer != "yes")) {
      std::cerr << "aborted\n";
      return kExitAborted;
    }
  }

  {
    SonixSession session(device);
    if (!session.open()) return report(with_permission_hint(session_failed(), g, device));
    int type = 0;
    SonixCam_GetSerialFlashType(&type, 1);
    if (type == 0) return report({kExitSdkError, "the camera's serial flash type is unknown; refusing to erase it"});
    Progress progress("burn", true);
    if (!SonixCam_BurnerFW(image.data(), static_cast<std::int64_t>(image.size()), &Progress::callback, &progress, type,
                           1)) {
      int code = SonixCam_GetErrorCode();
      progress.finish();
      return report({code == SONIXCAM_EC_VERIFY ? kExitVerifyFailed : kExitSdkError,
                     "burning the firmware failed (controller error code " + std::to_string(code) + ")"});
    }
    progress.finish();
  }
  if (have_blob) {
    us::FlashBlob blob;
    blob.raw = saved.value->raw;
    auto restored = us::write_blob_to_device(config, blob);
    if (!restored.ok()) {
      return report(
          {restored.code == us::ErrorCode::write_failed ? kExitVerifyFailed : kExitSdkError,
           "firmware burned, but writing the calibration back failed: " + describe(restored.code, restored.message)});
    }
  }
  std::cerr << "firmware burned and verified" << (have_blob ? "; calibration written back" : "") << "\n";
  return kExitOk;
}

int cmd_firmware_params(const GlobalOptions& g, bool json) {
  auto selection = pick_for_flash(g);
  if (!selection.device) return report(selection.error);
  SonixSession session(*selection.device);
  if (!session.open()) return report(with_permission_hint(session_failed(), g, *selection.device));
  std::uint32_t vidpid = 0;
  if (!SonixCam_GetVidPid(&vidpid)) return report(sonix_failed("reading the parameter table"));
  struct Getter {
    const char* name;
    int (*get)(std::uint8_t*, std::int64_t);
  };
  const Getter getters[] = {{"product", SonixCam_GetProduct},
                            {"manufacturer", SonixCam_GetManufacturer},
                            {"serial", SonixCam_GetSerialNumber},
                            {"string3", SonixCam_GetString3},
                            {"interface", SonixCam_GetInterface}};
  // The 4 bytes in flash order: vid low, vid high, pid low, pid high.
  std::uint8_t b[4];
  std::memcpy(b, &vidpid, 4);
  char ids[16];
  std::snprintf(ids, sizeof ids, "%02x%02x:%02x%02x", b[1], b[0], b[3], b[2]);
  ordered_json out{{"vid_pid", ids}};
  for (const auto& getter : getters) {
    std::uint8_t text[64] = {0};
    if (getter.get(text, sizeof text - 1)) {
      out[getter.name] = firmware_text_field(text, sizeof text);
    } else {
      out[getter.name] = nullptr;
    }
  }
  if (json) {
    std::cout << out.dump(2) << "\n";
  } else {
    for (auto it = out.begin(); it != out.end(); ++it)
      std::printf("%-13s %s\n", (it.key() + ":").c_str(),
                  it.value().is_null() ? "(unreadable)" : it.value().get<std::string>().c_str());
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
