// The stereo capture's private state, shared by the capture and the
// framesets.
#pragma once

#ifndef MORVANE_UVC_STEREO_INTERNAL
#error "capture_impl.hpp is internal to the SDK"
#endif

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "frames/frame_clock.hpp"
#include "frames/video_queue.hpp"
#include "morvane/uvc_stereo/frames.hpp"

struct v4l2_buffer;

namespace morvane::uvc_stereo {

namespace detail {

// The memory of converted pictures, reused from frame to frame: a released
// frame gives its pixels back, so that a steady stream neither allocates
// nor faults in (nor zero-fills) megabytes per frame. Frames may be
// released on any thread, hence the mutex.
class __attribute__((visibility("hidden"))) PixelPool {
 public:
  // `bytes` bytes, their contents left over from an earlier frame.
  std::vector<std::uint8_t> take(std::size_t bytes);
  void give(std::vector<std::uint8_t> pixels) noexcept;

 private:
  static constexpr std::size_t kKept = 4;  // beyond this, released pictures are freed
  std::mutex mutex_;
  std::vector<std::vector<std::uint8_t>> free_;
};

}  // namespace detail

// What keeps a frame's pixels: its driver buffer (index, given back to the
// driver when the hold goes) or the converted pictures (given back to the
// capture's pool).
struct __attribute__((visibility("hidden"))) StereoFrame::Hold {
  ~Hold();
  std::shared_ptr<detail::VideoQueue> queue;
  int index = -1;  // -1: no driver buffer held
  std::vector<std::uint8_t> pixels;
  std::shared_ptr<detail::PixelPool> pool;
};

struct __attribute__((visibility("hidden"))) StereoCapture::Impl {
  explicit Impl(const StereoCaptureOptions& o);
  ~Impl();
  Impl(const Impl&) = delete;
  Impl& operator=(const Impl&) = delete;

  Result<void> negotiate(int fd, const StereoCaptureOptions& o);
  Result<StereoFrame> next(int timeout_ms);
  // The frame in buffer `b`; `dropped` when it was an MJPEG picture that
  // did not decode (the buffer is back with the driver, the loss counted).
  Result<StereoFrame> take(const v4l2_buffer& b, bool& dropped);
  // Decodes the MJPEG picture of buffer `b` into the hold's pixels and
  // points the frame's views at them; false when it does not decode to the
  // negotiated size.
  bool decode(const v4l2_buffer& b, StereoFrame& frame, StereoFrame::Hold& hold) const;
  // Dequeues every filled metadata buffer, feeds the clock and keeps the
  // frames' PTS by sequence number.
  void drain_metadata();
  void stamp(StereoFrame& frame);
  Result<StereoFrame> end_with(const Result<void>& failure);
  void shut();

  StereoCaptureOptions options;
  std::string node;
  StereoCaptureFormat format;
  StereoCaptureStats stats;
  std::shared_ptr<detail::VideoQueue> video;
  std::shared_ptr<detail::VideoQueue> meta;
  detail::FrameClock clock;
  std::map<std::uint32_t, detail::FrameMetadata> metadata;  // by the driver's sequence number
  std::optional<Result<void>> ended;                        // the failure that ended the stream
  bool have_sequence = false;
  std::uint64_t last_sequence = 0;
  std::uint64_t last_time = 0;
  std::uint64_t unreported_missed = 0;  // frames lost or dropped since the last one handed out
  void* decoder = nullptr;              // libjpeg-turbo's decompressor (tjhandle), MJPEG only
  std::shared_ptr<detail::PixelPool> pixel_pool = std::make_shared<detail::PixelPool>();
  std::vector<std::uint8_t> argb;  // the BGR conversion's intermediate picture, kept between frames
};

namespace detail {

// open_stereo_capture()'s checks of its options, before anything is opened.
Result<void> check_capture_options(const StereoCaptureOptions& options);

// The library's way into a capture, for the framesets built on it.
struct CaptureAccess {
  // The caller's frames hold every driver buffer of the open capture: no
  // frame can come until one is released.
  static bool every_buffer_held(const StereoCapture& c) noexcept {
    return c.impl_ && c.impl_->video && c.impl_->video->queued() == 0;
  }
};

}  // namespace detail

}  // namespace morvane::uvc_stereo
