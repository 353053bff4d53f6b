#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "support/log_capture.hpp"
#include "support/qrd_craft.hpp"
#include "quillrun/reader.hpp"
#include "support/trace_samples.hpp"

namespace quillrun {
namespace {

using testing::FilePlan;
using testing::Table;
using testing::build;
using testing::minimal_file;
using testing::read_error;
using testing::kAbsent;
using testing::kT0;
using testing::at;

Table sat_reports(std::vector<std::uint64_t> nav_point_idx, std::vector<std::uint64_t> gps,
                  std::vector<std::uint64_t> sys) {
  return Table{"sat_reports",
               {{"nav_point_idx", nav_point_idx, {}}, {"gps_time_us", gps, {}}, {"sys_time_us", sys, {}}},
               {}};
}

// Satellites named by report row; PRN = 10 + row, other fields fixed.
Table tracked_sats(std::vector<std::uint64_t> sat_report_idx) {
  std::vector<std::uint8_t> constellation;
  std::vector<std::uint32_t> prn;
  std::vector<std::uint8_t> in_fix;
  std::vector<float> elevation;
  std::vector<float> azimuth;
  std::vector<float> snr;
  for (std::size_t i = 0; i < sat_report_idx.size(); ++i) {
    constellation.push_back(static_cast<std::uint8_t>(i % 6));
    prn.push_back(static_cast<std::uint32_t>(10 + i));
    in_fix.push_back(1);
    elevation.push_back(45.0F);
    azimuth.push_back(180.0F);
    snr.push_back(38.5F);
  }
  return Table{"tracked_sats",
               {{"sat_report_idx", sat_report_idx, {}},
                {"constellation", constellation, {}},
                {"prn", prn, {}},
                {"in_fix", in_fix, {}},
                {"elevation", elevation, {}},
                {"azimuth", azimuth, {}},
                {"snr", snr, {}}},
               {}};
}

FilePlan with_reports(std::size_t points, Table reports, Table sats) {
  FilePlan plan = minimal_file(points);
  plan.tables.push_back(std::move(reports));
  plan.tables.push_back(std::move(sats));
  return plan;
}

TEST(ReadSatReports, AttachedToTheirPointsWithSatellitesInRowOrder) {
  const FilePlan plan =
      with_reports(6, sat_reports({4, 1}, {kT0, kAbsent}, {kT0 + 5, kT0 + 6}), tracked_sats({1, 0, 1}));
  const auto r = read_nav_file(build(plan));
  ASSERT_TRUE(r) << r.error().message();
  const auto& four = r->points[4].satellites;
  const auto& one = r->points[1].satellites;
  ASSERT_TRUE(four && one);
  EXPECT_EQ(four->times, Timestamps::both(at(kT0), at(kT0 + 5)));
  EXPECT_EQ(one->times, Timestamps::host_only(at(kT0 + 6)));
  ASSERT_EQ(four->tracked.size(), 1u);
  EXPECT_EQ(four->tracked[0].prn, 11u);
  EXPECT_EQ(four->tracked[0].constellation, 1u);
  ASSERT_EQ(one->tracked.size(), 2u);
  EXPECT_EQ(one->tracked[0].prn, 10u);
  EXPECT_EQ(one->tracked[1].prn, 12u);
  EXPECT_EQ(one->tracked[1].elevation, std::optional<float>(45.0F));
  EXPECT_EQ(one->tracked[1].snr, std::optional<float>(38.5F));
  for (std::size_t i : {0u, 2u, 3u, 5u}) EXPECT_FALSE(r->points[i].satellites.has_value()) << i;
}

TEST(ReadSatReports, TrackedSatsWithoutSatReportsIsIgnored) {
  FilePlan plan = minimal_file(2);
  plan.tables.push_back(tracked_sats({7}));
  const auto r = read_nav_file(build(plan));
  ASSERT_TRUE(r) << r.error().message();
  EXPECT_FALSE(r->points[0].satellites || r->points[1].satellites);
}

TEST(ReadSatReports, SatReportsWithoutTrackedSatsFails) {
  FilePlan plan = minimal_file(2);
  plan.tables.push_back(sat_reports({0}, {kT0}, {kT0}));
  EXPECT_EQ(read_error(build(plan)), "HDF5 error: object 'tracked_sats' doesn't exist");
}

TEST(ReadSatReports, ReportWithoutSatellites) {
  const auto r = read_nav_file(build(with_reports(2, sat_reports({1}, {kT0}, {kAbsent}), tracked_sats({}))));
  ASSERT_TRUE(r) << r.error().message();
  ASSERT_TRUE(r->points[1].satellites);
  EXPECT_TRUE(r->points[1].satellites->tracked.empty());
  EXPECT_EQ(r->points[1].satellites->times, Timestamps::receiver_only(at(kT0)));
}

TEST(ReadSatReports, SatelliteFieldsAsStored) {
  Table sats = tracked_sats({0, 0, 0});
  sats.columns[2].cells = std::vector<std::uint32_t>{0, 200, 4'000'000'000U};
  sats.columns[3].cells = std::vector<std::uint8_t>{0, 2, 255};
  const float nan = std::numeric_limits<float>::quiet_NaN();
  sats.columns[4].cells = std::vector<float>{nan, 1.0F, -5.0F};
  sats.columns[5].cells = std::vector<float>{1.0F, nan, 720.0F};
  sats.columns[6].cells = std::vector<float>{1.0F, 2.0F, nan};
  const auto r = read_nav_file(build(with_reports(1, sat_reports({0}, {kT0}, {kT0}), sats)));
  ASSERT_TRUE(r) << r.error().message();
  const auto& t = r->points[0].satellites->tracked;
  ASSERT_EQ(t.size(), 3u);
  EXPECT_EQ(t[0].prn, 0u);
  EXPECT_EQ(t[1].prn, 200u);
  EXPECT_EQ(t[2].prn, 4'000'000'000U);
  EXPECT_FALSE(t[0].in_fix);
  EXPECT_TRUE(t[1].in_fix);
  EXPECT_TRUE(t[2].in_fix);
  EXPECT_FALSE(t[0].elevation.has_value());
  EXPECT_FALSE(t[1].azimuth.has_value());
  EXPECT_FALSE(t[2].snr.has_value());
  EXPECT_EQ(t[2].elevation, std::optional<float>(-5.0F));
  EXPECT_EQ(t[2].azimuth, std::optional<float>(720.0F));
}

TEST(ReadSatReports, OlderLayoutTakesReceiverTimesFromTime) {
  FilePlan plan = with_reports(3, sat_reports({0, 2}, {}, {kT0 + 1, kT0 + 2}), tracked_sats({}));
  plan.drop_column("sat_reports", "gps_time_us");
  plan.set<std::int64_t>("sat_reports", "time", {kT0, -2});
  const auto r = read_nav_file(build(plan));
  ASSERT_TRUE(r) << r.error().message();
  // sys_time_us is not consulted without gps_time_us.
  EXPECT_EQ(r->points[0].satellites->times, Timestamps::receiver_only(at(kT0)));
  EXPECT_EQ(r->points[2].satellites->times, Timestamps::receiver_only(at(-2)));

  plan.set<std::int64_t>("sat_reports", "time", {kT0, -1});
  EXPECT_EQ(read_error(build(plan)), "satellite report 1 has neither a receiver nor a host timestamp");
  plan.set<std::int64_t>("sat_reports", "time", {kT0});
  EXPECT_EQ(read_error(build(plan)), "dataset \"time\" in group \"sat_reports\": expected 2 rows but found 1");
  plan.drop_column("sat_reports", "time");
  EXPECT_EQ(read_error(build(plan)), "HDF5 error: object 'time' doesn't exist");
}

TEST(ReadSatReports, MissingHostColumnMeansNoHostTimes) {
  FilePlan plan = with_reports(1, sat_reports({0}, {kT0}, {}), tracked_sats({}));
  plan.drop_column("sat_reports", "sys_time_us");
  const auto r = read_nav_file(build(plan));
  ASSERT_TRUE(r) << r.error().message();
  EXPECT_EQ(r->points[0].satellites->times, Timestamps::receiver_only(at(kT0)));
}

TEST(ReadSatReports, RowCounts) {
  EXPECT_EQ(read_error(build(with_reports(3, sat_reports({0, 1}, {kT0}, {kT0, kT0}), tracked_sats({})))),
            "dataset \"gps_time_us\" in group \"sat_reports\": expected 2 rows but found 1");
  EXPECT_EQ(read_error(build(with_reports(3, sat_reports({0, 1}, {kT0, kT0}, {kT0, kT0, kT0}), tracked_sats({})))),
            "dataset \"sys_time_us\" in group \"sat_reports\": expected 2 rows but found 3");
  Table sats = tracked_sats({0, 0});
  sats.columns[3].cells = std::vector<std::uint8_t>{1};   // in_fix
  sats.columns[6].cells = std::vector<float>{1.0F};       // snr
  EXPECT_EQ(read_error(build(with_reports(1, sat_reports({0}, {kT0}, {kT0}), sats))),
            "dataset \"in_fix\" in group \"tracked_sats\": expected 2 rows but found 1");
}

TEST(ReadSatReports, IndexesOutOfRange) {
  EXPECT_EQ(read_error(build(with_reports(5, sat_reports({0, 5}, {kT0, kT0}, {kT0, kT0}), tracked_sats({})))),
            "sat_reports/nav_point_idx: record 1 holds index 5, past the row count of nav_points (5)");
  EXPECT_EQ(read_error(build(with_reports(5, sat_reports({0, 1}, {kT0, kT0}, {kT0, kT0}), tracked_sats({0, 2})))),
            "tracked_sats/sat_report_idx: record 1 holds index 2, past the row count of sat_reports (2)");
}

TEST(ReadSatReports, OrderOfChecks) {
  // The constellation code before the report index of the same row.
  Table sats = tracked_sats({0, 9});
  sats.columns[1].cells = std::vector<std::uint8_t>{0, 6};
  EXPECT_EQ(read_error(build(with_reports(2, sat_reports({0}, {kT0}, {kT0}), sats))),
            "unknown constellation code 6 in dataset \"tracked_sats/constellation\"");
  // Every satellite row before any report row.
  EXPECT_EQ(read_error(build(with_reports(2, sat_reports({7}, {kAbsent}, {kAbsent}), tracked_sats({0, 3})))),
            "tracked_sats/sat_report_idx: record 1 holds index 3, past the row count of sat_reports (1)");
  // Within a report row: times, then the point index.
  EXPECT_EQ(read_error(build(with_reports(2, sat_reports({7}, {kAbsent}, {kAbsent}), tracked_sats({})))),
            "satellite report 0 has neither a receiver nor a host timestamp");
  EXPECT_EQ(read_error(build(with_reports(2, sat_reports({7}, {1ULL << 63}, {kAbsent}), tracked_sats({})))),
            "sat_reports/gps_time_us: record 0 holds -9223372036854775808 microseconds, past the range a UTC "
            "timestamp covers");
}

TEST(ReadSatReports, LaterRowForTheSamePointWinsWithARecord) {
  auto& cap = testing::LogCapture::start();
  const auto r = read_nav_file(
      build(with_reports(3, sat_reports({2, 0, 2}, {kT0, kT0 + 1, kT0 + 2}, {kAbsent, kAbsent, kAbsent}),
                         tracked_sats({0, 2, 2}))));
  ASSERT_TRUE(r) << r.error().message();
  ASSERT_TRUE(r->points[2].satellites);
  EXPECT_EQ(r->points[2].satellites->times, Timestamps::receiver_only(at(kT0 + 2)));
  ASSERT_EQ(r->points[2].satellites->tracked.size(), 2u);
  EXPECT_EQ(r->points[2].satellites->tracked[0].prn, 11u);
  ASSERT_EQ(cap.records.size(), 1u);
  EXPECT_EQ(cap.records[0].level, log::Level::Warn);
  EXPECT_EQ(cap.records[0].target, "quillrun_sdk::read");
  EXPECT_EQ(cap.records[0].message,
            "sat_reports records 0 and 2 both name nav point 2, keeping the report of record 2");
}

}  // namespace
}  // namespace quillrun
