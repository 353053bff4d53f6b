#include "assembly/association.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

#include "assembly/placement.hpp"
#include "base/wide_int.hpp"

// Every microsecond sum and difference here is 128-bit: a time plus a clock
// offset, or the distance between two in-range times, can leave 64 bits.

namespace quillrun {
namespace {

constexpr double kDegToRad = 0.017453292519943295;
constexpr double kRadToDeg = 57.29577951308232;
constexpr double kEarthRadiusM = 6'371'000.0;

// What the association needs of one fix, in microseconds.
struct FixClock {
  std::int64_t first = 0;
  std::optional<std::int64_t> host;
  std::optional<i128> offset;  // receiver minus host, only with both times
};

// A clock offset sample, indexed by host time so that the sample nearest a
// host-only report is found by binary search.
struct OffsetByHost {
  std::int64_t host;
  std::size_t fix;
  i128 offset;
};

struct Slot {
  std::int64_t distance;
  std::size_t report;
};

FixClock fix_clock(const NavFix& f) {
  FixClock c;
  c.first = us(f.times.first);
  if (const auto host = f.times.sys_time()) c.host = us(*host);
  if (f.times.kind == TimeKind::Both) c.offset = i128{c.first} - *c.host;
  return c;
}

// Distances beyond 64 bits saturate, so a saturated window still accepts
// every candidate.
std::int64_t distance(i128 a, i128 b) noexcept { return saturate_i64(abs_i128(a - b)); }

class Associator {
 public:
  Associator(std::span<const NavFix> fixes, std::vector<SatelliteReport> reports, std::int64_t window_us)
      : fixes_(fixes), reports_(std::move(reports)), window_us_(window_us) {
    clocks_.reserve(fixes_.size());
    first_us_.reserve(fixes_.size());
    for (std::size_t i = 0; i < fixes_.size(); ++i) {
      clocks_.push_back(fix_clock(fixes_[i]));
      first_us_.push_back(clocks_.back().first);
      if (clocks_.back().offset) samples_.push_back(OffsetByHost{*clocks_.back().host, i, *clocks_.back().offset});
    }
    const auto by_host = [](const OffsetByHost& a, const OffsetByHost& b) {
      return a.host != b.host ? a.host < b.host : a.fix < b.fix;
    };
    // Host times usually rise with receiver times already.
    if (!std::is_sorted(samples_.begin(), samples_.end(), by_host))
      std::sort(samples_.begin(), samples_.end(), by_host);
  }

  Result<Association, BuildError> run() {
    const std::size_t n_reports = reports_.size();
    rt_.resize(n_reports);
    below_.resize(n_reports);
    std::vector<std::optional<Slot>> slots(fixes_.size());
    for (std::size_t j = 0; j < n_reports; ++j) {
      rt_[j] = receiver_timeline(reports_[j]);
      below_[j] = fixes_below(rt_[j]);
      offer(j, slots);
    }

    Association out;
    out.fix_report.assign(fixes_.size(), Association::kNoReport);
    std::vector<bool> taken(n_reports, false);
    for (std::size_t i = 0; i < slots.size(); ++i) {
      if (!slots[i]) continue;
      taken[slots[i]->report] = true;
      out.fix_report[i] = slots[i]->report;
    }
    std::vector<std::size_t> leftover;
    for (std::size_t j = 0; j < n_reports; ++j)
      if (!taken[j]) leftover.push_back(j);
    if (leftover.empty()) {
      out.reports = std::move(reports_);
      return out;
    }

    // Group by the gap each report falls in: 0 before the first fix, n after
    // the last, g between fixes g - 1 and g; sorted order within a group.
    std::stable_sort(leftover.begin(), leftover.end(),
                     [this](std::size_t a, std::size_t b) { return below_[a] < below_[b]; });
    out.ghosts.reserve(leftover.size());
    const std::size_t n = fixes_.size();
    for (auto it = leftover.begin(); it != leftover.end();) {
      const std::size_t g = below_[*it];
      const auto end = std::find_if(it, leftover.end(), [&](std::size_t j) { return below_[j] != g; });
      const std::span<const std::size_t> group(&*it, static_cast<std::size_t>(end - it));
      Status<BuildError> made;
      if (g == 0) {
        made = before_first(group, out.ghosts);
      } else if (g >= n) {
        made = after_last(group, out.ghosts);
      } else {
        made = in_gap(g - 1, group, out.ghosts);
      }
      QR_TRY(made);
      it = end;
    }
    out.reports = std::move(reports_);
    return out;
  }

