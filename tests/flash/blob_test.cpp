// CRC-32, blob layout, and every parse check at its boundary.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "morvane/uvc_stereo/flash.hpp"

namespace morvane::uvc_stereo {
namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes bytes_of(const std::string& s) { return Bytes(s.begin(), s.end()); }

// Reference CRC: the textbook bit-at-a-time loop, to check the table-driven one.
std::uint32_t bitwise_crc(const Bytes& data) {
  std::uint32_t crc = 0xFFFFFFFFu;
  for (std::uint8_t b : data) {
    crc ^= b;
    for (int i = 0; i < 8; ++i) crc = (crc & 1u) ? (crc >> 1) ^ 0xEDB88320u : crc >> 1;
  }
  return ~crc;
}

void put_le16(Bytes& b, std::size_t at, std::uint16_t v) {
  b[at] = static_cast<std::uint8_t>(v);
  b[at + 1] = static_cast<std::uint8_t>(v >> 8);
}

void put_le32(Bytes& b, std::size_t at, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) b[at + i] = static_cast<std::uint8_t>(v >> (8 * i));
}

// A blob laid out by hand (not by build_blob), so parsing is checked against
// the byte layout itself. The CRC is correct unless overridden.
Bytes handmade_blob(std::uint16_t header_size, const Bytes& payload, std::uint32_t magic = 0x4D4F5256) {
  Bytes b(header_size + payload.size(), 0);
  put_le32(b, 0, magic);
  put_le16(b, 4, 0x0102);
  put_le16(b, 6, header_size);
  put_le32(b, 8, static_cast<std::uint32_t>(payload.size()));
  put_le32(b, 12, bitwise_crc(payload));
  std::copy(payload.begin(), payload.end(), b.begin() + header_size);
  return b;
}

void expect_failure(const Result<FlashBlob>& r, ErrorCode code, const std::string& message) {
  EXPECT_EQ(r.code, code);
  EXPECT_EQ(r.message, message);
  EXPECT_FALSE(r.value.has_value());
}

TEST(Crc32Test, KnownVectors) {
  EXPECT_EQ(crc32_ieee({}), 0u);
  EXPECT_EQ(crc32_ieee(bytes_of("123456789")), 0xCBF43926u);
  EXPECT_EQ(crc32_ieee(bytes_of("a")), 0xE8B7BE43u);
  EXPECT_EQ(crc32_ieee(bytes_of("The quick brown fox jumps over the lazy dog")), 0x414FA339u);
  EXPECT_EQ(crc32_ieee(Bytes(32, 0x00)), 0x190A55ADu);
  EXPECT_EQ(crc32_ieee(Bytes(32, 0xFF)), 0xFF6CAB0Bu);
}

TEST(Crc32Test, MatchesBitwiseReferenceAtEveryLengthAndAlignment) {
  // Lengths around the 8-byte stride and odd starting offsets exercise the
  // tail loop and unaligned reads.
  Bytes pool(600);
  std::uint32_t x = 12345;
  for (auto& b : pool) {
    x = x * 1103515245u + 12345u;
    b = static_cast<std::uint8_t>(x >> 16);
  }
  for (std::size_t start = 0; start < 9; ++start) {
    for (std::size_t len = 0; len < 70; ++len) {
      const Bytes slice(pool.begin() + start, pool.begin() + start + len);
      ASSERT_EQ(crc32_ieee(slice), bitwise_crc(slice)) << "start " << start << " len " << len;
    }
  }
  const Bytes whole(pool.begin(), pool.end());
  EXPECT_EQ(crc32_ieee(whole), bitwise_crc(whole));
}

TEST(BuildBlobTest, DefaultLayoutOfThreeBytePayload) {
  const Bytes payload = {0xAA, 0xBB, 0xCC};
  const auto r = build_blob(0x1234, payload, FlashConfig{});
  ASSERT_TRUE(r.ok()) << r.message;
  const FlashBlob& blob = *r;
  ASSERT_EQ(blob.raw.size(), 19u);
  Bytes expected = {0x56, 0x52, 0x4F, 0x4D};                  // magic "MORV", little-endian
  expected.insert(expected.end(), {0x34, 0x12});              // version
  expected.insert(expected.end(), {0x10, 0x00});              // header size 16
  expected.insert(expected.end(), {0x03, 0x00, 0x00, 0x00});  // payload length
  expected.insert(expected.end(), {0x4C, 0xF8, 0x4D, 0xBE});  // CRC-32 of AA BB CC: 0xBE4DF84C
  expected.insert(expected.end(), {0xAA, 0xBB, 0xCC});        // payload
  EXPECT_EQ(blob.raw, expected);
  EXPECT_EQ(blob.magic, 0x4D4F5256u);
  EXPECT_EQ(blob.version, 0x1234);
  EXPECT_EQ(blob.header_size, 16);
  EXPECT_EQ(blob.payload_length, 3u);
  EXPECT_EQ(blob.crc32, 0xBE4DF84Cu);
  EXPECT_EQ(blob.payload, payload);
}

