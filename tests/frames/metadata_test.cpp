// The UVC metadata a capture reads, in the layout the kernel's UVC driver
// writes (V4L2_META_FMT_UVC): per payload the driver's stamp (8 bytes) and
// USB frame number (2 bytes), then a copy of the payload header from its
// first byte, bHeaderLength and bmHeaderInfo, with only the PTS and SCR the
// flags announce (the camera's own further bytes are not copied, though
// bHeaderLength counts them).
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "src/frames/frame_clock.hpp"

namespace {

using morvane::uvc_stereo::detail::FrameClock;
using morvane::uvc_stereo::detail::FrameMetadata;

constexpr std::uint8_t kPts = 0x04, kScr = 0x08, kEoh = 0x80;

struct Block {
  std::uint64_t ns;
  std::uint8_t header_length;  // as the camera sent it
  std::uint8_t flags;
  std::uint32_t pts;
  std::uint32_t stc;
};

void put(std::vector<std::uint8_t>& out, std::uint64_t v, int bytes) {
  for (int i = 0; i < bytes; ++i) out.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
}

std::vector<std::uint8_t> metadata(const std::vector<Block>& blocks) {
  std::vector<std::uint8_t> out;
  for (const Block& b : blocks) {
    put(out, b.ns, 8);
    put(out, 0x123, 2);  // sof
    out.push_back(b.header_length);
    out.push_back(b.flags);
    if (b.flags & kPts) put(out, b.pts, 4);
    if (b.flags & kScr) put(out, b.stc, 4), put(out, 0x456, 2);
  }
  return out;
}

// Payload p of a frame, its SCR sampled 1 ms apart on a 1 MHz clock that
// the host's stamps follow 150 us later.
Block payload(int p, std::uint8_t header_length = 12, std::uint8_t flags = kEoh | kPts | kScr) {
  const std::uint32_t stc = 5'000'000 + 1000 * p;
  return {std::uint64_t{stc} * 1000 + 150'000, header_length, flags, 4'990'000, stc};
}

TEST(FrameMetadata, ReadsTheDriversBlocks) {
  struct Row {
    const char* name;
    std::vector<Block> blocks;
    std::size_t cut;  // bytes cut from the end
    bool has_pts;
    std::size_t scr_points;
  };
  const std::vector<Row> rows = {
      {"standard headers", {payload(0), payload(1), payload(2)}, 0, true, 3},
      // bHeaderLength counts 2 bytes of the camera's own the driver did not
      // copy: the next block starts after the standard fields.
      {"longer camera header", {payload(0, 14), payload(1, 14), payload(2)}, 0, true, 3},
      {"SCR only, then PTS", {payload(0, 8, kEoh | kScr), payload(1)}, 0, true, 2},
      {"PTS only", {payload(0, 6, kEoh | kPts)}, 0, true, 0},
      {"no PTS", {payload(0, 8, kEoh | kScr), payload(1, 8, kEoh | kScr)}, 0, false, 2},
      {"truncated last block", {payload(0), payload(1), payload(2)}, 3, true, 2},
      // A header shorter than its flags say ends the reading there.
      {"malformed header", {payload(0), payload(1, 10), payload(2)}, 0, true, 1},
      {"a clock that went back", {payload(2), payload(0), payload(3)}, 0, true, 2},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    std::vector<std::uint8_t> bytes = metadata(row.blocks);
    bytes.resize(bytes.size() - row.cut);
    FrameClock clock(1e6, 30);
    const FrameMetadata m = clock.add_metadata(bytes.data(), bytes.size());
    EXPECT_EQ(m.has_pts, row.has_pts);
    if (row.has_pts) {
      EXPECT_EQ(m.pts, 4'990'000u);
    }
    EXPECT_EQ(m.scr_points, row.scr_points);
  }
}

// Frames of 10 payloads each: the PTS (10 ms before the first payload's
// SCR) lands where the clock the stamps follow puts it.
TEST(FrameMetadata, PlacesThePtsOnTheHostClock) {
  FrameClock clock(1e6, 30);
  double host_ns = 0, band = 0;
  for (int frame = 0; frame < 20; ++frame) {
    std::vector<Block> blocks;
    for (int p = 0; p < 10; ++p) blocks.push_back(payload(frame * 100 + p, frame % 2 == 0 ? 12 : 16));
    const std::vector<std::uint8_t> bytes = metadata(blocks);
    ASSERT_EQ(clock.add_metadata(bytes.data(), bytes.size()).scr_points, 10u);
  }
  const std::uint32_t pts = 5'000'000 + 1000 * 1900 - 10'000;
  ASSERT_TRUE(clock.map_pts(pts, host_ns, band));
  EXPECT_NEAR(host_ns, pts * 1000.0 + 150'000, 1000);
  EXPECT_LT(band, 10'000);
}

}  // namespace