 private:
  // A host-only report moves onto the receiver clock by the offset of the
  // fix whose host time is nearest its own (the first such fix on a tie).
  i128 receiver_timeline(const SatelliteReport& r) const {
    const std::int64_t t = us(r.times.first);
    if (r.times.kind != TimeKind::HostOnly || samples_.empty()) return t;
    if (samples_.size() == 1) return t + samples_.front().offset;
    const auto right = std::lower_bound(samples_.begin(), samples_.end(), t,
                                        [](const OffsetByHost& s, std::int64_t v) { return s.host < v; });
    const OffsetByHost* best = nullptr;
    i128 best_distance = 0;
    if (right != samples_.begin()) {
      const std::int64_t left_host = std::prev(right)->host;
      // The lowest fix index among the samples sharing that host time.
      best = &*std::lower_bound(samples_.begin(), right, left_host,
                                [](const OffsetByHost& s, std::int64_t v) { return s.host < v; });
      best_distance = i128{t} - left_host;
    }
    if (right != samples_.end()) {
      const i128 d = i128{right->host} - t;
      if (best == nullptr || d < best_distance || (d == best_distance && right->fix < best->fix)) best = &*right;
    }
    return t + best->offset;
  }

  // The number of fixes whose first time is before `t`. Reports come in time
  // order, so the search gallops out from the previous answer: O(log d) for
  // an answer d fixes away, and O(1) on a dense trace.
  std::size_t fixes_below(i128 t) {
    const std::size_t n = first_us_.size();
    const auto less = [&](std::size_t k) { return i128{first_us_[k]} < t; };
    std::size_t lo = 0;
    std::size_t hi = 0;
    std::size_t step = 1;
    if (hint_ < n && less(hint_)) {
      lo = hint_ + 1;
      hi = lo;
      while (hi < n && less(hi)) {
        lo = hi + 1;
        hi = lo + step;
        step *= 2;
      }
      hi = std::min(hi, n);
    } else {
      hi = hint_;
      lo = hi;
      while (lo > 0 && !less(lo - 1)) {
        hi = lo - 1;
        lo = hi >= step ? hi - step : 0;
        step *= 2;
      }
    }
    // Every fix before lo is earlier than t; fix hi (if any) is not.
    const auto it = std::lower_bound(first_us_.begin() + static_cast<std::ptrdiff_t>(lo),
                                     first_us_.begin() + static_cast<std::ptrdiff_t>(hi), t,
                                     [](std::int64_t first, i128 v) { return i128{first} < v; });
    hint_ = static_cast<std::size_t>(it - first_us_.begin());
    return hint_;
  }

  std::int64_t distance_to(std::size_t j, std::size_t f) const {
    const SatelliteReport& r = reports_[j];
    if (r.times.kind == TimeKind::HostOnly && clocks_[f].host) return distance(us(r.times.first), *clocks_[f].host);
    return distance(rt_[j], clocks_[f].first);
  }

  void offer(std::size_t j, std::vector<std::optional<Slot>>& slots) const {
    const std::size_t p = below_[j];
    std::optional<Slot> chosen;
    if (p >= 1) {
      const std::int64_t d = distance_to(j, p - 1);
      if (d <= window_us_) chosen = Slot{d, p - 1};
    }
    if (p < fixes_.size()) {
      const std::int64_t d = distance_to(j, p);
      // The earlier fix wins a tie.
      if (d <= window_us_ && (!chosen || d < chosen->distance)) chosen = Slot{d, p};
    }
    if (!chosen) return;
    // Reports come in sorted order, so the holder has the lower index and
    // keeps the slot on a tie. A report refused or pushed out here is left
    // over; it is not offered to its other candidate.
    std::optional<Slot>& slot = slots[chosen->report];
    if (!slot || chosen->distance < slot->distance) slot = Slot{chosen->distance, j};
  }

  Status<BuildError> push_ghost(i128 time, Position at, std::optional<double> heading, std::size_t j,
                                std::vector<NavPoint>& ghosts) {
    const std::int64_t micros = saturate_i64(time);
    std::optional<Instant> instant;
    if (i128{micros} == time) instant = instant_from_us(micros);
    if (!instant) return fail(BuildError{build_error::GhostFixOutOfRange{micros}});
    NavPoint ghost;
    ghost.lat = at.lat;
    ghost.lon = at.lon;
    ghost.times = Timestamps::receiver_only(*instant);
    ghost.heading = heading;
    ghost.satellites = std::move(reports_[j]);
    ghosts.push_back(std::move(ghost));
    return {};
  }

  // The report's own time, moved onto the receiver clock of `anchor` when
  // the report is host-only and the anchor has both times.
  i128 anchored_time(std::size_t j, std::size_t anchor) const {
    const SatelliteReport& r = reports_[j];
    i128 t = us(r.times.first);
    if (r.times.kind == TimeKind::HostOnly && clocks_[anchor].offset) t += *clocks_[anchor].offset;
    return t;
  }

  Status<BuildError> before_first(std::span<const std::size_t> group, std::vector<NavPoint>& ghosts) {
    const NavFix& anchor = fixes_.front();
    for (const std::size_t j : group)
      QR_TRY(push_ghost(anchored_time(j, 0), {anchor.lat, anchor.lon}, std::nullopt, j, ghosts));
    return {};
  }