TEST(BuildBlobTest, LargerHeaderIsZeroFilledAndCustomMagicIsStored) {
  FlashConfig config;
  config.min_header_size = 40;
  config.magic = 0x01020304;
  const auto r = build_blob(7, bytes_of("{}"), config);
  ASSERT_TRUE(r.ok()) << r.message;
  ASSERT_EQ(r->raw.size(), 42u);
  EXPECT_EQ(r->raw[0], 0x04);
  EXPECT_EQ(r->raw[3], 0x01);
  EXPECT_EQ(r->raw[6], 40);
  EXPECT_EQ(r->raw[7], 0);
  for (std::size_t i = 16; i < 40; ++i) EXPECT_EQ(r->raw[i], 0) << "reserved byte " << i;
  EXPECT_EQ(r->raw[40], '{');
  EXPECT_EQ(r->raw[41], '}');
}

TEST(BuildBlobTest, EmptyPayloadIsTheBareHeader) {
  const auto r = build_blob(0, {}, FlashConfig{});
  ASSERT_TRUE(r.ok()) << r.message;
  EXPECT_EQ(r->raw.size(), 16u);
  EXPECT_EQ(r->payload_length, 0u);
  EXPECT_EQ(r->crc32, 0u);
  EXPECT_TRUE(r->payload.empty());
  const auto parsed = parse_and_validate_raw_blob(r->raw, FlashConfig{});
  ASSERT_TRUE(parsed.ok()) << parsed.message;
  EXPECT_TRUE(parsed->payload.empty());
}

TEST(BuildBlobTest, RefusesSmallHeaderAndOversizedPayload) {
  FlashConfig small_header;
  small_header.min_header_size = 15;
  expect_failure(build_blob(0, {1}, small_header), ErrorCode::invalid_argument, "config.min_header_size must be >= 16");

  FlashConfig config;  // 64 KiB total with a 16-byte header
  const auto at_limit = build_blob(0, Bytes(0x10000 - 16, 0x5A), config);
  ASSERT_TRUE(at_limit.ok()) << at_limit.message;
  EXPECT_EQ(at_limit->raw.size(), 0x10000u);
  expect_failure(build_blob(0, Bytes(0x10000 - 15, 0x5A), config), ErrorCode::invalid_length, "payload is too large");

  config.max_total_length = 15;  // not even the header fits
  expect_failure(build_blob(0, {}, config), ErrorCode::invalid_length, "payload is too large");

  // A header size the same configuration would refuse on reading is refused
  // on building; the boundary (minimum equal to maximum) still builds and
  // parses back.
  struct Range {
    std::uint16_t min, max;
    bool ok;
  };
  for (const Range& r : {Range{17, 16, false}, Range{300, 256, false}, Range{16, 16, true}, Range{40, 40, true}}) {
    FlashConfig ranged;
    ranged.min_header_size = r.min;
    ranged.max_header_size = r.max;
    const auto built = build_blob(0, {1, 2, 3}, ranged);
    if (!r.ok) {
      expect_failure(built, ErrorCode::invalid_argument, "config.min_header_size must be <= config.max_header_size");
      continue;
    }
    ASSERT_TRUE(built.ok()) << built.message;
    EXPECT_TRUE(parse_and_validate_raw_blob(built->raw, ranged).ok()) << r.min;
  }
}

