#pragma once
// The assembled or parsed trace: one immutable model shared by the assembly,
// the writer, the reader and the Python views.

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "quillrun/instant.hpp"
#include "quillrun/records.hpp"

namespace quillrun {

enum class TimeKind : std::uint8_t { Both, HostOnly, ReceiverOnly };

// The receiver (gps) and host (sys) time of a fix, report or nav point; at
// least one is always present.
struct Timestamps {
  TimeKind kind = TimeKind::ReceiverOnly;
  Instant first;   // the receiver time when there is one, else the host time
  Instant second;  // the host time; meaningful only for Both

  [[nodiscard]] static Timestamps both(Instant gps, Instant sys) noexcept { return {TimeKind::Both, gps, sys}; }
  [[nodiscard]] static Timestamps host_only(Instant sys) noexcept { return {TimeKind::HostOnly, sys, Instant{}}; }
  [[nodiscard]] static Timestamps receiver_only(Instant gps) noexcept {
    return {TimeKind::ReceiverOnly, gps, Instant{}};
  }
  // Neither time given: no Timestamps exist.
  [[nodiscard]] static std::optional<Timestamps> from(std::optional<Instant> gps, std::optional<Instant> sys) noexcept {
    if (gps && sys) return both(*gps, *sys);
    if (gps) return receiver_only(*gps);
    if (sys) return host_only(*sys);
    return std::nullopt;
  }

  [[nodiscard]] std::optional<Instant> gps_time() const noexcept {
    return kind == TimeKind::HostOnly ? std::nullopt : std::optional<Instant>(first);
  }
  [[nodiscard]] std::optional<Instant> sys_time() const noexcept {
    switch (kind) {
      case TimeKind::Both: return second;
      case TimeKind::HostOnly: return first;
      case TimeKind::ReceiverOnly: break;
    }
    return std::nullopt;
  }
  [[nodiscard]] const Instant& first_time() const noexcept { return first; }

  friend bool operator==(const Timestamps& a, const Timestamps& b) noexcept {
    return a.kind == b.kind && a.first == b.first && (a.kind != TimeKind::Both || a.second == b.second);
  }
};

struct Satellite {
  std::uint8_t constellation = 0;  // Constellation code; unknown codes only from files
  std::uint32_t prn = 0;
  bool in_fix = false;
  std::optional<float> elevation;
  std::optional<float> azimuth;
  std::optional<float> snr;

  friend bool operator==(const Satellite&, const Satellite&) = default;
};

struct SatelliteReport {
  std::vector<Satellite> tracked;
  Timestamps times;

  friend bool operator==(const SatelliteReport&, const SatelliteReport&) = default;
};

struct NavFix {
  double lat = 0.0;
  double lon = 0.0;
  Timestamps times;
  std::optional<double> heading;
  std::optional<double> speed_mps;
  std::optional<double> eph_m;

  friend bool operator==(const NavFix&, const NavFix&) = default;
};

struct Annotation {
  Instant time;
  std::optional<std::string> label;  // at most 255 bytes; never empty
  std::uint8_t icon = 0;             // MarkerIcon code
  bool icon_unknown = false;         // the code is not one this build has

  friend bool operator==(const Annotation&, const Annotation&) = default;
};

struct NavPoint {
  double lat = 0.0;
  double lon = 0.0;
  Timestamps times;
  std::optional<double> heading;
  std::optional<double> speed_mps;
  std::optional<double> eph_m;
  std::optional<SatelliteReport> satellites;

  friend bool operator==(const NavPoint&, const NavPoint&) = default;
};

struct Marker {
  Instant time;
  double lat = 0.0;
  double lon = 0.0;
  std::optional<std::string> label;
  std::uint8_t icon = 0;
  bool icon_unknown = false;

  friend bool operator==(const Marker&, const Marker&) = default;
};

struct EventMarkerPoint {
  std::string variant_path;
  Instant sys_time;
  std::optional<std::string> annotation;
  double lat = 0.0;
  double lon = 0.0;

  friend bool operator==(const EventMarkerPoint&, const EventMarkerPoint&) = default;
};

struct NavFileData {
  std::vector<NavPoint> points;
  std::vector<Marker> markers;
  std::vector<EventMarkerPoint> event_markers;
  std::vector<EventMarkerStyle> event_marker_styles;
  std::vector<Channel> channels;
  Meta meta;

  // Note: NaN fields make two otherwise equal traces compare unequal;
  // tests that need NaN-aware equality compare field by field.
  friend bool operator==(const NavFileData&, const NavFileData&) = default;
};

// The immutable trace shared by a NavFile and its views (atomic count).
using SharedTrace = std::shared_ptr<const NavFileData>;

}  // namespace quillrun
