// The virtual camera's Motion-JPEG encoder, shared by every way the camera
// streams MJPEG (the USB device for virtual machines and the in-process
// video nodes): the side-by-side YUYV picture of stereo_pattern.hpp as a
// baseline JFIF picture with 4:2:2 chroma and full-range samples (the
// picture's limited-range luma and chroma stretched, as JFIF has them),
// through libjpeg-turbo's TurboJPEG interface.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace morvane::emulator {

class MjpegEncoder {
 public:
  MjpegEncoder() = default;
  ~MjpegEncoder();
  MjpegEncoder(const MjpegEncoder&) = delete;
  MjpegEncoder& operator=(const MjpegEncoder&) = delete;

  // The longest JPEG a picture of this size can encode to (the library's
  // worst case for 4:2:2): what a camera announces as its largest frame.
  static std::size_t max_bytes(std::uint16_t width, std::uint16_t height);
  // Encodes `yuyv` (width * height * 2 bytes, width even) into `out`, which
  // holds at least max_bytes(width, height) bytes. The JPEG's length; 0 when
  // the library fails (nothing usable in `out`).
  std::size_t encode(const std::uint8_t* yuyv, std::uint16_t width, std::uint16_t height, std::uint8_t* out);

 private:
  void* handle_ = nullptr;  // the TurboJPEG compressor, made on first use
  std::vector<std::uint8_t> planes_;
};

}  // namespace morvane::emulator
