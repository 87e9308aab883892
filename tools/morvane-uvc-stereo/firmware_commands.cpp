// The firmware subcommands: version, export, burn and the parameter table.
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
#include "firmware_check.hpp"
#include "sonix/sonix_cam.h"
#include "table.hpp"
#include "tool.hpp"

namespace morvane::tool {

namespace us = uvc_stereo;
using nlohmann::ordered_json;

namespace {

// The old image kept before a burn: as much of the flash as a firmware may
// take, or the part the flash window reaches on a camera without streaming.
bool export_current_firmware(std::vector<std::uint8_t>& image) {
  for (std::uint32_t length : {kCalibrationAddress, 0x40000u}) {
    image.assign(length, 0);
    if (SonixCam_ExportFW(image.data(), length, nullptr, nullptr) != 0) return true;
  }
  image.clear();
  return false;
}

bool printable_version(const std::string& text) {
  return !text.empty() && std::all_of(text.begin(), text.end(),
                                      [](char c) { return (c >= 0x20 && c < 0x7F) || c == '\r' || c == '\n'; });
}

}  // namespace

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
  // Erased or half-written version fields are no version.
  if (!printable_version(raw_text)) {
    return report({kExitSdkError, "the flash holds no firmware version (its version fields read \"" +
                                      escape_text(raw_text) +
                                      "\": erased or partly written firmware, as an interrupted burn leaves)"});
  }
  if (json) {
    char chip_text[8];
    std::snprintf(chip_text, sizeof chip_text, "0x%02x", chip);
    std::cout << ordered_json{{"raw", raw_text}, {"text", full_text}, {"chip_id", chip_text}, {"rom_type", rom_type}}
                     .dump(2, ' ', false, ordered_json::error_handler_t::replace)
              << "\n";
  } else {
    std::printf("firmware version: %s\nfull version:     %s\ncontroller:       chip 0x%02x, ROM type %d\n",
                escape_text(raw_text).c_str(), escape_text(full_text).c_str(), chip, rom_type);
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
  if (!write_output(output, image, error)) return report({kExitFileError, error});
  std::cerr << "exported " << size << " bytes to " << output << "\n";
  return kExitOk;
}

int cmd_firmware_burn(const GlobalOptions& g, const std::string& input, bool yes, std::uint32_t flash_size) {
  // A firmware image ends before the calibration area and within the flash.
  const std::size_t limit = std::min<std::size_t>(flash_size, kCalibrationAddress);
  std::vector<std::uint8_t> image;
  std::string error;
  if (!read_input(input, limit, image, error))
    return report({kExitFileError, error + " (a firmware image ends before the calibration area at 0x51000)"});
  if (image.empty()) return report({kExitFileError, input + " is empty"});
  auto selection = pick_for_flash(g);
  if (!selection.device) return report(selection.error);
  const auto& device = *selection.device;
  auto config = flash_config_for(device);

  // Before anything is erased: the image checked against this camera's
  // controller, and the current firmware read out to be kept.
  std::vector<std::uint8_t> old_image;
  {
    SonixSession session(device);
    if (!session.open()) return report(with_permission_hint(session_failed(), g, device));
    std::string version;
    const std::string reason = check_firmware_image(image, version);
    if (!reason.empty()) {
      return report(
          {kExitFileError, input + " is not a firmware image for this camera: " + reason + "; nothing was erased"});
    }
    std::cerr << "image firmware version: " << escape_text(version) << "\n";
    if (!export_current_firmware(old_image))
      return report({kExitSdkError, "cannot read the current firmware to keep a copy of it; nothing was erased"});
  }
  std::string old_image_file;
  if (!save_safety_copy(device, "firmware", old_image, old_image_file, error)) {
    return report({kExitFileError, "cannot keep a copy of the current firmware: " + error + "; nothing was erased"});
  }
  std::cerr << "the current firmware is kept in " << old_image_file << "\n";
  // A chip erase destroys the calibration blob: kept on disk to be written
  // back. Before a prompt it is kept once so the user knows where it is; the
  // copy written back is the one kept again right before the erase.
  KeptCalibration kept;
  ToolError keep_error;
  if (!yes) {
    if (!keep_calibration(device, kept, keep_error)) return report(keep_error);
    // The chip erase takes sector 0 with it: name the boot-code risk.
    std::cerr << "This erases the whole serial flash of camera " << vidpid_text(device.vid, device.pid) << " (serial '"
              << escape_text(device.serial) << "') and writes " << input
              << ". Sector 0 holds the controller's boot code: if power is lost or the write fails before it is "
                 "rewritten, the camera will not boot (not even to be burned again). Continue? [y/N] ";
    std::string answer;
    if (!std::getline(std::cin, answer) || (answer != "y" && answer != "Y" && answer != "yes")) {
      std::cerr << "aborted\n";
      return kExitAborted;
    }
  }

  const std::string burn_again = tool_command(g, device, "firmware burn --yes " + shell_quote(input));
  const std::string burn_old = tool_command(g, device, "firmware burn --yes " + shell_quote(old_image_file));
  // From the erase until the calibration is back and verified, a stop
  // signal waits: the tool says what the flash holds before it ends.
  HeldSignals held;
  {
    SonixSession session(device);
    if (!session.open()) return report(with_permission_hint(session_failed(), g, device));
    // With the camera lock held from here to the write-back, the
    // calibration is read and kept again: a document another program stored
    // while the prompt waited is the one written back, not the older copy.
    if (!keep_calibration(device, kept, keep_error)) return report(keep_error);
    int type = 0;
    SonixCam_GetSerialFlashType(&type, 1);
    if (type == 0) return report({kExitSdkError, "the camera's serial flash type is unknown; refusing to erase it"});
    Progress progress("burn", true);
    if (!SonixCam_BurnerFW(image.data(), static_cast<std::int64_t>(image.size()), &Progress::callback, &progress, type,
                           1)) {
      const int code = SonixCam_GetErrorCode();
      progress.finish();
      return report({code == SONIXCAM_EC_VERIFY ? kExitVerifyFailed : kExitSdkError,
                     "burning the firmware failed (controller error code " + std::to_string(code) +
                         "): the flash may now hold a partly written firmware and no calibration. Burn the image "
                         "again (the calibration is written back then):\n  " +
                         burn_again + "\nor the previous firmware:\n  " + burn_old + "\n" +
                         calibration_recovery(g, device, kept)});
    }
    progress.finish();
    if (!kept.raw.empty()) {
      us::FlashBlob blob;
      blob.raw = kept.raw;
      auto restored = us::write_blob_to_device(config, blob);
      if (!restored.ok()) {
        return report({blob_write_exit(restored),
                       "firmware burned and verified, but writing the calibration back "
                       "failed: " +
                           describe(restored.code, restored.message) +
                           ". The flash holds the new firmware and no complete "
                           "calibration; " +
                           calibration_recovery(g, device, kept)});
      }
    }
  }
  std::cerr << "firmware burned and verified"
            << (kept.raw.empty() ? std::string() : "; calibration written back (a copy stays in " + kept.file + ")")
            << "; the previous firmware stays in " << old_image_file << "\n";
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
    // Control characters are escaped by JSON; bytes that are no UTF-8 become U+FFFD.
    std::cout << out.dump(2, ' ', false, ordered_json::error_handler_t::replace) << "\n";
  } else {
    for (auto it = out.begin(); it != out.end(); ++it)
      std::printf("%-13s %s\n", (it.key() + ":").c_str(),
                  it.value().is_null() ? "(unreadable)" : escape_text(it.value().get<std::string>()).c_str());
  }
  return kExitOk;
}

}  // namespace morvane::tool
