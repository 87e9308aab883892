// The tool's subcommands. Each returns the process exit status.
#pragma once

#include <cstdint>
#include <string>

namespace morvane::tool {

struct GlobalOptions {
  std::string device;  // selector, see select_device()
  bool simulated = false;
  std::string state_file;  // the simulated camera's, when simulated
  bool force = false;      // flash operations even while another process has the video node open
  // Stored-document reads (config get, config backup, info): streaming
  // requests where possible, unless --no-fast asks for the byte-banging
  // read; the last blob per camera is kept in the cache unless --no-cache.
  // --reuse-cache (config get and info only) reuses the cached blob when
  // the stored header and the payload's last 4 bytes match it, without
  // reading the rest of the payload.
  bool fast = true;
  bool cache = true;
  bool reuse_cache = false;
};

struct ImuOptions {
  long count = 0;         // 0: use duration, or 10 when neither is given
  double duration_s = 0;  // stop once the samples span this much host time
  double rate_hz = 0;     // expected sample rate; 0: measured by the stream
  bool raw = false;
  std::string format = "table";  // table, csv, json
};

// How capture and record stream the camera.
struct FrameOptions {
  std::string size;    // "WxH" of the side-by-side picture (both eyes); empty: as the node is set
  double fps = 0;      // 0: the fastest the size offers
  bool mjpeg = false;  // ask the camera for Motion-JPEG (decoded by the SDK)
};

struct CaptureOptions {
  FrameOptions frames;
  long count = 1;
  std::string directory = ".";  // made when missing
  bool color = false;           // RGB PNGs instead of gray
};

struct RecordOptions {
  FrameOptions frames;
  std::string directory;  // the dataset's root: new or empty
  double duration_s = 10;
};

int cmd_list(const GlobalOptions& g, bool json);
int cmd_info(const GlobalOptions& g, bool json);
// Prints camera arrivals, removals and changes until SIGINT or SIGTERM
// (exit status 0 then).
int cmd_watch(const GlobalOptions& g, bool json);
int cmd_config_get(const GlobalOptions& g, bool pretty, const std::string& output);
int cmd_config_set(const GlobalOptions& g, const std::string& input);
int cmd_config_backup(const GlobalOptions& g, const std::string& output);
int cmd_config_restore(const GlobalOptions& g, const std::string& input);
int cmd_config_check(const std::string& input);
int cmd_imu(const GlobalOptions& g, const ImuOptions& options);
// Writes `count` frames, each eye a PNG, into the directory; one line per
// frame. SIGINT or SIGTERM ends it after the frame being written.
int cmd_capture(const GlobalOptions& g, const CaptureOptions& options);
// Records frames and IMU samples as a EuRoC-style dataset until the
// duration has passed on the frames' clock, or SIGINT or SIGTERM.
int cmd_record(const GlobalOptions& g, const RecordOptions& options);
int cmd_firmware_version(const GlobalOptions& g, bool json);
int cmd_firmware_export(const GlobalOptions& g, const std::string& output, std::uint32_t size);
int cmd_firmware_burn(const GlobalOptions& g, const std::string& input, bool yes, std::uint32_t flash_size);
int cmd_firmware_params(const GlobalOptions& g, bool json);
int cmd_sensor_read(const GlobalOptions& g, std::uint8_t slave, std::uint16_t reg, int reg_len, int len);
int cmd_sensor_write(const GlobalOptions& g, std::uint8_t slave, std::uint16_t reg, int reg_len, std::uint16_t value,
                     int len);

}  // namespace morvane::tool
