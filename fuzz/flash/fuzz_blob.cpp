// Fuzzes the blob parser with arbitrary bytes and checks the build/parse
// round trip.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "morvane/uvc_stereo/flash.hpp"

using morvane::uvc_stereo::build_blob;
using morvane::uvc_stereo::crc32_ieee;
using morvane::uvc_stereo::ErrorCode;
using morvane::uvc_stereo::FlashBlob;
using morvane::uvc_stereo::FlashConfig;
using morvane::uvc_stereo::parse_and_validate_raw_blob;

namespace {

void check(bool condition) {
  if (!condition) std::abort();
}

std::uint32_t le32(const std::uint8_t* p) {
  return static_cast<std::uint32_t>(p[0]) | (static_cast<std::uint32_t>(p[1]) << 8) |
         (static_cast<std::uint32_t>(p[2]) << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
}

// A successful parse must describe exactly the bytes it was given.
void check_parsed(const FlashBlob& blob, const std::vector<std::uint8_t>& raw, const FlashConfig& config) {
  check(blob.magic == config.magic);
  check(blob.header_size >= config.min_header_size && blob.header_size <= config.max_header_size);
  const std::size_t total = std::size_t{blob.header_size} + blob.payload_length;
  check(total <= config.max_total_length && total <= raw.size());
  check(blob.raw.size() == total && std::equal(blob.raw.begin(), blob.raw.end(), raw.begin()));
  check(blob.payload.size() == blob.payload_length);
  check(std::equal(blob.payload.begin(), blob.payload.end(), raw.begin() + blob.header_size));
  check(blob.crc32 == le32(raw.data() + 12));
  if (config.verify_crc) check(crc32_ieee(blob.payload) == blob.crc32);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  // The first bytes choose a configuration; the rest is the blob.
  FlashConfig config;
  if (size >= 4) {
    config.min_header_size = static_cast<std::uint16_t>(12 + data[0] % 24);  // below 16 sometimes
    config.max_header_size = static_cast<std::uint16_t>(16 + data[1] * 2);
    config.max_total_length = 64u + static_cast<std::uint32_t>(data[2]) * 64u;
    config.verify_crc = (data[3] & 1) != 0;
    data += 4;
    size -= 4;
  }

  // Exact-size copy, so an over-read is seen by the sanitizer.
  const std::vector<std::uint8_t> raw(data, data + size);
  const auto parsed = parse_and_validate_raw_blob(raw, config);
  check(parsed.ok() == parsed.value.has_value());
  check(parsed.ok() == parsed.message.empty());
  if (parsed.ok()) {
    check_parsed(*parsed, raw, config);
  } else {
    check(parsed.code != ErrorCode::ok && parsed.code != ErrorCode::internal_error);
  }

  // Round trip: the same bytes as a payload.
  const std::uint16_t version = size >= 2 ? static_cast<std::uint16_t>(data[0] | (data[1] << 8)) : 0;
  const auto built = build_blob(version, raw, config);
  if (config.min_header_size < 16 || config.min_header_size > config.max_header_size) {
    // A header size range that no stored blob could be read back with.
    check(built.code == ErrorCode::invalid_argument);
  } else if (config.min_header_size + raw.size() > config.max_total_length) {
    check(built.code == ErrorCode::invalid_length);
  } else {
    check(built.ok());
    check(built->raw.size() == config.min_header_size + raw.size());
    const auto again = parse_and_validate_raw_blob(built->raw, config);
    check(again.ok());
    check(again->magic == built->magic && again->version == version && again->header_size == built->header_size &&
          again->payload_length == raw.size() && again->crc32 == built->crc32);
    check(again->payload == raw && again->raw == built->raw);
  }
  return 0;
}
