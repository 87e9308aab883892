#include "plain_jpeg.hpp"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>

namespace morvane::bench {
namespace {

// The natural (row-major) index of the k-th coefficient in zigzag order.
constexpr int kZigzag[64] = {0,  1,  8,  16, 9,  2,  3,  10, 17, 24, 32, 25, 18, 11, 4,  5,  12, 19, 26, 33, 40, 48,
                             41, 34, 27, 20, 13, 6,  7,  14, 21, 28, 35, 42, 49, 56, 57, 50, 43, 36, 29, 22, 15, 23,
                             30, 37, 44, 51, 58, 59, 52, 45, 38, 31, 39, 46, 53, 60, 61, 54, 47, 55, 62, 63};

std::uint32_t be16(const std::uint8_t* p) { return static_cast<std::uint32_t>(p[0]) << 8 | p[1]; }

// cos((2x + 1) u pi / 16) * C(u) / 2, C(0) = 1 / sqrt(2), else 1: the 1-D
// inverse DCT is s(x) = sum over u of basis[x][u] * S(u).
struct Basis {
  float c[8][8];
  Basis() {
    for (int x = 0; x < 8; ++x)
      for (int u = 0; u < 8; ++u)
        c[x][u] = static_cast<float>((u == 0 ? std::sqrt(0.5) : 1.0) * std::cos((2 * x + 1) * u * M_PI / 16) / 2);
  }
};
const Basis kBasis;

// The 8x8 block's samples from its dequantised coefficients (row-major):
// the rows' 1-D transforms, then the columns', level-shifted by 128.
void idct(const int* coef, std::uint8_t* out, std::size_t stride) {
  float rows[64];
  for (int v = 0; v < 8; ++v)
    for (int x = 0; x < 8; ++x) {
      float s = 0;
      for (int u = 0; u < 8; ++u) s += kBasis.c[x][u] * static_cast<float>(coef[v * 8 + u]);
      rows[v * 8 + x] = s;
    }
  for (int x = 0; x < 8; ++x)
    for (int y = 0; y < 8; ++y) {
      float s = 0;
      for (int v = 0; v < 8; ++v) s += kBasis.c[y][v] * rows[v * 8 + x];
      out[y * stride + x] = static_cast<std::uint8_t>(std::clamp(static_cast<int>(std::lround(s + 128)), 0, 255));
    }
}

// The bits of a scan's entropy-coded data, the stuffed zero after each 0xFF
// removed. A marker ends them: reading on sets `overrun`.
struct BitReader {
  const std::uint8_t* p;
  const std::uint8_t* end;
  unsigned byte = 0;
  int left = 0;
  bool overrun = false;
  int bit() {
    if (left == 0) {
      if (p >= end || (p[0] == 0xFF && (p + 1 >= end || p[1] != 0))) {
        overrun = true;
        return 0;
      }
      byte = *p;
      p += byte == 0xFF ? 2 : 1;
      left = 8;
    }
    --left;
    return static_cast<int>(byte >> left) & 1;
  }
  int bits(int n) {
    int v = 0;
    while (n-- > 0) v = v << 1 | bit();
    return v;
  }
};

// An n-bit magnitude category's value: the low half of the codes are negative.
int extend(int v, int n) { return n == 0 ? 0 : v < (1 << (n - 1)) ? v - (1 << n) + 1 : v; }

std::string hex(unsigned v) {
  char text[8];
  std::snprintf(text, sizeof text, "%02X", v);
  return text;
}

}  // namespace

std::string PlainJpeg::decode(const std::uint8_t* jpeg, std::size_t size, bool bgr, std::vector<std::uint8_t>& out) {
  comps_.clear();
  width_ = height_ = restart_interval_ = 0;
  std::fill(std::begin(quant_defined_), std::end(quant_defined_), false);
  for (int i = 0; i < 4; ++i) dc_[i].defined = ac_[i].defined = false;
  const std::uint8_t* p = jpeg;
  const std::uint8_t* const end = jpeg + size;
  if (size < 4 || p[0] != 0xFF || p[1] != 0xD8) return "no start-of-image marker";
  p += 2;
  bool scanned = false;
  for (;;) {
    if (p >= end) return "no end-of-image marker";
    if (*p != 0xFF) return "bytes where a marker belongs";
    while (p < end && *p == 0xFF) ++p;  // fill bytes
    if (p >= end) return "no end-of-image marker";
    const unsigned marker = *p++;
    if (marker == 0xD9) break;
    if (marker == 0xD8 || (marker >= 0xD0 && marker <= 0xD7) || marker == 0x01)
      return "marker FF" + hex(marker) + " outside its place";
    if (end - p < 2 || be16(p) < 2 || be16(p) > static_cast<std::size_t>(end - p))
      return "segment FF" + hex(marker) + " cut short";
    const std::uint8_t* s = p + 2;
    const std::uint8_t* const s_end = p + be16(p);
    p = s_end;
    if (marker == 0xC0 || marker == 0xC1) {  // baseline or extended sequential, Huffman coded
      if (!comps_.empty()) return "two frames";
      if (s_end - s < 6) return "frame header cut short";
      if (s[0] != 8) return "samples of " + std::to_string(s[0]) + " bits";
      height_ = be16(s + 1);
      width_ = be16(s + 3);
      const int n = s[5];
      if (width_ == 0 || height_ == 0) return "no picture size in the frame header";
      if (n != 1 && n != 3) return std::to_string(n) + " components";
      if (s_end - s < 6 + 3 * n) return "frame header cut short";
      comps_.resize(static_cast<std::size_t>(n));
      hmax_ = vmax_ = 1;
      for (int i = 0; i < n; ++i) {
        Component& c = comps_[static_cast<std::size_t>(i)];
        c.id = s[6 + 3 * i];
        c.h = n == 1 ? 1 : s[7 + 3 * i] >> 4;
        c.v = n == 1 ? 1 : s[7 + 3 * i] & 15;
        c.quant = s[8 + 3 * i];
        if (c.quant > 3) return "quantisation table " + std::to_string(c.quant);
        hmax_ = std::max(hmax_, c.h);
        vmax_ = std::max(vmax_, c.v);
      }
      // Luma at the full rate, chroma at 1x1; luma 1x1, 2x1 or 2x2.
      if (n == 3 && (comps_[0].h != hmax_ || comps_[0].v != vmax_ || comps_[1].h != 1 || comps_[1].v != 1 ||
                     comps_[2].h != 1 || comps_[2].v != 1 || vmax_ > hmax_ || hmax_ > 2))
        return "sampling factors not 1x1, 2x1 or 2x2 luma with 1x1 chroma";
      const std::uint32_t mcu_cols = (width_ + 8 * hmax_ - 1) / (8 * hmax_);
      const std::uint32_t mcu_rows = (height_ + 8 * vmax_ - 1) / (8 * vmax_);
      for (std::size_t i = 0; i < comps_.size(); ++i) {
        Component& c = comps_[i];
        c.needed = bgr || i == 0;
        c.width = (width_ * c.h + hmax_ - 1) / hmax_;
        c.height = (height_ * c.v + vmax_ - 1) / vmax_;
        c.stride = mcu_cols * c.h * 8;
        c.rows = mcu_rows * c.v * 8;
        c.plane.resize(c.needed ? static_cast<std::size_t>(c.stride) * c.rows : 0);
      }
    } else if (marker >= 0xC2 && marker <= 0xCF && marker != 0xC4 && marker != 0xC8 && marker != 0xCC) {
      return "not a baseline picture (FF" + hex(marker) + ")";
    } else if (marker == 0xC4) {  // Huffman tables
      while (s < s_end) {
        if (s_end - s < 17) return "Huffman table cut short";
        const int cls = s[0] >> 4, slot = s[0] & 15;
        if (cls > 1 || slot > 3) return "Huffman table " + hex(s[0]);
        int total = 0;
        for (int l = 0; l < 16; ++l) total += s[1 + l];
        if (total > 256 || s_end - s < 17 + total) return "Huffman table cut short";
        Huffman& t = cls == 0 ? dc_[slot] : ac_[slot];
        // Canonical codes: each length's codes follow the shorter ones'.
        int code = 0, k = 0;
        for (int l = 1; l <= 16; ++l) {
          const int count = s[l];
          t.first_value[l] = k;
          t.min_code[l] = code;
          code += count;
          k += count;
          t.max_code[l] = count > 0 ? code - 1 : -1;
          if (code > (1 << l)) return "Huffman table with more codes than its lengths hold";
          code <<= 1;
        }
        std::memcpy(t.values, s + 17, static_cast<std::size_t>(total));
        t.defined = true;
        s += 17 + total;
      }
    } else if (marker == 0xDB) {  // quantisation tables
      while (s < s_end) {
        const int precision = s[0] >> 4, slot = s[0] & 15;
        if (precision > 1 || slot > 3) return "quantisation table " + hex(s[0]);
        if (s_end - s < 1 + 64 * (precision + 1)) return "quantisation table cut short";
        for (int k = 0; k < 64; ++k)
          quant_[slot][k] = static_cast<std::uint16_t>(precision ? be16(s + 1 + 2 * k) : s[1 + k]);
        quant_defined_[slot] = true;
        s += 1 + 64 * (precision + 1);
      }
    } else if (marker == 0xDD) {  // restart interval
      if (s_end - s < 2) return "restart interval cut short";
      restart_interval_ = be16(s);
    } else if (marker == 0xDA) {  // start of scan
      if (comps_.empty()) return "a scan before the frame header";
      if (scanned) return "more than one scan";
      const std::size_t n = s < s_end ? s[0] : 0;
      if (n != comps_.size())
        return "a scan of " + std::to_string(n) + " of " + std::to_string(comps_.size()) +
               " components (one interleaved scan only)";
      if (s_end - s < static_cast<std::ptrdiff_t>(4 + 2 * n)) return "scan header cut short";
      for (std::size_t i = 0; i < n; ++i) {
        Component& c = comps_[i];
        if (s[1 + 2 * i] != c.id) return "scan components not in the frame's order";
        c.dc = s[2 + 2 * i] >> 4;
        c.ac = s[2 + 2 * i] & 15;
        if (c.dc > 3 || c.ac > 3 || !dc_[c.dc].defined || !ac_[c.ac].defined)
          return "a scan names a Huffman table not given";
        if (!quant_defined_[c.quant]) return "a component's quantisation table is not given";
      }
      if (s[1 + 2 * n] != 0 || s[2 + 2 * n] != 63 || s[3 + 2 * n] != 0) return "not a sequential scan";
      if (std::string e = scan(p, end); !e.empty()) return e;
      scanned = true;
    }
    // Anything else (APPn, COM, ...) is skipped.
  }
  if (!scanned) return "no scan";
  return to_pixels(bgr, out);
}

// One Huffman-coded symbol, bit by bit; -1 for a code the table lacks.
static int symbol(BitReader& r, const PlainJpeg::Huffman& t) {
  int code = r.bit();
  for (int l = 1; l <= 16; ++l) {
    if (code <= t.max_code[l]) return t.values[t.first_value[l] + code - t.min_code[l]];
    code = code << 1 | r.bit();
  }
  return -1;
}

std::string PlainJpeg::scan(const std::uint8_t*& p, const std::uint8_t* end) {
  BitReader r{p, end};
  int predictor[3] = {};
  int coef[64];
  const std::uint32_t mcu_cols = (width_ + 8 * hmax_ - 1) / (8 * hmax_);
  const std::uint32_t mcu_rows = (height_ + 8 * vmax_ - 1) / (8 * vmax_);
  const std::uint64_t mcus = static_cast<std::uint64_t>(mcu_cols) * mcu_rows;
  for (std::uint64_t m = 0; m < mcus; ++m) {
    if (restart_interval_ != 0 && m > 0 && m % restart_interval_ == 0) {
      // The interval's bits end on a byte; RSTn follows, n counting 0 to 7.
      r.left = 0;
      while (r.p + 1 < end && r.p[0] == 0xFF && r.p[1] == 0xFF) ++r.p;
      const unsigned expected = 0xD0 + static_cast<unsigned>((m / restart_interval_ - 1) % 8);
      if (r.p + 1 >= end || r.p[0] != 0xFF || r.p[1] != expected) return "restart marker missing or out of order";
      r.p += 2;
      std::fill(std::begin(predictor), std::end(predictor), 0);
    }
    const std::uint32_t mcu_x = static_cast<std::uint32_t>(m % mcu_cols),
                        mcu_y = static_cast<std::uint32_t>(m / mcu_cols);
    for (std::size_t ci = 0; ci < comps_.size(); ++ci) {
      Component& c = comps_[ci];
      const std::uint16_t* q = quant_[c.quant];
      for (int by = 0; by < c.v; ++by)
        for (int bx = 0; bx < c.h; ++bx) {
          std::fill(std::begin(coef), std::end(coef), 0);
          const int size = symbol(r, dc_[c.dc]);
          if (size < 0 || size > 11) return "a DC code not in its table";
          predictor[ci] += extend(r.bits(size), size);
          coef[0] = predictor[ci] * q[0];
          for (int k = 1; k < 64;) {
            const int rs = symbol(r, ac_[c.ac]);
            if (rs < 0) return "an AC code not in its table";
            const int run = rs >> 4, bits = rs & 15;
            if (bits == 0) {
              if (run != 15) break;  // end of block
              k += 16;
              continue;
            }
            k += run;
            if (k > 63) return "AC coefficients past the block's end";
            coef[kZigzag[k]] = extend(r.bits(bits), bits) * q[k];
            ++k;
          }
          if (!c.needed) continue;
          const std::size_t row = (static_cast<std::size_t>(mcu_y) * c.v + by) * 8;
          const std::size_t col = (static_cast<std::size_t>(mcu_x) * c.h + bx) * 8;
          idct(coef, c.plane.data() + row * c.stride + col, c.stride);
        }
    }
    if (r.overrun) return "the entropy-coded data ends early (at MCU " + std::to_string(m) + ")";
  }
  p = r.p;
  return "";
}

std::string PlainJpeg::to_pixels(bool bgr, std::vector<std::uint8_t>& out) {
  const Component& luma = comps_[0];
  out.resize(static_cast<std::size_t>(width_) * height_ * (bgr ? 3 : 1));
  if (!bgr || comps_.size() == 1) {
    for (std::uint32_t y = 0; y < height_; ++y) {
      const std::uint8_t* in = luma.plane.data() + static_cast<std::size_t>(y) * luma.stride;
      std::uint8_t* o = out.data() + static_cast<std::size_t>(y) * width_ * (bgr ? 3 : 1);
      for (std::uint32_t x = 0; x < width_; ++x)
        for (int i = 0; i < (bgr ? 3 : 1); ++i) *o++ = in[x];
    }
    return "";
  }
  // Chroma at the full size: each sample 3/4 of the nearer source sample and
  // 1/4 of the next nearer, across and (2x2) down, libjpeg-turbo's rounding;
  // at the edges the edge sample counts for the missing neighbour.
  const std::uint32_t stride = (width_ + 1) & ~1u;  // 2x1 upsampling of an odd width writes one more
  for (int i = 0; i < 2; ++i) {
    const Component& c = comps_[static_cast<std::size_t>(i + 1)];
    std::vector<std::uint8_t>& up = upsampled_[i];
    up.resize(static_cast<std::size_t>(stride) * height_);
    std::vector<int> sum(c.width);
    for (std::uint32_t y = 0; y < height_; ++y) {
      const std::uint32_t cy = y / static_cast<std::uint32_t>(vmax_);
      const std::uint8_t* near = c.plane.data() + static_cast<std::size_t>(cy) * c.stride;
      std::uint8_t* o = up.data() + static_cast<std::size_t>(y) * stride;
      if (hmax_ == 1) {
        std::memcpy(o, near, width_);
        continue;
      }
      const int w = static_cast<int>(c.width);
      if (vmax_ == 1) {
        if (w <= 2) {  // libjpeg-turbo repeats the samples of so narrow a picture
          for (int x = 0; x < w; ++x) o[2 * x] = o[2 * x + 1] = near[x];
          continue;
        }
        o[0] = near[0];
        o[1] = static_cast<std::uint8_t>((near[0] * 3 + near[1] + 2) >> 2);
        for (int x = 1; x < w - 1; ++x) {
          o[2 * x] = static_cast<std::uint8_t>((near[x] * 3 + near[x - 1] + 1) >> 2);
          o[2 * x + 1] = static_cast<std::uint8_t>((near[x] * 3 + near[x + 1] + 2) >> 2);
        }
        o[2 * w - 2] = static_cast<std::uint8_t>((near[w - 1] * 3 + near[w - 2] + 1) >> 2);
        o[2 * w - 1] = near[w - 1];
        continue;
      }
      // 2x2: the row above for an even row, below for an odd one.
      const std::uint32_t fy = y % 2 == 0 ? (cy == 0 ? 0 : cy - 1) : std::min(cy + 1, c.height - 1);
      const std::uint8_t* far = c.plane.data() + static_cast<std::size_t>(fy) * c.stride;
      for (int x = 0; x < w; ++x) sum[static_cast<std::size_t>(x)] = near[x] * 3 + far[x];
      const int* s = sum.data();
      if (w == 1) {
        o[0] = static_cast<std::uint8_t>((s[0] * 4 + 8) >> 4);
        o[1] = static_cast<std::uint8_t>((s[0] * 4 + 7) >> 4);
        continue;
      }
      o[0] = static_cast<std::uint8_t>((s[0] * 4 + 8) >> 4);
      o[1] = static_cast<std::uint8_t>((s[0] * 3 + s[1] + 7) >> 4);
      for (int x = 1; x < w - 1; ++x) {
        o[2 * x] = static_cast<std::uint8_t>((s[x] * 3 + s[x - 1] + 8) >> 4);
        o[2 * x + 1] = static_cast<std::uint8_t>((s[x] * 3 + s[x + 1] + 7) >> 4);
      }
      o[2 * w - 2] = static_cast<std::uint8_t>((s[w - 1] * 3 + s[w - 2] + 8) >> 4);
      o[2 * w - 1] = static_cast<std::uint8_t>((s[w - 1] * 4 + 7) >> 4);
    }
  }
  // JFIF's full-range YCbCr to BGR.
  const auto to8 = [](float v) {
    return static_cast<std::uint8_t>(std::clamp(static_cast<int>(std::lround(v)), 0, 255));
  };
  std::uint8_t* o = out.data();
  for (std::uint32_t y = 0; y < height_; ++y) {
    const std::uint8_t* ys = luma.plane.data() + static_cast<std::size_t>(y) * luma.stride;
    const std::uint8_t* cbs = upsampled_[0].data() + static_cast<std::size_t>(y) * stride;
    const std::uint8_t* crs = upsampled_[1].data() + static_cast<std::size_t>(y) * stride;
    for (std::uint32_t x = 0; x < width_; ++x) {
      const float l = ys[x], cb = cbs[x] - 128.0f, cr = crs[x] - 128.0f;
      *o++ = to8(l + 1.772f * cb);
      *o++ = to8(l - 0.344136f * cb - 0.714136f * cr);
      *o++ = to8(l + 1.402f * cr);
    }
  }
  return "";
}

}  // namespace morvane::bench
