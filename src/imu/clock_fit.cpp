// The device clock fit: points thinned per 20 ms of device time, a lower
// convex hull of the upper bounds, and the band from the recent points.
#include "imu/clock_fit.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

namespace morvane::uvc_stereo::detail {
namespace {
constexpr double kBucketSeconds = 0.02;   // one U and one L point kept per 20 ms of device time
constexpr double kFitSpanSeconds = 0.5;   // the hull's slope is used from this span on
constexpr double kLockSpanSeconds = 2.0;  // ... and called locked from this one
constexpr double kKeepSeconds = 4.0;      // points past the window stay until newer ones span this
constexpr double kRecentSeconds = 2.0;    // the band is judged on the points this recent
// The slope is the hull's edge under the point this far back from the
// newest (or half the span), on the hull of twice that much recent device
// time: recent enough to follow a drifting oscillator (a 1 ppm/s ramp lags
// about 6 ppm and bends the offset by 0.5 x 1e-6 x 6^2 s = 18 us), long
// enough to average read jitter out.
constexpr double kLookbackSeconds = 6.0;  // the band is judged on the points this recent
// A line the recent points contradict by more than this is not called locked.
constexpr double kLockViolationNs = 100e3;
}  // namespace

DeviceClockFit::DeviceClockFit(double nominal_tick_rate_hz, double window_s)
    : nominal_ns_per_tick_(1e9 / nominal_tick_rate_hz),
      window_ticks_(window_s * nominal_tick_rate_hz),
      keep_ticks_(std::min(window_s, kKeepSeconds) * nominal_tick_rate_hz),
      bucket_ticks_(kBucketSeconds * nominal_tick_rate_hz),
      rate_hz_(nominal_tick_rate_hz) {}

void DeviceClockFit::add(std::uint64_t ticks, std::uint64_t upper_ns, bool has_lower, std::uint64_t lower_ns) {
  if (!have_origin_) {
    have_origin_ = true;
    origin_ticks_ = ticks;
    origin_ns_ = upper_ns;
  }
  const double x = static_cast<double>(ticks - origin_ticks_);
  const double ru = (static_cast<double>(upper_ns) - static_cast<double>(origin_ns_)) - nominal_ns_per_tick_ * x;
  const double rl = (static_cast<double>(lower_ns) - static_cast<double>(origin_ns_)) - nominal_ns_per_tick_ * x;
  const auto id = static_cast<std::int64_t>(std::floor(x / bucket_ticks_));
  if (buckets_.empty() || buckets_.back().id != id) buckets_.push_back(Bucket{id, false, false, {}, {}});
  Bucket& b = buckets_.back();
  // Within a bucket keep the lowest U and the highest L, judged on the
  // current slope.
  if (!b.has_u || ru - slope_ * x < b.u.r - slope_ * b.u.x) b.u = {x, ru}, b.has_u = true;
  if (has_lower && (!b.has_l || rl - slope_ * x > b.l.r - slope_ * b.l.x)) b.l = {x, rl}, b.has_l = true;
  // Past the window, but kept until newer points span kKeepSeconds: after a
  // long pause the old points still carry the offset and the rate.
  while (buckets_.size() > 1 && buckets_.front().u.x < x - window_ticks_ && x - buckets_[1].u.x >= keep_ticks_)
    buckets_.pop_front();
}

void DeviceClockFit::reanchor() {
  buckets_.clear();
  hull_.clear();
  locked_ = false;
  slope_fitted_ = false;
  have_origin_ = false;
  x0_ = a_ = centre_ = 0.0;
  uncertainty_ = 0.0;
  fitted_ = false;
}

void DeviceClockFit::refit() {
  if (buckets_.empty()) return;
  // The hull is built on the points that also have a lower bound once those
  // span enough: a stretch of slow reads (only upper bounds, all late) then
  // cannot tilt the slope.
  double first_bounded = 0, last_bounded = 0;
  bool any_bounded = false;
  for (const Bucket& b : buckets_)
    if (b.has_l) {
      if (!any_bounded) first_bounded = b.u.x;
      last_bounded = b.u.x;
      any_bounded = true;
    }
  const bool bounded_only = any_bounded && last_bounded - first_bounded >= kFitSpanSeconds * rate_hz_;
  // The slope and the offset come from the recent points (twice the
  // look-back of device time), or from all of them when those span too little (after
  // a pause).
  const auto build = [&](double from) {
    hull_.clear();
    for (const Bucket& b : buckets_) {
      if (!b.has_u || (bounded_only && !b.has_l) || b.u.x < from) continue;
      while (hull_.size() >= 2) {
        const Point& p = hull_[hull_.size() - 2];
        const Point& q = hull_.back();
        // Drop q unless it lies strictly below the segment p..b.u.
        const double cross = (q.x - p.x) * (b.u.r - p.r) - (q.r - p.r) * (b.u.x - p.x);
        if (cross > 0) break;
        hull_.pop_back();
      }
      hull_.push_back(b.u);
    }
  };
  build(buckets_.back().u.x - 2 * kLookbackSeconds * rate_hz_);
  if (hull_.size() < 2 || hull_.back().x - hull_.front().x < kFitSpanSeconds * rate_hz_)
    build(-std::numeric_limits<double>::infinity());
  if (hull_.empty()) return;
  const double span = hull_.back().x - hull_.front().x;
  bool fitted_slope = false;
  Point anchor = hull_.front();
  if (hull_.size() >= 2 && span >= kFitSpanSeconds * rate_hz_) {
    const double target = hull_.back().x - std::min(span / 2, kLookbackSeconds * rate_hz_);
    std::size_t i = 0;
    while (i + 2 < hull_.size() && hull_[i + 1].x <= target) ++i;
    const Point& p = hull_[i];
    const Point& q = hull_[i + 1];
    const double fitted = (q.r - p.r) / (q.x - p.x);
    if (std::fabs(fitted) <= kMaxDriftPpm * 1e-6 * nominal_ns_per_tick_) {
      slope_ = fitted;
      anchor = p;
      fitted_slope = true;
      edge_ticks_ = q.x - p.x;
    }
  }
  // Otherwise the slope from before (at first the nominal one). Either way
  // the line runs through the lowest arrival it can: on or below them all.
  x0_ = anchor.x;
  a_ = anchor.r;
  if (!fitted_slope)
    for (const Point& p : hull_) a_ = std::min(a_, p.r - slope_ * (p.x - x0_));
  slope_fitted_ = slope_fitted_ || fitted_slope;

  // The band on the recent points: how far below the line the latest read
  // starts lie (the line is lowered by half that), and how far any point
  // contradicts it (a read start above the line, an arrival below it).
  const double recent_from = buckets_.back().u.x - kRecentSeconds * rate_hz_;
  double gap = std::numeric_limits<double>::infinity();
  double below_u = 0.0;  // how far the lowest recent arrival lies below the line
  std::vector<double> u_over;
  for (auto it = buckets_.rbegin(); it != buckets_.rend() && it->u.x >= recent_from; ++it) {
    const double over = it->u.r - line(it->u.x);
    below_u = std::max(below_u, -over);
    u_over.push_back(over);
    if (it->has_l) gap = std::min(gap, line(it->l.x) - it->l.r);
  }
  double violation = below_u;
  if (std::isfinite(gap)) {
    if (gap >= 0) {
      centre_ = gap / 2;
      uncertainty_ = gap / 2;
    } else {
      centre_ = 0;
      uncertainty_ = 0;
      violation = std::max(violation, -gap);
    }
  } else {
    // No recent lower bound: the instants may lie anywhere below the
    // arrivals; the typical distance of the arrivals above the line is as
    // much as the points tell.
    centre_ = 0;
    std::nth_element(u_over.begin(), u_over.begin() + static_cast<std::ptrdiff_t>(u_over.size() / 2), u_over.end());
    uncertainty_ = std::max(0.0, u_over[u_over.size() / 2]);
  }
  uncertainty_ += violation;
  locked_ = slope_fitted_ && span >= kLockSpanSeconds * rate_hz_ && violation <= kLockViolationNs;
  fitted_ = true;
}

double DeviceClockFit::host_ns(std::uint64_t ticks) const {
  const double x = static_cast<double>(static_cast<std::int64_t>(ticks - origin_ticks_));
  return static_cast<double>(origin_ns_) + nominal_ns_per_tick_ * x + line(x) - centre_;
}

double DeviceClockFit::ticks_at(double host) const {
  const double h = host - static_cast<double>(origin_ns_);
  const double x = (h - a_ + slope_ * x0_ + centre_) / (nominal_ns_per_tick_ + slope_);
  return static_cast<double>(origin_ticks_) + x;
}

double DeviceClockFit::rate_uncertainty() const {
  if (!slope_fitted_ || edge_ticks_ <= 0) return kMaxDriftPpm * 1e-6;
  // Two points' band over the edge the slope came from, and a margin for an
  // oscillator that drifts on.
  return 2 * (uncertainty_ + 20e3) / (edge_ticks_ * nominal_ns_per_tick_) + 20e-6;
}

double DeviceClockFit::violation_ns(std::uint64_t ticks, std::uint64_t upper_ns, bool has_lower,
                                    std::uint64_t lower_ns) const {
  const double at = host_ns(ticks);
  double v = at - static_cast<double>(upper_ns);
  if (has_lower) v = std::max(v, static_cast<double>(lower_ns) - at);
  return v;
}

double DeviceClockFit::span_s() const {
  if (buckets_.empty()) return 0.0;
  return (buckets_.back().u.x - buckets_.front().u.x) / rate_hz_;
}

}  // namespace morvane::uvc_stereo::detail
