// Stereo frames from the camera's capture node, stamped on the camera's own
// clock, and framesets that pair each frame with the IMU samples taken since
// the previous one.
//
// The camera sends one side-by-side picture per frame: the left eye in the
// left half, the right eye in the right half. A StereoCapture streams it
// through the UVC driver's mmap buffers and hands out StereoFrames whose
// left and right views point into the driver's buffer (no copy) or, on
// request, into gray or BGR pictures converted with libyuv. A camera that
// announces Motion-JPEG can send that instead (less bus bandwidth); its
// frames are decoded with libjpeg-turbo into gray or BGR.
//
// Time. Each frame carries three instants:
// - host_ns: the kernel's stamp of the buffer (CLOCK_MONOTONIC), which the
//   UVC driver takes when the frame's data reached the host, not when the
//   picture was taken;
// - time_ns: the frame's instant on CLOCK_MONOTONIC from the camera's own
//   clock: the instant the frame's PTS denotes, mapped to the host. On these
//   cameras the PTS is the device clock's 1 MHz tick count (the clock the
//   IMU counter counts) at the start of the frame's exposure; the virtual
//   camera stamps it so. The mapping comes from the UVC metadata node next
//   to the capture node: each payload's SCR gives the device clock at the
//   moment it was sent, and the driver's stamp of the payload an instant
//   after that, which bound a fit of the device clock (time_source
//   device_clock). In a frameset the PTS is mapped through the IMU stream's
//   own fit instead, so frames and IMU samples share one mapping
//   (time_source imu_clock);
// - time_source: how time_ns was obtained. kernel_stamp when the camera has
//   no metadata node, the metadata was turned off, or the PTS does not fit
//   the camera's clock (the mapped instant more than a millisecond after the
//   kernel's stamp, or more than a second before it); time_ns is then
//   host_ns. A mapped instant up to a millisecond after the kernel's stamp
//   (within the fit's error) is taken as that stamp.
//   A step of the camera's clock (it counted on while the host was paused,
//   or was set) starts the capture's fit over from the samples after it
//   (keeping the rate), as the IMU stream's does.
// time_uncertainty_ns is how far time_ns may be off, from the fit's band
// (0 for kernel stamps: how far those are from the exposure is unknown);
// for imu_clock, the IMU fit's band plus how far the capture's own instant
// from the PTS lies from the one through the IMU (a camera whose video clock
// is off the IMU's by less than the frameset's clock_agreement_ns cannot be
// told apart from one on it; the band then covers the offset).
// The driver's stamps only bound the device clock from above, so a
// device_clock instant is at or after the true one, by up to
// time_uncertainty_ns plus the bus's least latency from the camera's
// clock sample to the driver's stamp, which the host cannot observe (tens
// of microseconds on USB 2.0). The IMU stream's fit is bounded from both
// sides: an imu_clock instant lies within time_uncertainty_ns either way.
//
// The SDK starts no thread: next() waits on the caller's thread, and fd()
// gives a descriptor to poll for readable before calling next().
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "morvane/uvc_stereo/device.hpp"
#include "morvane/uvc_stereo/export.hpp"
#include "morvane/uvc_stereo/imu_stream.hpp"
#include "morvane/uvc_stereo/result.hpp"
#include "morvane/uvc_stereo/types.hpp"

