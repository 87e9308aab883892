// Moves configuration blobs between memory and the camera's serial flash,
// and reads the firmware version, through the SonixCam access library.
//
// Every operation is one short, exclusive flash connection: lock the
// process-wide flash mutex, open the camera with SonixCam_Init, work, close
// with SonixCam_UnInit, unlock. The SonixCam library keeps its one connection
// in unguarded globals, so nothing may touch it outside this lock.
#include "flash/transport.hpp"

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <new>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "morvane/uvc_stereo/discovery.hpp"
#include "platform/platform.hpp"
#include "sonix/sonix_cam.h"
#include "sonix/sonix_internal.h"

namespace morvane::uvc_stereo {
namespace {

// Constant-initialised: it exists before any static constructor runs.
std::mutex g_flash_mutex;

constexpr const char* kMsgNoCandidate = "no vidpid candidate available (check config.vidpid or auto_select filter)";
constexpr const char* kMsgInitFailed = "SonixCam_Init failed";
// Another process, or the other SDK library, kept the camera for the whole wait.
constexpr const char* kMsgCameraBusy = "camera is busy: another user still holds it after 10 s";
constexpr const char* kMsgReadFailed = "SonixCam_SerialFlashCustomRead failed";
constexpr const char* kMsgPreviewTooShort = "header preview is too short";
constexpr const char* kMsgFlashTotalInvalid = "flash header total length is invalid";
constexpr const char* kMsgHeaderRange = "config.min_header_size must be <= config.max_header_size";
constexpr const char* kMsgMissingRawAndPayload = "blob is missing raw and payload for write";
constexpr const char* kMsgEraseFailed = "SonixCam_EraseSectorFlash failed";
constexpr const char* kMsgPayloadEmpty = "write payload is empty";
constexpr const char* kMsgWriteFailed = "SonixCam_SerialFlashSectorCustomWrite failed";
constexpr const char* kMsgVerifyMismatch = "verify_after_write failed: readback mismatch";
constexpr const char* kMsgFwFailed = "SonixCam_GetFwVersion failed";
constexpr const char* kMsgFwEmpty = "SonixCam_GetFwVersion returned empty firmware version";
// Short enough for the small-string buffer: building it allocates nothing.
constexpr const char* kMsgOutOfMemory = "out of memory";
constexpr const char* kMsgInternal = "internal error";

// Wraps a noexcept operation: an allocation failure (or any other exception)
// becomes a returned internal_error instead of std::terminate. The
// operation's RAII members have already closed the device and unlocked by
// the time the handler runs.
template <typename T, typename Body>
Result<T> guarded(Body&& body) noexcept {
  try {
    return body();
  } catch (const std::bad_alloc&) {
    return Result<T>::failure(ErrorCode::internal_error, kMsgOutOfMemory);
  } catch (const std::length_error&) {
    return Result<T>::failure(ErrorCode::internal_error, kMsgOutOfMemory);
  } catch (...) {
    return Result<T>::failure(ErrorCode::internal_error, kMsgInternal);
  }
}

struct VidPidCandidate {
  std::string vidpid;
  std::uint8_t bus_number = 0;
  std::uint8_t device_address = 0;
};

std::string format_vidpid(std::uint16_t vid, std::uint16_t pid) {
  char text[9];
  std::snprintf(text, sizeof text, "%04x%04x", static_cast<unsigned>(vid), static_cast<unsigned>(pid));
  return std::string(text, 8);
}

std::vector<VidPidCandidate> build_candidates(const FlashConfig& config) {
  std::vector<VidPidCandidate> candidates;
  if (!config.vidpid.empty()) {
    candidates.push_back({config.vidpid, config.bus_number, config.device_address});
    return candidates;
  }
  if (!config.auto_select) return candidates;
  DeviceScanFilter filter;
  if (config.auto_select_vid != 0) filter.vid = config.auto_select_vid;
  if (config.auto_select_pid != 0) filter.pid = config.auto_select_pid;
  // A failed scan is not reported: it just yields no candidate.
  Result<std::vector<DeviceInfo>> scanned = scan_devices(filter);
  if (!scanned.ok() || !scanned.value) return candidates;
  for (const DeviceInfo& info : *scanned.value) {
    candidates.push_back({format_vidpid(info.vid, info.pid), info.bus_number, info.device_address});
  }
  return candidates;
}

// Whether the open connection is to `candidate`'s camera.
bool is_camera(const VidPidCandidate& candidate, const sonix::OpenCamera& open) {
  std::uint16_t vid = 0;
  std::uint16_t pid = 0;
  if (VidPidStringToInt(candidate.vidpid.c_str(), &vid, &pid) == 0) return false;
  return vid == open.vid && pid == open.pid && candidate.bus_number == open.bus_number &&
         candidate.device_address == open.device_address;
}

std::string camera_text(const std::string& ids, unsigned bus, unsigned address) {
  char where[16];
  std::snprintf(where, sizeof where, "%03u/%03u", bus, address);
  return ids + " at " + where;
}

std::string ids_text(std::uint16_t vid, std::uint16_t pid) {
  char text[10];
  std::snprintf(text, sizeof text, "%04x:%04x", static_cast<unsigned>(vid), static_cast<unsigned>(pid));
  return text;
}

// "the access library is open to camera 0c45:0643 at 001/004, not to the
// requested camera 0c45:0643 at 001/005"
std::string other_camera_message(const sonix::OpenCamera& open, const VidPidCandidate& asked) {
  std::uint16_t vid = 0;
  std::uint16_t pid = 0;
  const std::string asked_ids =
      VidPidStringToInt(asked.vidpid.c_str(), &vid, &pid) != 0 ? ids_text(vid, pid) : "\"" + asked.vidpid + "\"";
  return "the access library is open to camera " +
         camera_text(ids_text(open.vid, open.pid), open.bus_number, open.device_address) +
         ", not to the requested camera " + camera_text(asked_ids, asked.bus_number, asked.device_address);
}

// One exclusive use of the SonixCam library. The destructor closes the
// device (if it was opened) before it releases the lock, on every path.
class FlashConnection {
 public:
  explicit FlashConnection(const FlashConfig& config) : config_(config), lock_(g_flash_mutex) {}
  ~FlashConnection() { close(); }
  FlashConnection(const FlashConnection&) = delete;
  FlashConnection& operator=(const FlashConnection&) = delete;

