#include <gtest/gtest.h>

#include <limits>
#include <optional>
#include <string>
#include <vector>

#include "support/log_capture.hpp"
#include "assembly/satellite_checks.hpp"

namespace quillrun {
namespace {

constexpr std::uint8_t kGps = 0, kGlonass = 1, kGalileo = 2, kBeiDou = 3, kNavIc = 4, kQzss = 5;
constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();

Satellite sat(std::uint8_t constellation, std::uint32_t prn, std::optional<float> elevation = std::nullopt,
              std::optional<float> azimuth = std::nullopt, std::optional<float> snr = std::nullopt) {
  return Satellite{constellation, prn, false, elevation, azimuth, snr};
}

SatelliteReport report(std::vector<Satellite> tracked) {
  return SatelliteReport{std::move(tracked), Timestamps::receiver_only(*make_instant(2024, 5, 1, 0, 0, 0))};
}

// Counter numbers are 1-based, as the checks are listed.
std::vector<std::uint32_t> numbered(const SatelliteCounts& counts) {
  return {counts.counters.begin(), counts.counters.end()};
}

std::vector<std::uint32_t> only(std::optional<std::size_t> counter) {
  std::vector<std::uint32_t> v(16, 0);
  if (counter) v[*counter - 1] = 1;
  return v;
}

struct SatCase {
  const char* name;
  Satellite satellite;
  std::optional<std::size_t> counter;
};
// A failure names the case rather than dumping its bytes.
void PrintTo(const SatCase& c, std::ostream* os) { *os << c.name; }

class SingleSatellite : public ::testing::TestWithParam<SatCase> {};

TEST_P(SingleSatellite, CountsUnderOneCounterAtMost) {
  const std::vector<SatelliteReport> reports = {report({GetParam().satellite})};
  EXPECT_EQ(numbered(count_satellite_faults(reports)), only(GetParam().counter)) << GetParam().name;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, SingleSatellite,
    ::testing::Values(
        SatCase{"gps 32", sat(kGps, 32), std::nullopt}, SatCase{"gps 33", sat(kGps, 33), 2},
        SatCase{"gps 64", sat(kGps, 64), 2}, SatCase{"gps 65", sat(kGps, 65), 3},
        SatCase{"gps max", sat(kGps, 4'294'967'295u), 3}, SatCase{"glonass 1", sat(kGlonass, 1), std::nullopt},
        SatCase{"glonass 32", sat(kGlonass, 32), std::nullopt}, SatCase{"glonass 33", sat(kGlonass, 33), 5},
        SatCase{"glonass 64", sat(kGlonass, 64), 5}, SatCase{"glonass 65", sat(kGlonass, 65), 4},
        SatCase{"glonass 96", sat(kGlonass, 96), 4}, SatCase{"glonass 97", sat(kGlonass, 97), 5},
        SatCase{"galileo 36", sat(kGalileo, 36), std::nullopt}, SatCase{"galileo 37", sat(kGalileo, 37), 6},
        SatCase{"beidou 63", sat(kBeiDou, 63), std::nullopt}, SatCase{"beidou 64", sat(kBeiDou, 64), 7},
        SatCase{"navic 14", sat(kNavIc, 14), std::nullopt}, SatCase{"navic 15", sat(kNavIc, 15), 8},
        SatCase{"qzss 10", sat(kQzss, 10), std::nullopt}, SatCase{"qzss 11", sat(kQzss, 11), 9},
        SatCase{"unknown constellation", sat(9, 500), std::nullopt},
        SatCase{"prn 0 skips the rest", sat(kGps, 0, -5.0f, 400.0f, 99.0f), 1},
        SatCase{"elevation -0.1", sat(kGps, 1, -0.1f), 10}, SatCase{"elevation 0", sat(kGps, 1, 0.0f), std::nullopt},
        SatCase{"elevation 90", sat(kGps, 1, 90.0f), std::nullopt},
        SatCase{"elevation 90.1", sat(kGps, 1, 90.1f), 11},
        SatCase{"elevation NaN", sat(kGps, 1, kNaN), std::nullopt},
        SatCase{"azimuth 0", sat(kGps, 1, std::nullopt, 0.0f), std::nullopt},
        SatCase{"azimuth -0", sat(kGps, 1, std::nullopt, -0.0f), std::nullopt},
        SatCase{"azimuth 359.9", sat(kGps, 1, std::nullopt, 359.9f), std::nullopt},
        SatCase{"azimuth 360", sat(kGps, 1, std::nullopt, 360.0f), 12},
        SatCase{"azimuth -1", sat(kGps, 1, std::nullopt, -1.0f), 12},
        SatCase{"azimuth NaN", sat(kGps, 1, std::nullopt, kNaN), 12},
        SatCase{"snr 98.5", sat(kGps, 1, std::nullopt, std::nullopt, 98.5f), 14},
        SatCase{"snr 98.6", sat(kGps, 1, std::nullopt, std::nullopt, 98.6f), 13},
        SatCase{"snr 99", sat(kGps, 1, std::nullopt, std::nullopt, 99.0f), 13},
        SatCase{"snr 99.4", sat(kGps, 1, std::nullopt, std::nullopt, 99.4f), 13},
        SatCase{"snr 99.5", sat(kGps, 1, std::nullopt, std::nullopt, 99.5f), 14},
        SatCase{"snr 60", sat(kGps, 1, std::nullopt, std::nullopt, 60.0f), std::nullopt},
        SatCase{"snr 60.1", sat(kGps, 1, std::nullopt, std::nullopt, 60.1f), 14},
        SatCase{"snr 0", sat(kGps, 1, std::nullopt, std::nullopt, 0.0f), std::nullopt},
        SatCase{"snr -0.1", sat(kGps, 1, std::nullopt, std::nullopt, -0.1f), 15},
        SatCase{"snr NaN", sat(kGps, 1, std::nullopt, std::nullopt, kNaN), std::nullopt}),
    [](const ::testing::TestParamInfo<SatCase>& param) { return "case" + std::to_string(param.index); });

TEST(SatelliteChecks, OneSatelliteMayCountUnderSeveralCounters) {
  const std::vector<SatelliteReport> reports = {report({sat(kGps, 40, 95.0f, 360.0f, -3.0f)})};
  std::vector<std::uint32_t> expected(16, 0);
  expected[2 - 1] = expected[11 - 1] = expected[12 - 1] = expected[15 - 1] = 1;
  EXPECT_EQ(numbered(count_satellite_faults(reports)), expected);
}

TEST(SatelliteChecks, DuplicatesCountOncePerReport) {
  const std::vector<SatelliteReport> triple = {report({sat(kGps, 5), sat(kGps, 7), sat(kGps, 5), sat(kGps, 5)})};
  EXPECT_EQ(numbered(count_satellite_faults(triple)), only(16));

  const std::vector<SatelliteReport> distinct = {report({sat(kGps, 5), sat(kGalileo, 5)})};
  EXPECT_EQ(numbered(count_satellite_faults(distinct)), only(std::nullopt));

  // PRN 0 twice: two under counter 1, and the report under 16.
  const std::vector<SatelliteReport> zeros = {report({sat(kGps, 0, -5.0f), sat(kGps, 0)})};
  std::vector<std::uint32_t> expected(16, 0);
  expected[1 - 1] = 2;
  expected[16 - 1] = 1;
  EXPECT_EQ(numbered(count_satellite_faults(zeros)), expected);

  // PRNs past 63 and unknown constellations are compared too.
  for (const auto& tracked : std::vector<std::vector<Satellite>>{{sat(kGps, 70), sat(kGps, 5), sat(kGps, 70)},
                                                                 {sat(9, 1), sat(9, 1)},
                                                                 {sat(kGlonass, 100), sat(kGps, 3), sat(kGps, 3)}}) {
    const std::vector<SatelliteReport> reports = {report(tracked)};
    EXPECT_EQ(count_satellite_faults(reports).counters[16 - 1], 1u);
  }
  for (const auto& tracked : std::vector<std::vector<Satellite>>{{sat(kGps, 70), sat(kGps, 6), sat(kGlonass, 70)},
                                                                 {sat(9, 1), sat(8, 1)},
                                                                 {sat(kGps, 64), sat(kGps, 0)}}) {
    const std::vector<SatelliteReport> reports = {report(tracked)};
    EXPECT_EQ(count_satellite_faults(reports).counters[16 - 1], 0u);
  }

  // Across reports a satellite may appear again.
  const std::vector<SatelliteReport> two = {report({sat(kGps, 5)}), report({sat(kGps, 5)}), report({})};
  EXPECT_EQ(numbered(count_satellite_faults(two)), only(std::nullopt));
}

TEST(SatelliteChecks, WarningsInCounterOrder) {
  SatelliteCounts counts;
  counts.counters[15] = 2;
  counts.counters[0] = 7;
  counts.counters[12] = 1;
  const auto warnings = satellite_warnings(counts);
  ASSERT_EQ(warnings.size(), 3u);
  EXPECT_EQ(warnings[0].count, 7u);
  EXPECT_EQ(warnings[0].summary, "satellite(s) with PRN 0");
  EXPECT_EQ(warnings[1].count, 1u);
  EXPECT_EQ(warnings[1].summary, "satellite(s) with SNR \xe2\x89\x88 99 dB-Hz");
  EXPECT_EQ(warnings[2].summary, "satellite report(s) with duplicate (constellation, PRN) pairs");
  EXPECT_TRUE(satellite_warnings(SatelliteCounts{}).empty());
}

TEST(SatelliteChecks, RecordsHaveExactTexts) {
  auto& cap = testing::LogCapture::start();
  const std::vector<SatelliteReport> reports = {
      report({sat(kGps, 0), sat(kGlonass, 70, 91.0f, -2.0f, 99.2f)}),
      report({sat(kGps, 0), sat(kGalileo, 0), sat(kQzss, 3, -1.0f, std::nullopt, 61.0f)}),
  };
  log_satellite_checks(reports);
  const std::vector<std::string> expected = {
      "3 satellite(s) with PRN 0 - PRN 0 is reserved and undefined in NMEA",
      "1 GLONASS satellite(s) with PRN 65-96 - looks like an un-stripped NMEA 4.11 GNGSV system-PRN (slot + 64); "
      "expected format is slot numbers 1-32 - subtract 64 before reporting",
      "1 satellite(s) with negative elevation - below the horizon; valid NMEA elevation range is "
      "[0\xc2\xb0, 90\xc2\xb0]",
      "1 satellite(s) with elevation > 90\xc2\xb0 - above the zenith; valid NMEA elevation range is "
      "[0\xc2\xb0, 90\xc2\xb0]",
      "1 satellite(s) with azimuth outside [0\xc2\xb0, 360\xc2\xb0) - azimuth must be in [0\xc2\xb0, 360\xc2\xb0) "
      "per NMEA",
      "1 satellite(s) with SNR \xe2\x89\x88 99 dB-Hz - common firmware sentinel for unavailable signal strength; omit "
      "the SNR field when no measurement is available",
      "1 satellite(s) with SNR > 60 dB-Hz - above the physical limit for civil GNSS receivers; check for sentinel "
      "values or unit errors",
  };
  ASSERT_EQ(cap.records.size(), expected.size());
  for (std::size_t i = 0; i < expected.size(); ++i) {
    EXPECT_EQ(cap.records[i].message, expected[i]) << i;
    EXPECT_EQ(cap.records[i].level, log::Level::Warn);
    EXPECT_EQ(cap.records[i].target, "quillrun_sdk::builder");
  }
}

TEST(SatelliteChecks, RemainingTexts) {
  auto& cap = testing::LogCapture::start();
  const std::vector<SatelliteReport> reports = {
      report({sat(kGps, 33), sat(kGps, 65), sat(kGlonass, 33), sat(kGalileo, 40), sat(kBeiDou, 64), sat(kNavIc, 15),
              sat(kQzss, 11, std::nullopt, std::nullopt, -0.5f), sat(kQzss, 11)}),
  };
  log_satellite_checks(reports);
  const std::vector<std::string> expected = {
      "1 GPS satellite(s) with PRN 33-64 - this range is reserved for SBAS (WAAS, EGNOS, MSAS, GAGAN) per NMEA; if "
      "these are SBAS satellites, tag them with the GPS constellation (SBAS is treated as a GPS PRN range in the "
      "data model)",
      "1 GPS satellite(s) with PRN > 64 - outside the valid NMEA GPS/SBAS range (1-64); check the source data",
      "1 GLONASS satellite(s) with PRN outside 1-32 - not in the valid range (1-32) or GNGSV offset range (65-96); "
      "check the source data",
      "1 Galileo satellite(s) with PRN > 36 - outside the valid range (E01-E36)",
      "1 BeiDou satellite(s) with PRN > 63 - outside the valid range (C01-C63)",
      "1 NavIC satellite(s) with PRN > 14 - outside the valid range (I01-I14)",
      "2 QZSS satellite(s) with PRN > 10 - outside the valid range (J01-J10)",
      "1 satellite(s) with negative SNR - SNR must be >= 0 dB-Hz",
      "1 satellite report(s) with duplicate (constellation, PRN) pairs - each satellite should appear at most once "
      "per report",
  };
  ASSERT_EQ(cap.records.size(), expected.size());
  for (std::size_t i = 0; i < expected.size(); ++i) EXPECT_EQ(cap.records[i].message, expected[i]) << i;
}

TEST(SatelliteChecks, NothingLoggedWhenWarnIsOff) {
  auto& cap = testing::LogCapture::start(log::LevelFilter::Error);
  const std::vector<SatelliteReport> reports = {report({sat(kGps, 0)})};
  log_satellite_checks(reports);
  EXPECT_TRUE(cap.records.empty());
}

TEST(SatelliteChecks, SentinelTestIsSinglePrecision) {
  EXPECT_TRUE(snr_is_no_data_sentinel(98.6f));
  EXPECT_TRUE(snr_is_no_data_sentinel(99.4f));
  EXPECT_FALSE(snr_is_no_data_sentinel(98.5f));
  EXPECT_FALSE(snr_is_no_data_sentinel(99.5f));
  EXPECT_FALSE(snr_is_no_data_sentinel(kNaN));
}

}  // namespace
}  // namespace quillrun
