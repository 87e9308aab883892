// The flash blob: CRC-32, building and parsing/validating the little-endian
// header that wraps the stored document.
#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <new>
#include <string>
#include <utility>
#include <vector>

#include "morvane/uvc_stereo/flash.hpp"

namespace morvane::uvc_stereo {
namespace {

// Fixed header layout (offsets of the little-endian fields).
constexpr std::size_t kMagicOffset = 0;
constexpr std::size_t kVersionOffset = 4;
constexpr std::size_t kHeaderSizeOffset = 6;
constexpr std::size_t kPayloadLengthOffset = 8;
constexpr std::size_t kCrcOffset = 12;
constexpr std::uint16_t kFixedHeaderSize = 16;

constexpr std::uint32_t kCrcPolynomial = 0xEDB88320u;  // IEEE 802.3, reflected

// Slicing-by-8 tables: table[0] is the classic byte table; table[k][b] is the
// CRC of byte b followed by k zero bytes. Built at compile time.
using CrcTables = std::array<std::array<std::uint32_t, 256>, 8>;

constexpr CrcTables make_crc_tables() {
  CrcTables t{};
  for (std::uint32_t b = 0; b < 256; ++b) {
    std::uint32_t c = b;
    for (int bit = 0; bit < 8; ++bit) c = (c & 1u) ? (c >> 1) ^ kCrcPolynomial : (c >> 1);
    t[0][b] = c;
  }
  for (std::size_t k = 1; k < 8; ++k) {
    for (std::uint32_t b = 0; b < 256; ++b) t[k][b] = (t[k - 1][b] >> 8) ^ t[0][t[k - 1][b] & 0xFFu];
  }
  return t;
}

constexpr CrcTables kCrcTables = make_crc_tables();

// Byte-wise little-endian access: independent of host byte order and alignment.
std::uint16_t load_le16(const std::uint8_t* p) noexcept { return static_cast<std::uint16_t>(p[0] | (p[1] << 8)); }

std::uint32_t load_le32(const std::uint8_t* p) noexcept {
  return static_cast<std::uint32_t>(p[0]) | (static_cast<std::uint32_t>(p[1]) << 8) |
         (static_cast<std::uint32_t>(p[2]) << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
}

void store_le16(std::uint8_t* p, std::uint16_t v) noexcept {
  p[0] = static_cast<std::uint8_t>(v);
  p[1] = static_cast<std::uint8_t>(v >> 8);
}

void store_le32(std::uint8_t* p, std::uint32_t v) noexcept {
  p[0] = static_cast<std::uint8_t>(v);
  p[1] = static_cast<std::uint8_t>(v >> 8);
  p[2] = static_cast<std::uint8_t>(v >> 16);
  p[3] = static_cast<std::uint8_t>(v >> 24);
}

std::uint32_t crc32_update(std::uint32_t crc, const std::uint8_t* p, std::size_t n) noexcept {
  // Eight bytes per step; the input is combined byte by byte, so the result
  // does not depend on the host's byte order.
  while (n >= 8) {
    const std::uint32_t lo = crc ^ load_le32(p);
    const std::uint32_t hi = load_le32(p + 4);
    crc = kCrcTables[7][lo & 0xFFu] ^ kCrcTables[6][(lo >> 8) & 0xFFu] ^ kCrcTables[5][(lo >> 16) & 0xFFu] ^
          kCrcTables[4][lo >> 24] ^ kCrcTables[3][hi & 0xFFu] ^ kCrcTables[2][(hi >> 8) & 0xFFu] ^
          kCrcTables[1][(hi >> 16) & 0xFFu] ^ kCrcTables[0][hi >> 24];
    p += 8;
    n -= 8;
  }
  while (n-- > 0) crc = (crc >> 8) ^ kCrcTables[0][(crc ^ *p++) & 0xFFu];
  return crc;
}

Result<FlashBlob> blob_failure(ErrorCode code, const char* message) noexcept {
  try {
    return Result<FlashBlob>::failure(code, message);
  } catch (const std::bad_alloc&) {
    // "out of memory" fits the string's inline buffer, so this cannot throw.
    return Result<FlashBlob>::failure(ErrorCode::internal_error, "out of memory");
  }
}

Result<FlashBlob> out_of_memory() noexcept {
  return Result<FlashBlob>::failure(ErrorCode::internal_error, "out of memory");
}

}  // namespace

std::uint32_t crc32_ieee(const std::vector<std::uint8_t>& data) noexcept {
  return crc32_update(0xFFFFFFFFu, data.data(), data.size()) ^ 0xFFFFFFFFu;
}

Result<FlashBlob> build_blob(std::uint16_t version, const std::vector<std::uint8_t>& payload,
                             const FlashConfig& config) noexcept {
  if (config.min_header_size < kFixedHeaderSize) {
    return blob_failure(ErrorCode::invalid_argument, "config.min_header_size must be >= 16");
  }
  // A blob whose header size lies outside the accepted range could be
  // written but never read back with the same configuration.
  if (config.min_header_size > config.max_header_size) {
    return blob_failure(ErrorCode::invalid_argument, "config.min_header_size must be <= config.max_header_size");
  }
  const std::size_t header_size = config.min_header_size;
  const std::size_t payload_size = payload.size();
  if (payload_size > std::numeric_limits<std::size_t>::max() - header_size ||
      header_size + payload_size > config.max_total_length) {
    return blob_failure(ErrorCode::invalid_length, "payload is too large");
  }
  // payload_size <= max_total_length, a 32-bit value, so the narrowing below is exact.
  const auto payload_length = static_cast<std::uint32_t>(payload_size);
  const std::uint32_t crc = crc32_ieee(payload);

  try {
    FlashBlob blob;
    blob.magic = config.magic;
    blob.version = version;
    blob.header_size = config.min_header_size;
    blob.payload_length = payload_length;
    blob.crc32 = crc;
    blob.raw.assign(header_size + payload_size, 0);  // the reserved bytes stay zero
    std::uint8_t* out = blob.raw.data();
    store_le32(out + kMagicOffset, blob.magic);
    store_le16(out + kVersionOffset, blob.version);
    store_le16(out + kHeaderSizeOffset, blob.header_size);
    store_le32(out + kPayloadLengthOffset, blob.payload_length);
    store_le32(out + kCrcOffset, blob.crc32);
    std::copy(payload.begin(), payload.end(), blob.raw.begin() + static_cast<std::ptrdiff_t>(header_size));
    blob.payload = payload;
    return Result<FlashBlob>::success(std::move(blob));
  } catch (const std::bad_alloc&) {
    return out_of_memory();
  }
}

Result<FlashBlob> parse_and_validate_raw_blob(const std::vector<std::uint8_t>& raw,
                                              const FlashConfig& config) noexcept {
  // The order of the checks is part of the contract: the flash reader treats
  // magic and header failures of a short preview as final and anything else
  // as a reason to read the whole blob.
  if (raw.size() < config.min_header_size) {
    return blob_failure(ErrorCode::invalid_header, "raw size is smaller than minimum header size");
  }
  if (config.min_header_size < kFixedHeaderSize) {
    return blob_failure(ErrorCode::invalid_argument, "config.min_header_size must be >= 16");
  }
  // From here raw holds at least the 16 bytes of the fixed header.
  const std::uint8_t* in = raw.data();
  const std::uint32_t magic = load_le32(in + kMagicOffset);
  if (magic != config.magic) {
    return blob_failure(ErrorCode::magic_mismatch, "flash magic mismatch");
  }
  const std::uint16_t header_size = load_le16(in + kHeaderSizeOffset);
  if (header_size < config.min_header_size || header_size > config.max_header_size) {
    return blob_failure(ErrorCode::invalid_header, "header_size out of range");
  }
  const std::uint32_t payload_length = load_le32(in + kPayloadLengthOffset);
  const std::uint64_t total = static_cast<std::uint64_t>(header_size) + payload_length;
  if (total > config.max_total_length) {
    return blob_failure(ErrorCode::invalid_length, "total length is invalid");
  }
  if (total > raw.size()) {
    return blob_failure(ErrorCode::invalid_length, "raw buffer is shorter than header-declared length");
  }
  const std::uint32_t stored_crc = load_le32(in + kCrcOffset);
  const std::uint32_t actual_crc = crc32_update(0xFFFFFFFFu, in + header_size, payload_length) ^ 0xFFFFFFFFu;
  if (config.verify_crc && actual_crc != stored_crc) {
    return blob_failure(ErrorCode::crc_mismatch, "crc32 mismatch");
  }

  try {
    FlashBlob blob;
    blob.magic = magic;
    blob.version = load_le16(in + kVersionOffset);
    blob.header_size = header_size;
    blob.payload_length = payload_length;
    blob.crc32 = stored_crc;  // as stored, even when unchecked and different
    const auto begin = raw.begin();
    blob.payload.assign(begin + header_size, begin + static_cast<std::ptrdiff_t>(total));
    blob.raw.assign(begin, begin + static_cast<std::ptrdiff_t>(total));  // bytes past the blob are dropped
    return Result<FlashBlob>::success(std::move(blob));
  } catch (const std::bad_alloc&) {
    return out_of_memory();
  }
}

}  // namespace morvane::uvc_stereo