  Result<void> open() {
    std::vector<VidPidCandidate> candidates = build_candidates(config_);
    if (candidates.empty()) {
      close();
      return Result<void>::failure(ErrorCode::device_unavailable, kMsgNoCandidate);
    }
    // The access library serves one camera at a time and its SonixCam_Init
    // answers 1 while any camera is open. A connection someone else opened
    // (an application using the library directly) is used only when it is
    // to the camera asked for, and is left open afterwards; a connection to
    // another camera is neither used nor closed.
    sonix::OpenCamera held;
    if (sonix::open_camera(held)) {
      for (const VidPidCandidate& candidate : candidates) {
        if (is_camera(candidate, held)) {
          initialized_ = true;
          owned_ = false;
          int type = 0;
          (void)SonixCam_GetSerialFlashType(&type, 1);
          flash_type_ = type == 0 ? 1 : type;
          return Result<void>::success();
        }
      }
      const std::string message = other_camera_message(held, candidates.front());
      close();
      return Result<void>::failure(ErrorCode::device_unavailable, message);
    }
    bool busy = false;
    std::string read_lock;
    for (const VidPidCandidate& candidate : candidates) {
      // SonixCam_Init takes a writable text.
      std::vector<char> vidpid(candidate.vidpid.begin(), candidate.vidpid.end());
      vidpid.push_back('\0');
      const int opened = SonixCam_Init(vidpid.data(), candidate.bus_number, candidate.device_address);
      if (opened == 0 && sonix::last_open_found_camera_busy()) busy = true;
      if (opened == 0 && sonix::last_open_found_read_lock())
        read_lock = sonix::read_lock_message(candidate.bus_number, candidate.device_address);
      if (opened != 0) {
        initialized_ = true;
        owned_ = true;
        int type = 0;
        (void)SonixCam_GetSerialFlashType(&type, 1);
        flash_type_ = type == 0 ? 1 : type;
        return Result<void>::success();
      }
    }
    close();
    if (!read_lock.empty()) return Result<void>::failure(ErrorCode::device_unavailable, read_lock);
    return Result<void>::failure(ErrorCode::device_unavailable, busy ? kMsgCameraBusy : kMsgInitFailed);
  }

  void close() noexcept {
    if (initialized_) {
      if (owned_) (void)SonixCam_UnInit();
      initialized_ = false;
    }
    if (lock_.owns_lock()) lock_.unlock();
  }

  const FlashConfig& config() const { return config_; }
  int flash_type() const { return flash_type_; }

