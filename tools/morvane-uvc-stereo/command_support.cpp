#include "command_support.hpp"

#include <sys/signalfd.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <iostream>
#include <sstream>

namespace morvane::tool {

namespace us = uvc_stereo;
using nlohmann::ordered_json;

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

// Opens the selected camera without touching it; device I/O happens per call.
uvc_stereo::Result<us::Device> open_untouched(const us::DeviceInfo& device) {
  us::OpenDeviceOptions options;
  options.required_capabilities = 0;
  return us::open_device(device, options);
}

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

}  // namespace morvane::tool

namespace morvane::tool {

std::string tool_command(const GlobalOptions& g, const us::DeviceInfo& device, const std::string& arguments) {
  std::string command = "morvane-uvc-stereo";
  if (g.simulated) command += " --simulate=" + shell_quote(g.state_file);
  if (!device.serial.empty()) command += " -d " + shell_quote(device.serial);
  return command + " " + arguments;
}

int blob_write_exit(const us::Result<void>& written) {
  const bool read_back_differs =
      written.code == us::ErrorCode::write_failed && written.message.find("readback mismatch") != std::string::npos;
  return read_back_differs ? kExitVerifyFailed : kExitSdkError;
}

bool keep_calibration(const us::DeviceInfo& device, KeptCalibration& kept, ToolError& error) {
  kept = KeptCalibration{};
  const us::FlashConfig config = flash_config_for(device);
  auto stored = us::read_blob_from_device(config);
  if (stored.ok()) {
    kept.on_flash = true;
    kept.raw = stored.value->raw;
    std::string why;
    if (!save_safety_copy(device, "calibration", kept.raw, kept.file, why)) {
      error = {kExitFileError, "cannot keep a copy of the calibration before erasing it: " + why +
                                   "; nothing on the camera was changed"};
      return false;
    }
    std::cerr << "the calibration is kept in " << kept.file << "\n";
    return true;
  }
  const bool unreadable_blob =
      stored.code == us::ErrorCode::magic_mismatch || stored.code == us::ErrorCode::invalid_header ||
      stored.code == us::ErrorCode::invalid_length || stored.code == us::ErrorCode::crc_mismatch;
  if (!unreadable_blob) {
    error = {kExitSdkError, "cannot read the calibration to keep a copy before erasing it: " +
                                describe(stored.code, stored.message) + "; nothing on the camera was changed"};
    return false;
  }
  // No valid blob on the flash: an earlier operation may have been cut short.
  const std::string copy = latest_calibration_copy(device);
  if (copy.empty()) {
    std::cerr << "the camera holds no valid calibration (" << stored.message << ") and none was kept for it\n";
    return true;
  }
  std::string why;
  std::vector<std::uint8_t> bytes;
  us::FlashConfig defaults;
  if (!read_input(copy, defaults.max_total_length, bytes, why)) {
    error = {kExitFileError, "the camera holds no valid calibration, and its kept copy cannot be read: " + why};
    return false;
  }
  auto blob = us::parse_and_validate_raw_blob(bytes, defaults);
  if (!blob.ok()) {
    error = {kExitFileError, "the camera holds no valid calibration, and its kept copy " + copy +
                                 " is not a valid blob: " + describe(blob.code, blob.message)};
    return false;
  }
  kept.file = copy;
  kept.raw = blob.value->raw;
  std::cerr << "the camera holds no valid calibration (" << stored.message << "); the copy " << copy
            << " kept before an earlier operation holds the last one\n";
  return true;
}

std::string calibration_recovery(const GlobalOptions& g, const us::DeviceInfo& device, const KeptCalibration& kept) {
  if (kept.file.empty()) return "the camera held no calibration before, so there is none to recover";
  return "the calibration is kept in " + kept.file + "; put it back with:\n  " +
         tool_command(g, device, "config restore " + shell_quote(kept.file));
}

StopSignals::StopSignals() {
  sigemptyset(&set_);
  sigaddset(&set_, SIGINT);
  sigaddset(&set_, SIGTERM);
  // A signal ignored by inheritance (a background job of a script) would be
  // discarded before it could be read: take the default action, which never
  // runs while the signal is blocked.
  for (int signal_number : {SIGINT, SIGTERM}) std::signal(signal_number, SIG_DFL);
  if (sigprocmask(SIG_BLOCK, &set_, &previous_) == 0) {
    blocked_ = true;
    fd_ = signalfd(-1, &set_, SFD_CLOEXEC | SFD_NONBLOCK);
  }
}

StopSignals::~StopSignals() {
  if (fd_ >= 0) ::close(fd_);
  if (blocked_) sigprocmask(SIG_SETMASK, &previous_, nullptr);
}

int StopSignals::take() {
  signalfd_siginfo info{};
  if (fd_ < 0 || ::read(fd_, &info, sizeof info) != static_cast<ssize_t>(sizeof info)) return 0;
  return static_cast<int>(info.ssi_signo);
}

}  // namespace morvane::tool
