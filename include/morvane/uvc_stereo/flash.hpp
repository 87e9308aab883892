// Configuration storage in the camera's serial flash: the blob format, the
// JSON minifier and the flash transport.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "morvane/uvc_stereo/export.hpp"
#include "morvane/uvc_stereo/result.hpp"
#include "morvane/uvc_stereo/types.hpp"

namespace morvane::uvc_stereo {

// Where the configuration blob lives, how it is checked, which camera holds it.
struct FlashConfig {
  std::string vidpid;                 // "%04x%04x" of vid then pid; selects the device when non-empty
  bool auto_select = true;            // scan when vidpid is empty
  std::uint16_t auto_select_vid = 0;  // 0: any
  std::uint16_t auto_select_pid = 0;  // 0: any
  std::uint8_t bus_number = 0;
  std::uint8_t device_address = 0;
  std::string serial;    // carried along, not read by the flash code
  std::string usb_path;  // carried along, not read by the flash code
  std::uint32_t flash_address = 0x51000;
  std::uint32_t sector_size = 0x1000;  // 0 is treated as 1
  std::uint32_t magic = 0x4D4F5256;    // "MORV"; stored little-endian as 56 52 4F 4D
  std::uint32_t max_total_length = 0x10000;
  std::uint16_t min_header_size = 16;  // must be >= 16
  std::uint16_t max_header_size = 256;
  bool verify_crc = true;
  bool verify_after_write = true;
};

// One blob in memory. `raw` is the blob exactly as it lies in flash.
struct FlashBlob {
  std::uint32_t magic = 0;
  std::uint16_t version = 0;
  std::uint16_t header_size = 0;
  std::uint32_t payload_length = 0;
  std::uint32_t crc32 = 0;
  std::vector<std::uint8_t> payload;
  std::vector<std::uint8_t> raw;
};

// CRC-32 of IEEE 802.3 (reflected 0xEDB88320, init and final xor 0xFFFFFFFF).
// crc32_ieee of no bytes is 0; of the ASCII text "123456789" it is 0xCBF43926.
MORVANE_UVC_STEREO_API std::uint32_t crc32_ieee(const std::vector<std::uint8_t>& data) noexcept;

// Builds a blob with header size config.min_header_size: magic, version, header
// size, payload length and CRC-32 of the payload, each little-endian, zero fill
// up to the header size, then the payload. Reads only config.magic,
// min_header_size and max_total_length. An empty payload gives the bare header.
// Fails: invalid_argument "config.min_header_size must be >= 16";
//        invalid_length "payload is too large" (header + payload above
//        config.max_total_length);
//        internal_error "out of memory" when the blob cannot be allocated.
MORVANE_UVC_STEREO_API Result<FlashBlob> build_blob(std::uint16_t version, const std::vector<std::uint8_t>& payload,
                                                    const FlashConfig& config) noexcept;

// Parses and validates raw blob bytes; bytes past the declared total are dropped.
// On success the header fields are the stored ones (crc32 is the stored value
// even when verify_crc is off and it does not match), payload is a copy of the
// payload bytes and raw the first header_size + payload_length input bytes.
// Fails, in this order of checks: invalid_header "raw size is smaller than minimum
// header size"; invalid_argument "config.min_header_size must be >= 16";
// magic_mismatch "flash magic mismatch"; invalid_header "header_size out of range";
// invalid_length "total length is invalid"; invalid_length "raw buffer is shorter
// than header-declared length"; crc_mismatch "crc32 mismatch" (only with verify_crc);
// internal_error "out of memory" when the copies cannot be allocated.
MORVANE_UVC_STEREO_API Result<FlashBlob> parse_and_validate_raw_blob(const std::vector<std::uint8_t>& raw,
                                                                     const FlashConfig& config) noexcept;

// Checks that `text` is one JSON value and returns it with all whitespace outside
// strings removed; everything else is copied byte for byte.
// Fails with invalid_json: "json text is empty", "invalid JSON value at offset N",
// "unexpected trailing characters at offset N". Nesting of arrays and objects is
// limited to kMaxJsonNestingDepth levels; a deeper document fails with
// "invalid JSON value at offset N", N being the offset of the bracket that would
// exceed the limit. The parser keeps its own stack, so no input exhausts the
// thread's stack. Whitespace is exactly space, tab, line feed and carriage
// return. A text that passes the grammar must also be well-formed UTF-8
// (string contents are copied, not decoded); otherwise it fails with
// "invalid UTF-8 at offset N", N being the offset of the first byte of the
// first ill-formed sequence. Every write checks documents this way. N is the
// byte offset from the start of `text` at which the parser gave up. When the
// output buffer cannot be allocated the result is internal_error "out of
// memory".
inline constexpr std::size_t kMaxJsonNestingDepth = 10000;
MORVANE_UVC_STEREO_API Result<std::string> minify_and_validate_json(std::string_view text) noexcept;

namespace detail {
// minify_and_validate_json without the UTF-8 check: what the read paths
// apply to a stored document, so one stored before writes were checked
// still reads (as the bytes it holds).
MORVANE_UVC_STEREO_API Result<std::string> minify_json_any_bytes(std::string_view text) noexcept;
}  // namespace detail

// Device I/O. Each call opens its own connection to the camera under a
// process-wide lock and closes it before returning. Should the access
// library (SonixCam_) already be open, through the program's own use of it,
// a call uses that connection only when it is to the camera asked for and
// leaves it open; otherwise it fails with device_unavailable "the access
// library is open to camera VVVV:PPPP at BBB/DDD, not to the requested
// camera VVVV:PPPP at BBB/DDD" and leaves that connection alone.
MORVANE_UVC_STEREO_API Result<FlashBlob> read_blob_from_device(const FlashConfig& config) noexcept;
MORVANE_UVC_STEREO_API Result<void> write_blob_to_device(const FlashConfig& config, const FlashBlob& blob) noexcept;
MORVANE_UVC_STEREO_API Result<void> probe_flash_transport(const FlashConfig& config) noexcept;

// ---- Fast reads.
//
// The same stored blob as read_blob_from_device, fetched with fewer control
// transfers where the camera allows it. By default a fast read returns
// exactly what read_blob_from_device would return at that moment, or fails
// as it would: every byte of the blob is read from the flash and passes the
// checks of the byte-banging read (magic, header ranges, total length, the
// CRC-32 when verify_crc is on and, for documents, the JSON rules). What
// each path checks besides:
// - byte_banging: nothing more; it is the read_blob_from_device read.
// - streaming: the header preview (magic, version, sizes, CRC-32) and any
//   larger header come by byte-banging and must agree with the streamed
//   bytes, and the streamed payload's CRC-32 must equal the header's
//   whatever verify_crc says (a stale or wrong streaming reply is caught
//   even with the CRC check off).
// - held_copy (opt-in only, see FastReadOptions::reuse_held_copy): the
//   stored header and the payload's last 4 bytes, never its middle.
// Any failure of a fast path (a failed transfer, bytes that do not validate
// or do not match the header's CRC-32) is followed by the byte-banging
// read, whose outcome (with the configuration's own checks) is then
// returned. Each call is one or two flash connections under the same
// process-wide lock as every other flash operation.

// Which read served a fast read.
enum class FlashReadPath : std::uint8_t {
  byte_banging = 0,  // register-by-register SPI read, every controller has it
  streaming = 1,     // streaming flash requests of 64 bytes each
  held_copy = 2,     // opt-in reuse: the stored header matched the caller's copy
};

// "byte_banging", "streaming", "held_copy" (or "unknown"). Static text.
MORVANE_UVC_STEREO_API std::string_view flash_read_path_name(FlashReadPath path) noexcept;

struct FastReadOptions {
  // Use streaming flash requests on controllers that have them. They carry
  // the real flash bytes, so the result is the same as without them.
  bool streaming = true;
  // A copy the caller already holds (a held document is preferred over a
  // held blob; a held blob's raw bytes, when present, are validated against
  // the configuration first, else its version and payload are used; a copy
  // that does not validate is ignored). It is used only when
  // reuse_held_copy is set.
  std::optional<FlashBlob> held_blob;
  std::optional<ReadJsonResult> held_document;
  // Opt-in reuse of the held copy, for callers that accept its limits, on
  // controllers without the streaming request (or with `streaming` off;
  // where streaming requests are used they read the whole blob instead,
  // at a comparable cost). When set (and the configuration keeps
  // verify_crc on), the flash is read for
  // the stored header and the payload's last 4 bytes only; the held copy is
  // returned when the header's magic, version, header size, payload length
  // and CRC-32 equal the held copy's and those 4 bytes equal its last 4
  // bytes (a held copy ending in 4 bytes 0xFF is never reused). The middle
  // of the payload is NOT read: a payload changed in place, a sector erased
  // inside it, or a different document with the same length, version,
  // CRC-32 and last 4 bytes is not noticed, and the held copy is returned
  // instead of what the flash holds. Never use it where the flash's own
  // bytes matter (backup, verify, restore, firmware work).
  bool reuse_held_copy = false;
};

struct FastBlobResult {
  FlashBlob blob;
  FlashReadPath path = FlashReadPath::byte_banging;
  // Why a fast path gave way to the byte-banging read; empty when it did not.
  std::string fast_path_error;
};

struct FastJsonResult {
  std::uint16_t version = 0;
  std::string json;  // compact text
  FlashReadPath path = FlashReadPath::byte_banging;
  std::string fast_path_error;
};

// The stored blob, as read_blob_from_device returns it, by the fastest path
// the options and the controller allow. Fails with the codes and messages of
// read_blob_from_device (those of its byte-banging read after a fast path
// failed).
MORVANE_UVC_STEREO_API Result<FastBlobResult> read_blob_fast(const FlashConfig& config,
                                                             const FastReadOptions& options) noexcept;

// The stored document: the blob as read_blob_fast gives it, its payload
// minified and validated as JSON, then the same 100 ms pause as the
// byte-banging document read. Fails like read_blob_fast, or invalid_json.
MORVANE_UVC_STEREO_API Result<FastJsonResult> read_flash_json_fast(const FlashConfig& config,
                                                                   const FastReadOptions& options) noexcept;

namespace detail {
// The firmware version text with trailing blanks and line ends removed.
MORVANE_UVC_STEREO_API Result<std::string> read_firmware_version_from_device(const FlashConfig& config) noexcept;
}  // namespace detail

}  // namespace morvane::uvc_stereo
