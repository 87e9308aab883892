// A plain baseline JPEG decoder, the baseline the SDK's MJPEG decode
// (libjpeg-turbo) is set beside: written for clarity, no SIMD, no library.
// It reads baseline sequential DCT pictures (SOF0/SOF1, 8-bit samples, one
// interleaved scan, or one component), Huffman tables as the file gives
// them, restart markers, and 1x1, 2x1 (4:2:2) and 2x2 (4:2:0) chroma. It
// decodes bit by bit, dequantises, runs a direct separable float IDCT,
// upsamples chroma with the triangle filter libjpeg-turbo uses by default
// and converts YCbCr to BGR with the JFIF coefficients in floating point.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace morvane::bench {

class PlainJpeg {
 public:
  // Decodes `jpeg` into `out`: width x height pixels, rows of width * 1
  // (gray: the luma) or width * 3 (BGR, blue first) bytes. "" when it
  // decoded, else why not (an unsupported or damaged picture); `out` is then
  // not a picture.
  std::string decode(const std::uint8_t* jpeg, std::size_t size, bool bgr, std::vector<std::uint8_t>& out);
  std::uint32_t width() const { return width_; }
  std::uint32_t height() const { return height_; }

  // A Huffman table as canonical codes: the codes of length l run from
  // min_code[l] to max_code[l] (-1: none) and stand for the values from
  // values[first_value[l]] on.
  struct Huffman {
    std::uint8_t values[256] = {};
    int min_code[17] = {}, max_code[17] = {}, first_value[17] = {};
    bool defined = false;
  };

 private:
  struct Component {
    int id = 0, h = 1, v = 1, quant = 0, dc = 0, ac = 0;
    bool needed = true;                   // its samples are used (gray uses the luma alone)
    std::uint32_t stride = 0, rows = 0;   // its plane, whole blocks
    std::uint32_t width = 0, height = 0;  // its samples in the picture
    std::vector<std::uint8_t> plane;
  };
  std::string scan(const std::uint8_t*& p, const std::uint8_t* end);
  std::string to_pixels(bool bgr, std::vector<std::uint8_t>& out);

  std::uint16_t quant_[4][64] = {};
  bool quant_defined_[4] = {};
  Huffman dc_[4], ac_[4];
  std::vector<Component> comps_;
  std::uint32_t width_ = 0, height_ = 0, restart_interval_ = 0;
  int hmax_ = 1, vmax_ = 1;
  std::vector<std::uint8_t> upsampled_[2];  // Cb and Cr at full size
};

}  // namespace morvane::bench
