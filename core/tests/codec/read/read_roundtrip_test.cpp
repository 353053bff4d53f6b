// Traces written by the writer read back equal; values this build does not
// recognise travel through a read and a write unchanged.

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>
#include <thread>
#include <vector>

#include "support/log_capture.hpp"
#include "support/qrd_craft.hpp"
#include "quillrun/reader.hpp"
#include "quillrun/units.hpp"
#include "quillrun/writer.hpp"
#include "support/trace_samples.hpp"

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

TEST(ReadRoundTrip, EveryTableReadsBackEqual) {
  testing::LogCapture::start();
  const NavFileData trace = testing::rich_trace();
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
  const auto first = write_nav_file(testing::rich_trace());
  ASSERT_TRUE(first);
  const auto parsed = read_nav_file(*first);
  ASSERT_TRUE(parsed);
  const auto second = write_nav_file(*parsed);
  ASSERT_TRUE(second) << second.error().message();
  EXPECT_EQ(*second, *first);  // the writer is deterministic
}

// The library is not thread-safe: whole reads and writes from several
// threads take turns, and each gets what it would alone.
TEST(ReadRoundTrip, ThreadsReadingAndWritingAtOnce) {
  const auto image = write_nav_file(testing::rich_trace());
  ASSERT_TRUE(image);
  const auto parsed = read_nav_file(*image);
  ASSERT_TRUE(parsed);
  std::vector<int> wrong(4, 0);
  {
    std::vector<std::jthread> threads;
    for (std::size_t t = 0; t < wrong.size(); ++t) {
      threads.emplace_back([&, t] {
        const NavFileData trace = testing::rich_trace();
        for (int round = 0; round < 25; ++round) {
          const auto written = write_nav_file(trace);
          if (!written || *written != *image) ++wrong[t];
          const auto read = read_nav_file(*image);
          if (!read || normalized(*read) != normalized(*parsed)) ++wrong[t];
        }
      });
    }
  }
  EXPECT_EQ(wrong, std::vector<int>(4, 0));
}

// A crafted older file whose values this build does not know: they are read
// as stored and written back unchanged.
TEST(ReadRoundTrip, ForeignValuesOfAnOlderFileSurviveAWrite) {
  testing::FilePlan plan = testing::minimal_file(1);
  plan.root_texts = {{"quillrun_version", "1"}, {"meta_travel_mode", "Walking"}};
  plan.tables.push_back(testing::Table{"markers",
                                       {{"time", std::vector<std::int64_t>{1}, {}},
                                        {"lat", std::vector<double>{1.0}, {}},
                                        {"lon", std::vector<double>{2.0}, {}},
                                        {"icon", std::vector<std::uint8_t>{200}, {}},
                                        {"label", testing::text_cells({"m"}, 256), {1, 256}}},
                                       {}});
  plan.tables.push_back(testing::Table{"event_marker_styles",
                                       {{"variant_path", testing::text_cells({"p"}, 256), {1, 256}},
                                        {"icon_name", testing::text_cells({"Pin"}, 32), {1, 32}},
                                        {"color_hex", testing::text_cells({"#fff"}, 8), {1, 8}}},
                                       {}});
  plan.channels = std::vector<testing::ChannelPlan>{
      {"speed", {1}, {2.0}, {}, [](hid_t g) { testing::ok_or_die(h5::write_text_attribute(g, "unit", "mph ")); }}};
  testing::LogCapture::start();
  const auto parsed = read_nav_file(testing::build(plan));
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

namespace quillrun {
namespace {

TEST(ReadRoundTrip, EarliestFormatVersionOneFile) {
  testing::LogCapture::start();
  const auto r = read_nav_file(testing::earliest_format_image());
  ASSERT_TRUE(r) << r.error().message();
  EXPECT_EQ(r->meta.title, std::optional<std::string>("morning ride"));
  EXPECT_EQ(r->meta.travel_mode, std::optional<TravelModeArg>(TravelMode::Bicycle));
  ASSERT_EQ(r->points.size(), 4u);
  EXPECT_EQ(r->points[3].times, Timestamps::receiver_only(testing::at(1'600'000'003'000'000)));
  EXPECT_EQ(r->points[3].heading, std::optional<double>(270.0));
  EXPECT_EQ(r->points[3].eph_m, std::optional<double>(4.0));
  ASSERT_TRUE(r->points[3].satellites);
  EXPECT_EQ(r->points[3].satellites->tracked.size(), 2u);
  EXPECT_EQ(r->points[3].satellites->times, Timestamps::receiver_only(testing::at(1'600'000'001'000'000)));
  ASSERT_EQ(r->markers.size(), 2u);
  EXPECT_EQ(r->markers[1].label, std::optional<std::string>("finish"));
  ASSERT_EQ(r->channels.size(), 1u);
  EXPECT_EQ(r->channels[0].unit, std::optional<ChannelUnit>(ChannelUnit::custom("mph")));
  EXPECT_EQ(r->channels[0].description, std::optional<std::string>("wheel sensor"));
}

}  // namespace
}  // namespace quillrun