namespace morvane::uvc_stereo {

namespace detail {
struct FrameAccess;    // the library's way into a frame
struct CaptureAccess;  // and into a capture
}  // namespace detail

enum class PixelFormat : std::int32_t {
  yuyv = 0,   // YUYV 4:2:2, 2 bytes a pixel (Y0 U Y1 V for each pixel pair)
  gray8 = 1,  // 1 byte a pixel, the luma
  bgr24 = 2,  // 3 bytes a pixel, blue first (OpenCV's CV_8UC3 layout)
  mjpeg = 3,  // Motion-JPEG: one JPEG picture per frame (a camera format only; never a view's)
};

enum class FrameTimeSource : std::int32_t {
  kernel_stamp = 0,  // time_ns is host_ns
  device_clock = 1,  // the PTS through the capture's fit of the device clock (SCR against the driver's stamps)
  imu_clock = 2,     // the PTS through the IMU stream's fit (framesets)
};

// What a frame's views hold.
enum class FrameOutput : std::int32_t {
  views = 0,  // the camera's own pixels (YUYV) in the driver's buffer, no copy
  gray = 1,   // each eye converted to gray8
  bgr = 2,    // each eye converted to bgr24
};

// One eye's picture. `data` points at its first pixel; rows are `stride`
// bytes apart.
struct ImageView {
  const std::uint8_t* data = nullptr;
  std::uint32_t width = 0;
  std::uint32_t height = 0;
  std::uint32_t stride = 0;
  PixelFormat format = PixelFormat::yuyv;
};

struct StereoCaptureOptions {
  // The side-by-side picture's size (both eyes). 0 and 0: the size the node
  // is set to. Otherwise a size the camera announces, exactly.
  std::uint32_t width = 0;
  std::uint32_t height = 0;
  // Frames per second: 0 for the fastest the size offers, otherwise one the
  // camera announces for it (within 0.5%).
  double frame_rate = 0.0;
  FrameOutput output = FrameOutput::views;
  // What the camera sends: yuyv, or mjpeg where the camera announces
  // Motion-JPEG. MJPEG frames are decoded, so output must be gray or bgr.
  // Damaged frames are dropped, counted in stats().undecodable and in the
  // next frame's missed_before: a frame that does not decode (or decodes to
  // another size), a YUYV frame shorter than its picture, and any frame the
  // driver flags in error (the UVC driver's nodrop=1 hands those out).
  PixelFormat camera_format = PixelFormat::yuyv;
  // Driver buffers, 2 to 32. A frame the caller holds keeps its buffer from
  // the driver (views only; converted frames give it back at once): with
  // every buffer held, the camera's frames are lost until one is released
  // (the capture stays usable; the next frame's missed_before counts them).
  std::uint32_t buffer_count = 4;
  // Read the metadata node for the PTS and SCR (false: kernel stamps only).
  bool use_metadata = true;
  // The nominal rate of the camera's clock (its PTS and SCR), 1000 to 1e9.
  double device_clock_hz = 1e6;
  // How far back the fit of the device clock looks, 2 to 600 seconds.
  double clock_window_s = 30.0;
};

// What the capture negotiated.
struct StereoCaptureFormat {
  std::string node;         // the capture node
  std::uint32_t width = 0;  // both eyes
  std::uint32_t height = 0;
  std::uint32_t stride = 0;  // of the camera's picture, bytes (0 for MJPEG)
  PixelFormat camera_format = PixelFormat::yuyv;
  double frame_rate = 0.0;
  bool metadata = false;  // the metadata node is read
};

// One frame. Move-only. A frame holding views keeps its driver buffer until
// it is released or destroyed; the views are valid until then.
class MORVANE_UVC_STEREO_API StereoFrame {
 public:
  struct Hold;

  StereoFrame() noexcept;
  StereoFrame(StereoFrame&&) noexcept;
  StereoFrame& operator=(StereoFrame&&) noexcept;
  StereoFrame(const StereoFrame&) = delete;
  StereoFrame& operator=(const StereoFrame&) = delete;
  ~StereoFrame();

  ImageView left;
  ImageView right;
  // The driver's sequence number (frames the camera sent since streaming
  // started, from 0), and how many of them were lost between the previous
  // frame handed out and this one (for the first frame: before it).
  std::uint64_t sequence = 0;
  std::uint64_t missed_before = 0;
  std::uint64_t host_ns = 0;  // the kernel's stamp, CLOCK_MONOTONIC
  std::uint64_t time_ns = 0;  // the frame's instant, CLOCK_MONOTONIC (see the top of this file)
  FrameTimeSource time_source = FrameTimeSource::kernel_stamp;
  double time_uncertainty_ns = 0.0;
  // The PTS the camera sent (device clock ticks, low 32 bits), when it sent one.
  bool has_pts = false;
  std::uint32_t pts = 0;

  // Gives the buffer back to the driver; the views become empty.
  void release() noexcept;
  bool holds_buffer() const noexcept;

 private:
  friend struct detail::FrameAccess;
  std::shared_ptr<Hold> hold_;
};

struct StereoCaptureStats {
  std::uint64_t frames = 0;       // handed out
  std::uint64_t missed = 0;       // sum of missed_before
  std::uint64_t fallback = 0;     // frames stamped kernel_stamp although metadata was read
  std::uint64_t undecodable = 0;  // damaged frames dropped (see camera_format)
};

// Streams one camera's capture node. Move-only; not thread-safe (one thread
// at a time). Destroying or closing it stops the stream; frames still held
// keep the node open until they are released.
class MORVANE_UVC_STEREO_API StereoCapture {
 public:
  struct Impl;

  StereoCapture() noexcept;
  explicit StereoCapture(std::unique_ptr<Impl> impl) noexcept;
  StereoCapture(StereoCapture&&) noexcept;
  StereoCapture& operator=(StereoCapture&&) noexcept;
  StereoCapture(const StereoCapture&) = delete;
  StereoCapture& operator=(const StereoCapture&) = delete;
  ~StereoCapture();

  // The next frame, waiting up to timeout_ms milliseconds (0: only a frame
  // already there; negative: without limit). While the caller's frames hold
  // every driver buffer no frame can come: it waits out the timeout and
  // fails as for any timeout.
  // Fails: invalid_argument "stereo capture is closed or moved-from";
  //        read_failed "no frame from <node> within <N> ms" (the capture
  //        stays usable);
  //        read_failed "no frame from <node>: every buffer is held by the
  //        caller" at once for a negative timeout while every buffer is
  //        held, a wait that would never end (the capture stays usable);
  //        device_unavailable "<node> is gone (<call>: <system text>)" when
  //        the camera vanished: the capture closes its nodes, and every
  //        later call returns the same failure;
  //        io_error "<call> <node> failed: <system text>" for any other
  //        failure of the driver (the capture closes too).
  Result<StereoFrame> next(int timeout_ms);

