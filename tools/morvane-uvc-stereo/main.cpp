// morvane-uvc-stereo: list the supported cameras, read and write their
// calibration document, stream their IMU, capture and record their frames
// and reach their USB controller.
#include <fcntl.h>
#include <unistd.h>
#include <CLI/CLI.hpp>
#include <cstdio>
#include <iostream>
#include <memory>

#include "commands.hpp"
#include "tool.hpp"

using namespace morvane::tool;

namespace {

// The same for every subcommand.
constexpr const char* kExitCodesHelp =
    "Exit status (every command):\n"
    "  0  success\n"
    "  2  bad arguments\n"
    "  3  no camera, or the --device selector matched none or several\n"
    "  4  an operation on the camera failed (its code and message are printed)\n"
    "  5  a file or standard output could not be read or written, or a file holds bad data\n"
    "  6  not confirmed\n"
    "  7  data read back from the flash differs from what was written\n"
    "  8  the camera's video node is open in another process (flash and firmware operations refuse then, unless\n"
    "     --force)\n"
    "A command stopped by a signal while it rewrites the flash finishes that first, says what the flash holds,\n"
    "then ends by the signal. Copies of what an erase destroys are kept in $XDG_STATE_HOME/morvane-uvc-stereo.";

// What the imu command prints, before the exit-status table.
constexpr const char* kImuOutputHelp =
    "Output: one row per sample (table, csv) or one object per sample (json), then a summary. time_ns is the\n"
    "sample's instant on CLOCK_MONOTONIC from the device clock estimate, host_ns when the read that returned it\n"
    "came back, device_counter the device's 20-bit counter with its wraps counted. missed_before (csv, json)\n"
    "counts the samples the device took since the previous row that were never received. A discontinuity (the\n"
    "table's note column says \"discontinuity\", csv 1, json true) marks a sample whose device counter does not\n"
    "follow from the previous one: the device clock jumped (as after a suspend) or a read lasted too long to tell\n"
    "the counter's wraps. Its stamp is re-anchored, and how many samples were missed before it is unknown\n"
    "(missed_before 0). The summary counts them.";

// A byte count option: a whole decimal or 0x-hexadecimal number in range.
bool parse_size(const std::string& text, const char* option, std::uint64_t min, std::uint64_t max,
                std::uint32_t& value) {
  std::uint64_t v = 0;
  if (!parse_number(text, min, max, v)) {
    char range[64];
    std::snprintf(range, sizeof range, "0x%llx to 0x%llx", static_cast<unsigned long long>(min),
                  static_cast<unsigned long long>(max));
    report({kExitUsage, std::string(option) + " must be a whole number (decimal or 0x...) from " + range + ", not '" +
                            escape_text(text) + "'"});
    return false;
  }
  value = static_cast<std::uint32_t>(v);
  return true;
}

// Serial flash addresses are 24-bit.
constexpr std::uint64_t kMaxFlashBytes = 0x1000000;

}  // namespace

namespace {
// A standard stream the tool was started without is held by /dev/null
// opened the wrong way round, so that no file the tool opens later (the
// simulated camera's state file, its lock) becomes standard output and
// every write to a closed stream still fails.
void hold_closed_standard_streams() {
  for (int fd = 0; fd <= 2; ++fd) {
    if (fcntl(fd, F_GETFD) >= 0) continue;
    const int held = ::open("/dev/null", fd == 0 ? O_WRONLY : O_RDONLY);
    if (held >= 0 && held != fd) {
      ::dup2(held, fd);
      ::close(held);
    }
  }
}
}  // namespace

