// Shared pieces of the morvane-uvc-stereo command-line tool.
#pragma once

#include <signal.h>

#include <cstdint>
#include <iosfwd>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "morvane/uvc_stereo.hpp"

namespace morvane::tool {

// The exit statuses, the same for every subcommand.
enum Exit : int {
  kExitOk = 0,
  kExitUsage = 2,         // bad arguments
  kExitNoDevice = 3,      // no camera, or the selector matched none or several
  kExitSdkError = 4,      // an operation on the camera failed (its code and message are printed)
  kExitFileError = 5,     // a file or standard output could not be read or written, or a file holds bad data
  kExitAborted = 6,       // the user did not confirm
  kExitVerifyFailed = 7,  // data read back from the flash differs from what was written
  kExitBusy = 8,          // the camera's video node is open in another process (a flash operation would end its use)
};

// A failure on its way to main(): what to print and the exit status.
struct ToolError {
  int exit_code = kExitSdkError;
  std::string message;
};

// Prints "error: ..." to stderr and returns the exit status.
int report(const ToolError& error);

// Formats an SDK failure as "<message> (code N, name)".
std::string describe(uvc_stereo::ErrorCode code, const std::string& message);
const char* error_code_name(uvc_stereo::ErrorCode code);

template <typename T>
ToolError sdk_error(const uvc_stereo::Result<T>& result) {
  return ToolError{kExitSdkError, describe(result.code, result.message)};
}

// ---- Device selection.

// Picks one camera from a scan. `selector` may be empty (exactly one camera
// must be attached), a list index ("0"), a serial number, a video node
// ("/dev/video0"), a USB path (ID_PATH) or "bus:address" ("1:4", "001:004").
// Returns the camera or a ToolError with a message naming the candidates.
struct Selection {
  std::optional<uvc_stereo::DeviceInfo> device;
  ToolError error;
};
Selection select_device(const std::vector<uvc_stereo::DeviceInfo>& devices, const std::string& selector);

// The flash configuration the SDK derives for an opened device.
uvc_stereo::FlashConfig flash_config_for(const uvc_stereo::DeviceInfo& device);
std::string vidpid_text(std::uint16_t vid, std::uint16_t pid);
// The value of an XDG base-directory variable (XDG_CACHE_HOME and the
// like), or empty where it must be ignored: unset, relative (invalid, as
// the XDG rules say), or the root directory itself (no user's own
// directory; a tool run as root would put its files straight into "/").
std::string xdg_base_directory(const char* variable);

// ---- The blob cache (the last blob read from each camera, by serial).

// $XDG_CACHE_HOME/morvane-uvc-stereo, else $HOME/.cache/morvane-uvc-stereo;
// empty when neither is set to an absolute path (see xdg_base_directory).
std::string blob_cache_directory();
// The cache file of one camera; empty when the camera has no serial or
// there is no cache directory.
std::string blob_cache_path(const uvc_stereo::DeviceInfo& device);
// The cached blob's raw bytes as stored (unchecked: the SDK validates them);
// nothing unless the path is a non-empty regular file of this user of at
// most `max_bytes` in a directory of this user's with mode 0700 (never
// following a symlink, never blocking on a FIFO).
std::optional<uvc_stereo::FlashBlob> load_cached_blob(const std::string& path, std::size_t max_bytes);
// Best effort: a cache that cannot be written is skipped silently. Written
// through a unique temporary (0600) renamed over the path, in a directory
// made (or tightened to) 0700 and owned by this user.
void store_cached_blob(const std::string& path, const std::vector<std::uint8_t>& raw);

// ---- Text helpers.

// Indents a compact JSON text (as the SDK returns it) with two spaces per
// level, without touching strings, numbers or literals.
std::string pretty_json(const std::string& compact);

bool read_file(const std::string& path, std::vector<std::uint8_t>& bytes, std::string& error);
bool write_file(const std::string& path, const std::vector<std::uint8_t>& bytes, std::string& error);

// ---- Files the user names (files.cpp).

// Reads `path` ("-": standard input): a regular file of at most max_bytes,
// else a message naming what it is or how large.
bool read_input(const std::string& path, std::size_t max_bytes, std::vector<std::uint8_t>& bytes, std::string& error);
// Writes `bytes` to a unique temporary in the target's directory and renames
// it over the target (whose mode it keeps), so a failed write leaves the
// target as it was. A target that is a device or FIFO is written in place;
// "-" is standard output.
bool write_output(const std::string& path, const std::vector<std::uint8_t>& bytes, std::string& error);
// Flushes standard output; false, with the reason, when anything written to
// it was lost (a full disk, a closed descriptor).
bool stdout_ok(std::string& error);
// A whole decimal or 0x-prefixed hexadecimal number in [min, max].
bool parse_number(const std::string& text, std::uint64_t min, std::uint64_t max, std::uint64_t& value);
// A device text safe for a terminal: control bytes, DEL and bytes above 0x7F
// as \xNN, a backslash as two.
std::string escape_text(const std::string& text);

// ---- Copies kept before an erase, and held stop signals (safety.cpp).

// $XDG_STATE_HOME/morvane-uvc-stereo, else ~/.local/state/morvane-uvc-stereo
// (HOME, else the home directory of the user database).
std::string state_directory();
// Writes `bytes` to a new file "<kind>-<serial>-<sequence>-<UTC time>"
// (.blob for kind "calibration", else .bin) in the state directory, created
// 0700 and owned by the user; the file is 0600, written to a unique
// temporary, synced and linked to its name. The serial is encoded so that
// it maps back (unsafe bytes, '-' and '%' as %XX; "ids=<vidpid>" without
// one); the sequence is one more than the highest of this camera's copies
// of this kind, and orders them (the time is for reading only). `path`
// names it.
bool save_safety_copy(const uvc_stereo::DeviceInfo& device, const std::string& kind,
                      const std::vector<std::uint8_t>& bytes, std::string& path, std::string& error);
// The newest calibration copy of this camera (the highest sequence; copies
// named by older versions, where unambiguous, before numbered ones), or
// empty. Names are matched exactly, never by prefix.
std::string latest_calibration_copy(const uvc_stereo::DeviceInfo& device);
std::string shell_quote(const std::string& text);

// SIGINT, SIGTERM, SIGHUP and SIGPIPE: blocked for every thread before any
// is started, then unblocked on the main thread alone.
void block_stop_signals_for_all_threads();
void unblock_stop_signals();
// Holds the stop signals for its life (while the flash is rewritten); one
// that arrives meanwhile is kept for act_on_held_signal().
class HeldSignals {
 public:
  HeldSignals();
  ~HeldSignals();
  HeldSignals(const HeldSignals&) = delete;
  HeldSignals& operator=(const HeldSignals&) = delete;

