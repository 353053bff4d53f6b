#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "support/log_capture.hpp"
#include "support/qrd_craft.hpp"
#include "quillrun/reader.hpp"
#include "codec/read/read_tables.hpp"

namespace quillrun {
namespace {

using testing::FilePlan;
using testing::Table;
using testing::build;
using testing::minimal_file;
using testing::read_error;
using testing::kAbsent;
using testing::kT0;
using testing::text_cells;

FilePlan with_event_markers(std::vector<std::uint64_t> times, std::vector<std::string> paths,
                            std::vector<std::string> notes) {
  FilePlan plan = minimal_file(1);
  std::vector<double> lat(times.size(), 1.5);
  std::vector<double> lon(times.size(), -2.5);
  const std::uint64_t rows = paths.size();
  plan.tables.push_back(Table{"event_markers",
                              {{"sys_time_us", times, {}},
                               {"lat", lat, {}},
                               {"lon", lon, {}},
                               {"variant_path", text_cells(paths, 256), {rows, 256}},
                               {"annotation", text_cells(notes, 512), {notes.size(), 512}}},
                              {}});
  return plan;
}

TEST(ReadEventMarkers, RowsAsStored) {
  const auto r = read_nav_file(build(with_event_markers({kT0, 0}, {"lap/start", "a//b"}, {"go", ""})));
  ASSERT_TRUE(r) << r.error().message();
  ASSERT_EQ(r->event_markers.size(), 2u);
  EXPECT_EQ(r->event_markers[0].variant_path, "lap/start");
  EXPECT_EQ(r->event_markers[0].annotation, std::optional<std::string>("go"));
  EXPECT_EQ(r->event_markers[0].sys_time, *instant_from_us(static_cast<std::int64_t>(kT0)));
  EXPECT_EQ(r->event_markers[0].lat, 1.5);
  EXPECT_EQ(r->event_markers[0].lon, -2.5);
  EXPECT_EQ(r->event_markers[1].variant_path, "a//b");  // variant path rules are not applied
  EXPECT_FALSE(r->event_markers[1].annotation.has_value());
  EXPECT_EQ(r->event_markers[1].sys_time, Instant{});
}

TEST(ReadEventMarkers, TimeChecksComeBeforeTheEmptyPath) {
  EXPECT_EQ(read_error(build(with_event_markers({kT0, kAbsent}, {"a", ""}, {"", ""}))),
            "event marker 1 has no timestamp");
  EXPECT_EQ(read_error(build(with_event_markers({kT0, 1ULL << 63}, {"a", ""}, {"", ""}))),
            "event_markers/sys_time_us: record 1 holds -9223372036854775808 microseconds, past the range a UTC "
            "timestamp covers");
  EXPECT_EQ(read_error(build(with_event_markers({kT0, kT0, kT0, kT0, kT0}, {"a", "b", "c", "d", ""},
                                                {"", "", "", "", ""}))),
            "event_markers/variant_path: record 4 is empty");
}

TEST(ReadEventMarkers, FieldsBeforeTimes) {
  FilePlan plan = with_event_markers({kAbsent}, {"x"}, {"y"});
  auto* path = std::get_if<std::vector<std::uint8_t>>(&plan.column("event_markers", "variant_path")->cells);
  std::fill(path->begin(), path->end(), 'p');
  auto* note = std::get_if<std::vector<std::uint8_t>>(&plan.column("event_markers", "annotation")->cells);
  (*note)[1] = 0xFF;
  EXPECT_EQ(read_error(build(plan)),
            "event_markers/variant_path: the field row has no nul terminator in its 256 bytes");
  std::fill(path->begin(), path->end(), 0);
  EXPECT_EQ(read_error(build(plan)),
            "event_markers/annotation: the field row is not UTF-8: invalid utf-8 sequence of 1 bytes from index 1");
}

TEST(ReadEventMarkers, RowCountsInElements) {
  FilePlan plan = with_event_markers({kT0, kT0}, {"a", "b"}, {"", ""});
  plan.set<std::uint8_t>("event_markers", "variant_path", std::vector<std::uint8_t>(2 * 255, 0), {2, 255});
  EXPECT_EQ(read_error(build(plan)),
            "dataset \"variant_path\" in group \"event_markers\": expected 512 rows but found 510");
  plan = with_event_markers({kT0, kT0}, {"a", "b"}, {""});
  EXPECT_EQ(read_error(build(plan)),
            "dataset \"annotation\" in group \"event_markers\": expected 1024 rows but found 512");
  plan = with_event_markers({kT0, kT0}, {"a", "b"}, {"", ""});
  plan.set<double>("event_markers", "lon", {1.0});
  plan.set<double>("event_markers", "lat", {1.0, 2.0, 3.0});
  EXPECT_EQ(read_error(build(plan)), "dataset \"lat\" in group \"event_markers\": expected 2 rows but found 3");
}

TEST(ReadEventMarkers, MissingDatasetFails) {
  FilePlan plan = with_event_markers({kT0}, {"a"}, {""});
  plan.drop_column("event_markers", "annotation");
  EXPECT_EQ(read_error(build(plan)), "HDF5 error: object 'annotation' doesn't exist");
}

TEST(DecodeEventMarkerRow, OrderOfChecks) {
  const auto empty_path = testing::text_cells({""}, 256);
  const auto bad_path = std::vector<std::uint8_t>(256, 'a');
  const auto note = testing::text_cells({"n"}, 512);
  const auto bad_note = std::vector<std::uint8_t>(511, 0);
  auto r = reader::decode_event_marker_row(3, bad_path, bad_note, kAbsent, 0, 0);
  EXPECT_EQ(r.error().message(), "event_markers/variant_path: the field row has no nul terminator in its 256 bytes");
  r = reader::decode_event_marker_row(3, empty_path, bad_note, kAbsent, 0, 0);
  EXPECT_EQ(r.error().message(),
            "event_markers/annotation: a field row of 511 bytes, where the field is 512 bytes wide");
  r = reader::decode_event_marker_row(3, empty_path, note, kAbsent, 0, 0);
  EXPECT_EQ(r.error().message(), "event marker 3 has no timestamp");
  r = reader::decode_event_marker_row(3, empty_path, note, 5, 0, 0);
  EXPECT_EQ(r.error().message(), "event_markers/variant_path: record 3 is empty");
}

// --- styles -----------------------------------------------------------------

FilePlan with_styles(std::vector<std::string> paths, std::vector<std::string> icons, std::vector<std::string> colors) {
  FilePlan plan = minimal_file(1);
  plan.tables.push_back(Table{"event_marker_styles",
                              {{"variant_path", text_cells(paths, 256), {paths.size(), 256}},
                               {"icon_name", text_cells(icons, 32), {icons.size(), 32}},
                               {"color_hex", text_cells(colors, 8), {colors.size(), 8}}},
                              {}});
  return plan;
}

TEST(ReadStyles, KnownAndForeignValuesWithRecords) {
  auto& cap = testing::LogCapture::start();
  const auto r = read_nav_file(build(with_styles({"b", "a", "a", "c", "d"},
                                                 {"satellite_lost", "", "Pin", "sparkle", "wrench"},
                                                 {"#abcdef", "", "red", "#ABCDE", "#A1b2C3"})));
  ASSERT_TRUE(r) << r.error().message();
  const auto& s = r->event_marker_styles;
  ASSERT_EQ(s.size(), 5u);
  // File order, duplicates kept.
  EXPECT_EQ(s[0].variant_path, "b");
  EXPECT_EQ(s[1].variant_path, "a");
  EXPECT_EQ(s[2].variant_path, "a");
  EXPECT_EQ(s[0].icon, StyleIcon::known(MarkerIcon::SatelliteLost));
  EXPECT_EQ(s[1].icon, StyleIcon::none());
  EXPECT_EQ(s[2].icon, StyleIcon::foreign("Pin"));
  EXPECT_EQ(s[3].icon, StyleIcon::foreign("sparkle"));
  EXPECT_EQ(s[4].icon, StyleIcon::known(MarkerIcon::Wrench));
  EXPECT_EQ(s[0].color, (ColorHex{ColorHex::Kind::Valid, "#abcdef"}));
  EXPECT_EQ(s[1].color, ColorHex{});
  EXPECT_EQ(s[2].color, (ColorHex{ColorHex::Kind::Other, "red"}));
  EXPECT_EQ(s[3].color, (ColorHex{ColorHex::Kind::Other, "#ABCDE"}));
  EXPECT_EQ(s[4].color, (ColorHex{ColorHex::Kind::Valid, "#A1b2C3"}));

  std::vector<std::string> messages;
  for (const auto& rec : cap.records) {
    EXPECT_EQ(rec.target, "quillrun_sdk::read");
    EXPECT_EQ(rec.level, log::Level::Warn);
    messages.push_back(rec.message);
  }
  EXPECT_EQ(messages, (std::vector<std::string>{
                          "unrecognized event_marker_styles/icon_name value \"Pin\", preserving it as-is",
                          "unrecognized event_marker_styles/color_hex value \"red\", preserving it as-is",
                          "unrecognized event_marker_styles/icon_name value \"sparkle\", preserving it as-is",
                          "unrecognized event_marker_styles/color_hex value \"#ABCDE\", preserving it as-is"}));
}

TEST(ReadStyles, OrderOfChecksWithinARow) {
  FilePlan plan = with_styles({""}, {"pin"}, {"#000000"});
  std::get<std::vector<std::uint8_t>>(plan.column("event_marker_styles", "color_hex")->cells) = {0x41, 0, 0x42, 0,
                                                                                                  0,    0, 0,    0};
  EXPECT_EQ(read_error(build(plan)),
            "event_marker_styles/color_hex: the field row has a non-nul byte at offset 2, past its nul terminator");
  plan = with_styles({""}, {"pin"}, {"#000000"});
  EXPECT_EQ(read_error(build(plan)), "event_marker_styles/variant_path: record 0 is empty");
  plan = with_styles({""}, {std::string(32, 'x')}, {"#000000"});
  EXPECT_EQ(read_error(build(plan)),
            "event_marker_styles/icon_name: the field row has no nul terminator in its 32 bytes");
}

TEST(ReadStyles, RowCountsFromVariantPath) {
  FilePlan plan = with_styles({"a", "b"}, {"pin"}, {"", ""});
  EXPECT_EQ(read_error(build(plan)),
            "dataset \"icon_name\" in group \"event_marker_styles\": expected 64 rows but found 32");
  plan = with_styles({"a", "b"}, {"pin", "pin"}, {""});
  EXPECT_EQ(read_error(build(plan)),
            "dataset \"color_hex\" in group \"event_marker_styles\": expected 16 rows but found 8");
  // A partial row in variant_path is a count fault too.
  plan = with_styles({"a", "b"}, {"pin", "pin"}, {"", ""});
  plan.set<std::uint8_t>("event_marker_styles", "variant_path", testing::text_cells({"a", "b", "c"}, 200));
  EXPECT_EQ(read_error(build(plan)),
            "dataset \"variant_path\" in group \"event_marker_styles\": expected 512 rows but found 600");
}

TEST(ReadStyles, FlatColumnsOfWholeRowsAreAccepted) {
  FilePlan plan = with_styles({"a"}, {"gear"}, {"#123456"});
  plan.set<std::uint8_t>("event_marker_styles", "icon_name", testing::text_cells({"gear"}, 32));
  const auto r = read_nav_file(build(plan));
  ASSERT_TRUE(r) << r.error().message();
  EXPECT_EQ(r->event_marker_styles[0].icon, StyleIcon::known(MarkerIcon::Gear));
}

}  // namespace
}  // namespace quillrun
