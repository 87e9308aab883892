#include "conversions.hpp"

#include <libyuv.h>

#include <algorithm>
#include <cstdlib>

namespace morvane::bench {
namespace {

void size_for(Split& split, std::uint32_t bytes_per_pixel) {
  split.out.resize(static_cast<std::size_t>(split.eye) * bytes_per_pixel * split.height * 2);
}

// BT.601 limited range in 16.16 fixed point:
//   R = 255/219 (Y - 16)                          + 255/224 * 1.402 (V - 128)
//   G = 255/219 (Y - 16) - 255/224 * 0.344136 (U - 128) - 255/224 * 0.714136 (V - 128)
//   B = 255/219 (Y - 16) + 255/224 * 1.772 (U - 128)
constexpr int fixed(double c) { return static_cast<int>(c * 65536.0 + 0.5); }
constexpr int kY = fixed(255.0 / 219.0);
constexpr int kVr = fixed(255.0 / 224.0 * 1.402);
constexpr int kUg = fixed(255.0 / 224.0 * 0.344136);
constexpr int kVg = fixed(255.0 / 224.0 * 0.714136);
constexpr int kUb = fixed(255.0 / 224.0 * 1.772);

std::uint8_t clamp8(int v) {
  v = (v + 32768) >> 16;
  return static_cast<std::uint8_t>(v < 0 ? 0 : v > 255 ? 255 : v);
}

void put_bgr(std::uint8_t* px, int y, int u, int v) {
  const int luma = (y - 16) * kY;
  px[0] = clamp8(luma + kUb * u);
  px[1] = clamp8(luma - kUg * u - kVg * v);
  px[2] = clamp8(luma + kVr * v);
}

}  // namespace

void libyuv_gray(const std::uint8_t* yuyv, std::uint32_t stride, Split& split) {
  size_for(split, 1);
  for (std::uint32_t side = 0; side < 2; ++side)
    libyuv::YUY2ToY(yuyv + side * split.eye * 2, static_cast<int>(stride),
                    split.out.data() + static_cast<std::size_t>(side) * split.eye * split.height,
                    static_cast<int>(split.eye), static_cast<int>(split.eye), static_cast<int>(split.height));
}

void libyuv_bgr(const std::uint8_t* yuyv, std::uint32_t stride, Split& split) {
  size_for(split, 3);
  split.scratch.resize(static_cast<std::size_t>(split.eye) * 4 * split.height);
  for (std::uint32_t side = 0; side < 2; ++side) {
    libyuv::YUY2ToARGB(yuyv + side * split.eye * 2, static_cast<int>(stride), split.scratch.data(),
                       static_cast<int>(split.eye * 4), static_cast<int>(split.eye), static_cast<int>(split.height));
    libyuv::ARGBToRGB24(split.scratch.data(), static_cast<int>(split.eye * 4),
                        split.out.data() + static_cast<std::size_t>(side) * split.eye * 3 * split.height,
                        static_cast<int>(split.eye * 3), static_cast<int>(split.eye), static_cast<int>(split.height));
  }
}

void plain_gray(const std::uint8_t* yuyv, std::uint32_t stride, Split& split) {
  size_for(split, 1);
  std::uint8_t* out = split.out.data();
  for (std::uint32_t side = 0; side < 2; ++side)
    for (std::uint32_t y = 0; y < split.height; ++y) {
      const std::uint8_t* row = yuyv + static_cast<std::size_t>(y) * stride + side * split.eye * 2;
      for (std::uint32_t x = 0; x < split.eye; ++x) *out++ = row[2 * x];
    }
}

void plain_bgr(const std::uint8_t* yuyv, std::uint32_t stride, Split& split) {
  size_for(split, 3);
  std::uint8_t* out = split.out.data();
  for (std::uint32_t side = 0; side < 2; ++side)
    for (std::uint32_t y = 0; y < split.height; ++y) {
      const std::uint8_t* row = yuyv + static_cast<std::size_t>(y) * stride + side * split.eye * 2;
      for (std::uint32_t x = 0; x < split.eye; x += 2) {  // Y0 U Y1 V: two pixels, one chroma pair (eyes are even)
        const std::uint8_t* pair = row + 2 * x;
        const int u = pair[1] - 128;
        const int v = pair[3] - 128;
        put_bgr(out, pair[0], u, v);
        put_bgr(out + 3, pair[2], u, v);
        out += 6;
      }
    }
}

int max_difference(const std::vector<std::uint8_t>& a, const std::vector<std::uint8_t>& b, std::uint32_t row_bytes,
                   std::uint32_t height, std::uint32_t skip_from, std::uint32_t skip_to) {
  if (a.size() != b.size()) return 256;
  int worst = 0;
  for (std::size_t i = 0; i < a.size(); ++i) {
    const auto row = static_cast<std::uint32_t>(i / row_bytes % height);
    if (row >= skip_from && row < skip_to) continue;
    worst = std::max(worst, std::abs(static_cast<int>(a[i]) - static_cast<int>(b[i])));
  }
  return worst;
}

}  // namespace morvane::bench
