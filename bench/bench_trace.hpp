#pragma once
// What the writer and reader benchmarks share: the large trace they store and
// the columns the file keeps of it, as raw bytes for the zlib yardstick.

#include <bit>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <random>
#include <vector>

#include "quillrun/instant.hpp"
#include "codec/layout.hpp"
#include "quillrun/trace.hpp"

namespace quillrun::bench {

using Clock = std::chrono::steady_clock;

inline constexpr std::size_t kPoints = 1'000'000;
inline constexpr std::size_t kSatellites = 12;
inline constexpr std::int64_t kStepUs = 100'000;

inline Instant when(std::int64_t micros) { return *instant_from_us(micros); }

// Values as receivers give them: positions drifting by small steps, host
// times a steady lead plus jitter, whole-degree angles and whole dB-Hz.
inline NavFileData make_trace() {
  std::mt19937_64 rng(42);
  std::normal_distribution<double> step(0.0, 1e-5);
  std::uniform_int_distribution<std::int64_t> jitter(-3'000, 3'000);
  std::uniform_int_distribution<int> elevation(5, 89);
  std::uniform_int_distribution<int> azimuth(0, 359);
  std::uniform_int_distribution<int> snr(18, 48);
  const std::int64_t t0 = us(*make_instant(2024, 5, 1, 8, 0, 0));

  NavFileData trace;
  trace.points.reserve(kPoints);
  double lat = 48.0;
  double lon = 11.0;
  for (std::size_t i = 0; i < kPoints; ++i) {
    const std::int64_t gps = t0 + static_cast<std::int64_t>(i) * kStepUs;
    const std::int64_t host = gps + 18'000'000 + jitter(rng);
    lat += step(rng);
    lon += step(rng);
    NavPoint p;
    p.lat = lat;
    p.lon = lon;
    p.times = Timestamps::both(when(gps), when(host));
    p.heading = static_cast<double>(i % 3600) / 10.0;
    p.speed_mps = 12.5;
    if (i % 10 != 0) p.eph_m = 3.0;
    SatelliteReport report;
    report.times = p.times;
    report.tracked.reserve(kSatellites);
    for (std::size_t s = 0; s < kSatellites; ++s) {
      Satellite sat;
      sat.constellation = static_cast<std::uint8_t>(s % 4);
      sat.prn = static_cast<std::uint32_t>(s + 1);
      sat.in_fix = s < 9;
      sat.elevation = static_cast<float>(elevation(rng));
      sat.azimuth = static_cast<float>(azimuth(rng));
      if (s != 11) sat.snr = static_cast<float>(snr(rng));
      report.tracked.push_back(sat);
    }
    p.satellites = std::move(report);
    trace.points.push_back(std::move(p));
  }
  return trace;
}

template <class Cells>
void append(std::vector<std::vector<std::uint8_t>>& columns, const Cells& cells) {
  using T = typename Cells::value_type;
  const auto* bytes = reinterpret_cast<const std::uint8_t*>(cells.data());
  columns.emplace_back(bytes, bytes + cells.size() * sizeof(T));
}

// The columns the writer stores, as contiguous byte vectors.
inline std::vector<std::vector<std::uint8_t>> gather_columns(const NavFileData& trace) {
  std::vector<std::int64_t> time;
  std::vector<std::uint64_t> gps;
  std::vector<std::uint64_t> sys;
  std::vector<double> lat;
  std::vector<double> lon;
  std::vector<double> heading;
  std::vector<double> speed;
  std::vector<double> eph;
  layout::sat_reports::Cells r;
  layout::tracked_sats::Cells s;
  const double nan64 = std::bit_cast<double>(std::uint64_t{0x7FF8000000000000});
  const float nan32 = std::bit_cast<float>(std::uint32_t{0x7FC00000});
  for (std::size_t i = 0; i < trace.points.size(); ++i) {
    const NavPoint& p = trace.points[i];
    time.push_back(us(p.times.first_time()));
    gps.push_back(std::bit_cast<std::uint64_t>(us(*p.times.gps_time())));
    sys.push_back(std::bit_cast<std::uint64_t>(us(*p.times.sys_time())));
    lat.push_back(p.lat);
    lon.push_back(p.lon);
    heading.push_back(p.heading.value_or(nan64));
    speed.push_back(p.speed_mps.value_or(nan64));
    eph.push_back(p.eph_m.value_or(nan64));
    const std::uint64_t row = r.nav_point_idx.size();
    r.nav_point_idx.push_back(i);
    r.gps_time_us.push_back(std::bit_cast<std::uint64_t>(us(*p.satellites->times.gps_time())));
    r.sys_time_us.push_back(std::bit_cast<std::uint64_t>(us(*p.satellites->times.sys_time())));
    for (const Satellite& sat : p.satellites->tracked) {
      s.sat_report_idx.push_back(row);
      s.constellation.push_back(sat.constellation);
      s.prn.push_back(sat.prn);
      s.in_fix.push_back(sat.in_fix ? 1 : 0);
      s.elevation.push_back(sat.elevation.value_or(nan32));
      s.azimuth.push_back(sat.azimuth.value_or(nan32));
      s.snr.push_back(sat.snr.value_or(nan32));
    }
  }
  std::vector<std::vector<std::uint8_t>> columns;
  append(columns, time);
  append(columns, gps);
  append(columns, sys);
  append(columns, lat);
  append(columns, lon);
  append(columns, heading);
  append(columns, speed);
  append(columns, eph);
  append(columns, r.nav_point_idx);
  append(columns, r.gps_time_us);
  append(columns, r.sys_time_us);
  append(columns, s.sat_report_idx);
  append(columns, s.constellation);
  append(columns, s.prn);
  append(columns, s.in_fix);
  append(columns, s.elevation);
  append(columns, s.azimuth);
  append(columns, s.snr);
  return columns;
}

inline double seconds_since(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

inline double mib(std::size_t bytes) { return static_cast<double>(bytes) / (1024.0 * 1024.0); }

}  // namespace quillrun::bench
