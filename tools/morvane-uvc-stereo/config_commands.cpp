// The config subcommands: the calibration document in the camera's flash.
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

namespace morvane::tool {

namespace us = uvc_stereo;
using nlohmann::ordered_json;

namespace {

// The largest document file read: a stored document is at most 64 KiB
// compact, and the file may hold it indented.
constexpr std::size_t kMaxDocumentInput = 1u << 20;

}  // namespace

int cmd_config_get(const GlobalOptions& g, bool pretty, const std::string& output) {
  auto selection = pick_for_flash(g);
  if (!selection.device) return report(selection.error);
  std::string compact;
  bool have = false;
  if (g.fast) {
    StoredBlob stored = read_stored_blob(g, *selection.device, true);
    if (!stored.blob.ok()) return report(with_permission_hint(sdk_error(stored.blob), g, *selection.device));
    const auto& payload = stored.blob.value->payload;
    auto minified = us::detail::minify_json_any_bytes(  // a stored document is read whatever its bytes
        std::string_view(reinterpret_cast<const char*>(payload.data()), payload.size()));
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
  if (!write_output(output.empty() ? "-" : output, std::vector<std::uint8_t>(text.begin(), text.end()), error))
    return report({kExitFileError, error});
  return kExitOk;
}

namespace {

// Rewrites the calibration area with `blob` once the current calibration is
// kept on disk; the stop signals wait while the flash is rewritten.
int write_calibration(const GlobalOptions& g, const us::DeviceInfo& device, const us::FlashBlob& blob) {
  KeptCalibration kept;
  ToolError error;
  if (!keep_calibration(device, kept, error)) return report(error);
  HeldSignals held;
  auto written = us::write_blob_to_device(flash_config_for(device), blob);
  if (!written.ok()) {
    ToolError failure = with_permission_hint(
        {blob_write_exit(written), "writing the calibration failed: " + describe(written.code, written.message) +
                                       ". The flash may now hold no calibration or a partly written one; " +
                                       calibration_recovery(g, device, kept)},
        g, device);
    return report(failure);
  }
  return kExitOk;
}

std::string input_name(const std::string& input) { return input == "-" ? std::string("standard input") : input; }

}  // namespace

int cmd_config_set(const GlobalOptions& g, const std::string& input) {
  std::vector<std::uint8_t> bytes;
  std::string error;
  if (!read_input(input, kMaxDocumentInput, bytes, error)) return report({kExitFileError, error});
  std::string_view text(reinterpret_cast<const char*>(bytes.data()), bytes.size());
  // Checked before anything on the camera is touched.
  auto minified = us::minify_and_validate_json(text);
  if (!minified.ok()) return report(bad_file(minified, input_name(input) + ": "));
  auto blob =
      us::build_blob(0, std::vector<std::uint8_t>(minified.value->begin(), minified.value->end()), us::FlashConfig{});
  if (!blob.ok()) return report(bad_file(blob, input_name(input) + ": "));
  auto selection = pick_for_flash(g);
  if (!selection.device) return report(selection.error);
  const int status = write_calibration(g, *selection.device, *blob.value);
  if (status != kExitOk) return status;
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
  if (!write_output(output, blob.value->raw, error)) return report({kExitFileError, error});
  std::cerr << "saved " << blob.value->raw.size() << " bytes (document version " << blob.value->version << ")\n";
  return kExitOk;
}

int cmd_config_restore(const GlobalOptions& g, const std::string& input) {
  std::vector<std::uint8_t> bytes;
  std::string error;
  us::FlashConfig defaults;
  if (!read_input(input, defaults.max_total_length, bytes, error)) return report({kExitFileError, error});
  auto blob = us::parse_and_validate_raw_blob(bytes, defaults);
  if (!blob.ok()) return report(bad_file(blob, input_name(input) + " is not a valid configuration blob: "));
  auto json = us::minify_and_validate_json(
      std::string_view(reinterpret_cast<const char*>(blob.value->payload.data()), blob.value->payload.size()));
  if (!json.ok()) return report(bad_file(json, input_name(input) + " holds a blob whose document is not valid JSON: "));
  auto selection = pick_for_flash(g);
  if (!selection.device) return report(selection.error);
  const int status = write_calibration(g, *selection.device, *blob.value);
  if (status != kExitOk) return status;
  std::cerr << "restored " << blob.value->raw.size() << " bytes\n";
  return kExitOk;
}

int cmd_config_check(const std::string& input) {
  std::vector<std::uint8_t> bytes;
  std::string error;
  if (!read_input(input, kMaxDocumentInput, bytes, error)) return report({kExitFileError, error});
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

}  // namespace morvane::tool