int main(int argc, char** argv) {
  hold_closed_standard_streams();
  CLI::App app{"Morvane UVC stereo camera tool", "morvane-uvc-stereo"};
  app.footer(kExitCodesHelp);
  app.require_subcommand(1);
  app.set_version_flag("--version",
                       std::string("morvane-uvc-stereo ") + MORVANE_TOOL_VERSION + "\nlibmorvane_uvc_stereo_sdk " +
                           morvane::uvc_stereo::library_version(),
                       "Print the tool's and the library's versions and exit");

  GlobalOptions global;
  std::string state_file;
  auto* simulate = app.add_option("--simulate", state_file,
                                  "Run against a simulated camera whose flash is kept in STATE_FILE between runs")
                       ->expected(0, 1)
                       ->type_name("STATE_FILE");
  auto* device_option = app.add_option("-d,--device", global.device,
                                       "Camera to use: list index, serial, video node, USB path or bus:address");
  app.add_flag("--force", global.force,
               "Run flash and firmware operations even while another process has the camera's video node open "
               "(its capture or IMU reads end)");
  bool no_fast = false, no_cache = false, reuse_cache = false;
  app.add_flag("--no-fast", no_fast,
               "Read the stored document register by register only (no streaming requests, no reuse check)");
  app.add_flag("--no-cache", no_cache,
               "Neither use nor update the last document kept per camera under $XDG_CACHE_HOME/morvane-uvc-stereo");
  app.add_flag("--reuse-cache", reuse_cache,
               "config get and info: return the cached document when the camera's stored header and the last 4 "
               "payload bytes match it, without reading the rest (a change elsewhere in the payload goes unseen)");

  bool json = false, pretty = false, yes = false;
  std::string file, output, size_text = "0x20000", flash_size_text = "0x100000";
  ImuOptions imu;
  int slave = 0, reg = 0, reg_len = 2, len = 1, value = 0;

  auto* list = app.add_subcommand("list", "List the supported cameras");
  list->add_flag("--json", json, "Machine-readable output");

  auto* watch = app.add_subcommand("watch", "Print camera arrivals and removals as they happen, until interrupted");
  watch->add_flag("--json", json, "One JSON object per line");

  auto* info = app.add_subcommand("info", "Identity, firmware version, flash and IMU availability");
  info->add_flag("--json", json, "Machine-readable output");

  auto* config = app.add_subcommand("config", "The calibration document in the camera's flash");
  config->require_subcommand(1);
  auto* config_get = config->add_subcommand("get", "Print the stored document (compact, or --pretty)");
  config_get->add_flag("--pretty", pretty, "Indent the document");
  config_get->add_option("-o,--output", output, "Write to FILE instead of standard output");
  auto* config_set = config->add_subcommand("set", "Validate FILE (or - for standard input) and store it");
  config_set->add_option("FILE", file, "JSON document, or -")->required();
  auto* config_backup = config->add_subcommand("backup", "Save the stored blob, byte for byte");
  config_backup->add_option("FILE", file, "Output file")->required();
  auto* config_restore = config->add_subcommand("restore", "Check a saved blob and write it back");
  config_restore->add_option("FILE", file, "Blob file from 'config backup'")->required();
  auto* config_check = config->add_subcommand("check", "Check a JSON document or a blob file offline");
  config_check->add_option("FILE", file, "JSON document or blob file")->required();

  auto* imu_cmd = app.add_subcommand("imu", "Read IMU samples");
  imu_cmd->add_option("-n,--count", imu.count, "Number of samples (default 10)");
  imu_cmd->add_option("-t,--duration", imu.duration_s, "Read for this many seconds");
  imu_cmd->add_option("--rate", imu.rate_hz, "Expected sample rate in Hz (default: measured from the samples)");
  imu_cmd->add_flag("--raw", imu.raw, "Print raw counts instead of physical units");
  imu_cmd->add_option("--format", imu.format, "table, csv or json")->check(CLI::IsMember({"table", "csv", "json"}));

  CaptureOptions capture;
  RecordOptions record;
  auto add_frame_options = [](CLI::App* command, FrameOptions& frames) {
    command->add_option("--size", frames.size, "Side-by-side picture size WIDTHxHEIGHT (default: as the node is set)");
    command->add_option("--fps", frames.fps, "Frames per second (default: the fastest the size offers)");
    command->add_flag("--mjpeg", frames.mjpeg, "Have the camera send Motion-JPEG (where it offers it) instead of YUYV");
  };
  auto* capture_cmd = app.add_subcommand("capture", "Write stereo frames, each eye a PNG file");
  capture_cmd->add_option("-n,--count", capture.count, "Number of frames (default 1)");
  capture_cmd->add_option("-o,--output-dir", capture.directory,
                          "Directory for the files (default .; made when missing)");
  capture_cmd->add_flag("--color", capture.color, "Colour (RGB) PNGs instead of 8-bit gray");
  add_frame_options(capture_cmd, capture.frames);
  auto* record_cmd = app.add_subcommand("record", "Record frames and IMU samples as a EuRoC-style dataset in DIR");
  record_cmd->add_option("DIR", record.directory, "New or empty directory for the dataset")->required();
  record_cmd->add_option("-t,--duration", record.duration_s, "Seconds to record (default 10; interrupt to end sooner)");
  add_frame_options(record_cmd, record.frames);

  auto* firmware = app.add_subcommand("firmware", "The controller firmware in the serial flash");
  firmware->require_subcommand(1);
  auto* fw_version = firmware->add_subcommand("version", "Print the firmware version");
  fw_version->add_flag("--json", json, "Machine-readable output");
  auto* fw_export = firmware->add_subcommand("export", "Read the firmware image into FILE");
  fw_export->add_option("FILE", file, "Output file")->required();
  fw_export->add_option("--size", size_text, "Bytes to read (default 0x20000)");
  auto* fw_burn = firmware->add_subcommand("burn", "Erase the flash and write FILE, keeping the calibration");
  fw_burn->add_option("FILE", file, "Firmware image")->required();
  fw_burn->add_flag("-y,--yes", yes, "Do not ask for confirmation");
  fw_burn->add_option("--flash-size", flash_size_text, "Size of the serial flash (default 0x100000)");
  auto* fw_params = firmware->add_subcommand("params", "Print the USB parameter table (ids and strings)");
  fw_params->add_flag("--json", json, "Machine-readable output");

  auto* sensor = app.add_subcommand("sensor", "Image sensor registers through the controller's I2C master");
  sensor->require_subcommand(1);
  auto* sensor_read = sensor->add_subcommand("read", "Read one register");
  auto* sensor_write = sensor->add_subcommand("write", "Write one register");
  for (auto* s : {sensor_read, sensor_write}) {
    s->add_option("--slave", slave, "I2C target address byte")->required()->check(CLI::Range(0, 255));
    s->add_option("--reg", reg, "Register address")->required()->check(CLI::Range(0, 0xFFFF));
    s->add_option("--reg-len", reg_len, "Register address bytes (1 or 2)")->check(CLI::Range(1, 2));
    s->add_option("--len", len, "Value bytes (1 or 2)")->check(CLI::Range(1, 2));
  }
  sensor_write->add_option("--value", value, "Value to write")->required()->check(CLI::Range(0, 0xFFFF));

  // Every subcommand's --help ends with the one exit-status table.
  std::vector<CLI::App*> pending = {&app};
  while (!pending.empty()) {
    CLI::App* next = pending.back();
    pending.pop_back();
    next->footer(kExitCodesHelp);
    for (CLI::App* sub : next->get_subcommands([](CLI::App*) { return true; })) pending.push_back(sub);
  }
  imu_cmd->footer(std::string(kImuOutputHelp) + "\n\n" + kExitCodesHelp);

  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    int code = app.exit(e);
    // --help and --version print on standard output: lost output fails.
    std::string output_error;
    if (code == 0 && !stdout_ok(output_error)) return report({kExitFileError, output_error});
    return code == 0 ? kExitOk : kExitUsage;
  }

  global.fast = !no_fast;
  global.cache = !no_cache;
  if (device_option->count() > 0 && global.device.empty())
    return report({kExitUsage, "--device needs a selector (index, serial, video node, USB path or bus:address)"});
  std::uint32_t export_size = 0, flash_size = 0;
  if (*fw_export && !parse_size(size_text, "--size", 1, kMaxFlashBytes, export_size)) return kExitUsage;
  if (*fw_burn && !parse_size(flash_size_text, "--flash-size", 0x10000, kMaxFlashBytes, flash_size)) return kExitUsage;
  global.reuse_cache = reuse_cache && !no_cache && !no_fast;

  // The stop signals reach the main thread alone: threads started from here
  // on (the simulated camera's) keep them blocked.
  block_stop_signals_for_all_threads();
  std::unique_ptr<Simulation> simulation;
  if (simulate->count() > 0) {
    std::string error;
    global.state_file = state_file.empty() ? default_state_file() : state_file;
    simulation = Simulation::start(global.state_file, error);
    if (!simulation) return report({kExitFileError, error});
    global.simulated = true;
  }
  unblock_stop_signals();

  int status = kExitOk;
  try {
    if (*list) {
      status = cmd_list(global, json);
    } else if (*watch) {
      status = cmd_watch(global, json);
    } else if (*info) {
      status = cmd_info(global, json);
    } else if (*config_get) {
      status = cmd_config_get(global, pretty, output);
    } else if (*config_set) {
      status = cmd_config_set(global, file);
    } else if (*config_backup) {
      status = cmd_config_backup(global, file);
    } else if (*config_restore) {
      status = cmd_config_restore(global, file);
    } else if (*config_check) {
      status = cmd_config_check(file);
    } else if (*imu_cmd) {
      status = cmd_imu(global, imu);
    } else if (*capture_cmd) {
      status = cmd_capture(global, capture);
    } else if (*record_cmd) {
      status = cmd_record(global, record);
    } else if (*fw_version) {
      status = cmd_firmware_version(global, json);
    } else if (*fw_export) {
      status = cmd_firmware_export(global, file, export_size);
    } else if (*fw_burn) {
      status = cmd_firmware_burn(global, file, yes, flash_size);
    } else if (*fw_params) {
      status = cmd_firmware_params(global, json);
    } else if (*sensor_read) {
      status = cmd_sensor_read(global, static_cast<std::uint8_t>(slave), static_cast<std::uint16_t>(reg), reg_len, len);
    } else if (*sensor_write) {
      status = cmd_sensor_write(global, static_cast<std::uint8_t>(slave), static_cast<std::uint16_t>(reg), reg_len,
                                static_cast<std::uint16_t>(value), len);
    }
  } catch (const std::exception& e) {
    status = report({kExitSdkError, std::string("internal failure: ") + e.what()});
  }

  // What the command printed must have reached standard output (a command
  // that failed has said so already).
  std::string output_error;
  if (!stdout_ok(output_error) && status == kExitOk) status = report({kExitFileError, output_error});
  if (simulation) {
    std::string error;
    if (!simulation->save(error)) status = report({kExitFileError, error});
  }
  if (held_signal() != 0) {
    std::cerr << "stopped by signal " << held_signal() << " (it waited until the flash was consistent)\n";
    act_on_held_signal();
  }
  return status;
}
