// The two conversions a StereoCapture makes of the camera's side-by-side
// YUYV picture, each eye on its own: the SDK's way (the libyuv calls it
// makes, with the same arguments) and a plain per-pixel C++ loop doing the
// same conversion, the baseline the SDK's figures are set beside. And the
// camera's MJPEG frame of such a picture with the libjpeg-turbo calls a
// StereoCapture makes to decode it (the baseline: plain_jpeg.hpp).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
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

// The MJPEG frame the virtual camera sends for a side-by-side YUYV picture
// (rows of width * 2 bytes), made as emulator/virtual_video_capture.cpp
// makes it: the limited-range samples stretched to JFIF's full range, then
// libjpeg-turbo's baseline JFIF at quality 90 with 4:2:2 chroma. The planes
// and the compressor are kept from frame to frame, as the camera keeps them.
class CameraMjpegEncoder {
 public:
  CameraMjpegEncoder() = default;
  CameraMjpegEncoder(const CameraMjpegEncoder&) = delete;
  CameraMjpegEncoder& operator=(const CameraMjpegEncoder&) = delete;
  ~CameraMjpegEncoder();
  // False when libjpeg-turbo fails (`out` is then empty).
  bool encode(const std::uint8_t* yuyv, std::uint32_t width, std::uint32_t height, std::vector<std::uint8_t>& out);

 private:
  void* handle_ = nullptr;  // tjhandle
  std::vector<std::uint8_t> planes_;
};

// The libjpeg-turbo calls a StereoCapture makes for each MJPEG frame:
// tjDecompressHeader3, then tjDecompress2 of the whole side-by-side picture
// to TJPF_GRAY or TJPF_BGR (flags 0: the accurate integer IDCT and the
// triangle chroma upsampling), into rows of width * 1 or * 3 bytes, with
// one decompressor kept as a capture keeps it.
class TurboDecoder {
 public:
  TurboDecoder() = default;
  TurboDecoder(const TurboDecoder&) = delete;
  TurboDecoder& operator=(const TurboDecoder&) = delete;
  ~TurboDecoder();
  // False when the header or the picture does not decode (a warning too,
  // as the SDK has it).
  bool decode(const std::vector<std::uint8_t>& jpeg, bool bgr, std::vector<std::uint8_t>& out);

 private:
  void* handle_ = nullptr;  // tjhandle
};

// A side-by-side YUYV picture as libjpeg's compressor writes it with 4:2:0
// chroma and a restart marker every `restart_mcus` MCUs (the camera's
// frames have neither): the plain decoder's check on those. Empty when the
// bench is built without libjpeg's interface.
std::vector<std::uint8_t> mjpeg_420_with_restarts(const std::uint8_t* yuyv, std::uint32_t width, std::uint32_t height,
                                                  unsigned restart_mcus);

// libjpeg-turbo's gray and BGR pixels of `jpeg` (TurboDecoder's); false
// when it does not decode.
bool turbo_pixels(const std::vector<std::uint8_t>& jpeg, std::vector<std::uint8_t>& gray,
                  std::vector<std::uint8_t>& bgr);

// The plain JPEG decoder's gray and BGR pixels of `jpeg` against `gray` and
// `bgr` (width x height, rows of width * 1 or * 3 bytes): the largest
// difference of each, rows [skip_from, skip_to) left out (256 for a
// picture of another size); `failure` when the plain decoder cannot decode
// it or gives another size.
struct JpegDiff {
  int gray = 256, bgr = 256;
  std::string failure;
};
JpegDiff plain_jpeg_against(const std::vector<std::uint8_t>& jpeg, const std::vector<std::uint8_t>& gray,
                            const std::vector<std::uint8_t>& bgr, std::uint32_t width, std::uint32_t height,
                            std::uint32_t skip_from = 0, std::uint32_t skip_to = 0);

}  // namespace morvane::bench
