#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "support/log_capture.hpp"
#include "support/qrd_craft.hpp"
#include "quillrun/reader.hpp"

namespace quillrun {
namespace {

using testing::FilePlan;
using testing::Table;
using testing::build;
using testing::minimal_file;
using testing::read_error;

FilePlan with_markers(std::vector<std::int64_t> times, std::vector<std::uint8_t> icons,
                      std::vector<std::string> labels) {
  FilePlan plan = minimal_file(1);
  std::vector<double> lat;
  std::vector<double> lon;
  for (std::size_t i = 0; i < times.size(); ++i) {
    lat.push_back(10.0 + static_cast<double>(i));
    lon.push_back(20.0 + static_cast<double>(i));
  }
  plan.tables.push_back(Table{"markers",
                              {{"time", times, {}},
                               {"lat", lat, {}},
                               {"lon", lon, {}},
                               {"icon", icons, {}},
                               {"label", testing::text_cells(labels, 256), {labels.size(), 256}}},
                              {}});
  return plan;
}

TEST(ReadMarkers, NoGroupNoMarkers) {
  const auto r = read_nav_file(build(minimal_file(1)));
  ASSERT_TRUE(r);
  EXPECT_TRUE(r->markers.empty());
  EXPECT_TRUE(r->channels.empty());
  EXPECT_TRUE(r->event_markers.empty());
  EXPECT_TRUE(r->event_marker_styles.empty());
}

TEST(ReadMarkers, RowsAndUnknownIcons) {
  auto& cap = testing::LogCapture::start();
  const std::string long_label(255, 'L');
  const auto r = read_nav_file(build(with_markers({-1'000'000, 0, 5}, {13, 14, 255}, {"", long_label, "\xC3\xA9"})));
  ASSERT_TRUE(r) << r.error().message();
  const auto& m = r->markers;
  ASSERT_EQ(m.size(), 3u);
  EXPECT_EQ(m[0].time, (Instant{-1, 86'399, 0}));
  EXPECT_FALSE(m[0].label.has_value());
  EXPECT_EQ(m[0].icon, 13u);
  EXPECT_FALSE(m[0].icon_unknown);
  EXPECT_EQ(m[1].label, std::optional<std::string>(long_label));
  EXPECT_EQ(m[1].icon, 14u);
  EXPECT_TRUE(m[1].icon_unknown);
  EXPECT_TRUE(m[2].icon_unknown);
  EXPECT_EQ(m[2].label, std::optional<std::string>("\xC3\xA9"));
  EXPECT_EQ(m[2].lat, 12.0);
  EXPECT_EQ(m[2].lon, 22.0);
  ASSERT_EQ(cap.records.size(), 2u);
  EXPECT_EQ(cap.records[0].target, "quillrun_sdk::read");
  EXPECT_EQ(cap.records[0].message, "unrecognized markers/icon code 14, preserving it as-is");
  EXPECT_EQ(cap.records[1].message, "unrecognized markers/icon code 255, preserving it as-is");
}

TEST(ReadMarkers, FlatLabelColumnIsAccepted) {
  FilePlan plan = with_markers({1, 2}, {0, 1}, {"a", "b"});
  plan.set<std::uint8_t>("markers", "label", testing::text_cells({"a", "b"}, 256));
  const auto r = read_nav_file(build(plan));
  ASSERT_TRUE(r) << r.error().message();
  EXPECT_EQ(r->markers[1].label, std::optional<std::string>("b"));
}

TEST(ReadMarkers, RowCountsInTheirOrder) {
  FilePlan plan = with_markers({1, 2, 3}, {0, 0}, {"", ""});
  plan.set<double>("markers", "lat", {1.0, 2.0});
  plan.set<double>("markers", "lon", {1.0, 2.0});
  EXPECT_EQ(read_error(build(plan)), "dataset \"lat\" in group \"markers\": expected 3 rows but found 2");
  plan = with_markers({1, 2, 3}, {0, 0, 0}, {"", ""});
  EXPECT_EQ(read_error(build(plan)), "dataset \"label\" in group \"markers\": expected 768 rows but found 512");
  plan = with_markers({1, 2, 3}, {0, 0}, {"", "", ""});
  EXPECT_EQ(read_error(build(plan)), "dataset \"icon\" in group \"markers\": expected 3 rows but found 2");
}

TEST(ReadMarkers, LabelThenTimePerRow) {
  FilePlan plan = with_markers({1, -8'334'601'228'800'000'001LL}, {0, 0}, {"", "a"});
  EXPECT_EQ(read_error(build(plan)), "markers/time: record 1 holds -8334601228800000001 microseconds, past the "
                                     "range a UTC timestamp covers");
  auto& label = std::get<std::vector<std::uint8_t>>(plan.column("markers", "label")->cells);
  label[256 + 2] = 'z';
  EXPECT_EQ(read_error(build(plan)),
            "markers/label: the field row has a non-nul byte at offset 2, past its nul terminator");
}

TEST(ReadMarkers, UnknownIconIsReportedAfterTheLabelAndBeforeTheTime) {
  auto& cap = testing::LogCapture::start();
  // Row 1: icon 20 and a time one microsecond below the range. The record for
  // the icon is made before the time fails the read.
  FilePlan plan = with_markers({1, -8'334'601'228'800'000'001LL}, {0, 20}, {"", "a"});
  EXPECT_EQ(read_error(build(plan)), "markers/time: record 1 holds -8334601228800000001 microseconds, past the "
                                     "range a UTC timestamp covers");
  ASSERT_EQ(cap.records.size(), 1u);
  EXPECT_EQ(cap.records[0].message, "unrecognized markers/icon code 20, preserving it as-is");
  // A label that does not decode ends the row before its icon is looked at.
  cap.records.clear();
  auto& label = std::get<std::vector<std::uint8_t>>(plan.column("markers", "label")->cells);
  std::fill(label.begin() + 256, label.end(), 'z');
  EXPECT_EQ(read_error(build(plan)), "markers/label: the field row has no nul terminator in its 256 bytes");
  EXPECT_TRUE(cap.records.empty());
}

TEST(ReadMarkers, UnknownIconIsReportedAtEveryRead) {
  auto& cap = testing::LogCapture::start();
  const auto image = build(with_markers({1, 2}, {14, 14}, {"", ""}));
  ASSERT_TRUE(read_nav_file(image));
  ASSERT_TRUE(read_nav_file(image));
  ASSERT_EQ(cap.records.size(), 4u);
  for (const auto& rec : cap.records) EXPECT_EQ(rec.message, "unrecognized markers/icon code 14, preserving it as-is");
}

TEST(ReadMarkers, MissingDatasetFails) {
  FilePlan plan = with_markers({1}, {0}, {""});
  plan.drop_column("markers", "icon");
  EXPECT_EQ(read_error(build(plan)), "HDF5 error: object 'icon' doesn't exist");
}

}  // namespace
}  // namespace quillrun
