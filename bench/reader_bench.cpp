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
#include <chrono>
#include <cstdio>
#include <vector>

#include "bench_trace.hpp"
#include "quillrun/reader.hpp"
#include "quillrun/writer.hpp"

namespace {

using namespace quillrun;
using namespace quillrun::bench;

constexpr int kRuns = 5;

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