TEST(BlobRoundTripTest, ParseGivesBackEveryFieldAndByte) {
  for (std::size_t size : {0u, 1u, 3u, 8u, 1000u, 0x10000u - 16u}) {
    Bytes payload(size);
    for (std::size_t i = 0; i < size; ++i) payload[i] = static_cast<std::uint8_t>(i * 31 + 7);
    const auto built = build_blob(0xBEEF, payload, FlashConfig{});
    ASSERT_TRUE(built.ok()) << built.message;
    const auto parsed = parse_and_validate_raw_blob(built->raw, FlashConfig{});
    ASSERT_TRUE(parsed.ok()) << parsed.message;
    EXPECT_EQ(parsed->magic, built->magic);
    EXPECT_EQ(parsed->version, 0xBEEF);
    EXPECT_EQ(parsed->header_size, built->header_size);
    EXPECT_EQ(parsed->payload_length, size);
    EXPECT_EQ(parsed->crc32, built->crc32);
    EXPECT_EQ(parsed->payload, payload);
    EXPECT_EQ(parsed->raw, built->raw);
  }
}

TEST(ParseBlobTest, BytesPastTheDeclaredTotalAreDropped) {
  Bytes raw = handmade_blob(16, bytes_of("abc"));
  const Bytes exact = raw;
  raw.insert(raw.end(), {0xFF, 0xFF, 0xFF, 0xFF, 0xFF});  // erased flash after the blob
  const auto r = parse_and_validate_raw_blob(raw, FlashConfig{});
  ASSERT_TRUE(r.ok()) << r.message;
  EXPECT_EQ(r->raw, exact);
  EXPECT_EQ(r->payload, bytes_of("abc"));
  EXPECT_EQ(r->version, 0x0102);
}

TEST(ParseBlobTest, SizeCheckComesBeforeHeaderConfigCheck) {
  FlashConfig zero_header;
  zero_header.min_header_size = 0;
  // 0 < 0 is false, so the configuration check is the first to fail.
  expect_failure(parse_and_validate_raw_blob({}, zero_header), ErrorCode::invalid_argument,
                 "config.min_header_size must be >= 16");
  // A short buffer is reported before a bad configuration.
  FlashConfig twelve;
  twelve.min_header_size = 12;
  expect_failure(parse_and_validate_raw_blob(Bytes(8, 0), twelve), ErrorCode::invalid_header,
                 "raw size is smaller than minimum header size");
  expect_failure(parse_and_validate_raw_blob(Bytes(8, 0), FlashConfig{}), ErrorCode::invalid_header,
                 "raw size is smaller than minimum header size");
  // With min_header_size below 16 a buffer of 12 bytes must not be read as a header.
  expect_failure(parse_and_validate_raw_blob(Bytes(12, 0), twelve), ErrorCode::invalid_argument,
                 "config.min_header_size must be >= 16");
}

TEST(ParseBlobTest, RawShorterThanMinimumHeaderEvenIfValidPrefix) {
  const Bytes raw = handmade_blob(16, {});
  expect_failure(parse_and_validate_raw_blob(Bytes(raw.begin(), raw.begin() + 15), FlashConfig{}),
                 ErrorCode::invalid_header, "raw size is smaller than minimum header size");
  FlashConfig bigger;
  bigger.min_header_size = 32;
  expect_failure(parse_and_validate_raw_blob(raw, bigger), ErrorCode::invalid_header,
                 "raw size is smaller than minimum header size");
}

TEST(ParseBlobTest, MagicIsCheckedLittleEndianBeforeTheHeaderSize) {
  Bytes raw = handmade_blob(16, bytes_of("x"), 0x564F524D);  // byte-swapped magic
  put_le16(raw, 6, 3);                                       // and a bad header size
  expect_failure(parse_and_validate_raw_blob(raw, FlashConfig{}), ErrorCode::magic_mismatch, "flash magic mismatch");
  FlashConfig other_magic;
  other_magic.magic = 0x564F524D;
  expect_failure(parse_and_validate_raw_blob(raw, other_magic), ErrorCode::invalid_header, "header_size out of range");
}

TEST(ParseBlobTest, HeaderSizeBoundaries) {
  const Bytes payload = bytes_of("pp");
  for (std::uint16_t h : {16, 17, 255, 256}) {
    const auto r = parse_and_validate_raw_blob(handmade_blob(h, payload), FlashConfig{});
    ASSERT_TRUE(r.ok()) << "header " << h << ": " << r.message;
    EXPECT_EQ(r->header_size, h);
    EXPECT_EQ(r->payload, payload);
  }
  for (std::uint16_t h : {0, 15, 257, 0xFFFF}) {
    Bytes raw = handmade_blob(16, Bytes(300, 1));
    put_le16(raw, 6, h);
    expect_failure(parse_and_validate_raw_blob(raw, FlashConfig{}), ErrorCode::invalid_header,
                   "header_size out of range");
  }
}

