#include "quillrun/assembly.hpp"

#include <algorithm>
#include <limits>
#include <span>
#include <string>
#include <utility>

#include "assembly/association.hpp"
#include "assembly/placement.hpp"
#include "quillrun/log.hpp"
#include "quillrun/provenance.hpp"
#include "assembly/satellite_checks.hpp"
#include "base/wide_int.hpp"

namespace quillrun {
namespace {

constexpr std::int64_t kMicrosPerSec = 1'000'000;

// The window as the ghost debug record writes it, in whole milliseconds.
u128 window_millis(const SatelliteWindow& w) noexcept { return u128{w.secs} * 1000 + w.nanos / 1'000'000; }

std::vector<Marker> place_annotations(std::span<const NavFix> fixes, std::vector<Annotation>& annotations,
                                      bool lenient, std::uint64_t& unplaced) {
  if (annotations.empty()) return {};
  const std::vector<TrackPoint> track = annotation_track(fixes);
  std::vector<Marker> markers;
  markers.reserve(annotations.size());
  for (Annotation& a : annotations) {
    const auto at = clamp_position(position_at(track, a.time), lenient, [&] { return annotation_label(a); });
    if (!at) {
      ++unplaced;
      continue;
    }
    markers.push_back(Marker{a.time, at->lat, at->lon, std::move(a.label), a.icon, a.icon_unknown});
  }
  return markers;
}

std::vector<EventMarkerPoint> place_event_markers(std::span<const NavPoint> points,
                                                  std::vector<EventMarker>& event_markers, bool lenient,
                                                  std::uint64_t& unplaced) {
  if (event_markers.empty()) return {};
  const std::vector<TrackPoint> track = event_marker_track(points);
  std::vector<EventMarkerPoint> placed;
  placed.reserve(event_markers.size());
  for (EventMarker& m : event_markers) {
    const auto at = clamp_position(position_at(track, m.sys_time), lenient, [&] { return event_marker_label(m); });
    if (!at) {
      ++unplaced;
      continue;
    }
    placed.push_back(EventMarkerPoint{std::move(m.variant_path).value_or(std::string()), m.sys_time,
                                      std::move(m.annotation), at->lat, at->lon});
  }
  return placed;
}

// The real points in fix order and the ghosts, ordered by first time; among
// equal times the real points come first, then the ghosts in making order.
// The fixes are sorted already, so a stable sort of the ghosts and one merge
// give the same list as a stable sort of the real points followed by the
// ghosts.
std::vector<NavPoint> nav_points(std::vector<NavFix>&& fixes, Association&& association) {
  std::vector<NavPoint>& ghosts = association.ghosts;
  std::stable_sort(ghosts.begin(), ghosts.end(),
                   [](const NavPoint& a, const NavPoint& b) { return a.times.first < b.times.first; });
  std::vector<NavPoint> points;
  points.reserve(fixes.size() + ghosts.size());
  std::size_t g = 0;
  for (std::size_t i = 0; i < fixes.size(); ++i) {
    NavFix& f = fixes[i];
    while (g < ghosts.size() && ghosts[g].times.first < f.times.first) points.push_back(std::move(ghosts[g++]));
    points.push_back(NavPoint{f.lat, f.lon, f.times, f.heading, f.speed_mps, f.eph_m,
                              association.take_report(i)});
  }
  for (; g < ghosts.size(); ++g) points.push_back(std::move(ghosts[g]));
  return points;
}

}  // namespace

std::int64_t SatelliteWindow::micros() const noexcept {
  const u128 total = u128{secs} * kMicrosPerSec + nanos / 1000;
  constexpr auto max = static_cast<u128>(std::numeric_limits<std::int64_t>::max());
  return total > max ? std::numeric_limits<std::int64_t>::max() : static_cast<std::int64_t>(total);
}

void CoreBuilder::add_style(EventMarkerStyle style) {
  std::string path = style.variant_path;
  styles.insert_or_assign(std::move(path), std::move(style));
}

Result<NavFileData, BuildError> finish(CoreBuilder&& builder) {
  // Whatever happens below, nothing of the builder survives the call.
  CoreBuilder b = std::exchange(builder, CoreBuilder{});

  // A skipped marker carries no variant path and never gets this far; drop
  // one defensively rather than place it under an empty path.
  std::erase_if(b.event_markers, [](const EventMarker& m) { return !m.variant_path.has_value(); });

  log_satellite_checks(b.reports);

  std::stable_sort(b.fixes.begin(), b.fixes.end(),
                   [](const NavFix& x, const NavFix& y) { return x.times.first < y.times.first; });
  std::stable_sort(b.reports.begin(), b.reports.end(),
                   [](const SatelliteReport& x, const SatelliteReport& y) { return x.times.first < y.times.first; });
  std::stable_sort(b.annotations.begin(), b.annotations.end(),
                   [](const Annotation& x, const Annotation& y) { return x.time < y.time; });

  if (b.fixes.empty() && (!b.reports.empty() || !b.annotations.empty() || !b.event_markers.empty())) {
    return fail(BuildError{build_error::NoNavFix{UnplacedCounts{
        b.reports.size(), b.annotations.size(), b.event_markers.size()}}});
  }

  const std::int64_t window_us = b.satellite_window.micros();
  QR_ASSIGN_OR_RETURN(Association association, associate_reports(b.fixes, std::move(b.reports), window_us));
  if (!association.ghosts.empty()) {
    QR_DEBUG(log::targets::builder, std::to_string(association.ghosts.size()) +
                                        " ghost nav fix(es) created for satellite reports outside the " +
                                        to_decimal(window_millis(b.satellite_window)) + "ms association window");
  }

  std::uint64_t unplaced_annotations = 0;
  std::vector<Marker> markers = place_annotations(b.fixes, b.annotations, b.lenient, unplaced_annotations);
  if (unplaced_annotations != 0) return fail(BuildError{build_error::AnnotationsOutOfRange{unplaced_annotations}});

  std::vector<NavPoint> points = nav_points(std::move(b.fixes), std::move(association));

  std::uint64_t unplaced_markers = 0;
  std::vector<EventMarkerPoint> event_markers =
      place_event_markers(points, b.event_markers, b.lenient, unplaced_markers);
  if (unplaced_markers != 0) return fail(BuildError{build_error::EventMarkersOutOfRange{unplaced_markers}});

  std::stable_sort(b.channels.begin(), b.channels.end(),
                   [](const Channel& x, const Channel& y) { return x.name < y.name; });
  const auto duplicate = std::adjacent_find(b.channels.begin(), b.channels.end(),
                                            [](const Channel& x, const Channel& y) { return x.name == y.name; });
  if (duplicate != b.channels.end()) return fail(BuildError{build_error::DuplicateChannelName{duplicate->name}});

  Meta meta = b.meta ? std::move(*b.meta) : Meta{};
  build_provenance(meta);

  std::vector<EventMarkerStyle> styles;
  styles.reserve(b.styles.size());
  for (auto& [path, style] : b.styles) styles.push_back(std::move(style));

  NavFileData data;
  data.points = std::move(points);
  data.markers = std::move(markers);
  data.event_markers = std::move(event_markers);
  data.event_marker_styles = std::move(styles);
  data.channels = std::move(b.channels);
  data.meta = std::move(meta);
  return data;
}

}  // namespace quillrun
