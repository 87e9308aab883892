// Framesets: each frame with the IMU samples since the previous frame, the
// frame's PTS mapped through the IMU stream's own clock fit.
//
// The IMU counter and the PTS count the same device clock, so the PTS's low
// 20 bits are the IMU counter's at the frame's instant; the wraps come from
// where the IMU fit puts the capture's own stamp of the frame (well within
// the half wrap, half a second, either way). The two stamps must agree
// within their bands: a camera whose PTS runs on another clock keeps the
// capture's stamp, and the frameset says so.
#include <algorithm>
#include <cmath>
#include <deque>
#include <memory>
#include <optional>
#include <string>
#include <utility>

#include "frames/capture_impl.hpp"
#include "morvane/uvc_stereo/frames.hpp"
#include "platform/platform.hpp"

namespace morvane::uvc_stereo {
namespace {

constexpr const char* kMsgClosed = "frameset stream is closed or moved-from";
constexpr double kCounterRange = 1048576.0;

double lerp(double a, double b, double f) { return a + (b - a) * f; }

}  // namespace

std::optional<ImuSample> Frameset::interpolated_imu() const {
  if (!imu_before || !imu_after) return std::nullopt;
  const ImuSample& a = imu_before->value;
  const ImuSample& b = imu_after->value;
  const double span = static_cast<double>(imu_after->time_ns) - static_cast<double>(imu_before->time_ns);
  const double at = static_cast<double>(frame.time_ns) - static_cast<double>(imu_before->time_ns);
  const double f = span > 0 ? std::clamp(at / span, 0.0, 1.0) : 0.0;
  ImuSample out;
  out.timestamp_ns = frame.time_ns;
  out.temperature_c = lerp(a.temperature_c, b.temperature_c, f);
  for (int i = 0; i < 3; ++i) {
    out.accel_g[i] = lerp(a.accel_g[i], b.accel_g[i], f);
    out.gyro_dps[i] = lerp(a.gyro_dps[i], b.gyro_dps[i], f);
  }
  return out;
}

struct __attribute__((visibility("hidden"))) FramesetStream::Impl {
  Impl(StereoCapture c, ImuStream i, double agreement)
      : capture(std::move(c)), imu(std::move(i)), agreement_ns(agreement) {}

  StereoCapture capture;
  ImuStream imu;
  double agreement_ns;
  FramesetStats stats;
  std::deque<ImuStreamSample> pending;  // read, not yet in a frameset
  std::optional<ImuStreamSample> last_given;
  std::uint64_t last_frame_time = 0;

  // Reads the IMU until a sample lies after host instant `t`.
  Result<void> read_past(std::uint64_t t) {
    while (pending.empty() || pending.back().time_ns <= t) {
      Result<ImuStreamSample> s = imu.next();
      if (!s.ok()) return Result<void>::forward(s);
      pending.push_back(std::move(*s.value));
    }
    return Result<void>::success();
  }

  // The frame's PTS through the IMU stream's fit, when it agrees with the
  // capture's stamp.
  void map_through_imu(StereoFrame& frame) {
    const ImuClockEstimate e = imu.clock_estimate();
    if (e.tick_rate_hz <= 0) return;
    const double ns_per_tick = 1e9 / e.tick_rate_hz;
    const double own = static_cast<double>(frame.time_ns);
    const double near =
        static_cast<double>(e.reference_counter) + (own - static_cast<double>(e.offset_ns)) / ns_per_tick;
    const double low = static_cast<double>(frame.pts & 0xFFFFFu);
    const double counter = low + kCounterRange * std::floor((near - low) / kCounterRange + 0.5);
    const double at =
        static_cast<double>(e.offset_ns) + (counter - static_cast<double>(e.reference_counter)) * ns_per_tick;
    if (std::fabs(at - own) > e.uncertainty_ns + frame.time_uncertainty_ns + agreement_ns) {
      ++stats.disagreements;
      return;
    }
    const double host = static_cast<double>(frame.host_ns);
    frame.time_ns = static_cast<std::uint64_t>(std::llround(std::clamp(at, 0.0, host)));
    frame.time_source = FrameTimeSource::imu_clock;
    // The IMU fit's band, widened by how far the capture's own instant lies
    // from it: a video clock off the IMU's by less than the agreement is
    // not told apart from one on it, and its offset must stay inside.
    frame.time_uncertainty_ns = e.uncertainty_ns + std::fabs(at - own);
    ++stats.imu_clock;
  }