 private:
  FlashConfig config_;
  std::unique_lock<std::mutex> lock_;
  bool initialized_ = false;
  bool owned_ = false;  // this connection opened the camera (and closes it)
  int flash_type_ = 1;
};

bool read_flash(std::uint32_t address, std::vector<std::uint8_t>& buffer) {
  return read_flash_byte_banging(address, buffer);
}

std::uint32_t load_le32(const std::uint8_t* p) {
  return static_cast<std::uint32_t>(p[0]) | (static_cast<std::uint32_t>(p[1]) << 8) |
         (static_cast<std::uint32_t>(p[2]) << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
}

std::uint16_t load_le16(const std::uint8_t* p) { return static_cast<std::uint16_t>(p[0] | (p[1] << 8)); }

Result<FlashBlob> read_blob(const FlashConfig& config) {
  FlashConnection connection(config);
  Result<void> opened = connection.open();
  if (!opened.ok()) return Result<FlashBlob>::forward(opened);
  return read_blob_with(connection.config(), read_flash);
}

}  // namespace

bool read_flash_byte_banging(std::uint32_t address, std::vector<std::uint8_t>& buffer) {
  if (buffer.empty()) return true;
  return SonixCam_SerialFlashCustomRead(static_cast<std::int64_t>(address), buffer.data(),
                                        static_cast<std::int64_t>(buffer.size())) != 0;
}

Result<void> with_flash_connection(const FlashConfig& config,
                                   const std::function<Result<void>(const FlashConfig&)>& work) {
  FlashConnection connection(config);
  Result<void> opened = connection.open();
  if (!opened.ok()) return opened;
  return work(connection.config());
}

Result<FlashBlob> read_blob_with(const FlashConfig& cfg, const FlashReader& read) {
  // The header preview: with a small document the whole blob fits in it.
  std::vector<std::uint8_t> preview(cfg.min_header_size, 0);
  if (!read(cfg.flash_address, preview)) return Result<FlashBlob>::failure(ErrorCode::read_failed, kMsgReadFailed);
  Result<FlashBlob> parsed = parse_and_validate_raw_blob(preview, cfg);
  if (parsed.ok() || parsed.code == ErrorCode::magic_mismatch || parsed.code == ErrorCode::invalid_header) {
    return parsed;
  }
  if (preview.size() < 16) return Result<FlashBlob>::failure(ErrorCode::invalid_header, kMsgPreviewTooShort);

  const std::uint64_t header_size = load_le16(preview.data() + 6);
  const std::uint64_t payload_length = load_le32(preview.data() + 8);
  const std::uint64_t total = header_size + payload_length;
  if (total > cfg.max_total_length) return Result<FlashBlob>::failure(ErrorCode::invalid_length, kMsgFlashTotalInvalid);

  std::vector<std::uint8_t> raw(static_cast<std::size_t>(total), 0);
  if (!read(cfg.flash_address, raw)) return Result<FlashBlob>::failure(ErrorCode::read_failed, kMsgReadFailed);
  return parse_and_validate_raw_blob(raw, cfg);
}

namespace {

// The blob exactly as it will lie in flash: a raw blob is validated again and
// trimmed to its declared length; a payload-only blob is built afresh.
Result<FlashBlob> normalise_for_write(const FlashConfig& config, const FlashBlob& blob) {
  if (!blob.raw.empty()) return parse_and_validate_raw_blob(blob.raw, config);
  if (!blob.payload.empty()) return build_blob(blob.version, blob.payload, config);
  return Result<FlashBlob>::failure(ErrorCode::invalid_argument, kMsgMissingRawAndPayload);
}

Result<void> write_blob(const FlashConfig& config, const FlashBlob& blob) {
  // Whatever the blob, a configuration that accepts no header size could
  // never read back what it stores: refuse it before the flash is erased.
  if (config.min_header_size > config.max_header_size) {
    return Result<void>::failure(ErrorCode::invalid_argument, kMsgHeaderRange);
  }
  Result<FlashBlob> normalised = normalise_for_write(config, blob);
  if (!normalised.ok()) return Result<void>::forward(normalised);
  std::vector<std::uint8_t>& raw = normalised.value->raw;

  FlashConnection connection(config);
  Result<void> opened = connection.open();
  if (!opened.ok()) return opened;
  const FlashConfig& cfg = connection.config();

  // Erase every sector the blob touches. With a sector-aligned address this
  // is ceil(S / Z) erases at address + i * Z; an unaligned address whose blob
  // crosses one more sector boundary gets the one extra erase it needs, or
  // the program step would land on unerased bytes.
  const std::uint64_t size = raw.size();
  const std::uint64_t sector = cfg.sector_size == 0 ? 1 : cfg.sector_size;
  const std::uint64_t lead = cfg.flash_address % sector;
  const std::uint64_t erase_count = size == 0 ? 0 : (lead + size + sector - 1) / sector;
  for (std::uint64_t i = 0; i < erase_count; ++i) {
    const std::uint32_t address = cfg.flash_address + static_cast<std::uint32_t>(i * sector);
    if (SonixCam_EraseSectorFlash(static_cast<std::int64_t>(address), connection.flash_type()) == 0) {
      return Result<void>::failure(ErrorCode::erase_failed, kMsgEraseFailed);
    }
  }

  if (size == 0) return Result<void>::failure(ErrorCode::invalid_argument, kMsgPayloadEmpty);
  if (SonixCam_SerialFlashSectorCustomWrite(static_cast<std::int64_t>(cfg.flash_address), raw.data(),
                                            static_cast<std::int64_t>(size), connection.flash_type()) == 0) {
    return Result<void>::failure(ErrorCode::write_failed, kMsgWriteFailed);
  }

  if (cfg.verify_after_write) {
    std::vector<std::uint8_t> readback(raw.size(), 0);
    if (!read_flash(cfg.flash_address, readback)) return Result<void>::failure(ErrorCode::read_failed, kMsgReadFailed);
    if (readback != raw) return Result<void>::failure(ErrorCode::write_failed, kMsgVerifyMismatch);
  }
  return Result<void>::success();
}

Result<void> probe(const FlashConfig& config) {
  FlashConnection connection(config);
  Result<void> opened = connection.open();
  if (!opened.ok()) return opened;
  std::uint8_t byte = 0;
  if (SonixCam_SerialFlashCustomRead(static_cast<std::int64_t>(connection.config().flash_address), &byte, 1) == 0) {
    return Result<void>::failure(ErrorCode::read_failed, kMsgReadFailed);
  }
  return Result<void>::success();
}

Result<std::string> read_firmware_version(const FlashConfig& config) {
  FlashConnection connection(config);
  Result<void> opened = connection.open();
  if (!opened.ok()) return Result<std::string>::forward(opened);

  std::uint8_t buffer[256];
  std::memset(buffer, 0, sizeof buffer);
  if (SonixCam_GetFwVersion(buffer, static_cast<std::int64_t>(sizeof buffer), 1) == 0) {
    return Result<std::string>::failure(ErrorCode::read_failed, kMsgFwFailed);
  }
  std::size_t length = 0;
  while (length < sizeof buffer && buffer[length] != 0) ++length;
  while (length > 0) {
    const std::uint8_t last = buffer[length - 1];
    if (last != ' ' && last != '\t' && last != '\n' && last != '\r') break;
    --length;
  }
  if (length == 0) return Result<std::string>::failure(ErrorCode::read_failed, kMsgFwEmpty);
  return Result<std::string>::success(std::string(reinterpret_cast<const char*>(buffer), length));
}

Result<ReadJsonResult> read_json_document(const FlashConfig& config) {
  Result<FlashBlob> blob = read_blob_from_device(config);
  if (!blob.ok()) return Result<ReadJsonResult>::forward(blob);
  const std::vector<std::uint8_t>& payload = blob.value->payload;
  const std::string_view text(reinterpret_cast<const char*>(payload.data()), payload.size());
  Result<std::string> compact = detail::minify_json_any_bytes(text);
  if (!compact.ok()) return Result<ReadJsonResult>::forward(compact);
  platform::sleep_ms(100);
  ReadJsonResult result;
  result.version = blob.value->version;
  result.json = std::move(*compact.value);
  return Result<ReadJsonResult>::success(std::move(result));
}

}  // namespace

Result<FlashBlob> read_blob_from_device(const FlashConfig& config) noexcept {
  return guarded<FlashBlob>([&] { return read_blob(config); });
}

Result<void> write_blob_to_device(const FlashConfig& config, const FlashBlob& blob) noexcept {
  return guarded<void>([&] { return write_blob(config, blob); });
}

Result<void> probe_flash_transport(const FlashConfig& config) noexcept {
  return guarded<void>([&] { return probe(config); });
}

namespace detail {
Result<std::string> read_firmware_version_from_device(const FlashConfig& config) noexcept {
  return guarded<std::string>([&] { return read_firmware_version(config); });
}
}  // namespace detail

Result<ReadJsonResult> read_flash_json(const FlashConfig& config) noexcept {
  return guarded<ReadJsonResult>([&] { return read_json_document(config); });
}

}  // namespace morvane::uvc_stereo
