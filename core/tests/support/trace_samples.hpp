#pragma once
// Test helper: a trace that fills every table of the file, with the values a
// round trip must keep: NaNs, pre-1970 times and the ends of the instant
// range, unknown icon codes and names, colours in other notations, legacy and
// custom units, a free travel mode, texts at their field limits.

#include <limits>
#include <string>

#include "quillrun/trace.hpp"
#include "quillrun/units.hpp"
#include "quillrun/version.hpp"

namespace quillrun::testing {

inline Instant at(std::int64_t micros) { return *instant_from_us(micros); }

inline NavFileData rich_trace() {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  NavFileData t;
  t.meta.title = "";
  t.meta.device = "logger \xE2\x9C\x93";
  t.meta.notes = "two\nlines";
  t.meta.identity = "rider-7";
  t.meta.travel_mode = TravelModeArg{std::string("hovercraft")};
  t.meta.sdk_version = std::string(kSdkVersion);
  t.meta.sdk_git_commit = "0123456789abcdef";
  t.meta.sdk_commit_time = make_instant(2024, 5, 1, 10, 0, 0);

  NavPoint a;
  a.lat = 48.1;
  a.lon = 11.5;
  a.times = Timestamps::both(at(-1'000'000), at(5));
  a.heading = 270.0;
  a.speed_mps = 0.0;
  a.eph_m = 2.5;
  Satellite s1{0, 12, true, 45.0F, 180.0F, 40.0F};
  Satellite s2{5, 193, false, std::nullopt, std::nullopt, std::nullopt};
  a.satellites = SatelliteReport{{s1, s2}, Timestamps::both(at(-1'000'100), at(7))};
  NavPoint b;
  b.lat = nan;
  b.lon = -0.0;
  b.times = Timestamps::host_only(at(2'000'000));
  NavPoint c;
  c.lat = -33.9;
  c.lon = 151.2;
  c.times = Timestamps::receiver_only(at(3'000'000));
  c.satellites = SatelliteReport{{}, Timestamps::host_only(at(3'000'001))};
  NavPoint d = c;
  d.times = Timestamps::receiver_only(at(us(max_instant())));
  d.satellites = SatelliteReport{{Satellite{3, 7, true, 1.0F, 2.0F, 3.0F}}, Timestamps::receiver_only(at(4))};
  t.points = {a, b, c, d};

  t.markers = {Marker{at(-5), 1.0, 2.0, std::string(255, 'x'), 13, false},
               Marker{at(us(min_instant())), nan, 3.0, std::nullopt, 14, true},
               Marker{at(9), 4.0, 5.0, "caf\xC3\xA9", 0, false}};
  t.event_markers = {EventMarkerPoint{"lap/start", at(10), "go", 1.0, 2.0},
                     EventMarkerPoint{"a//b", at(-10), std::nullopt, nan, 3.0},
                     EventMarkerPoint{std::string(255, 'p'), at(11), std::string(511, 'n'), 0.0, 0.0}};
  using K = ColorHex::Kind;
  t.event_marker_styles = {
      EventMarkerStyle{"b", StyleIcon::known(MarkerIcon::SatelliteLost), {K::Valid, "#AbCdEf"}},
      EventMarkerStyle{"a", StyleIcon::none(), {}},
      EventMarkerStyle{"a", StyleIcon::foreign("sparkle"), {K::Other, "red"}},
      EventMarkerStyle{"c", StyleIcon::foreign(std::string(31, 'z')), {K::Other, "rgb(1)"}}};

  Channel accel;
  accel.name = "accel";
  accel.times = {at(0), at(1), at(-2)};
  accel.values = {1, 2, 3, 4, nan, 6, 7, 8, 9};
  accel.components = {"x", "y", "z"};
  accel.unit = ChannelUnit::recognized(*unit_from_text("m/s2"));
  accel.description = "";
  Channel heading;
  heading.name = "heading";
  heading.times = {at(0)};
  heading.values = {359.0};
  heading.unit = ChannelUnit::recognized(*unit_from_text("deg"));
  heading.period_deg = 360.0;
  Channel legacy;
  legacy.name = "old";
  legacy.times = {};
  legacy.values = {};
  legacy.unit = ChannelUnit::legacy("\xC2\xA0" "furlong");
  legacy.description = "from an older logger";
  Channel custom;
  custom.name = "zz";
  custom.times = {at(1)};
  custom.values = {0.5};
  custom.unit = ChannelUnit::custom("furlongs");
  t.channels = {accel, heading, legacy, custom};
  return t;
}

}  // namespace quillrun::testing