  Result<Frameset> next(int timeout_ms) {
    using R = Result<Frameset>;
    // The IMU is read while the frame is awaited: each read waits for the
    // next sample, so a frame is taken at most a sample period late.
    const std::uint64_t start = platform::monotonic_ns();
    Result<StereoFrame> frame = capture.next(0);
    while (!frame.ok()) {
      if (frame.code != ErrorCode::read_failed) return R::forward(frame);  // not merely "no frame yet"
      // Without a limit, a wait while the caller's frames hold every buffer
      // would never end: the capture says so at once.
      if (timeout_ms < 0 && detail::CaptureAccess::every_buffer_held(capture)) {
        frame = capture.next(-1);
        if (!frame.ok()) return R::forward(frame);
        break;
      }
      if (timeout_ms >= 0 && platform::monotonic_ns() - start >= static_cast<std::uint64_t>(timeout_ms) * 1000000ULL)
        return R::failure(ErrorCode::read_failed,
                          "no frame from " + capture.format().node + " within " + std::to_string(timeout_ms) + " ms");
      Result<ImuStreamSample> s = imu.next();
      if (!s.ok()) return R::forward(s);
      pending.push_back(std::move(*s.value));
      frame = capture.next(0);
    }
    StereoFrame& f = *frame.value;
    if (f.has_pts && f.time_source == FrameTimeSource::device_clock) {
      // The fit around the frame's instant: samples up to its kernel stamp
      // (after the exposure) are in.
      if (Result<void> r = read_past(f.host_ns); !r.ok()) return R::forward(r);
      map_through_imu(f);
    }
    // Framesets follow each other: a frame's instant after the previous one's.
    f.time_ns = std::max(f.time_ns, last_frame_time + 1);
    last_frame_time = f.time_ns;
    if (Result<void> r = read_past(f.time_ns); !r.ok()) return R::forward(r);
    Frameset set;
    while (!pending.empty() && pending.front().time_ns <= f.time_ns) {
      set.imu.push_back(std::move(pending.front()));
      pending.pop_front();
    }
    if (!set.imu.empty()) last_given = set.imu.back();
    set.imu_before = last_given;
    set.imu_after = pending.front();
    set.frame = std::move(f);
    ++stats.framesets;
    stats.imu_samples += set.imu.size();
    return R::success(std::move(set));
  }
};

FramesetStream::FramesetStream() noexcept = default;
FramesetStream::FramesetStream(std::unique_ptr<Impl> impl) noexcept : impl_(std::move(impl)) {}
FramesetStream::FramesetStream(FramesetStream&&) noexcept = default;
FramesetStream& FramesetStream::operator=(FramesetStream&&) noexcept = default;
FramesetStream::~FramesetStream() = default;

Result<Frameset> FramesetStream::next(int timeout_ms) {
  if (!impl_) return Result<Frameset>::failure(ErrorCode::invalid_argument, kMsgClosed);
  return impl_->next(timeout_ms);
}

StereoCapture& FramesetStream::capture() {
  static StereoCapture closed;
  return impl_ ? impl_->capture : closed;
}

ImuStream& FramesetStream::imu() {
  static ImuStream closed;
  return impl_ ? impl_->imu : closed;
}

FramesetStats FramesetStream::stats() const noexcept { return impl_ ? impl_->stats : FramesetStats{}; }

bool FramesetStream::is_open() const noexcept { return impl_ != nullptr; }

Result<FramesetStream> open_frameset_stream(Device& device, const DeviceInfo& camera, const FramesetOptions& options) {
  using R = Result<FramesetStream>;
  if (!(options.clock_agreement_ns >= 1e3 && options.clock_agreement_ns <= 1e9))
    return R::failure(ErrorCode::invalid_argument,
                      "frameset option clock_agreement_ns is out of range (valid: 1e3 to 1e9)");
  // The capture's options first: a bad one must leave the device as it was.
  if (Result<void> checked = detail::check_capture_options(options.capture); !checked.ok()) return R::forward(checked);
  const bool imu_was_open = device.is_imu_open();
  Result<ImuStream> imu = open_imu_stream(device, options.imu);
  if (!imu.ok()) return R::forward(imu);
  Result<StereoCapture> capture = open_stereo_capture(camera, options.capture);
  if (!capture.ok()) {
    // The IMU this call opened closes again (the stream goes first).
    *imu.value = ImuStream();
    if (!imu_was_open) (void)device.close_imu();
    return R::forward(capture);
  }
  return R::success(FramesetStream(std::make_unique<FramesetStream::Impl>(
      std::move(*capture.value), std::move(*imu.value), options.clock_agreement_ns)));
}

}  // namespace morvane::uvc_stereo