  // A descriptor that polls readable (POLLIN) while a frame waits; -1 when
  // closed. While the caller's frames hold every driver buffer it does not
  // poll readable, and the kernel may report POLLERR on it at once (older
  // kernels do for a queue with no buffer queued): release a frame before
  // waiting on it.
  int fd() const noexcept;
  const StereoCaptureFormat& format() const noexcept;
  StereoCaptureStats stats() const noexcept;
  // Stops streaming and closes the nodes (see the class comment).
  void close() noexcept;
  bool is_open() const noexcept;

 private:
  friend struct detail::CaptureAccess;
  std::unique_ptr<Impl> impl_;
};

// Opens the capture node of a camera found by scan_devices() and starts
// streaming, with the metadata node beside it when there is one.
// Fails: invalid_argument "stereo capture option <name> is out of range
//        (valid: <range>)";
//        invalid_argument "camera record names no video node";
//        device_unavailable "open <node> failed: <system text>";
//        unsupported "<node> does not capture YUYV" (or "MJPEG");
//        unsupported "<node> offers no <W>x<H> picture (it offers <list>)";
//        unsupported "<node> offers no <R> fps at <W>x<H> (it offers <list>)";
//        io_error "<call> <node> failed: <system text>" for a driver failure.
// Nothing stays open after a failure.
MORVANE_UVC_STEREO_API Result<StereoCapture> open_stereo_capture(const DeviceInfo& camera,
                                                                 const StereoCaptureOptions& options = {});

// ---- Framesets.

// One frame and the IMU samples whose time_ns lies after the previous
// frame's time_ns and at or before this frame's (the first frameset takes
// every sample up to its frame). Every sample the IMU stream yields lands in
// exactly one frameset, in order.
struct MORVANE_UVC_STEREO_API Frameset {
  StereoFrame frame;
  std::vector<ImuStreamSample> imu;
  // The samples just before (or at) and just after the frame's instant,
  // when there are such; `after` is the first sample of the next frameset.
  std::optional<ImuStreamSample> imu_before;
  std::optional<ImuStreamSample> imu_after;
  // The IMU sample linearly interpolated at frame.time_ns (timestamp_ns
  // set to it), from imu_before and imu_after; nothing without both.
  std::optional<ImuSample> interpolated_imu() const;
};

struct FramesetOptions {
  StereoCaptureOptions capture;
  ImuStreamOptions imu;
  // A frame's PTS mapped through the IMU stream's fit is used when it agrees
  // with the capture's own stamp of the frame within both bands plus this
  // many ns; otherwise the camera's PTS is taken to be on another clock and
  // the frame keeps the capture's stamp. 1e3 to 1e9.
  double clock_agreement_ns = 2e6;
};

struct FramesetStats {
  std::uint64_t framesets = 0;
  std::uint64_t imu_samples = 0;    // handed out in framesets
  std::uint64_t imu_clock = 0;      // frames stamped through the IMU stream's fit
  std::uint64_t disagreements = 0;  // frames whose PTS did not agree with the IMU stream's clock
};

// Frames and IMU samples on one clock: owns a StereoCapture and an
// ImuStream of the same camera, and maps each frame's PTS through the IMU
// stream's fit (one fit, one mapping for both), after reading the IMU past
// the frame's instant. Move-only; not thread-safe. Must not outlive the
// Device it was opened on.
class MORVANE_UVC_STEREO_API FramesetStream {
 public:
  struct Impl;

  FramesetStream() noexcept;
  explicit FramesetStream(std::unique_ptr<Impl> impl) noexcept;
  FramesetStream(FramesetStream&&) noexcept;
  FramesetStream& operator=(FramesetStream&&) noexcept;
  FramesetStream(const FramesetStream&) = delete;
  FramesetStream& operator=(const FramesetStream&) = delete;
  ~FramesetStream();

  // The next frameset: reads the IMU while it waits up to timeout_ms for
  // the frame (an IMU that keeps only its latest sample must be read all
  // the time), then until a sample lies past the frame's instant.
  // Fails: invalid_argument "frameset stream is closed or moved-from";
  //        read_failed "no frame from <node> within <N> ms" (also while the
  //        caller's frames hold every buffer of the capture; for a negative
  //        timeout then, at once, the capture's "no frame from <node>:
  //        every buffer is held by the caller");
  //        the capture's other failures unchanged; the IMU stream's failures
  //        unchanged (a frame read before an IMU failure is lost with it;
  //        the samples read stay for the next frameset).
  Result<Frameset> next(int timeout_ms);

  StereoCapture& capture();
  ImuStream& imu();
  FramesetStats stats() const noexcept;
  bool is_open() const noexcept;

 private:
  std::unique_ptr<Impl> impl_;
};

// Opens the capture (open_stereo_capture) and the IMU stream
// (open_imu_stream on `device`) of one camera; `camera` is its record.
// Fails: invalid_argument "frameset option clock_agreement_ns is out of
//        range (valid: 1e3 to 1e9)"; either opener's failure unchanged.
MORVANE_UVC_STEREO_API Result<FramesetStream> open_frameset_stream(Device& device, const DeviceInfo& camera,
                                                                   const FramesetOptions& options = {});

}  // namespace morvane::uvc_stereo
