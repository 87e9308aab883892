// The two conversions a StereoCapture makes of the camera's side-by-side
// YUYV picture, each eye on its own: the SDK's way (the libyuv calls it
// makes, with the same arguments) and a plain per-pixel C++ loop doing the
// same conversion, the baseline the SDK's figures are set beside.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace morvane::bench {

// A side-by-side YUYV picture split into two eyes of `eye` x `height`
// pixels: `out` holds the left eye's picture, then the right eye's, each
// with rows of eye * bytes-per-pixel.
struct Split {
  std::uint32_t eye = 0;
  std::uint32_t height = 0;
  std::vector<std::uint8_t> out;
  std::vector<std::uint8_t> scratch;  // the libyuv BGR path's ARGB rows
};

// libyuv::YUY2ToY for each eye.
void libyuv_gray(const std::uint8_t* yuyv, std::uint32_t stride, Split& split);
// libyuv::YUY2ToARGB then libyuv::ARGBToRGB24 for each eye (blue first).
void libyuv_bgr(const std::uint8_t* yuyv, std::uint32_t stride, Split& split);

// The same, one pixel at a time: gray is the luma byte; BGR uses BT.601
// limited-range coefficients (luma 16 to 235, chroma 16 to 240 around 128),
// the ones libyuv's YUY2ToARGB uses.
void plain_gray(const std::uint8_t* yuyv, std::uint32_t stride, Split& split);
void plain_bgr(const std::uint8_t* yuyv, std::uint32_t stride, Split& split);

// The largest difference of one byte between two pictures of the same size,
// leaving out rows [skip_from, skip_to) of each eye (both eyes stacked, each
// `height` rows of `row_bytes`).
int max_difference(const std::vector<std::uint8_t>& a, const std::vector<std::uint8_t>& b, std::uint32_t row_bytes,
                   std::uint32_t height, std::uint32_t skip_from = 0, std::uint32_t skip_to = 0);

}  // namespace morvane::bench
