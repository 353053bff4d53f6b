// Reads a large trace back: 1,000,000 nav points at 10 Hz, each holding a
// satellite report of 12 satellites, written once by the writer. Reports the
// read's throughput against the raw size of the stored columns, the image
// size and the points per second, and, as a yardstick, zlib's inflate of the
// same columns compressed at level 6 alone (no shuffle, no HDF5, no trace
// built). Run on a
// Release build:
//   cmake -S . -B build/bench -G Ninja -DCMAKE_BUILD_TYPE=Release -DQR_BUILD_BENCH=ON
//   cmake --build build/bench --target reader_bench && build/bench/bench/reader_bench

#include <zlib.h>

#include <algorithm>
#include <bit>
#include <chrono>
#include <cstdio>
#include <random>
#include <vector>

#include "quillrun/reader.hpp"
#include "quillrun/writer.hpp"

namespace {

using namespace quillrun;
using Clock = std::chrono::steady_clock;

constexpr std::size_t kPoints = 1'000'000;
constexpr std::size_t kSatellites = 12;
constexpr std::int64_t kStepUs = 100'000;
constexpr int kRuns = 5;

Instant when(std::int64_t micros) { return *instant_from_us(micros); }

// The writer benchmark's trace: positions drifting by small steps, host times
// a steady lead plus jitter, whole-degree angles and whole dB-Hz.
NavFileData make_trace() {
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

// The columns the file stores, as the writer benchmark gathers them.
template <class T>
void append(std::vector<std::vector<std::uint8_t>>& columns, const std::vector<T>& cells) {
  const auto* bytes = reinterpret_cast<const std::uint8_t*>(cells.data());
  columns.emplace_back(bytes, bytes + cells.size() * sizeof(T));
}

std::vector<std::vector<std::uint8_t>> gather_columns(const NavFileData& trace) {
  std::vector<std::int64_t> time;
  std::vector<std::uint64_t> gps;
  std::vector<std::uint64_t> sys;
  std::vector<double> lat;
  std::vector<double> lon;
  std::vector<double> heading;
  std::vector<double> speed;
  std::vector<double> eph;
  std::vector<std::uint64_t> nav_point_idx;
  std::vector<std::uint64_t> report_gps;
  std::vector<std::uint64_t> report_sys;
  std::vector<std::uint64_t> sat_report_idx;
  std::vector<std::uint8_t> constellation;
  std::vector<std::uint32_t> prn;
  std::vector<std::uint8_t> in_fix;
  std::vector<float> elevation;
  std::vector<float> azimuth;
  std::vector<float> snr;
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
    const std::uint64_t row = nav_point_idx.size();
    nav_point_idx.push_back(i);
    report_gps.push_back(std::bit_cast<std::uint64_t>(us(*p.satellites->times.gps_time())));
    report_sys.push_back(std::bit_cast<std::uint64_t>(us(*p.satellites->times.sys_time())));
    for (const Satellite& s : p.satellites->tracked) {
      sat_report_idx.push_back(row);
      constellation.push_back(s.constellation);
      prn.push_back(s.prn);
      in_fix.push_back(s.in_fix ? 1 : 0);
      elevation.push_back(s.elevation.value_or(nan32));
      azimuth.push_back(s.azimuth.value_or(nan32));
      snr.push_back(s.snr.value_or(nan32));
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
  append(columns, nav_point_idx);
  append(columns, report_gps);
  append(columns, report_sys);
  append(columns, sat_report_idx);
  append(columns, constellation);
  append(columns, prn);
  append(columns, in_fix);
  append(columns, elevation);
  append(columns, azimuth);
  append(columns, snr);
  return columns;
}

double seconds_since(Clock::time_point start) { return std::chrono::duration<double>(Clock::now() - start).count(); }

double mib(std::size_t bytes) { return static_cast<double>(bytes) / (1024.0 * 1024.0); }

}  // namespace

int main() {
  std::printf("building and writing %zu nav points with %zu satellites each...\n", kPoints, kSatellites);
  const NavFileData trace = make_trace();
  const auto image = write_nav_file(trace);
  if (!image) {
    std::fprintf(stderr, "write failed: %s\n", image.error().message().c_str());
    return 1;
  }

  std::vector<double> read_times;
  for (int run = 0; run < kRuns; ++run) {
    const auto start = Clock::now();
    auto parsed = read_nav_file(*image);
    read_times.push_back(seconds_since(start));
    if (!parsed) {
      std::fprintf(stderr, "read failed: %s\n", parsed.error().message().c_str());
      return 1;
    }
    if (run == 0 && (parsed->points.size() != kPoints || parsed->points != trace.points)) {
      std::fprintf(stderr, "read back a different trace\n");
      return 1;
    }
  }

  // The yardstick: inflate of the same columns, compressed alone at level 6
  // in pieces of 64 KiB (the size of a file's 8192-element chunks).
  const auto columns = gather_columns(trace);
  std::size_t raw = 0;
  constexpr std::size_t kChunk = 65'536;
  std::vector<std::vector<Bytef>> packed;
  for (const auto& column : columns) {
    raw += column.size();
    for (std::size_t at = 0; at < column.size(); at += kChunk) {
      const std::size_t n = std::min(kChunk, column.size() - at);
      uLongf length = compressBound(static_cast<uLong>(n));
      std::vector<Bytef> out(length);
      if (compress2(out.data(), &length, column.data() + at, static_cast<uLong>(n), 6) != Z_OK) return 1;
      out.resize(length);
      packed.push_back(std::move(out));
    }
  }
  std::vector<double> inflate_times;
  std::vector<Bytef> out(kChunk);
  for (int run = 0; run < kRuns; ++run) {
    const auto start = Clock::now();
    for (const auto& chunk : packed) {
      uLongf length = kChunk;
      if (uncompress(out.data(), &length, chunk.data(), static_cast<uLong>(chunk.size())) != Z_OK) return 1;
    }
    inflate_times.push_back(seconds_since(start));
  }

  const double best = *std::min_element(read_times.begin(), read_times.end());
  const double inflate_best = *std::min_element(inflate_times.begin(), inflate_times.end());
  std::printf("image:                  %9.1f MiB\n", mib(image->size()));
  std::printf("raw columns:            %9.1f MiB\n", mib(raw));
  std::printf("read_nav_file:          %9.3f s best of %d, %7.1f MiB/s of raw columns, %7.1f MiB/s of image, "
              "%.2f M points/s\n",
              best, kRuns, mib(raw) / best, mib(image->size()) / best,
              static_cast<double>(kPoints) / best / 1e6);
  std::printf("zlib inflate alone:     %9.3f s best of %d, %7.1f MiB/s of raw columns\n", inflate_best, kRuns,
              mib(raw) / inflate_best);
  return 0;
}
