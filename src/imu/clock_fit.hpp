// A device clock mapped onto the host's CLOCK_MONOTONIC from bounds on when
// device events happened: device ticks (unwrapped, growing) to host
// nanoseconds, with the band the mapping is known to lie in.
//
// Every event gives an upper bound U on its host instant (it cannot be later
// than the host learnt of it) and, when known, a lower bound L (a host
// instant at which the event had not happened yet). Over the recent window
// the line of host time against device ticks lies below every U and above
// every L. The slope comes from the lower convex hull of the U points (the
// edge under a point a quarter of the window back from the newest: recent
// enough to follow a drifting oscillator, long enough to average read
// jitter out), weighed with the middle of the range of slopes the U and L
// points together allow; the line runs below every U and is then lowered by
// half its distance to the nearest recent L, which centres it in the band.
//
// Used by the IMU stream for the IMU counter; any other stream stamped by the
// same device clock can map its ticks through the same fit.
#pragma once

#include <cstdint>
#include <deque>
#include <vector>

namespace morvane::uvc_stereo::detail {

class DeviceClockFit {
 public:
  // Device clocks within this many ppm of nominal are fitted; a slope beyond
  // is not believed (the previous one is kept and the fit is not locked).
  static constexpr double kMaxDriftPpm = 20000.0;

  // nominal_tick_rate_hz: the device clock's nominal ticks per second;
  // window_s: how far back the fit looks.
  DeviceClockFit(double nominal_tick_rate_hz, double window_s);

  // Adds one event at device ticks `ticks` (never less than the previous
  // event's) known to have happened at or before host `upper_ns` and, when
  // has_lower, after host `lower_ns`. The first event sets the origin.
  void add(std::uint64_t ticks, std::uint64_t upper_ns, bool has_lower, std::uint64_t lower_ns);
  // Redoes the line from the points kept (cheap: the points are thinned to
  // one U and one L per 20 ms of device time).
  void refit();
  // Forgets every point but keeps the slope: the device clock jumped (the
  // host slept while the device counted on) and the old offset is void.
  // Not locked again until the new points span the lock span.
  void reanchor();

  bool fitted() const { return fitted_; }
  // True once the points with both bounds span 2 s and the slope is fitted
  // and believed.
  bool locked() const { return locked_; }
  // Host ns (CLOCK_MONOTONIC) of device ticks `ticks`; ticks of device
  // time ahead of host `host_ns`.
  double host_ns(std::uint64_t ticks) const;
  double ticks_at(double host_ns) const;
  // Host ns per device tick, and the device's ticks per host second.
  double ns_per_tick() const { return nominal_ns_per_tick_ + slope_; }
  double tick_rate_hz() const { return 1e9 / ns_per_tick(); }
  // How far a mapped instant may be off, in ns: half the width of the band
  // the recent events lie in around the mapping (from the recent L and U
  // points, and at least how far the recent points contradict the line),
  // plus however far the recent U points all lie above the line (the band
  // then reaches beyond its half width on that side), plus the rate's
  // uncertainty over the device time since the newest event with a lower
  // bound (the line is extrapolated that far).
  double uncertainty_ns() const;
  // Relative uncertainty of the rate (1e-6: one ppm).
  double rate_uncertainty() const;
  // How far (ns) an event at `ticks` known to be at or before `upper_ns`
  // and after `lower_ns` lies outside the band the line allows: positive
  // when the line puts it after upper_ns or before lower_ns.
  double violation_ns(std::uint64_t ticks, std::uint64_t upper_ns, bool has_lower, std::uint64_t lower_ns) const;
  // Span of device time the kept points cover, in seconds.
  double span_s() const;

 private:
  struct Point {
    double x = 0.0;  // device ticks since the origin
    double r = 0.0;  // host ns since the origin, less x times the nominal period
  };
  struct Bucket {
    std::int64_t id = 0;
    bool has_u = false, has_l = false;
    Point u, l;
  };

  // The slopes (residual ns per tick) a line below every arrival and above
  // every read start from device ticks `from` on may have.
  struct SlopeBounds {
    bool known = false;
    double lo = 0.0, hi = 0.0;
  };

  double line(double x) const { return a_ + slope_ * (x - x0_); }
  SlopeBounds slope_bounds(double from);

  double nominal_ns_per_tick_;
  double window_ticks_;
  double keep_ticks_;  // old points stay until newer ones span this much
  double bucket_ticks_;
  double rate_hz_;
  bool have_origin_ = false;
  std::uint64_t origin_ticks_ = 0;
  std::uint64_t origin_ns_ = 0;
  std::deque<Bucket> buckets_;
  std::vector<Point> hull_;
  std::vector<Point> scratch_[4];  // slope_bounds' hulls
  double slope_ = 0.0, x0_ = 0.0, a_ = 0.0, centre_ = 0.0, uncertainty_ = 0.0, edge_ticks_ = 0.0;
  double half_band_ = 0.0;        // the half width alone: how well the recent points pin the line
  double rate_half_width_ = 0.0;  // half the range of slopes both sides allow (0: not known)
  bool fitted_ = false, locked_ = false, slope_fitted_ = false;
  bool have_bounded_ = false;                // an event with a lower bound since the origin
  double newest_x_ = 0.0, bounded_x_ = 0.0;  // the newest event, and the newest with a lower bound
};

}  // namespace morvane::uvc_stereo::detail
