// Reads a large trace back: 1,000,000 nav points at 10 Hz, each holding a
// satellite report of 12 satellites, written once by the writer. Reports the
// read's throughput against the raw size of the stored columns, the image
// size and the points per second, and, as a yardstick, zlib's inflate of the
// same columns compressed at level 6 alone (no shuffle, no HDF5). Run on a
// Release build:
//   cmake -S . -B build/bench -G Ninja -DCMAKE_BUILD_TYPE=Release -DQR_BUILD_BENCH=ON
//   cmake --build build/bench --target reader_bench && build/bench/bench/reader_bench

#include <zlib.h>

#include <algorithm>
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

// Bytes of the columns the file stores for this trace: eight nav point
// columns of 8 bytes, three report columns of 8 bytes, and per satellite
// 8 + 1 + 4 + 1 + 3 x 4 bytes.
constexpr std::size_t raw_column_bytes() {
  return kPoints * (8 * 8 + 3 * 8) + kPoints * kSatellites * (8 + 1 + 4 + 1 + 3 * 4);
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

  // The yardstick: inflate of the same amount of column bytes, compressed
  // alone at level 6, in 8192-element chunks as the file stores them.
  std::vector<std::uint8_t> columns(raw_column_bytes());
  std::mt19937_64 rng(7);
  for (std::size_t i = 0; i < columns.size(); i += 8) {
    const std::uint64_t v = rng() & 0x0000'00FF'0000'00FFULL;  // compressible, like the real columns
    for (std::size_t b = 0; b < 8 && i + b < columns.size(); ++b)
      columns[i + b] = static_cast<std::uint8_t>(v >> (8 * b));
  }
  constexpr std::size_t kChunk = 65'536;
  std::vector<std::vector<Bytef>> packed;
  for (std::size_t at = 0; at < columns.size(); at += kChunk) {
    const std::size_t n = std::min(kChunk, columns.size() - at);
    uLongf length = compressBound(static_cast<uLong>(n));
    std::vector<Bytef> out(length);
    if (compress2(out.data(), &length, columns.data() + at, static_cast<uLong>(n), 6) != Z_OK) return 1;
    out.resize(length);
    packed.push_back(std::move(out));
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
  std::printf("raw columns:            %9.1f MiB\n", mib(raw_column_bytes()));
  std::printf("read_nav_file:          %9.3f s best of %d, %7.1f MiB/s of raw columns, %7.1f MiB/s of image, "
              "%.2f M points/s\n",
              best, kRuns, mib(raw_column_bytes()) / best, mib(image->size()) / best,
              static_cast<double>(kPoints) / best / 1e6);
  std::printf("zlib inflate alone:     %9.3f s best of %d, %7.1f MiB/s of raw columns\n", inflate_best, kRuns,
              mib(raw_column_bytes()) / inflate_best);
  return 0;
}
