// The frame clock's reading of the UVC driver's metadata buffers
// (V4L2_META_FMT_UVC): blocks of the driver's stamp (8 bytes), its USB frame
// number (2 bytes) and a copy of the payload header from its bHeaderLength
// byte on, so a block takes 10 + bHeaderLength bytes.
#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "frames/frame_clock.hpp"

namespace morvane::uvc_stereo::detail {
namespace {

using Bytes = std::vector<std::uint8_t>;

void put(Bytes& b, std::uint64_t value, int bytes) {
  for (int i = 0; i < bytes; ++i) b.push_back(static_cast<std::uint8_t>(value >> (8 * i)));
}

// One block: the driver's stamp and frame number, then a payload header with
// the PTS and SCR its flags announce.
Bytes block(std::uint64_t ns, std::uint16_t sof, std::uint8_t flags, std::uint32_t pts, std::uint32_t stc) {
  Bytes b;
  put(b, ns, 8);
  put(b, sof, 2);
  const bool has_pts = (flags & 0x04) != 0, has_scr = (flags & 0x08) != 0;
  b.push_back(static_cast<std::uint8_t>(2 + (has_pts ? 4 : 0) + (has_scr ? 6 : 0)));
  b.push_back(flags);
  if (has_pts) put(b, pts, 4);
  if (has_scr) {
    put(b, stc, 4);
    put(b, sof & 0x7FF, 2);
  }
  return b;
}

Bytes join(std::initializer_list<Bytes> parts) {
  Bytes all;
  for (const Bytes& p : parts) all.insert(all.end(), p.begin(), p.end());
  return all;
}

TEST(FrameClockMetadata, BlocksAreReadWhereTheDriverPutsThem) {
  // The first metadata buffer a Linux 6.1 guest's uvcvideo returned for the
  // virtual camera: six 22-byte blocks, one per payload, each with the
  // frame's PTS 0x018d1b04 and a new SCR.
  const Bytes kernel = {
      0x43, 0x8d, 0x06, 0x7c, 0x04, 0x00, 0x00, 0x00, 0x6b, 0x05, 0x0c, 0x8c, 0x04, 0x1b, 0x8d, 0x01, 0x7e, 0x1b, 0x8d,
      0x01, 0x5b, 0x03, 0x91, 0x23, 0x19, 0x7c, 0x04, 0x00, 0x00, 0x00, 0x6c, 0x05, 0x0c, 0x8c, 0x04, 0x1b, 0x8d, 0x01,
      0x66, 0x1f, 0x8d, 0x01, 0x5c, 0x03, 0xdd, 0xa8, 0x1a, 0x7c, 0x04, 0x00, 0x00, 0x00, 0x6c, 0x05, 0x0c, 0x8c, 0x04,
      0x1b, 0x8d, 0x01, 0x36, 0x27, 0x8d, 0x01, 0x5e, 0x03, 0xd8, 0xb8, 0x22, 0x7c, 0x04, 0x00, 0x00, 0x00, 0x6c, 0x05,
      0x0c, 0x8c, 0x04, 0x1b, 0x8d, 0x01, 0x1e, 0x2b, 0x8d, 0x01, 0x5f, 0x03, 0xd9, 0xcb, 0x6d, 0x7c, 0x04, 0x00, 0x00,
      0x00, 0x71, 0x05, 0x0c, 0x8c, 0x04, 0x1b, 0x8d, 0x01, 0xee, 0x32, 0x8d, 0x01, 0x61, 0x03, 0x53, 0x5f, 0x78, 0x7c,
      0x04, 0x00, 0x00, 0x00, 0x72, 0x05, 0x0c, 0x8c, 0x04, 0x1b, 0x8d, 0x01, 0xa7, 0x3e, 0x8d, 0x01, 0x64, 0x03};
  ASSERT_EQ(kernel.size(), 132u);
  const Bytes full = block(5'000'000'000ULL, 0x123, 0x8d, 0xABCD0001u, 0xABCD0100u);
  const Bytes pts_only = block(4'999'000'000ULL, 0x122, 0x84, 0x77777777u, 0);
  const Bytes bare = block(4'998'000'000ULL, 0x121, 0x80, 0, 0);  // bHeaderLength 2
  struct Case {
    const char* what;
    Bytes buffer;
    bool has_pts;
    std::uint32_t pts;
    std::size_t scr_points;
  };
  const Case cases[] = {
      {"the driver's buffer", kernel, true, 0x018d1b04u, 6},
      {"one block with PTS and SCR", full, true, 0xABCD0001u, 1},
      {"shorter headers before it are stepped over by their length", join({bare, pts_only, full}), true, 0xABCD0001u,
       1},
      {"a PTS without an SCR", pts_only, true, 0x77777777u, 0},
      {"a block cut short is not read", Bytes(full.begin(), full.end() - 1), false, 0, 0},
      {"what follows a malformed block is not read", join({Bytes{0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1, 0x8c}, full}), false,
       0, 0},
      {"an empty buffer", Bytes{}, false, 0, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    FrameClock clock(1e6, 5.0);
    const FrameMetadata m = clock.add_metadata(c.buffer.data(), c.buffer.size());
    EXPECT_EQ(m.has_pts, c.has_pts);
    if (c.has_pts) {
      EXPECT_EQ(m.pts, c.pts);
    }
    EXPECT_EQ(m.scr_points, c.scr_points);
  }
}

}  // namespace
}  // namespace morvane::uvc_stereo::detail
