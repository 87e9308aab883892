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
Block payload(int p, std::uint8_t header_length = 12, std::uint8_t flags = kEoh | kPts | kScr);

// The same payload's header sent again later with a clock sample 0.2 ms behind.
Block stale(Block b) {
  b.ns += 300'000;
  b.stc -= 200;
  return b;
}

Block payload(int p, std::uint8_t header_length, std::uint8_t flags) {
  const std::uint32_t stc = 5'000'000 + 1000 * p;
  return {std::uint64_t{stc} * 1000 + 150'000, header_length, flags, 4'990'000, stc};
}

TEST(FrameMetadata, ReadsTheDriversBlocks) {
  // The first metadata buffer a Linux 6.1 guest's uvcvideo returned for the
  // virtual camera: six 22-byte blocks, one per payload, each with the
  // frame's PTS 0x018d1b04 and a new SCR.
  const std::vector<std::uint8_t> kernel = {
      0x43, 0x8d, 0x06, 0x7c, 0x04, 0x00, 0x00, 0x00, 0x6b, 0x05, 0x0c, 0x8c, 0x04, 0x1b, 0x8d, 0x01, 0x7e, 0x1b, 0x8d,
      0x01, 0x5b, 0x03, 0x91, 0x23, 0x19, 0x7c, 0x04, 0x00, 0x00, 0x00, 0x6c, 0x05, 0x0c, 0x8c, 0x04, 0x1b, 0x8d, 0x01,
      0x66, 0x1f, 0x8d, 0x01, 0x5c, 0x03, 0xdd, 0xa8, 0x1a, 0x7c, 0x04, 0x00, 0x00, 0x00, 0x6c, 0x05, 0x0c, 0x8c, 0x04,
      0x1b, 0x8d, 0x01, 0x36, 0x27, 0x8d, 0x01, 0x5e, 0x03, 0xd8, 0xb8, 0x22, 0x7c, 0x04, 0x00, 0x00, 0x00, 0x6c, 0x05,
      0x0c, 0x8c, 0x04, 0x1b, 0x8d, 0x01, 0x1e, 0x2b, 0x8d, 0x01, 0x5f, 0x03, 0xd9, 0xcb, 0x6d, 0x7c, 0x04, 0x00, 0x00,
      0x00, 0x71, 0x05, 0x0c, 0x8c, 0x04, 0x1b, 0x8d, 0x01, 0xee, 0x32, 0x8d, 0x01, 0x61, 0x03, 0x53, 0x5f, 0x78, 0x7c,
      0x04, 0x00, 0x00, 0x00, 0x72, 0x05, 0x0c, 0x8c, 0x04, 0x1b, 0x8d, 0x01, 0xa7, 0x3e, 0x8d, 0x01, 0x64, 0x03};
  ASSERT_EQ(kernel.size(), 132u);
  const auto cut = [](std::vector<std::uint8_t> bytes, std::size_t n) {
    bytes.resize(bytes.size() - n);
    return bytes;
  };
  struct Row {
    const char* name;
    std::vector<std::uint8_t> bytes;
    bool has_pts;
    std::uint32_t pts;
    std::size_t scr_points;
    std::uint64_t steps = 0;
  };
  const std::uint32_t kPtsSent = 4'990'000;
  const std::vector<Row> rows = {
      {"the driver's buffer", kernel, true, 0x018d1b04u, 6},
      {"standard headers", metadata({payload(0), payload(1), payload(2)}), true, kPtsSent, 3},
      // bHeaderLength counts 2 bytes of the camera's own the driver did not
      // copy: the next block starts after the standard fields.
      {"longer camera header", metadata({payload(0, 14), payload(1, 14), payload(2)}), true, kPtsSent, 3},
      {"bare header, SCR only, then PTS", metadata({payload(0, 2, kEoh), payload(1, 8, kEoh | kScr), payload(2)}), true,
       kPtsSent, 2},
      {"PTS only", metadata({payload(0, 6, kEoh | kPts)}), true, kPtsSent, 0},
      {"no PTS", metadata({payload(0, 8, kEoh | kScr), payload(1, 8, kEoh | kScr)}), false, 0, 2},
      {"truncated last block", cut(metadata({payload(0), payload(1), payload(2)}), 3), true, kPtsSent, 2},
      // A header shorter than its flags say ends the reading there.
      {"malformed header", metadata({payload(0), payload(1, 10), payload(2)}), true, kPtsSent, 1},
      {"malformed first header", metadata({payload(0, 0), payload(1)}), false, 0, 0},
      // A sample a little behind the previous one is a stale header; one 2 ms
      // behind is a clock that went back, and the fit starts over from it.
      {"a stale header", metadata({payload(2), stale(payload(2)), payload(3)}), true, kPtsSent, 2},
      {"a clock that went back", metadata({payload(2), payload(0), payload(3)}), true, kPtsSent, 3, 1},
      {"an empty buffer", {}, false, 0, 0},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    FrameClock clock(1e6, 30);
    const FrameMetadata m = clock.add_metadata(row.bytes.data(), row.bytes.size());
    EXPECT_EQ(m.has_pts, row.has_pts);
    if (row.has_pts) {
      EXPECT_EQ(m.pts, row.pts);
    }
    EXPECT_EQ(m.scr_points, row.scr_points);
    EXPECT_EQ(clock.steps(), row.steps);
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