  Status<BuildError> after_last(std::span<const std::size_t> group, std::vector<NavPoint>& ghosts) {
    const std::size_t z = fixes_.size() - 1;
    const NavFix& anchor = fixes_[z];
    Position at{anchor.lat, anchor.lon};
    // A heading that is not a number gives no direction to step in; the
    // ghosts then sit on the fix, as with no heading at all.
    const bool step = anchor.heading && std::isfinite(*anchor.heading);
    const double h = step ? *anchor.heading * kDegToRad : 0.0;
    bool first = true;
    for (const std::size_t j : group) {
      if (step) {
        // 1 m from the fix, then 2 m further each: 1 m, 3 m, 5 m, ...
        const double d = (first ? 1.0 : 2.0) / kEarthRadiusM;
        const double p1 = at.lat * kDegToRad;
        const double p2 = std::asin(std::sin(p1) * std::cos(d) + std::cos(p1) * std::sin(d) * std::cos(h));
        const double l2 = at.lon * kDegToRad + std::atan2(std::sin(h) * std::sin(d) * std::cos(p1),
                                                          std::cos(d) - std::sin(p1) * std::sin(p2));
        at = Position{p2 * kRadToDeg, wrap_lon(l2 * kRadToDeg)};
      }
      first = false;
      QR_TRY(push_ghost(anchored_time(j, z), at, std::nullopt, j, ghosts));
    }
    return {};
  }

  Status<BuildError> in_gap(std::size_t ia, std::span<const std::size_t> group, std::vector<NavPoint>& ghosts) {
    const std::size_t ib = ia + 1;
    const NavFix& a = fixes_[ia];
    const NavFix& b = fixes_[ib];
    const FixClock& ca = clocks_[ia];
    const FixClock& cb = clocks_[ib];
    const double dlon = wrap_lon(b.lon - a.lon);
    const double lat_a = a.lat * kDegToRad;
    const double lat_b = b.lat * kDegToRad;
    const double theta =
        std::atan2(std::sin(dlon * kDegToRad) * std::cos(lat_b),
                   std::cos(lat_a) * std::sin(lat_b) - std::sin(lat_a) * std::cos(lat_b) * std::cos(dlon * kDegToRad));
    const double heading = std::fmod(theta * kRadToDeg + 360.0, 360.0);
    const i128 dt = i128{cb.first} - ca.first;
    const auto at_fraction = [&](double q) {
      return Position{a.lat + q * (b.lat - a.lat), wrap_lon(a.lon + q * dlon)};
    };

    const bool any_receiver_time = std::any_of(group.begin(), group.end(), [&](std::size_t j) {
      return reports_[j].times.kind != TimeKind::HostOnly;
    });
    if (!ca.offset && !cb.offset && !any_receiver_time) {
      // No clock relates these host times to the fixes: spread evenly.
      const double slots = static_cast<double>(group.size() + 1);
      for (std::size_t k = 1; k <= group.size(); ++k) {
        const double q = static_cast<double>(k) / slots;
        const i128 time = i128{ca.first} + static_cast<i128>(q * static_cast<double>(dt));
        QR_TRY(push_ghost(time, at_fraction(q), heading, group[k - 1], ghosts));
      }
      return {};
    }

    struct Timed {
      i128 time;
      std::size_t report;
    };
    std::vector<Timed> timed;
    timed.reserve(group.size());
    for (const std::size_t j : group) timed.push_back(Timed{gap_time(j, ca, cb), j});
    std::stable_sort(timed.begin(), timed.end(), [](const Timed& x, const Timed& y) { return x.time < y.time; });
    for (const Timed& e : timed) {
      double q = 0.5;
      if (dt >= 1) q = std::clamp(static_cast<double>(e.time - ca.first) / static_cast<double>(dt), 0.0, 1.0);
      QR_TRY(push_ghost(e.time, at_fraction(q), heading, e.report, ghosts));
    }
    return {};
  }

  // A report's time in a gap; a host-only one takes the clock offset of the
  // fixes around it, interpolated by host time when both have one.
  i128 gap_time(std::size_t j, const FixClock& ca, const FixClock& cb) const {
    const SatelliteReport& r = reports_[j];
    const i128 t = us(r.times.first);
    if (r.times.kind != TimeKind::HostOnly) return t;
    if (!ca.offset) return cb.offset ? t + *cb.offset : t;
    if (!cb.offset) return t + *ca.offset;
    const i128 dh = i128{*cb.host} - *ca.host;
    if (dh < 1) return t + (*ca.offset + *cb.offset) / 2;
    const double s = std::clamp(static_cast<double>(t - *ca.host) / static_cast<double>(dh), 0.0, 1.0);
    return t + *ca.offset + static_cast<i128>(s * static_cast<double>(*cb.offset - *ca.offset));
  }

  std::span<const NavFix> fixes_;
  std::vector<SatelliteReport> reports_;
  std::int64_t window_us_;
  std::vector<FixClock> clocks_;
  std::vector<std::int64_t> first_us_;
  std::vector<OffsetByHost> samples_;
  std::vector<i128> rt_;
  std::vector<std::size_t> below_;
  std::size_t hint_ = 0;
};

}  // namespace

Result<Association, BuildError> associate_reports(std::span<const NavFix> fixes, std::vector<SatelliteReport> reports,
                                                  std::int64_t window_us) {
  return Associator(fixes, std::move(reports), window_us).run();
}

}  // namespace quillrun
