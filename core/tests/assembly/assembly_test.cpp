#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <optional>
#include <string>
#include <vector>

#include "support/log_capture.hpp"
#include "quillrun/assembly.hpp"
#include "quillrun/provenance.hpp"
#include "quillrun/rfc3339.hpp"

namespace quillrun {
namespace {

constexpr double kPi = 3.14159265358979323846;

Instant at(std::uint32_t h, std::uint32_t m, std::uint32_t s, std::uint32_t nanos = 0) {
  return *make_instant(2024, 5, 1, h, m, s, nanos);
}

NavFix rx_fix(Instant gps, double lat, double lon, std::optional<double> heading = std::nullopt) {
  NavFix f;
  f.lat = lat;
  f.lon = lon;
  f.times = Timestamps::receiver_only(gps);
  f.heading = heading;
  return f;
}

SatelliteReport report(Instant gps, std::uint32_t prn = 1) {
  return SatelliteReport{{Satellite{0, prn, true, 10.0f, 20.0f, 30.0f}}, Timestamps::receiver_only(gps)};
}

Annotation annotation(Instant t, std::optional<std::string> label = std::nullopt) {
  return Annotation{t, std::move(label), 2, false};
}

EventMarker event_marker(std::string path, Instant t) { return EventMarker{std::move(path), t, std::nullopt}; }

Channel channel(std::string name) {
  Channel c;
  c.name = std::move(name);
  return c;
}

EventMarkerStyle style(std::string path, std::string color) {
  return EventMarkerStyle{std::move(path), StyleIcon::none(), ColorHex{ColorHex::Kind::Valid, std::move(color)}};
}

NavFileData assemble(CoreBuilder&& b) {
  auto r = finish(std::move(b));
  EXPECT_TRUE(r.has_value()) << (r ? "" : r.error().message());
  return r ? std::move(r).value() : NavFileData{};
}

BuildError failure(CoreBuilder&& b) {
  auto r = finish(std::move(b));
  EXPECT_FALSE(r.has_value());
  return r ? BuildError{} : std::move(r).error();
}

std::vector<std::string> messages(const testing::LogCapture& cap, log::Level level) {
  std::vector<std::string> out;
  for (const auto& r : cap.records)
    if (r.level == level && r.target == "quillrun_sdk::builder") out.push_back(r.message);
  return out;
}

void expect_provenance(const Meta& meta) {
  EXPECT_EQ(meta.sdk_version, std::string(kSdkVersion));
  EXPECT_EQ(meta.sdk_git_commit, std::string(build_commit_id()));
  auto parsed = parse_rfc3339(build_commit_time());
  EXPECT_EQ(meta.sdk_commit_time, parsed ? std::optional(*parsed) : std::nullopt);
}

TEST(Assembly, EmptyBuilderGivesAnEmptyTraceWithProvenance) {
  const NavFileData data = assemble(CoreBuilder{});
  EXPECT_TRUE(data.points.empty());
  EXPECT_TRUE(data.markers.empty());
  EXPECT_TRUE(data.event_markers.empty());
  EXPECT_TRUE(data.event_marker_styles.empty());
  EXPECT_TRUE(data.channels.empty());
  EXPECT_FALSE(data.meta.title || data.meta.device || data.meta.notes || data.meta.identity ||
               data.meta.travel_mode);
  expect_provenance(data.meta);
}

TEST(Assembly, CallerProvenanceIsReplaced) {
  CoreBuilder b;
  b.meta = Meta{"drive", std::nullopt, "n", std::nullopt, TravelModeArg{TravelMode::Boat},
                "0.1.0", std::string(40, 'a'), at(1, 2, 3)};
  const NavFileData data = assemble(std::move(b));
  EXPECT_EQ(data.meta.title, "drive");
  EXPECT_EQ(data.meta.notes, "n");
  EXPECT_EQ(data.meta.travel_mode, TravelModeArg{TravelMode::Boat});
  expect_provenance(data.meta);
}

TEST(Assembly, NoNavFixCountsEveryItemAfterTheSatelliteWarnings) {
  auto& cap = testing::LogCapture::start();
  CoreBuilder b;
  b.reports = {SatelliteReport{{Satellite{0, 0, false, {}, {}, {}}}, Timestamps::host_only(at(12, 0, 0))}};
  b.annotations = {annotation(at(12, 0, 0)), annotation(at(13, 0, 0))};
  b.event_markers = {event_marker("a", at(12, 0, 0)), event_marker("b", at(12, 0, 0)),
                     event_marker("c", at(12, 0, 0))};
  b.channels = {channel("x"), channel("x")};
  const BuildError e = failure(std::move(b));
  EXPECT_EQ(e, (BuildError{build_error::NoNavFix{{1, 2, 3}}}));
  EXPECT_EQ(e.message(),
            "1 satellite report(s), 2 annotation(s) and 3 event marker(s) have no nav fix to take a position from: "
            "at least one nav fix is required");
  EXPECT_EQ(messages(cap, log::Level::Warn),
            std::vector<std::string>{"1 satellite(s) with PRN 0 - PRN 0 is reserved and undefined in NMEA"});
}

TEST(Assembly, OnlyChannelsAndStylesNeedNoFix) {
  CoreBuilder b;
  b.channels = {channel("speed")};
  b.add_style(style("a", "#000000"));
  const NavFileData data = assemble(std::move(b));
  EXPECT_EQ(data.channels.size(), 1u);
  EXPECT_EQ(data.event_marker_styles.size(), 1u);
}

TEST(Assembly, ChannelsOrderedByNameBytes) {
  CoreBuilder b;
  b.channels = {channel("speed_2"), channel("speed"), channel("alt"), channel("heading")};
  const NavFileData data = assemble(std::move(b));
  std::vector<std::string> names;
  for (const Channel& c : data.channels) names.push_back(c.name);
  EXPECT_EQ(names, (std::vector<std::string>{"alt", "heading", "speed", "speed_2"}));
}

TEST(Assembly, DuplicateChannelNames) {
  for (const auto& order : std::vector<std::vector<std::string>>{
           {"speed", "alt", "speed"}, {"alt", "speed", "heading", "speed"}, {"speed", "speed"}}) {
    CoreBuilder b;
    for (const auto& n : order) b.channels.push_back(channel(n));
    EXPECT_EQ(failure(std::move(b)).message(), "two channels share the name \"speed\"; channel names must be unique");
  }
  // Of two duplicated names the first in name order is reported.
  CoreBuilder b;
  b.channels = {channel("z"), channel("b"), channel("z"), channel("b")};
  EXPECT_EQ(failure(std::move(b)), (BuildError{build_error::DuplicateChannelName{"b"}}));
}

TEST(Assembly, StylesOnePerPathInByteOrder) {
  CoreBuilder b;
  b.add_style(style("b", "#000001"));
  b.add_style(style("a/b", "#000002"));
  b.add_style(style("a", "#000003"));
  b.add_style(style("a/b", "#000004"));
  b.add_style(style("B", "#000005"));
  const NavFileData data = assemble(std::move(b));
  std::vector<std::string> got;
  for (const auto& s : data.event_marker_styles) got.push_back(s.variant_path + " " + s.color.text);
  EXPECT_EQ(got, (std::vector<std::string>{"B #000005", "a #000003", "a/b #000004", "b #000001"}));
}

TEST(Assembly, EventMarkersKeepTheirAddOrder) {
  CoreBuilder b;
  b.fixes = {rx_fix(at(12, 0, 0), 0, 0), rx_fix(at(12, 0, 10), 10, 0)};
  b.event_markers = {event_marker("late", at(12, 0, 9)), event_marker("early", at(12, 0, 1)),
                     event_marker("mid", at(12, 0, 5))};
  b.event_markers[0].annotation = "note";
  const NavFileData data = assemble(std::move(b));
  ASSERT_EQ(data.event_markers.size(), 3u);
  EXPECT_EQ(data.event_markers[0].variant_path, "late");
  EXPECT_EQ(data.event_markers[0].annotation, "note");
  EXPECT_DOUBLE_EQ(data.event_markers[0].lat, 9.0);
  EXPECT_EQ(data.event_markers[1].variant_path, "early");
  EXPECT_DOUBLE_EQ(data.event_markers[1].lat, 1.0);
  EXPECT_EQ(data.event_markers[2].variant_path, "mid");
  EXPECT_EQ(data.event_markers[2].sys_time, at(12, 0, 5));
}

TEST(Assembly, ErrorsComeInStepOrder) {
  const auto base = [] {
    CoreBuilder b;
    b.fixes = {rx_fix(at(12, 0, 0), 0, 0), rx_fix(at(12, 0, 10), 10, 0)};
    return b;
  };
  {
    CoreBuilder b = base();
    b.annotations = {annotation(at(11, 0, 0)), annotation(at(13, 0, 0))};
    b.event_markers = {event_marker("x", at(14, 0, 0))};
    b.channels = {channel("speed"), channel("speed")};
    EXPECT_EQ(failure(std::move(b)), (BuildError{build_error::AnnotationsOutOfRange{2}}));
  }
  {
    CoreBuilder b = base();
    b.event_markers = {event_marker("x", at(14, 0, 0)), event_marker("y", at(12, 0, 1)),
                       event_marker("z", at(1, 0, 0))};
    b.channels = {channel("speed"), channel("speed")};
    EXPECT_EQ(failure(std::move(b)), (BuildError{build_error::EventMarkersOutOfRange{2}}));
  }
  {
    // A ghost past the last instant fails before any annotation is tried.
    CoreBuilder b = base();
    b.fixes.push_back(NavFix{0, 0, Timestamps::both(max_instant(), min_instant()), {}, {}, {}});
    b.reports = {SatelliteReport{{}, Timestamps::host_only(max_instant())}};
    b.annotations = {annotation(at(11, 0, 0))};
    const BuildError e = failure(std::move(b));
    EXPECT_TRUE(e.is<build_error::GhostFixOutOfRange>());
  }
}

TEST(Assembly, StrictAndLenientAtTheRangeEnds) {
  const auto base = [](bool lenient) {
    CoreBuilder b;
    b.lenient = lenient;
    b.fixes = {rx_fix(at(12, 0, 10), 10, 20), rx_fix(at(12, 0, 0), 0, 0)};
    return b;
  };
  auto& cap = testing::LogCapture::start();
  {
    CoreBuilder b = base(false);
    b.annotations = {annotation(at(11, 59, 59, 999'999'000))};
    EXPECT_EQ(failure(std::move(b)), (BuildError{build_error::AnnotationsOutOfRange{1}}));
    CoreBuilder c = base(false);
    c.event_markers = {event_marker("a/b", at(12, 0, 10, 1'000))};
    EXPECT_EQ(failure(std::move(c)), (BuildError{build_error::EventMarkersOutOfRange{1}}));
    EXPECT_TRUE(messages(cap, log::Level::Warn).empty());
  }
  for (const bool lenient : {false, true}) {
    // Exactly on the first and the last fix: placed, no record in either mode.
    CoreBuilder b = base(lenient);
    b.annotations = {annotation(at(12, 0, 10)), annotation(at(12, 0, 0))};
    const NavFileData data = assemble(std::move(b));
    ASSERT_EQ(data.markers.size(), 2u);
    EXPECT_EQ(data.markers[0].time, at(12, 0, 0));
    EXPECT_EQ(data.markers[0].lat, 0);
    EXPECT_EQ(data.markers[1].lat, 10);
    EXPECT_EQ(data.markers[1].lon, 20);
    EXPECT_TRUE(messages(cap, log::Level::Warn).empty());
  }
  CoreBuilder b = base(true);
  b.annotations = {annotation(at(12, 0, 10, 1'000), "after"), annotation(at(11, 59, 59, 999'999'000), "before")};
  b.event_markers = {event_marker("a/b", at(11, 59, 59)), event_marker("c", at(12, 0, 10, 250'000'000))};
  const NavFileData data = assemble(std::move(b));
  ASSERT_EQ(data.markers.size(), 2u);
  EXPECT_EQ(data.markers[0].label, "before");
  EXPECT_EQ(data.markers[0].lat, 0);
  EXPECT_EQ(data.markers[0].icon, 2);
  EXPECT_EQ(data.markers[1].label, "after");
  EXPECT_EQ(data.markers[1].lon, 20);
  ASSERT_EQ(data.event_markers.size(), 2u);
  EXPECT_EQ(data.event_markers[0].lat, 0);
  EXPECT_EQ(data.event_markers[1].lat, 10);
  EXPECT_EQ(messages(cap, log::Level::Warn),
            (std::vector<std::string>{
                "Annotation at 2024-05-01 11:59:59.999999 UTC is before the first nav fix: clamped to the first "
                "position",
                "Annotation at 2024-05-01 12:00:10.000001 UTC is after the last nav fix: clamped to the last position",
                "Event marker \"a/b\" at 2024-05-01 11:59:59 UTC is before the first nav fix: clamped to the first "
                "position",
                "Event marker \"c\" at 2024-05-01 12:00:10.250 UTC is after the last nav fix: clamped to the last "
                "position"}));
}

TEST(Assembly, AFixStandsOnTheTrackAtItsHostTime) {
  CoreBuilder b;
  NavFix first = rx_fix(at(12, 0, 0), 1, 2);
  first.times = Timestamps::both(at(12, 0, 0), at(12, 0, 2));
  b.fixes = {first, rx_fix(at(12, 0, 5), 5, 6)};
  b.annotations = {annotation(at(12, 0, 2))};
  const NavFileData data = assemble(CoreBuilder(b));
  ASSERT_EQ(data.markers.size(), 1u);
  EXPECT_EQ(data.markers[0].lat, 1);
  EXPECT_EQ(data.markers[0].lon, 2);

  b.annotations = {annotation(at(12, 0, 0))};
  EXPECT_EQ(failure(std::move(b)), (BuildError{build_error::AnnotationsOutOfRange{1}}));
}

TEST(Assembly, EventMarkersMayFallOnTheGhostStretch) {
  auto& cap = testing::LogCapture::start();
  CoreBuilder b;
  b.fixes = {rx_fix(at(12, 0, 0), 0, 10, 90.0)};
  b.reports = {report(at(12, 0, 3))};
  b.event_markers = {event_marker("brake", at(12, 0, 2))};
  CoreBuilder with_annotation = b;
  const NavFileData data = assemble(std::move(b));
  ASSERT_EQ(data.points.size(), 2u);
  EXPECT_FALSE(data.points[0].satellites.has_value());
  ASSERT_TRUE(data.points[1].satellites.has_value());
  EXPECT_EQ(data.points[1].times, Timestamps::receiver_only(at(12, 0, 3)));
  // Two thirds of the way to the ghost 1 m east of the fix.
  const double deg_per_m = 180.0 / kPi / 6'371'000.0;
  ASSERT_EQ(data.event_markers.size(), 1u);
  EXPECT_NEAR(data.event_markers[0].lon - 10.0, 2.0 / 3.0 * deg_per_m, 1e-12);
  EXPECT_EQ(messages(cap, log::Level::Debug),
            std::vector<std::string>{
                "1 ghost nav fix(es) created for satellite reports outside the 500ms association window"});

  with_annotation.annotations = {annotation(at(12, 0, 2))};
  EXPECT_EQ(failure(std::move(with_annotation)), (BuildError{build_error::AnnotationsOutOfRange{1}}));
}

TEST(Assembly, EqualTimesKeepTheirOrder) {
  CoreBuilder b;
  b.fixes = {rx_fix(at(12, 0, 10), 2, 0), rx_fix(at(12, 0, 0), 0, 0), rx_fix(at(12, 0, 10), 3, 0)};
  NavFix host_only = rx_fix(at(12, 0, 0), 1, 0);
  host_only.times = Timestamps::host_only(at(12, 0, 0));
  b.fixes.push_back(host_only);
  // Report 2 joins the first fix at 12:00:10; report 1, refused there,
  // becomes a ghost at the same time (on that fix, ending its gap) and sorts
  // after the real points; report 3 is a ghost before everything.
  b.reports = {report(at(12, 0, 10), 2), report(at(12, 0, 10), 1), report(at(11, 0, 0), 3)};
  b.satellite_window = {0, 0};
  b.annotations = {annotation(at(12, 0, 5), "x"), annotation(at(12, 0, 1), "y"), annotation(at(12, 0, 5), "z")};
  const NavFileData data = assemble(std::move(b));
  ASSERT_EQ(data.points.size(), 6u);
  std::vector<double> lats;
  std::vector<std::uint32_t> prns;
  for (const NavPoint& p : data.points) {
    lats.push_back(p.lat);
    prns.push_back(p.satellites ? p.satellites->tracked[0].prn : 0);
  }
  EXPECT_EQ(lats, (std::vector<double>{0, 0, 1, 2, 3, 2}));
  EXPECT_EQ(prns, (std::vector<std::uint32_t>{3, 0, 0, 2, 0, 1}));
  EXPECT_EQ(data.points[5].times.kind, TimeKind::ReceiverOnly);
  EXPECT_NEAR(data.points[5].heading.value(), 0.0, 1e-9);
  EXPECT_FALSE(data.points[3].heading.has_value());
  std::vector<std::string> labels;
  for (const Marker& m : data.markers) labels.push_back(m.label.value_or(""));
  EXPECT_EQ(labels, (std::vector<std::string>{"y", "x", "z"}));
}

TEST(Assembly, WindowEdgesThroughFinish) {
  struct Case {
    SatelliteWindow window;
    std::uint32_t offset_nanos;
    bool associated;
  };
  for (const Case& c : {Case{{0, 0}, 0, true}, Case{{0, 0}, 1'000, false}, Case{{0, 2'000}, 2'000, true},
                        Case{{0, 2'000}, 3'000, false}, Case{{0, 2'999}, 3'000, false},
                        Case{{1, 0}, 1'000'000, false}, Case{{1, 0}, 999'999'000, true}}) {
    CoreBuilder b;
    b.satellite_window = c.window;
    b.fixes = {rx_fix(at(12, 0, 0), 0, 0)};
    const Instant when = c.offset_nanos == 1'000'000 ? at(12, 0, 1, 1'000) : at(12, 0, 0, c.offset_nanos);
    b.reports = {report(when)};
    const NavFileData data = assemble(std::move(b));
    EXPECT_EQ(data.points.size(), c.associated ? 1u : 2u) << c.window.secs << " " << c.window.nanos;
    EXPECT_EQ(data.points[0].satellites.has_value(), c.associated);
  }
}

TEST(Assembly, WindowMicrosSaturate) {
  const std::int64_t max = std::numeric_limits<std::int64_t>::max();
  EXPECT_EQ((SatelliteWindow{}).micros(), 500'000);
  EXPECT_EQ((SatelliteWindow{0, 999}).micros(), 0);
  EXPECT_EQ((SatelliteWindow{0, 1'000}).micros(), 1);
  EXPECT_EQ((SatelliteWindow{1, 500}).micros(), 1'000'000);
  EXPECT_EQ((SatelliteWindow{9'223'372'036'854, 775'807'000}).micros(), max);
  EXPECT_EQ((SatelliteWindow{9'223'372'036'854, 775'807'999}).micros(), max);
  EXPECT_EQ((SatelliteWindow{9'223'372'036'854, 775'806'999}).micros(), max - 1);
  EXPECT_EQ((SatelliteWindow{9'223'372'036'855, 0}).micros(), max);
  EXPECT_EQ((SatelliteWindow{std::numeric_limits<std::uint64_t>::max(), 999'999'999}).micros(), max);
}

TEST(Assembly, GhostDebugRecordWritesTheWindowInMilliseconds) {
  for (const auto& [window, text] : std::vector<std::pair<SatelliteWindow, std::string>>{
           {{2, 999'999'999}, "2999"}, {{0, 999'999}, "0"},
           {{std::numeric_limits<std::uint64_t>::max(), 999'999'999}, "18446744073709551615999"}}) {
    auto& cap = testing::LogCapture::start();
    CoreBuilder b;
    b.satellite_window = window;
    b.fixes = {rx_fix(at(12, 0, 0), 0, 0)};
    b.reports = {report(at(12, 0, 0), 1), report(at(12, 0, 0), 2), report(at(12, 0, 1), 3)};
    const NavFileData data = assemble(std::move(b));
    // Whatever the window, the one fix keeps one report.
    EXPECT_EQ(data.points.size(), 3u);
    EXPECT_EQ(messages(cap, log::Level::Debug),
              std::vector<std::string>{"2 ghost nav fix(es) created for satellite reports outside the " + text +
                                       "ms association window"});
  }
  auto& cap = testing::LogCapture::start();
  CoreBuilder b;
  b.fixes = {rx_fix(at(12, 0, 0), 0, 0)};
  b.reports = {report(at(12, 0, 0))};
  (void)assemble(std::move(b));
  EXPECT_TRUE(messages(cap, log::Level::Debug).empty());
}

TEST(Assembly, EveryReportEndsInExactlyOneNavPoint) {
  CoreBuilder b;
  for (std::uint32_t i = 0; i < 20; ++i) b.fixes.push_back(rx_fix(at(12, 0, i), i, i));
  for (std::uint32_t i = 0; i < 50; ++i)
    b.reports.push_back(report(at(12, 0, i * 2 / 5, i * 370 % 1000 * 1'000'000), i + 1));
  b.reports.push_back(report(at(11, 0, 0), 51));
  b.reports.push_back(report(at(13, 0, 0), 52));
  const NavFileData data = assemble(std::move(b));
  std::vector<int> seen(53, 0);
  for (const NavPoint& p : data.points)
    if (p.satellites) ++seen[p.satellites->tracked[0].prn];
  for (std::uint32_t i = 1; i <= 52; ++i) EXPECT_EQ(seen[i], 1) << i;
  EXPECT_EQ(data.points.front().satellites->tracked[0].prn, 51u);
  EXPECT_EQ(data.points.back().satellites->tracked[0].prn, 52u);
  for (std::size_t i = 1; i < data.points.size(); ++i)
    EXPECT_LE(data.points[i - 1].times.first, data.points[i].times.first);
}

TEST(Assembly, TheBuilderIsConsumed) {
  CoreBuilder ok;
  ok.fixes = {rx_fix(at(12, 0, 0), 0, 0)};
  ok.meta = Meta{};
  ok.add_style(style("a", "#000000"));
  (void)assemble(std::move(ok));
  EXPECT_TRUE(ok.fixes.empty());
  EXPECT_FALSE(ok.meta.has_value());
  EXPECT_TRUE(ok.styles.empty());

  CoreBuilder bad;
  bad.annotations = {annotation(at(12, 0, 0))};
  bad.channels = {channel("speed")};
  bad.meta = Meta{};
  (void)failure(std::move(bad));
  EXPECT_TRUE(bad.annotations.empty());
  EXPECT_TRUE(bad.channels.empty());
  EXPECT_FALSE(bad.meta.has_value());
}

TEST(Assembly, ASkippedMarkerThatSlipsInIsIgnored) {
  CoreBuilder b;
  b.event_markers = {EventMarker{std::nullopt, at(12, 0, 0), std::nullopt}};
  const NavFileData data = assemble(std::move(b));
  EXPECT_TRUE(data.event_markers.empty());
}

}  // namespace
}  // namespace quillrun
