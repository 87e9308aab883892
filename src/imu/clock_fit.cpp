// The device clock fit: points thinned per 20 ms of device time, a lower
// convex hull of the upper bounds, the slopes both kinds of bound allow, and
// the band from the recent points.
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
  newest_x_ = x;
  if (has_lower) have_bounded_ = true, bounded_x_ = x;
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
  half_band_ = uncertainty_ = 0.0;
  have_bounded_ = false;
  fitted_ = false;
}

DeviceClockFit::SlopeBounds DeviceClockFit::slope_bounds(double from) {
  // The points from `from` on, split at the middle of their span: any line
  // below every arrival and above every read start rises from a read start
  // before the middle to an arrival after it no faster than the flattest
  // such pair, and from an arrival before to a read start after no slower
  // than the steepest. The extreme pairs are vertices of the lower hull of
  // the arrivals and the upper hull of the read starts on either side.
  SlopeBounds out;
  double first = 0, last = 0;
  bool any = false;
  for (const Bucket& b : buckets_)
    if (b.has_u && b.u.x >= from) {
      if (!any) first = b.u.x;
      last = b.u.x;
      any = true;
    }
  if (!any || last - first < kFitSpanSeconds * rate_hz_) return out;
  const double middle = (first + last) / 2;
  // Reused between refits: no allocation once they have grown.
  std::vector<Point>& u_before = scratch_[0];
  std::vector<Point>& u_after = scratch_[1];
  std::vector<Point>& l_before = scratch_[2];
  std::vector<Point>& l_after = scratch_[3];
  for (std::vector<Point>& v : scratch_) v.clear();
  // sign +1 keeps the lower hull, -1 the upper one.
  const auto push = [](std::vector<Point>& hull, const Point& p, double sign) {
    while (hull.size() >= 2) {
      const Point& a = hull[hull.size() - 2];
      const Point& b = hull.back();
      if (sign * ((b.x - a.x) * (p.r - a.r) - (b.r - a.r) * (p.x - a.x)) > 0) break;
      hull.pop_back();
    }
    hull.push_back(p);
  };
  for (const Bucket& b : buckets_) {
    if (b.has_u && b.u.x >= from) push(b.u.x < middle ? u_before : u_after, b.u, 1.0);
    if (b.has_l && b.l.x >= from) push(b.l.x < middle ? l_before : l_after, b.l, -1.0);
  }
  if (u_before.empty() || u_after.empty() || l_before.empty() || l_after.empty()) return out;
  out.lo = -std::numeric_limits<double>::infinity();
  out.hi = std::numeric_limits<double>::infinity();
  for (const Point& l : l_before)
    for (const Point& u : u_after)
      if (u.x > l.x) out.hi = std::min(out.hi, (u.r - l.r) / (u.x - l.x));
  for (const Point& u : u_before)
    for (const Point& l : l_after)
      if (l.x > u.x) out.lo = std::max(out.lo, (l.r - u.r) / (l.x - u.x));
  // Bounds that cross: the points contradict a straight line (a drifting
  // oscillator, a read start recorded late); the arrivals' hull decides.
  out.known = std::isfinite(out.lo) && std::isfinite(out.hi) && out.lo <= out.hi;
  return out;
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
  double from = buckets_.back().u.x - 2 * kLookbackSeconds * rate_hz_;
  build(from);
  if (hull_.size() < 2 || hull_.back().x - hull_.front().x < kFitSpanSeconds * rate_hz_) {
    from = -std::numeric_limits<double>::infinity();
    build(from);
  }
  if (hull_.empty()) return;
  const double span = hull_.back().x - hull_.front().x;
  bool fitted_slope = false, through_hull = false;
  Point anchor = hull_.front();
  const SlopeBounds bounds = slope_bounds(from);
  rate_half_width_ = bounds.known ? (bounds.hi - bounds.lo) / 2 : 0.0;
  if (hull_.size() >= 2 && span >= kFitSpanSeconds * rate_hz_) {
    const double target = hull_.back().x - std::min(span / 2, kLookbackSeconds * rate_hz_);
    std::size_t i = 0;
    while (i + 2 < hull_.size() && hull_[i + 1].x <= target) ++i;
    const Point& p = hull_[i];
    const Point& q = hull_[i + 1];
    double fitted = (q.r - p.r) / (q.x - p.x);
    // A slope the read starts rule out is brought to the nearest one they
    // allow (the line then runs below every arrival at that slope).
    if (bounds.known && (fitted < bounds.lo || fitted > bounds.hi)) {
      fitted = std::clamp(fitted, bounds.lo, bounds.hi);
      through_hull = true;
    }
    if (bounds.known) {
      // Weighed with the middle of what both sides allow, each by how well
      // it is known: the edge by the band over its length, the middle by
      // the half width. Early on the edge is short and few reads bound it,
      // and the reads being timed from the fit make the arrivals follow the
      // fit's own error, so the hull edge alone can sit tens of ppm off
      // while every arrival agrees with it; the read starts bound it from
      // the other side.
      const double edge_sd = 2 * (half_band_ + 20e3) / (q.x - p.x);
      const double half = std::max((bounds.hi - bounds.lo) / 2, 1e-9);
      const double we = 1 / (edge_sd * edge_sd), wm = 1 / (half * half);
      fitted = (we * fitted + wm * (bounds.lo + bounds.hi) / 2) / (we + wm);
      through_hull = true;
    }
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
  if (!fitted_slope || through_hull)
    for (const Point& p : hull_) a_ = std::min(a_, p.r - slope_ * (p.x - x0_));
  slope_fitted_ = slope_fitted_ || fitted_slope;

  // The band on the recent points: how far below the line the latest read
  // starts lie (the line is lowered by half that), and how far any point
  // contradicts it (a read start above the line, an arrival below it). The
  // line runs under every arrival, but the recent ones may all lie above it
  // (it touches the hull further back): the band then also reaches up to the
  // lowest of them, and a mapped instant may be off by that much more.
  const double recent_from = buckets_.back().u.x - kRecentSeconds * rate_hz_;
  double gap = std::numeric_limits<double>::infinity();
  // How far the lowest recent arrival lies below the line, or above it.
  double below_u = 0.0;
  double above_u = std::numeric_limits<double>::infinity();
  std::vector<double> u_over;
  for (auto it = buckets_.rbegin(); it != buckets_.rend() && it->u.x >= recent_from; ++it) {
    const double over = it->u.r - line(it->u.x);
    below_u = std::max(below_u, -over);
    above_u = std::min(above_u, over);
    u_over.push_back(over);
    if (it->has_l) gap = std::min(gap, line(it->l.x) - it->l.r);
  }
  double violation = below_u;
  double reach = 0.0;  // how far beyond the half band a mapped instant may lie
  if (std::isfinite(gap)) {
    if (gap >= 0) {
      centre_ = gap / 2;
      half_band_ = gap / 2;
      reach = std::max(0.0, above_u);
    } else {
      centre_ = 0;
      half_band_ = 0;
      violation = std::max(violation, -gap);
    }
  } else {
    // No recent lower bound: the instants may lie anywhere below the
    // arrivals; the typical distance of the arrivals above the line is as
    // much as the points tell.
    centre_ = 0;
    std::nth_element(u_over.begin(), u_over.begin() + static_cast<std::ptrdiff_t>(u_over.size() / 2), u_over.end());
    half_band_ = std::max(0.0, u_over[u_over.size() / 2]);
  }
  half_band_ += violation;
  uncertainty_ = half_band_ + reach;
  // Locked on the span of the points that bound an instant from both sides:
  // arrivals alone may come bunched (a backlog drained after a pause), and
  // give the slope no evidence however much device time they span.
  locked_ = slope_fitted_ && any_bounded && last_bounded - first_bounded >= kLockSpanSeconds * rate_hz_ &&
            violation <= kLockViolationNs;
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

double DeviceClockFit::uncertainty_ns() const {
  // Past the newest event bounded from both sides the line is extrapolated
  // (after a pause, through reads that all found a new event): the band
  // grows with the rate's uncertainty over that time.
  if (!have_bounded_) return uncertainty_;
  return uncertainty_ + rate_uncertainty() * nominal_ns_per_tick_ * (newest_x_ - bounded_x_);
}

double DeviceClockFit::rate_uncertainty() const {
  if (!slope_fitted_) return kMaxDriftPpm * 1e-6;
  // From both sides: every slope the points allow lies within the half
  // width of the one taken; and the margin for a drifting oscillator.
  const double bounded = rate_half_width_ / nominal_ns_per_tick_ + 20e-6;
  if (edge_ticks_ <= 0) return rate_half_width_ > 0 ? bounded : kMaxDriftPpm * 1e-6;
  // Two points' band over the edge the slope came from, and a margin for an
  // oscillator that drifts on; never less than the range both sides allow.
  return std::max(bounded, 2 * (half_band_ + 20e3) / (edge_ticks_ * nominal_ns_per_tick_) + 20e-6);
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