TEST(ParseBlobTest, TotalLengthLimitIsInclusiveAndComputedWithoutWrap) {
  Bytes raw = handmade_blob(256, Bytes(65280, 0x42));  // 256 + 65280 == 65536
  const auto at_limit = parse_and_validate_raw_blob(raw, FlashConfig{});
  ASSERT_TRUE(at_limit.ok()) << at_limit.message;
  EXPECT_EQ(at_limit->raw.size(), 65536u);

  put_le32(raw, 8, 65281);
  expect_failure(parse_and_validate_raw_blob(raw, FlashConfig{}), ErrorCode::invalid_length, "total length is invalid");

  // 256 + 0xFFFFFF00 is 2^32: a 32-bit sum would wrap to 0 and pass both
  // length checks. It must be refused even with the largest configured limit.
  FlashConfig unlimited;
  unlimited.max_total_length = 0xFFFFFFFFu;
  put_le32(raw, 8, 0xFFFFFF00u);
  expect_failure(parse_and_validate_raw_blob(raw, unlimited), ErrorCode::invalid_length, "total length is invalid");
  // Within that limit but far beyond the buffer.
  put_le32(raw, 8, 0xFFFFFE00u);
  expect_failure(parse_and_validate_raw_blob(raw, unlimited), ErrorCode::invalid_length,
                 "raw buffer is shorter than header-declared length");
}

TEST(ParseBlobTest, TruncatedBufferIsRefusedBeforeTheCrc) {
  Bytes raw = handmade_blob(16, bytes_of("hello"));
  raw.pop_back();
  raw[16] ^= 0xFF;  // a CRC problem too, which must not be the one reported
  // Exact-size copy so a sanitizer would see any read past the end.
  const Bytes exact(raw.begin(), raw.end());
  expect_failure(parse_and_validate_raw_blob(exact, FlashConfig{}), ErrorCode::invalid_length,
                 "raw buffer is shorter than header-declared length");
}

TEST(ParseBlobTest, CorruptPayloadFailsCrcUnlessVerificationIsOff) {
  Bytes raw = handmade_blob(16, bytes_of("{\"k\":1}"));
  const std::uint32_t stored = bitwise_crc(bytes_of("{\"k\":1}"));
  raw[20] ^= 0x01;
  expect_failure(parse_and_validate_raw_blob(raw, FlashConfig{}), ErrorCode::crc_mismatch, "crc32 mismatch");

  FlashConfig no_crc;
  no_crc.verify_crc = false;
  const auto r = parse_and_validate_raw_blob(raw, no_crc);
  ASSERT_TRUE(r.ok()) << r.message;
  EXPECT_EQ(r->crc32, stored);  // the stored value, not the recomputed one
  EXPECT_NE(crc32_ieee(r->payload), stored);
  EXPECT_EQ(r->payload[4], raw[20]);
}

TEST(ParseBlobTest, CorruptStoredCrcOrReservedBytes) {
  Bytes raw = handmade_blob(32, bytes_of("data"));
  raw[14] ^= 0x80;  // stored CRC damaged
  expect_failure(parse_and_validate_raw_blob(raw, FlashConfig{}), ErrorCode::crc_mismatch, "crc32 mismatch");

  // Reserved bytes and the version are not examined.
  Bytes reserved = handmade_blob(32, bytes_of("data"));
  for (std::size_t i = 16; i < 32; ++i) reserved[i] = 0xEE;
  put_le16(reserved, 4, 0xFFFF);
  const auto r = parse_and_validate_raw_blob(reserved, FlashConfig{});
  ASSERT_TRUE(r.ok()) << r.message;
  EXPECT_EQ(r->version, 0xFFFF);
  EXPECT_EQ(r->payload, bytes_of("data"));
}

TEST(ParseBlobTest, HeaderLargerThanConfiguredMaximumWithCustomLimits) {
  FlashConfig config;
  config.min_header_size = 20;
  config.max_header_size = 24;
  expect_failure(parse_and_validate_raw_blob(handmade_blob(16, Bytes(8, 0)), config), ErrorCode::invalid_header,
                 "header_size out of range");
  EXPECT_TRUE(parse_and_validate_raw_blob(handmade_blob(24, {}), config).ok());
  expect_failure(parse_and_validate_raw_blob(handmade_blob(25, {}), config), ErrorCode::invalid_header,
                 "header_size out of range");
}

}  // namespace
}  // namespace morvane::uvc_stereo
