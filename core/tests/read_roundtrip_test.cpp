// Traces written by the writer read back equal; values this build does not
// recognise travel through a read and a write unchanged.

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "log_capture.hpp"
#include "qrd_craft.hpp"
#include "quillrun/reader.hpp"
#include "quillrun/units.hpp"
#include "quillrun/writer.hpp"

namespace quillrun {
namespace {

constexpr double kNanStandIn = -7.25e-301;

// NaN never equals itself; both sides get the same stand-in so that a NaN
// read back where a NaN was written compares equal.
void normalize(double& v) {
  if (std::isnan(v)) v = kNanStandIn;
}
void normalize(float& v) {
  if (std::isnan(v)) v = static_cast<float>(1.5e-38);
}
NavFileData normalized(NavFileData t) {
  for (NavPoint& p : t.points) {
    normalize(p.lat);
    normalize(p.lon);
    if (p.satellites)
      for (Satellite& s : p.satellites->tracked) {
        if (s.elevation) normalize(*s.elevation);
      }
  }
  for (Marker& m : t.markers) {
    normalize(m.lat);
    normalize(m.lon);
  }
  for (EventMarkerPoint& e : t.event_markers) {
    normalize(e.lat);
    normalize(e.lon);
  }
  for (Channel& c : t.channels) {
    for (double& v : c.values) normalize(v);
    if (c.period_deg) normalize(*c.period_deg);
  }
  return t;
}

Instant at(std::int64_t micros) { return *instant_from_us(micros); }

NavFileData rich_trace() {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  NavFileData t;
  t.meta.title = "";
  t.meta.device = "logger \xE2\x9C\x93";
  t.meta.notes = "two\nlines";
  t.meta.identity = "rider-7";
  t.meta.travel_mode = TravelModeArg{std::string("hovercraft")};
  t.meta.sdk_version = "0.7.0";
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

TEST(ReadRoundTrip, EveryTableReadsBackEqual) {
  testing::LogCapture::start();
  const NavFileData trace = rich_trace();
  const auto image = write_nav_file(trace);
  ASSERT_TRUE(image) << image.error().message();
  const auto back = read_nav_file(*image);
  ASSERT_TRUE(back) << back.error().message();
  const NavFileData want = normalized(trace);
  const NavFileData got = normalized(*back);
  EXPECT_EQ(got.meta, want.meta);
  EXPECT_EQ(got.points, want.points);
  EXPECT_EQ(got.markers, want.markers);
  EXPECT_EQ(got.event_markers, want.event_markers);
  EXPECT_EQ(got.event_marker_styles, want.event_marker_styles);
  EXPECT_EQ(got.channels, want.channels);
}

TEST(ReadRoundTrip, EmptyTrace) {
  const auto image = write_nav_file(NavFileData{});
  ASSERT_TRUE(image) << image.error().message();
  const auto back = read_nav_file(*image);
  ASSERT_TRUE(back) << back.error().message();
  EXPECT_EQ(*back, NavFileData{});
}

TEST(ReadRoundTrip, ParsedTraceWritesBackToTheSameTrace) {
  testing::LogCapture::start();
  const auto first = write_nav_file(rich_trace());
  ASSERT_TRUE(first);
  const auto parsed = read_nav_file(*first);
  ASSERT_TRUE(parsed);
  const auto second = write_nav_file(*parsed);
  ASSERT_TRUE(second) << second.error().message();
  EXPECT_EQ(*second, *first);  // the writer is deterministic
}

// A crafted older file whose values this build does not know: they are read
// as stored and written back unchanged.
TEST(ReadRoundTrip, ForeignValuesOfAnOlderFileSurviveAWrite) {
  testing::FileSpec spec = testing::minimal_file(1);
  spec.root_texts = {{"quillrun_version", "1"}, {"meta_travel_mode", "Walking"}};
  spec.tables.push_back(testing::Table{"markers",
                                       {{"time", std::vector<std::int64_t>{1}, {}},
                                        {"lat", std::vector<double>{1.0}, {}},
                                        {"lon", std::vector<double>{2.0}, {}},
                                        {"icon", std::vector<std::uint8_t>{200}, {}},
                                        {"label", testing::text_cells({"m"}, 256), {1, 256}}},
                                       {}});
  spec.tables.push_back(testing::Table{"event_marker_styles",
                                       {{"variant_path", testing::text_cells({"p"}, 256), {1, 256}},
                                        {"icon_name", testing::text_cells({"Pin"}, 32), {1, 32}},
                                        {"color_hex", testing::text_cells({"#fff"}, 8), {1, 8}}},
                                       {}});
  spec.channels = std::vector<testing::ChannelSpec>{
      {"speed", {1}, {2.0}, {}, [](hid_t g) { testing::ok_or_die(h5::write_text_attribute(g, "unit", "mph ")); }}};
  testing::LogCapture::start();
  const auto parsed = read_nav_file(testing::build(spec));
  ASSERT_TRUE(parsed) << parsed.error().message();
  ASSERT_EQ(parsed->channels.size(), 1u);
  EXPECT_EQ(parsed->channels[0].unit, std::optional<ChannelUnit>(ChannelUnit::legacy("mph ")));
  const auto written = write_nav_file(*parsed);
  ASSERT_TRUE(written) << written.error().message();
  const auto again = read_nav_file(*written);
  ASSERT_TRUE(again) << again.error().message();
  EXPECT_EQ(*again, *parsed);
  EXPECT_EQ(again->markers[0].icon, 200u);
  EXPECT_TRUE(again->markers[0].icon_unknown);
  EXPECT_EQ(again->event_marker_styles[0].icon, StyleIcon::foreign("Pin"));
  EXPECT_EQ(again->event_marker_styles[0].color, (ColorHex{ColorHex::Kind::Other, "#fff"}));
  EXPECT_EQ(again->meta.travel_mode, std::optional<TravelModeArg>(std::string("Walking")));
}

}  // namespace
}  // namespace quillrun
