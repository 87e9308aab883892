#include "emulator/stereo_pattern.hpp"

#include <algorithm>

namespace morvane::emulator {
namespace {

constexpr int kBandCount = 3;

}  // namespace

std::uint32_t mix32(std::uint32_t h) {
  h ^= h >> 16;
  h *= 0x7feb352dU;
  h ^= h >> 15;
  h *= 0x846ca68bU;
  h ^= h >> 16;
  return h;
}

const std::vector<FrameSize>& frame_sizes() {
  static const std::vector<FrameSize> sizes = {
      {640, 240, {1000000, 2000000}},
      {320, 120, {666666, 1000000}},
  };
  return sizes;
}

const std::vector<FrameSize>& all_frame_sizes() {
  static const std::vector<FrameSize> sizes = [] {
    std::vector<FrameSize> all = frame_sizes();
    all.push_back({1280, 480, {333333, 666666}});
    all.push_back({2560, 720, {333333, 666666}});
    return all;
  }();
  return sizes;
}

std::uint8_t pattern_luma(int x, int y, int eye_width, std::uint32_t frame_number, std::uint32_t pts) {
  if (y < kBandCount * kBitCellRows) {
    const int cell_width = std::max(1, eye_width / kBitCellsPerRow);
    const int cell = x / cell_width;
    if (cell >= 32) return 128;
    const int band = y / kBitCellRows;
    const std::uint32_t value = band == 0 ? frame_number : band == 1 ? pts : ~frame_number;
    return ((value >> (31 - cell)) & 1) ? kBitOne : kBitZero;
  }
  const std::uint32_t h = mix32(static_cast<std::uint32_t>(x) * 0x9E3779B1U ^
                                static_cast<std::uint32_t>(y) * 0x85EBCA77U ^ frame_number * 0xC2B2AE3DU);
  return static_cast<std::uint8_t>(16 + h % 220);
}

void render_stereo_frame(std::uint8_t* yuyv, std::uint16_t width, std::uint16_t height, std::uint32_t frame_number,
                         std::uint32_t pts) {
  const int eye = width / 2;
  for (int y = 0; y < height; ++y) {
    std::uint8_t* row = yuyv + static_cast<std::size_t>(y) * width * 2;
    for (int side = 0; side < 2; ++side) {
      for (int x = 0; x < eye; ++x) {
        const std::size_t at = static_cast<std::size_t>(side * eye + x) * 2;
        row[at] = pattern_luma(x + side * kDisparity, y, eye, frame_number, pts);
        row[at + 1] = 128;  // U and V alternate; a grey picture
      }
    }
  }
}

}  // namespace morvane::emulator
