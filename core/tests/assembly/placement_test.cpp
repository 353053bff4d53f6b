#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>
#include <string_view>
#include <vector>

#include "support/log_capture.hpp"
#include "assembly/placement.hpp"
#include "quillrun/build_error.hpp"

namespace quillrun {
namespace {

using Kind = PositionLookup::Kind;

Instant at(std::uint32_t h, std::uint32_t m, std::uint32_t s, std::uint32_t nanos = 0) {
  return *make_instant(2024, 5, 1, h, m, s, nanos);
}

TrackPoint tp(double lat, double lon, Instant t) { return TrackPoint{{lat, lon}, t}; }

struct LabelCase {
  Instant t;
  const char* text;
};
// A failure names the case rather than dumping its bytes.
void PrintTo(const LabelCase& c, std::ostream* os) { *os << c.text; }

class LabelTime : public ::testing::TestWithParam<LabelCase> {};

TEST_P(LabelTime, Formats) { EXPECT_EQ(label_time(GetParam().t), GetParam().text); }

INSTANTIATE_TEST_SUITE_P(
    Cases, LabelTime,
    ::testing::Values(
        LabelCase{at(12, 0, 0), "2024-05-01 12:00:00 UTC"},
        LabelCase{at(12, 0, 0, 250'000'000), "2024-05-01 12:00:00.250 UTC"},
        LabelCase{at(9, 5, 7, 1'000), "2024-05-01 09:05:07.000001 UTC"},
        LabelCase{at(9, 5, 7, 123'456'000), "2024-05-01 09:05:07.123456 UTC"},
        LabelCase{at(23, 59, 59, 1), "2024-05-01 23:59:59.000000001 UTC"},
        LabelCase{*make_instant(1969, 12, 31, 23, 59, 59, 999'999'000), "1969-12-31 23:59:59.999999 UTC"},
        LabelCase{*make_instant(0, 1, 1, 0, 0, 0), "0000-01-01 00:00:00 UTC"},
        LabelCase{*make_instant(9999, 12, 31, 23, 59, 59), "9999-12-31 23:59:59 UTC"},
        LabelCase{*make_instant(-1, 3, 4, 5, 6, 7), "-0001-03-04 05:06:07 UTC"},
        LabelCase{*make_instant(10000, 1, 1, 0, 0, 0), "+10000-01-01 00:00:00 UTC"},
        LabelCase{min_instant(), "-262143-01-01 00:00:00 UTC"},
        LabelCase{max_instant(), "+262142-12-31 23:59:59.999999999 UTC"},
        // Inside a leap second (only RFC 3339 text makes one).
        LabelCase{Instant{at(0, 0, 0).days, 86'399, 1'500'000'000}, "2024-05-01 23:59:60.500 UTC"}),
    // Named by the text it expects: a sign spelt out, other punctuation as '_'.
    [](const ::testing::TestParamInfo<LabelCase>& case_info) {
      std::string name;
      for (const char c : std::string_view(case_info.param.text)) {
        if ((c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'))
          name += c;
        else if (name.empty())
          name += c == '-' ? "minus_" : "plus_";
        else
          name += '_';
      }
      return name;
    });

TEST(Placement, Labels) {
  EXPECT_EQ(annotation_label(Annotation{at(12, 0, 1, 5'000'000), std::nullopt, 0, false}),
            "Annotation at 2024-05-01 12:00:01.005 UTC");
  EXPECT_EQ(event_marker_label(EventMarker{"brake/hard", at(8, 0, 0), std::nullopt}),
            "Event marker \"brake/hard\" at 2024-05-01 08:00:00 UTC");
}

TEST(Placement, WrapLon) {
  const std::vector<std::pair<double, double>> cases = {
      {0.0, 0.0}, {179.5, 179.5}, {180.0, -180.0}, {-180.0, -180.0}, {190.0, -170.0},
      {-190.0, 170.0}, {540.0, -180.0}, {-359.0, 1.0}, {360.0, 0.0}};
  for (const auto& [in, out] : cases) EXPECT_DOUBLE_EQ(wrap_lon(in), out) << in;
  EXPECT_TRUE(std::isnan(wrap_lon(std::numeric_limits<double>::quiet_NaN())));
}

TEST(Placement, LookupKinds) {
  EXPECT_EQ(position_at({}, at(12, 0, 0)).kind, Kind::NoFixes);

  const std::vector<TrackPoint> track = {tp(10, 20, at(12, 0, 0)), tp(14, 28, at(12, 0, 4))};
  const auto first = position_at(track, at(12, 0, 0));
  EXPECT_EQ(first.kind, Kind::Inside);
  EXPECT_EQ(first.position, (Position{10, 20}));
  const auto last = position_at(track, at(12, 0, 4));
  EXPECT_EQ(last.kind, Kind::Inside);
  EXPECT_EQ(last.position, (Position{14, 28}));

  const auto before = position_at(track, at(11, 59, 59, 999'999'000));
  EXPECT_EQ(before.kind, Kind::BeforeFirst);
  EXPECT_EQ(before.position, (Position{10, 20}));
  const auto after = position_at(track, at(12, 0, 4, 1'000));
  EXPECT_EQ(after.kind, Kind::AfterLast);
  EXPECT_EQ(after.position, (Position{14, 28}));

  // A quarter of the way in time is a quarter of the way in space.
  const auto inside = position_at(track, at(12, 0, 1));
  EXPECT_EQ(inside.kind, Kind::Inside);
  EXPECT_DOUBLE_EQ(inside.position.lat, 11.0);
  EXPECT_DOUBLE_EQ(inside.position.lon, 22.0);
}

TEST(Placement, ExactHitTakesTheFirstOfEqualTimes) {
  const std::vector<TrackPoint> track = {tp(1, 1, at(12, 0, 0)), tp(2, 2, at(12, 0, 5)), tp(3, 3, at(12, 0, 5)),
                                         tp(4, 4, at(12, 0, 9))};
  const auto hit = position_at(track, at(12, 0, 5));
  EXPECT_EQ(hit.kind, Kind::Inside);
  EXPECT_EQ(hit.position, (Position{2, 2}));
  // Just after the pair, the interpolation starts from the later of the two.
  const auto next = position_at(track, at(12, 0, 7));
  EXPECT_DOUBLE_EQ(next.position.lat, 3.5);
}

TEST(Placement, InterpolatesTheShortWayAcrossTheAntimeridian) {
  const std::vector<TrackPoint> track = {tp(0, 179, at(12, 0, 0)), tp(0, -179, at(12, 0, 2))};
  const auto half = position_at(track, at(12, 0, 1));
  EXPECT_EQ(half.kind, Kind::Inside);
  EXPECT_DOUBLE_EQ(half.position.lon, -180.0);
  const auto quarter = position_at(track, at(12, 0, 0, 500'000'000));
  EXPECT_DOUBLE_EQ(quarter.position.lon, 179.5);
}

TEST(Placement, SubMicrosecondNeighboursDoNotDivideByZero) {
  const std::vector<TrackPoint> track = {tp(1, 1, at(12, 0, 0, 100)), tp(9, 9, at(12, 0, 0, 900))};
  const auto mid = position_at(track, at(12, 0, 0, 500));
  EXPECT_EQ(mid.kind, Kind::Inside);
  EXPECT_EQ(mid.position, (Position{1, 1}));
}

TEST(Placement, TracksStandAtHostTimeAndSortStably) {
  // Sorted by first time: b (receiver 12:00:00), a (12:00:01), c (host-only 12:00:01).
  std::vector<NavFix> fixes(3);
  fixes[0].lat = 2;
  fixes[0].times = Timestamps::both(at(12, 0, 0), at(12, 0, 2));
  fixes[1].lat = 1;
  fixes[1].times = Timestamps::receiver_only(at(12, 0, 1));
  fixes[2].lat = 3;
  fixes[2].times = Timestamps::host_only(at(12, 0, 1));
  const auto track = annotation_track(fixes);
  ASSERT_EQ(track.size(), 3u);
  EXPECT_EQ(track[0].position.lat, 1);
  EXPECT_EQ(track[1].position.lat, 3);
  EXPECT_EQ(track[2].position.lat, 2);
  EXPECT_EQ(track[2].time, at(12, 0, 2));
  // The both-times fix is hit exactly at its host time; its receiver time
  // is before the track.
  EXPECT_EQ(position_at(track, at(12, 0, 2)).kind, Kind::Inside);
  EXPECT_EQ(position_at(track, at(12, 0, 0)).kind, Kind::BeforeFirst);

  std::vector<NavPoint> points(2);
  points[0].lat = 5;
  points[0].times = Timestamps::receiver_only(at(12, 0, 9));
  points[1].lat = 6;
  points[1].times = Timestamps::host_only(at(12, 0, 3));
  const auto marker_track = event_marker_track(points);
  EXPECT_EQ(marker_track[0].position.lat, 6);
  EXPECT_EQ(marker_track[1].position.lat, 5);
}

TEST(Placement, ClampStrictAndLenient) {
  auto& cap = testing::LogCapture::start();
  const PositionLookup before{Kind::BeforeFirst, {1, 2}};
  const PositionLookup after{Kind::AfterLast, {3, 4}};
  const PositionLookup inside{Kind::Inside, {5, 6}};
  int labels = 0;
  const auto label = [&] {
    ++labels;
    return std::string("Annotation at 2024-05-01 11:59:59.999999 UTC");
  };

  EXPECT_FALSE(clamp_position(before, false, label).has_value());
  EXPECT_FALSE(clamp_position(after, false, label).has_value());
  EXPECT_FALSE(clamp_position(PositionLookup{}, true, label).has_value());
  EXPECT_EQ(clamp_position(inside, false, label), (Position{5, 6}));
  EXPECT_EQ(clamp_position(inside, true, label), (Position{5, 6}));
  EXPECT_TRUE(cap.records.empty());
  EXPECT_EQ(labels, 0);

  EXPECT_EQ(clamp_position(before, true, label), (Position{1, 2}));
  EXPECT_EQ(clamp_position(after, true, label), (Position{3, 4}));
  ASSERT_EQ(cap.records.size(), 2u);
  EXPECT_EQ(cap.records[0].level, log::Level::Warn);
  EXPECT_EQ(cap.records[0].target, "quillrun_sdk::builder");
  EXPECT_EQ(cap.records[0].message,
            "Annotation at 2024-05-01 11:59:59.999999 UTC is before the first nav fix: clamped to the first position");
  EXPECT_EQ(cap.records[1].message,
            "Annotation at 2024-05-01 11:59:59.999999 UTC is after the last nav fix: clamped to the last position");

  // The label is only made for a record that is written.
  testing::LogCapture::start(log::LevelFilter::Error);
  labels = 0;
  EXPECT_EQ(clamp_position(before, true, label), (Position{1, 2}));
  EXPECT_EQ(labels, 0);
  EXPECT_TRUE(cap.records.empty());
}

struct MessageCase {
  const char* name;
  BuildError error;
  const char* text;
};
void PrintTo(const MessageCase& c, std::ostream* os) { *os << c.name; }

class BuildErrorMessage : public ::testing::TestWithParam<MessageCase> {};

TEST_P(BuildErrorMessage, Text) { EXPECT_EQ(GetParam().error.message(), GetParam().text); }

INSTANTIATE_TEST_SUITE_P(
    Cases, BuildErrorMessage,
    ::testing::Values(
        MessageCase{"annotations_out_of_range", {build_error::AnnotationsOutOfRange{2}},
                    "2 annotation(s) fall outside the nav fix time range"},
        MessageCase{"event_markers_out_of_range", {build_error::EventMarkersOutOfRange{1}},
                    "1 event marker(s) fall outside the nav fix time range"},
        MessageCase{"duplicate_channel_name", {build_error::DuplicateChannelName{"speed"}},
                    "two channels share the name \"speed\"; channel names must be unique"},
        MessageCase{"ghost_fix_at_i64_min", {build_error::GhostFixOutOfRange{std::numeric_limits<std::int64_t>::min()}},
                    "a ghost nav fix at -9223372036854775808 microseconds is past the range a UTC timestamp covers"},
        MessageCase{"ghost_fix_past_year_262142", {build_error::GhostFixOutOfRange{8'210'298'412'800'000'000}},
                    "a ghost nav fix at 8210298412800000000 microseconds is past the range a UTC timestamp covers"},
        MessageCase{"no_nav_fix_annotations", {build_error::NoNavFix{{0, 3, 0}}},
                    "3 annotation(s) have no nav fix to take a position from: at least one nav fix is required"},
        MessageCase{"no_nav_fix_reports_and_event_markers", {build_error::NoNavFix{{1, 0, 2}}},
                    "1 satellite report(s) and 2 event marker(s) have no nav fix to take a position from: at least "
                    "one nav fix is required"},
        MessageCase{"no_nav_fix_all_three", {build_error::NoNavFix{{1, 2, 3}}},
                    "1 satellite report(s), 2 annotation(s) and 3 event marker(s) have no nav fix to take a position "
                    "from: at least one nav fix is required"},
        MessageCase{"no_nav_fix_u64_max_reports", {build_error::NoNavFix{{18'446'744'073'709'551'615u, 0, 0}}},
                    "18446744073709551615 satellite report(s) have no nav fix to take a position from: at least one "
                    "nav fix is required"}),
    [](const ::testing::TestParamInfo<MessageCase>& case_info) { return std::string(case_info.param.name); });

TEST(Placement, UnplacedCountsWithNothingIsEmpty) { EXPECT_EQ(UnplacedCounts{}.message(), ""); }

}  // namespace
}  // namespace quillrun
