#include "assembly/placement.hpp"

#include <algorithm>
#include <cmath>

#include "quillrun/text.hpp"
#include "base/wide_int.hpp"

namespace quillrun {
namespace {

// Placed items carry host times, so a point stands on the track at its host
// time when it has one.
Instant track_time(const Timestamps& times) noexcept {
  const std::optional<Instant> host = times.sys_time();
  return host ? *host : times.first;
}

void sort_track(std::vector<TrackPoint>& track) {
  const auto earlier = [](const TrackPoint& a, const TrackPoint& b) { return a.time < b.time; };
  // Host times mostly come in receiver-time order already; a stable sort of
  // a sorted list changes nothing.
  if (!std::is_sorted(track.begin(), track.end(), earlier)) std::stable_sort(track.begin(), track.end(), earlier);
}

std::string zero_padded(std::uint64_t value, std::size_t width) {
  std::string digits = std::to_string(value);
  if (digits.size() < width) digits.insert(0, width - digits.size(), '0');
  return digits;
}

}  // namespace

std::vector<TrackPoint> annotation_track(std::span<const NavFix> fixes) {
  std::vector<TrackPoint> track;
  track.reserve(fixes.size());
  for (const NavFix& f : fixes) track.push_back(TrackPoint{{f.lat, f.lon}, track_time(f.times)});
  sort_track(track);
  return track;
}

std::vector<TrackPoint> event_marker_track(std::span<const NavPoint> points) {
  std::vector<TrackPoint> track;
  track.reserve(points.size());
  for (const NavPoint& p : points) track.push_back(TrackPoint{{p.lat, p.lon}, track_time(p.times)});
  sort_track(track);
  return track;
}

double wrap_lon(double deg) noexcept {
  double x = std::fmod(deg + 180.0, 360.0);
  if (x < 0.0) x += 360.0;
  return x - 180.0;
}

PositionLookup position_at(std::span<const TrackPoint> track, const Instant& t) {
  const auto it = std::lower_bound(track.begin(), track.end(), t,
                                   [](const TrackPoint& p, const Instant& v) { return p.time < v; });
  const auto p = static_cast<std::size_t>(it - track.begin());
  if (p == track.size()) {
    if (track.empty()) return PositionLookup{PositionLookup::Kind::NoFixes, {}};
    return PositionLookup{PositionLookup::Kind::AfterLast, track.back().position};
  }
  // lower_bound lands on the first of several points sharing the time.
  if (track[p].time == t) return PositionLookup{PositionLookup::Kind::Inside, track[p].position};
  if (p == 0) return PositionLookup{PositionLookup::Kind::BeforeFirst, track.front().position};

  const TrackPoint& a = track[p - 1];
  const TrackPoint& b = track[p];
  const i128 ta = us(a.time);
  const i128 tb = us(b.time);
  // Two instants a fraction of a microsecond apart have one us value.
  const double q = tb == ta ? 0.0 : static_cast<double>(us(t) - ta) / static_cast<double>(tb - ta);
  const double lat = a.position.lat + q * (b.position.lat - a.position.lat);
  const double lon = wrap_lon(a.position.lon + q * wrap_lon(b.position.lon - a.position.lon));
  return PositionLookup{PositionLookup::Kind::Inside, {lat, lon}};
}

void log_clamped(PositionLookup::Kind kind, std::string_view label) {
  const bool before = kind == PositionLookup::Kind::BeforeFirst;
  QR_WARN(log::targets::builder,
          std::string(label) + (before ? " is before the first nav fix: clamped to the first position"
                                       : " is after the last nav fix: clamped to the last position"));
}

std::string label_time(const Instant& t) {
  const CivilDate date = civil_from_days(t.days);
  std::uint32_t second = t.secs % 60;
  std::uint32_t nanos = t.nanos;
  // An instant inside a leap second shows as second 60.
  if (nanos >= 1'000'000'000) {
    second += 1;
    nanos -= 1'000'000'000;
  }
  std::string text;
  text.reserve(40);
  if (date.year >= 0 && date.year <= 9999) {
    text += zero_padded(static_cast<std::uint64_t>(date.year), 4);
  } else {
    text += date.year < 0 ? '-' : '+';
    const std::uint64_t magnitude =
        date.year < 0 ? static_cast<std::uint64_t>(-date.year) : static_cast<std::uint64_t>(date.year);
    text += zero_padded(magnitude, 4);
  }
  // Appended piece by piece: assigning or prepending short literals trips a
  // false -Wrestrict in g++ 12 at -O3.
  const auto append = [&text](char separator, std::uint64_t value, std::size_t width) {
    text += separator;
    text += zero_padded(value, width);
  };
  append('-', date.month, 2);
  append('-', date.day, 2);
  append(' ', t.secs / 3600, 2);
  append(':', t.secs / 60 % 60, 2);
  append(':', second, 2);
  if (nanos != 0) {
    if (nanos % 1'000'000 == 0) {
      append('.', nanos / 1'000'000, 3);
    } else if (nanos % 1'000 == 0) {
      append('.', nanos / 1'000, 6);
    } else {
      append('.', nanos, 9);
    }
  }
  text += " UTC";
  return text;
}

std::string annotation_label(const Annotation& annotation) { return "Annotation at " + label_time(annotation.time); }

std::string event_marker_label(const EventMarker& marker) {
  return "Event marker " + quoted(marker.variant_path.value_or(std::string())) + " at " +
         label_time(marker.sys_time);
}

}  // namespace quillrun
