// Pieces the subcommands share: device selection, SonixCam sessions, the
// stored-blob read and error texts.
#pragma once

#include <signal.h>

#include <cstdint>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "commands.hpp"
#include "sonix/sonix_cam.h"
#include "tool.hpp"

namespace morvane::tool {

// Where the calibration blob lives in the serial flash.
inline constexpr std::uint32_t kCalibrationAddress = 0x51000;

// The scan, then one camera out of it.
Selection pick(const GlobalOptions& g);

// Picks the camera for a flash or firmware operation. Such an operation
// detaches the kernel's video driver, which ends any capture or IMU read in
// another process: refused while one has the video node open, unless
// --force. When the check itself cannot be made the operation goes ahead
// with a warning.
Selection pick_for_flash(const GlobalOptions& g);

// Adds a hint when a USB connection failed because the device node is not
// writable by this user.
ToolError with_permission_hint(ToolError error, const GlobalOptions& g, const uvc_stereo::DeviceInfo& device);

// An open SonixCam connection to one camera for the life of the object.
class SonixSession {
 public:
  explicit SonixSession(const uvc_stereo::DeviceInfo& device) {
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

ToolError session_failed();
ToolError sonix_failed(const std::string& what);

std::string opencv_text(const uvc_stereo::DeviceInfo& d);
nlohmann::ordered_json device_json(const uvc_stereo::DeviceInfo& d);

// An SDK failure about the contents of a file the user gave.
template <typename T>
ToolError bad_file(const uvc_stereo::Result<T>& result, const std::string& prefix = "") {
  ToolError e = sdk_error(result);
  e.exit_code = kExitFileError;
  e.message = prefix + e.message;
  return e;
}

// Opens the selected camera without touching it; device I/O happens per call.
uvc_stereo::Result<uvc_stereo::Device> open_untouched(const uvc_stereo::DeviceInfo& device);

// The stored blob by the read the options ask for: the byte-banging read
// with --no-fast, else the fast read, which reads every byte of the blob.
// Only with --reuse-cache, and only where `may_reuse` (never for a backup,
// which promises the flash's own bytes), is the cached blob reused when the
// stored header and the payload's last bytes match it. A successful read
// refreshes the cache (unless --no-cache).
struct StoredBlob {
  uvc_stereo::Result<uvc_stereo::FlashBlob> blob;
  uvc_stereo::FlashReadPath path = uvc_stereo::FlashReadPath::byte_banging;
};
StoredBlob read_stored_blob(const GlobalOptions& g, const uvc_stereo::DeviceInfo& device, bool may_reuse);

// SIGINT and SIGTERM for the life of the object, blocked and read through a
// descriptor, so a command can wait for its work and for a signal in one
// poll, or look for a signal between steps.
class StopSignals {
 public:
  StopSignals();
  ~StopSignals();
  StopSignals(const StopSignals&) = delete;
  StopSignals& operator=(const StopSignals&) = delete;
  // Readable once a signal arrived; -1 when the signals could not be taken.
  int fd() const { return fd_; }
  // Takes one arrived signal: its number, or 0 when none is waiting.
  int take();

 private:
  sigset_t set_{};
  sigset_t previous_{};
  bool blocked_ = false;
  int fd_ = -1;
};

// The capture options of capture and record; false with a usage error for a
// malformed --size or --fps.
bool capture_options_from(const FrameOptions& frames, uvc_stereo::StereoCaptureOptions& options, ToolError& error);
const char* time_source_name(uvc_stereo::FrameTimeSource source);

// A zero-terminated text field of at most `size` bytes.
std::string firmware_text_field(const std::uint8_t* buffer, std::size_t size);

}  // namespace morvane::tool

namespace morvane::tool {

// The command line that runs `arguments` on this camera again (with the
// simulated camera's state file when simulated), quoted for a shell.
std::string tool_command(const GlobalOptions& g, const uvc_stereo::DeviceInfo& device, const std::string& arguments);

// The exit status of a failed blob write: 7 when the flash was read back and
// differs, else 4.
int blob_write_exit(const uvc_stereo::Result<void>& written);

// The calibration as it was before a flash write, kept on disk first.
struct KeptCalibration {
  std::string file;               // the copy that recovers it; empty when there is nothing to recover
  bool on_flash = false;          // the flash held a valid blob (and `file` is a fresh copy of it)
  std::vector<std::uint8_t> raw;  // the blob's bytes (from the flash, else from `file`)
};
// Reads the stored blob and writes it to a new copy in the state directory.
// When the flash holds none or a damaged one, the newest copy kept for this
// camera by an earlier, interrupted operation stands in. Fails (nothing on
// the camera touched) when the flash cannot be read or the copy cannot be
// written.
bool keep_calibration(const uvc_stereo::DeviceInfo& device, KeptCalibration& kept, ToolError& error);

// What to say after a failed write of the calibration area: what the flash
// may hold now and the command that recovers the previous state.
std::string calibration_recovery(const GlobalOptions& g, const uvc_stereo::DeviceInfo& device,
                                 const KeptCalibration& kept);

}  // namespace morvane::tool
