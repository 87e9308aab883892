#include "emulator/mjpeg_encoder.hpp"

#include <turbojpeg.h>

#include <algorithm>

namespace morvane::emulator {
namespace {

constexpr int kQuality = 90;

}  // namespace

MjpegEncoder::~MjpegEncoder() {
  if (handle_ != nullptr) tjDestroy(handle_);
}

std::size_t MjpegEncoder::max_bytes(std::uint16_t width, std::uint16_t height) {
  return tjBufSize(width, height, TJSAMP_422);
}

std::size_t MjpegEncoder::encode(const std::uint8_t* yuyv, std::uint16_t width, std::uint16_t height,
                                 std::uint8_t* out) {
  if (handle_ == nullptr) handle_ = tjInitCompress();
  if (handle_ == nullptr) return 0;
  const std::size_t pixels = static_cast<std::size_t>(width) * height;
  planes_.resize(pixels * 2);
  std::uint8_t* y = planes_.data();
  std::uint8_t* u = y + pixels;
  std::uint8_t* v = u + pixels / 2;
  const auto full = [](int sample, int low, int span) {
    return static_cast<std::uint8_t>(std::clamp((sample - low) * 255 / span, 0, 255));
  };
  for (std::size_t i = 0; i < pixels / 2; ++i) {
    y[2 * i] = full(yuyv[4 * i], 16, 219);
    u[i] = full(yuyv[4 * i + 1] - 128, -112, 224);
    y[2 * i + 1] = full(yuyv[4 * i + 2], 16, 219);
    v[i] = full(yuyv[4 * i + 3] - 128, -112, 224);
  }
  const unsigned char* planes[3] = {y, u, v};
  const int strides[3] = {width, width / 2, width / 2};
  unsigned char* jpeg = out;
  unsigned long length = static_cast<unsigned long>(max_bytes(width, height));
  if (tjCompressFromYUVPlanes(static_cast<tjhandle>(handle_), planes, width, strides, height, TJSAMP_422, &jpeg,
                              &length, kQuality, TJFLAG_NOREALLOC) != 0)
    return 0;
  return length;
}

}  // namespace morvane::emulator