 private:
  sigset_t previous_{};
};
int held_signal();
// Ends the process by the held signal, if one arrived.
void act_on_held_signal();

// Progress for long operations: a bar on a terminal, plain lines otherwise.
class Progress {
 public:
  Progress(std::string label, bool enabled);
  ~Progress();
  void update(double fraction);
  void finish();
  static void callback(void* self, float fraction);

 private:
  std::string label_;
  bool enabled_;
  bool tty_;
  int last_ = -1;
  bool finished_ = false;
};

// ---- Simulated camera.

// A virtual camera installed behind the SDK for the life of the object, with
// a firmware image, a calibration document and a moving IMU. Its flash is
// `state_file`: loaded at start, and every program and erase written through
// to it as it happens, so runs see each other's changes and a run killed
// mid-write leaves what a camera unplugged then would hold. One run at a
// time: start() waits while another run holds "<state_file>.lock".
class Simulation {
 public:
  static std::unique_ptr<Simulation> start(const std::string& state_file, std::string& error);
  ~Simulation();
  // Whether every change of the flash reached the state file, flushed to the
  // disk when there was one (else false and the first failure's message).
  bool save(std::string& error);
  // Advances the virtual clock (the IMU's sample period in simulated mode).
  void advance_ms(double ms);
  const std::string& state_file() const;

  struct Impl;

 private:
  explicit Simulation(std::unique_ptr<Impl> impl);
  std::unique_ptr<Impl> impl_;
};

std::string default_state_file();

}  // namespace morvane::tool
