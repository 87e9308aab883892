// Fast reads of the configuration blob: streaming flash requests where the
// controller has them, and, only when the caller opts in, a reuse check that
// reads only the stored header and the payload's last bytes when the caller
// already holds the document.
//
// Correctness rests on two rules. First, every result goes through the very
// blob steps of the byte-banging read (read_blob_with): only the source of
// the flash bytes differs. Second, any failure of a fast path (a failed
// transfer, bytes that do not validate, a document that is not JSON) is
// answered by a fresh byte-banging read in a new connection, whose outcome is
// what the caller gets. The default paths can therefore make a read cheaper,
// never different. The opt-in reuse check is the one exception, and says so:
// it does not read the middle of the payload.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <functional>
#include <new>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "flash/transport.hpp"
#include "morvane/uvc_stereo/flash.hpp"
#include "platform/platform.hpp"
#include "sonix/sonix_cam.h"

namespace morvane::uvc_stereo {
namespace {

constexpr std::size_t kStreamUnit = 64;
constexpr std::uint64_t kFlashEnd = 0x1000000;  // 24-bit flash addresses

template <typename T, typename Body>
Result<T> guarded(Body&& body) noexcept {
  try {
    return body();
  } catch (const std::bad_alloc&) {
    return Result<T>::failure(ErrorCode::internal_error, "out of memory");
  } catch (const std::length_error&) {
    return Result<T>::failure(ErrorCode::internal_error, "out of memory");
  } catch (...) {
    return Result<T>::failure(ErrorCode::internal_error, "internal error");
  }
}

std::uint16_t le16(const std::uint8_t* p) { return static_cast<std::uint16_t>(p[0] | (p[1] << 8)); }
std::uint32_t le32(const std::uint8_t* p) {
  return static_cast<std::uint32_t>(p[0]) | (static_cast<std::uint32_t>(p[1]) << 8) |
         (static_cast<std::uint32_t>(p[2]) << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
}

// The payload the caller holds, with its version.
struct HeldCopy {
  std::uint16_t version = 0;
  std::vector<std::uint8_t> payload;
};

std::optional<HeldCopy> held_copy(const FastReadOptions& options, const FlashConfig& config) {
  // Reuse leaves most of the payload unread: only on the caller's request.
  if (!options.reuse_held_copy) return std::nullopt;
  // Without the CRC check a stored payload may differ from what its header
  // claims, so a matching header would prove nothing.
  if (!config.verify_crc) return std::nullopt;
  if (options.held_document) {
    const std::string& json = options.held_document->json;
    return HeldCopy{options.held_document->version, std::vector<std::uint8_t>(json.begin(), json.end())};
  }
  if (!options.held_blob) return std::nullopt;
  const FlashBlob& blob = *options.held_blob;
  if (blob.raw.empty()) return HeldCopy{blob.version, blob.payload};
  Result<FlashBlob> parsed = parse_and_validate_raw_blob(blob.raw, config);
  if (!parsed.ok()) return std::nullopt;
  return HeldCopy{parsed.value->version, std::move(parsed.value->payload)};
}

bool fetch_streaming(std::uint32_t address, std::uint8_t* data, std::size_t length) {
  return ReadFormSF_XU6(static_cast<std::int64_t>(address), data, static_cast<std::int64_t>(length)) != 0;
}

bool fetch_byte_banging(std::uint32_t address, std::uint8_t* data, std::size_t length) {
  return SonixCam_SerialFlashCustomRead(static_cast<std::int64_t>(address), data, static_cast<std::int64_t>(length)) !=
         0;
}

// Flash bytes from the blob's start address, fetched once: a later, longer
// read fetches only the bytes not yet seen. The bytes come by streaming
// (when `streaming`) or by byte-banging; `trusted()` leading bytes came by
// byte-banging, the reference read. Reads elsewhere pass through.
class BlobWindow {
 public:
  BlobWindow(std::uint32_t base, bool streaming, bool* stream_failed)
      : base_(base), streaming_(streaming), stream_failed_(stream_failed) {}

  bool read(std::uint32_t address, std::vector<std::uint8_t>& buffer) {
    if (buffer.empty()) return true;
    if (address != base_) return fetch(streaming_, address, buffer.data(), buffer.size());
    if (bytes_.size() < buffer.size()) {
      const std::size_t have = bytes_.size();
      std::size_t want = buffer.size() - have;
      // One streaming unit costs the same whether 16 or 64 of its bytes are
      // used: take the whole unit while staying inside the flash.
      const std::uint64_t room = kFlashEnd - (static_cast<std::uint64_t>(base_) + have);
      if (streaming_ && want < kStreamUnit && kStreamUnit <= room) want = kStreamUnit;
      std::vector<std::uint8_t> more(want, 0);
      if (!fetch(streaming_, base_ + static_cast<std::uint32_t>(have), more.data(), more.size())) return false;
      bytes_.insert(bytes_.end(), more.begin(), more.end());
      if (!streaming_) trusted_ = bytes_.size();
    }
    std::memcpy(buffer.data(), bytes_.data(), buffer.size());
    return true;
  }

  // The same, by byte-banging only.
  bool read_trusted(std::uint32_t address, std::vector<std::uint8_t>& buffer) {
    if (buffer.empty()) return true;
    if (address != base_) return fetch(false, address, buffer.data(), buffer.size());
    if (trusted_ < buffer.size()) {
      std::vector<std::uint8_t> more(buffer.size() - trusted_, 0);
      if (!fetch(false, base_ + static_cast<std::uint32_t>(trusted_), more.data(), more.size())) return false;
      bytes_.resize(std::max(bytes_.size(), buffer.size()));
      std::copy(more.begin(), more.end(), bytes_.begin() + static_cast<std::ptrdiff_t>(trusted_));
      trusted_ = buffer.size();
    }
    std::memcpy(buffer.data(), bytes_.data(), buffer.size());
    return true;
  }

  std::size_t trusted() const { return trusted_; }

 private:
  bool fetch(bool streaming, std::uint32_t address, std::uint8_t* data, std::size_t length) {
    if (!streaming) return fetch_byte_banging(address, data, length);
    if (fetch_streaming(address, data, length)) return true;
    *stream_failed_ = true;
    return false;
  }

  std::uint32_t base_;
  bool streaming_;
  bool* stream_failed_;
  std::vector<std::uint8_t> bytes_;
  std::size_t trusted_ = 0;
};

// The stored header matches the held copy: same magic, a header size and
// total the byte-banging read accepts, the held version, payload length and
// payload CRC-32.
bool header_matches(const std::vector<std::uint8_t>& header, const HeldCopy& held, const FlashConfig& config) {
  if (header.size() < 16 || le32(header.data()) != config.magic) return false;
  const std::uint16_t header_size = le16(header.data() + 6);
  if (header_size < config.min_header_size || header_size > config.max_header_size) return false;
  const std::uint64_t payload_length = le32(header.data() + 8);
  if (header_size + payload_length > config.max_total_length) return false;
  return le16(header.data() + 4) == held.version && payload_length == held.payload.size() &&
         le32(header.data() + 12) == crc32_ieee(held.payload);
}

constexpr const char* kMsgReadFailed = "SonixCam_SerialFlashCustomRead failed";
constexpr const char* kMsgHeaderDiffers = "header bytes differ from the byte-banging read";
constexpr const char* kMsgStreamedCrcDiffers = "streamed payload does not match the stored CRC-32";

// Bytes at the end of the payload that are compared with the held copy.
constexpr std::size_t kTailCheck = 4;

// The reuse check, on byte-banged bytes only. `header` holds the preview,
// which matched the held copy; on a true answer it holds the whole stored
// header (one larger than the preview carries reserved bytes that belong to
// the blob).
//
// The header's CRC-32 vouches for the payload only if the payload was
// written completely. Every write programs the blob from its first byte to
// its last, after erasing, so a write cut short leaves the payload's last
// bytes erased: the last bytes are read and compared as well, and a held
// copy whose last bytes look erased (all 0xFF) is never taken on trust.
Result<bool> stored_equals_held(const FlashConfig& cfg, BlobWindow& window, std::vector<std::uint8_t>& header,
                                const HeldCopy& held) {
  const std::size_t header_size = le16(header.data() + 6);
  header.resize(header_size);
  if (!window.read_trusted(cfg.flash_address, header)) {
    return Result<bool>::failure(ErrorCode::read_failed, kMsgReadFailed);
  }
  const std::vector<std::uint8_t>& payload = held.payload;
  const std::size_t tail = std::min(kTailCheck, payload.size());
  if (tail == 0) return Result<bool>::success(true);
  const auto tail_begin = payload.end() - static_cast<std::ptrdiff_t>(tail);
  if (std::all_of(tail_begin, payload.end(), [](std::uint8_t b) { return b == 0xFF; })) {
    return Result<bool>::success(false);
  }
  std::vector<std::uint8_t> stored_tail(tail, 0);
  const auto tail_address = static_cast<std::uint32_t>(cfg.flash_address + header_size + payload.size() - tail);
  if (!window.read_trusted(tail_address, stored_tail)) {
    return Result<bool>::failure(ErrorCode::read_failed, kMsgReadFailed);
  }
  return Result<bool>::success(std::equal(stored_tail.begin(), stored_tail.end(), tail_begin));
}

// The whole stored header of a blob read by streaming, by byte-banging. The
// preview (magic, version, header size, payload length, CRC-32) always
// comes by byte-banging; a larger header's reserved bytes are covered by no
// check, so they are read the same way and must agree.
Result<void> confirm_header(const FlashConfig& cfg, BlobWindow& window, const FlashBlob& blob) {
  if (window.trusted() >= blob.header_size) return Result<void>::success();
  std::vector<std::uint8_t> header(blob.header_size, 0);
  if (!window.read_trusted(cfg.flash_address, header)) {
    return Result<void>::failure(ErrorCode::read_failed, kMsgReadFailed);
  }
  if (!std::equal(header.begin(), header.end(), blob.raw.begin())) {
    return Result<void>::failure(ErrorCode::read_failed, kMsgHeaderDiffers);
  }
  return Result<void>::success();
}

// What one fast attempt produced.
struct Attempt {
  Result<FlashBlob> blob = Result<FlashBlob>::failure(ErrorCode::internal_error, "internal error");
  FlashReadPath path = FlashReadPath::byte_banging;
  bool opened = false;
  bool stream_failed = false;  // a streaming request failed (the device said so)
};

Attempt attempt_fast(const FlashConfig& config, const FastReadOptions& options) {
  Attempt attempt;
  const std::optional<HeldCopy> held = held_copy(options, config);
  Result<void> connection = with_flash_connection(config, [&](const FlashConfig& cfg) {
    attempt.opened = true;
    const bool streaming = options.streaming && IsSupportXU6() != 0;
    BlobWindow window(cfg.flash_address, streaming, &attempt.stream_failed);
    attempt.path = streaming ? FlashReadPath::streaming : FlashReadPath::byte_banging;
    // The header preview always by byte-banging: it decides what the
    // result is (the held copy, or the length and CRC-32 that a streamed
    // payload must match), so a streaming reply with stale or wrong bytes
    // can at worst fail the CRC check, never pass for another document.
    std::vector<std::uint8_t> header(cfg.min_header_size, 0);
    if (!window.read_trusted(cfg.flash_address, header)) {
      attempt.blob = Result<FlashBlob>::failure(ErrorCode::read_failed, kMsgReadFailed);
      return Result<void>::success();
    }
    // Where streaming requests read the real bytes about as cheaply, the
    // held copy is not reused even when asked for.
    if (held && !streaming && cfg.min_header_size >= 16) {
      // A blob the preview holds whole is simply parsed below.
      const std::size_t total = le16(header.data() + 6) + held->payload.size();
      if (header_matches(header, *held, cfg) && header.size() < total) {
        Result<bool> same = stored_equals_held(cfg, window, header, *held);
        if (!same.ok()) {
          attempt.blob = Result<FlashBlob>::forward(same);
          return Result<void>::success();
        }
        if (*same.value) {
          std::vector<std::uint8_t> raw = header;
          raw.insert(raw.end(), held->payload.begin(), held->payload.end());
          attempt.path = FlashReadPath::held_copy;
          attempt.blob = parse_and_validate_raw_blob(raw, cfg);
          return Result<void>::success();
        }
      }
    }
    // The byte-banging read's steps; bytes already fetched (the preview, or
    // the stored header just compared) are not fetched a second time.
    const FlashReader reader = [&window](std::uint32_t address, std::vector<std::uint8_t>& buffer) {
      return window.read(address, buffer);
    };
    attempt.blob = read_blob_with(cfg, reader);
    if (attempt.blob.ok() && streaming) {
      Result<void> confirmed = confirm_header(cfg, window, *attempt.blob.value);
      if (!confirmed.ok()) attempt.blob = Result<FlashBlob>::forward(confirmed);
    }
    // Streamed bytes are checked against the header's CRC-32 even where the
    // configuration leaves the CRC check off: the check is what tells a
    // stale or wrong streaming reply from the stored payload. On a mismatch
    // the byte-banging read decides, with the configuration's own checks.
    if (attempt.blob.ok() && streaming && crc32_ieee(attempt.blob.value->payload) != attempt.blob.value->crc32) {
      attempt.blob = Result<FlashBlob>::failure(ErrorCode::read_failed, kMsgStreamedCrcDiffers);
    }
    return Result<void>::success();
  });
  if (!connection.ok()) attempt.blob = Result<FlashBlob>::forward(connection);
  return attempt;
}

Result<FastBlobResult> read_blob_fast_impl(const FlashConfig& config, const FastReadOptions& options) {
  Attempt attempt = attempt_fast(config, options);
  // A connection that did not open is not a fast-path failure: the
  // byte-banging read would have failed at the same step. A byte-banging
  // attempt's outcome is the byte-banging read's outcome.
  if (!attempt.opened || attempt.path == FlashReadPath::byte_banging || attempt.blob.ok()) {
    if (!attempt.blob.ok()) return Result<FastBlobResult>::forward(attempt.blob);
    return Result<FastBlobResult>::success(FastBlobResult{std::move(*attempt.blob.value), attempt.path, {}});
  }
  std::string why(flash_read_path_name(attempt.path));
  why += ": ";
  why += attempt.stream_failed ? std::string("streaming request failed") : attempt.blob.message;
  Result<FlashBlob> fallback = read_blob_from_device(config);
  if (!fallback.ok()) return Result<FastBlobResult>::forward(fallback);
  return Result<FastBlobResult>::success(
      FastBlobResult{std::move(*fallback.value), FlashReadPath::byte_banging, std::move(why)});
}

Result<FastJsonResult> read_json_fast_impl(const FlashConfig& config, const FastReadOptions& options) {
  Result<FastBlobResult> read = read_blob_fast_impl(config, options);
  if (!read.ok()) return Result<FastJsonResult>::forward(read);
  FastBlobResult& got = *read.value;
  const std::vector<std::uint8_t>& payload = got.blob.payload;
  Result<std::string> compact =
      detail::minify_json_any_bytes(std::string_view(reinterpret_cast<const char*>(payload.data()), payload.size()));
  if (!compact.ok()) {
    // Bytes from a byte-banging read are what the byte-banging document
    // read would have seen: its verdict stands. Anything else is checked
    // against that read before an error is reported.
    if (got.path == FlashReadPath::byte_banging) return Result<FastJsonResult>::forward(compact);
    std::string why(flash_read_path_name(got.path));
    why += ": " + compact.message;
    Result<ReadJsonResult> fallback = read_flash_json(config);
    if (!fallback.ok()) return Result<FastJsonResult>::forward(fallback);
    return Result<FastJsonResult>::success(FastJsonResult{fallback.value->version, std::move(fallback.value->json),
                                                          FlashReadPath::byte_banging, std::move(why)});
  }
  platform::sleep_ms(100);
  return Result<FastJsonResult>::success(
      FastJsonResult{got.blob.version, std::move(*compact.value), got.path, std::move(got.fast_path_error)});
}

}  // namespace

std::string_view flash_read_path_name(FlashReadPath path) noexcept {
  switch (path) {
    case FlashReadPath::byte_banging:
      return "byte_banging";
    case FlashReadPath::streaming:
      return "streaming";
    case FlashReadPath::held_copy:
      return "held_copy";
  }
  return "unknown";
}

Result<FastBlobResult> read_blob_fast(const FlashConfig& config, const FastReadOptions& options) noexcept {
  return guarded<FastBlobResult>([&] { return read_blob_fast_impl(config, options); });
}

Result<FastJsonResult> read_flash_json_fast(const FlashConfig& config, const FastReadOptions& options) noexcept {
  return guarded<FastJsonResult>([&] { return read_json_fast_impl(config, options); });
}

}  // namespace morvane::uvc_stereo
