#include "conversions.hpp"

#include "plain_jpeg.hpp"

#include <libyuv.h>
#include <turbojpeg.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>

#if MORVANE_BENCH_LIBJPEG
// After <cstdio>: jpeglib.h uses FILE.
#include <jpeglib.h>
#endif

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

// A limited-range sample stretched to full range, as the virtual camera
// does before encoding.
std::uint8_t full_range(int sample, int low, int span) {
  return static_cast<std::uint8_t>(std::clamp((sample - low) * 255 / span, 0, 255));
}
std::uint8_t full_luma(std::uint8_t y) { return full_range(y, 16, 219); }
std::uint8_t full_chroma(std::uint8_t c) { return full_range(c - 128, -112, 224); }

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

CameraMjpegEncoder::~CameraMjpegEncoder() {
  if (handle_ != nullptr) tjDestroy(static_cast<tjhandle>(handle_));
}

bool CameraMjpegEncoder::encode(const std::uint8_t* yuyv, std::uint32_t width, std::uint32_t height,
                                std::vector<std::uint8_t>& out) {
  if (handle_ == nullptr) handle_ = tjInitCompress();
  out.resize(tjBufSize(static_cast<int>(width), static_cast<int>(height), TJSAMP_422));
  if (handle_ == nullptr) {
    out.clear();
    return false;
  }
  const std::size_t pixels = static_cast<std::size_t>(width) * height;
  planes_.resize(pixels * 2);
  std::uint8_t* y = planes_.data();
  std::uint8_t* u = y + pixels;
  std::uint8_t* v = u + pixels / 2;
  for (std::size_t i = 0; i < pixels / 2; ++i) {
    y[2 * i] = full_luma(yuyv[4 * i]);
    u[i] = full_chroma(yuyv[4 * i + 1]);
    y[2 * i + 1] = full_luma(yuyv[4 * i + 2]);
    v[i] = full_chroma(yuyv[4 * i + 3]);
  }
  const unsigned char* planes[3] = {y, u, v};
  const int strides[3] = {static_cast<int>(width), static_cast<int>(width / 2), static_cast<int>(width / 2)};
  unsigned char* jpeg = out.data();
  unsigned long length = static_cast<unsigned long>(out.size());
  if (tjCompressFromYUVPlanes(static_cast<tjhandle>(handle_), planes, static_cast<int>(width), strides,
                              static_cast<int>(height), TJSAMP_422, &jpeg, &length, 90, TJFLAG_NOREALLOC) != 0) {
    out.clear();
    return false;
  }
  out.resize(length);
  return true;
}

TurboDecoder::~TurboDecoder() {
  if (handle_ != nullptr) tjDestroy(static_cast<tjhandle>(handle_));
}

bool TurboDecoder::decode(const std::vector<std::uint8_t>& jpeg, bool bgr, std::vector<std::uint8_t>& out) {
  if (handle_ == nullptr) handle_ = tjInitDecompress();
  if (handle_ == nullptr || jpeg.empty()) return false;
  auto* const handle = static_cast<tjhandle>(handle_);
  auto* const data = const_cast<unsigned char*>(jpeg.data());
  const auto size = static_cast<unsigned long>(jpeg.size());
  int width = 0, height = 0, subsampling = 0, colorspace = 0;
  if (tjDecompressHeader3(handle, data, size, &width, &height, &subsampling, &colorspace) != 0) return false;
  const int row = width * (bgr ? 3 : 1);
  out.resize(static_cast<std::size_t>(row) * static_cast<std::size_t>(height));
  return tjDecompress2(handle, data, size, out.data(), width, row, height, bgr ? TJPF_BGR : TJPF_GRAY, 0) == 0;
}

bool turbo_pixels(const std::vector<std::uint8_t>& jpeg, std::vector<std::uint8_t>& gray,
                  std::vector<std::uint8_t>& bgr) {
  TurboDecoder turbo;
  if (turbo.decode(jpeg, false, gray) && turbo.decode(jpeg, true, bgr)) return true;
  gray.clear();
  bgr.clear();
  return false;
}

JpegDiff plain_jpeg_against(const std::vector<std::uint8_t>& jpeg, const std::vector<std::uint8_t>& gray,
                            const std::vector<std::uint8_t>& bgr, std::uint32_t width, std::uint32_t height,
                            std::uint32_t skip_from, std::uint32_t skip_to) {
  JpegDiff d;
  if (jpeg.empty()) {
    d.failure = "no JPEG to decode";
    return d;
  }
  PlainJpeg plain;
  std::vector<std::uint8_t> out;
  for (const bool to_bgr : {false, true}) {
    if (const std::string e = plain.decode(jpeg.data(), jpeg.size(), to_bgr, out); !e.empty()) {
      d.failure = e;
      return d;
    }
    if (plain.width() != width || plain.height() != height) {
      d.failure = "a picture of " + std::to_string(plain.width()) + "x" + std::to_string(plain.height());
      return d;
    }
    (to_bgr ? d.bgr : d.gray) =
        max_difference(out, to_bgr ? bgr : gray, width * (to_bgr ? 3 : 1), height, skip_from, skip_to);
  }
  return d;
}

std::vector<std::uint8_t> mjpeg_420_with_restarts(const std::uint8_t* yuyv, std::uint32_t width, std::uint32_t height,
                                                  unsigned restart_mcus) {
#if !MORVANE_BENCH_LIBJPEG
  (void)yuyv, (void)width, (void)height, (void)restart_mcus;
  return {};
#else
  // Full-range YCbCr pixels, each pair sharing the YUYV pair's chroma.
  std::vector<std::uint8_t> pixels(static_cast<std::size_t>(width) * height * 3);
  for (std::size_t i = 0; i < pixels.size() / 3; ++i) {
    const std::uint8_t* pair = yuyv + (i / 2) * 4;
    pixels[3 * i] = full_luma(pair[(i % 2) * 2]);
    pixels[3 * i + 1] = full_chroma(pair[1]);
    pixels[3 * i + 2] = full_chroma(pair[3]);
  }
  // libjpeg's default error handler ends the program with its message: a
  // failure here is not passed over.
  jpeg_compress_struct c;
  jpeg_error_mgr errors;
  c.err = jpeg_std_error(&errors);
  jpeg_create_compress(&c);
  unsigned char* buffer = nullptr;
  unsigned long length = 0;
  jpeg_mem_dest(&c, &buffer, &length);
  c.image_width = width;
  c.image_height = height;
  c.input_components = 3;
  c.in_color_space = JCS_YCbCr;
  jpeg_set_defaults(&c);  // 2x2 luma: 4:2:0
  jpeg_set_quality(&c, 90, TRUE);
  c.restart_interval = restart_mcus;
  jpeg_start_compress(&c, TRUE);
  while (c.next_scanline < c.image_height) {
    JSAMPROW row = pixels.data() + static_cast<std::size_t>(c.next_scanline) * width * 3;
    jpeg_write_scanlines(&c, &row, 1);
  }
  jpeg_finish_compress(&c);
  jpeg_destroy_compress(&c);
  std::vector<std::uint8_t> out(buffer, buffer + length);
  std::free(buffer);
  return out;
#endif
}

}  // namespace morvane::bench
