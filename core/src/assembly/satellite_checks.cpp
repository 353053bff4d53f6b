#include "assembly/satellite_checks.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <optional>
#include <string>

#include "quillrun/codes.hpp"
#include "quillrun/log.hpp"

namespace quillrun {
namespace {

enum Counter : std::size_t {
  kPrnZero,
  kGpsSbasRange,
  kGpsAbove64,
  kGlonassNmeaOffset,
  kGlonassOutside,
  kGalileoAbove36,
  kBeiDouAbove63,
  kNavIcAbove14,
  kQzssAbove10,
  kNegativeElevation,
  kElevationAbove90,
  kAzimuthOutside,
  kSnrSentinel,
  kSnrAbove60,
  kNegativeSnr,
  kDuplicateReport,
};

struct CounterText {
  std::string_view summary;
  std::string_view hint;
};

constexpr std::array<CounterText, kSatelliteCounterCount> kCounterTexts = {{
    {"satellite(s) with PRN 0", "PRN 0 is reserved and undefined in NMEA"},
    {"GPS satellite(s) with PRN 33-64",
     "this range is reserved for SBAS (WAAS, EGNOS, MSAS, GAGAN) per NMEA; if these are SBAS satellites, tag them "
     "with the GPS constellation (SBAS is treated as a GPS PRN range in the data model)"},
    {"GPS satellite(s) with PRN > 64", "outside the valid NMEA GPS/SBAS range (1-64); check the source data"},
    {"GLONASS satellite(s) with PRN 65-96",
     "looks like an un-stripped NMEA 4.11 GNGSV system-PRN (slot + 64); expected format is slot numbers 1-32 - "
     "subtract 64 before reporting"},
    {"GLONASS satellite(s) with PRN outside 1-32",
     "not in the valid range (1-32) or GNGSV offset range (65-96); check the source data"},
    {"Galileo satellite(s) with PRN > 36", "outside the valid range (E01-E36)"},
    {"BeiDou satellite(s) with PRN > 63", "outside the valid range (C01-C63)"},
    {"NavIC satellite(s) with PRN > 14", "outside the valid range (I01-I14)"},
    {"QZSS satellite(s) with PRN > 10", "outside the valid range (J01-J10)"},
    {"satellite(s) with negative elevation", "below the horizon; valid NMEA elevation range is [0\u00b0, 90\u00b0]"},
    {"satellite(s) with elevation > 90\u00b0", "above the zenith; valid NMEA elevation range is [0\u00b0, 90\u00b0]"},
    {"satellite(s) with azimuth outside [0\u00b0, 360\u00b0)", "azimuth must be in [0\u00b0, 360\u00b0) per NMEA"},
    {"satellite(s) with SNR \u2248 99 dB-Hz",
     "common firmware sentinel for unavailable signal strength; omit the SNR field when no measurement is "
     "available"},
    {"satellite(s) with SNR > 60 dB-Hz",
     "above the physical limit for civil GNSS receivers; check for sentinel values or unit errors"},
    {"satellite(s) with negative SNR", "SNR must be >= 0 dB-Hz"},
    {"satellite report(s) with duplicate (constellation, PRN) pairs",
     "each satellite should appear at most once per report"},
}};

// Which PRN-range counter a satellite falls under, if any.
std::optional<Counter> prn_range_counter(std::uint8_t constellation, std::uint32_t prn) noexcept {
  if (!is_known_constellation(constellation)) return std::nullopt;
  switch (static_cast<Constellation>(constellation)) {
    case Constellation::Gps:
      if (prn >= 65) return kGpsAbove64;
      if (prn >= 33) return kGpsSbasRange;
      return std::nullopt;
    case Constellation::Glonass:
      if (prn >= 65 && prn <= 96) return kGlonassNmeaOffset;
      if (prn >= 33) return kGlonassOutside;
      return std::nullopt;
    case Constellation::Galileo: return prn > 36 ? std::optional(kGalileoAbove36) : std::nullopt;
    case Constellation::BeiDou: return prn > 63 ? std::optional(kBeiDouAbove63) : std::nullopt;
    case Constellation::NavIc: return prn > 14 ? std::optional(kNavIcAbove14) : std::nullopt;
    case Constellation::Qzss: return prn > 10 ? std::optional(kQzssAbove10) : std::nullopt;
  }
  return std::nullopt;
}

bool has_repeated_satellite(const std::vector<Satellite>& tracked, std::vector<std::uint64_t>& keys) {
  if (tracked.size() < 2) return false;
  // Usual PRNs of known constellations: one bit each.
  std::array<std::uint64_t, kConstellationCount> seen{};
  bool unusual = false;
  for (const Satellite& s : tracked) {
    if (!is_known_constellation(s.constellation) || s.prn >= 64) {
      unusual = true;
      continue;
    }
    const std::uint64_t bit = std::uint64_t{1} << s.prn;
    if ((seen[s.constellation] & bit) != 0) return true;
    seen[s.constellation] |= bit;
  }
  if (!unusual) return false;
  keys.clear();
  for (const Satellite& s : tracked) keys.push_back((std::uint64_t{s.constellation} << 32) | s.prn);
  std::sort(keys.begin(), keys.end());
  return std::adjacent_find(keys.begin(), keys.end()) != keys.end();
}

// Saturates rather than wraps: a wrapped count would understate the fault.
void bump(std::uint32_t& counter) noexcept {
  if (counter != std::numeric_limits<std::uint32_t>::max()) ++counter;
}

}  // namespace

bool snr_is_no_data_sentinel(float snr) noexcept { return std::fabs(snr - 99.0f) < 0.5f; }

SatelliteCounts count_satellite_faults(std::span<const SatelliteReport> reports) {
  SatelliteCounts counts;
  auto& c = counts.counters;
  std::vector<std::uint64_t> keys;
  for (const SatelliteReport& report : reports) {
    if (has_repeated_satellite(report.tracked, keys)) bump(c[kDuplicateReport]);
    for (const Satellite& s : report.tracked) {
      if (s.prn == 0) {
        bump(c[kPrnZero]);
        continue;
      }
      if (const auto counter = prn_range_counter(s.constellation, s.prn)) bump(c[*counter]);
      // IEEE comparisons: NaN is neither below nor above a bound.
      if (s.elevation) {
        if (*s.elevation < 0.0f) {
          bump(c[kNegativeElevation]);
        } else if (*s.elevation > 90.0f) {
          bump(c[kElevationAbove90]);
        }
      }
      if (s.azimuth && !(*s.azimuth >= 0.0f && *s.azimuth < 360.0f)) bump(c[kAzimuthOutside]);
      if (s.snr) {
        if (*s.snr < 0.0f) {
          bump(c[kNegativeSnr]);
        } else if (snr_is_no_data_sentinel(*s.snr)) {
          bump(c[kSnrSentinel]);
        } else if (*s.snr > 60.0f) {
          bump(c[kSnrAbove60]);
        }
      }
    }
  }
  return counts;
}

std::vector<SatelliteWarning> satellite_warnings(const SatelliteCounts& counts) {
  std::vector<SatelliteWarning> warnings;
  for (std::size_t i = 0; i < kSatelliteCounterCount; ++i) {
    if (counts.counters[i] != 0)
      warnings.push_back(SatelliteWarning{kCounterTexts[i].summary, kCounterTexts[i].hint, counts.counters[i]});
  }
  return warnings;
}

void log_satellite_checks(std::span<const SatelliteReport> reports) {
  if (!log::level_admitted(log::Level::Warn)) return;
  for (const SatelliteWarning& w : satellite_warnings(count_satellite_faults(reports))) {
    QR_WARN(log::targets::builder,
            std::to_string(w.count) + ' ' + std::string(w.summary) + " - " + std::string(w.hint));
  }
}

}  // namespace quillrun
