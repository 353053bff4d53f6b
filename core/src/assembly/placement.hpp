#pragma once
// Placing annotations and event markers on a track of nav points by time.

#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "quillrun/instant.hpp"
#include "quillrun/log.hpp"
#include "quillrun/trace.hpp"

namespace quillrun {

struct Position {
  double lat = 0.0;
  double lon = 0.0;
  friend bool operator==(const Position&, const Position&) = default;
};

// A nav point as the placement sees it: where it is, and when by the host
// clock when it has one (placed items carry host times), else the receiver's.
struct TrackPoint {
  Position position;
  Instant time;
};

// Sorted ascending by time, stable.
[[nodiscard]] std::vector<TrackPoint> annotation_track(std::span<const NavFix> fixes);
[[nodiscard]] std::vector<TrackPoint> event_marker_track(std::span<const NavPoint> points);

struct PositionLookup {
  enum class Kind : std::uint8_t { AfterLast, BeforeFirst, NoFixes, Inside };
  Kind kind = Kind::NoFixes;
  Position position;  // none for NoFixes
};

[[nodiscard]] PositionLookup position_at(std::span<const TrackPoint> track, const Instant& t);

// Longitude wrapped into [-180, 180).
[[nodiscard]] double wrap_lon(double deg) noexcept;

// The warn record of a lenient clamp; `kind` is BeforeFirst or AfterLast.
void log_clamped(PositionLookup::Kind kind, std::string_view label);

// None when the item cannot be placed. `make_label` is called only when a
// warn record is written.
template <class LabelFn>
[[nodiscard]] std::optional<Position> clamp_position(const PositionLookup& lookup, bool lenient,
                                                     LabelFn&& make_label) {
  switch (lookup.kind) {
    case PositionLookup::Kind::Inside: return lookup.position;
    case PositionLookup::Kind::NoFixes: return std::nullopt;
    case PositionLookup::Kind::BeforeFirst:
    case PositionLookup::Kind::AfterLast: break;
  }
  if (!lenient) return std::nullopt;
  if (log::level_admitted(log::Level::Warn)) log_clamped(lookup.kind, make_label());
  return lookup.position;
}

// "2024-05-01 12:00:00.250 UTC": the form of times in labels.
[[nodiscard]] std::string label_time(const Instant& t);
[[nodiscard]] std::string annotation_label(const Annotation& annotation);
[[nodiscard]] std::string event_marker_label(const EventMarker& marker);

}  // namespace quillrun
