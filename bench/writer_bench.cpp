// Writes a large trace: 1,000,000 nav points at 10 Hz, each holding a
// satellite report of 12 satellites. Reports the write's throughput against
// the raw size of the columns it stores, and, as a yardstick, the same
// columns compressed by zlib at level 6 alone (no shuffle, no HDF5). Run on a
// Release build:
//   cmake -S . -B build/bench -G Ninja -DCMAKE_BUILD_TYPE=Release -DQR_BUILD_BENCH=ON
//   cmake --build build/bench --target writer_bench && build/bench/bench/writer_bench

#include <zlib.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <vector>

#include "bench_trace.hpp"
#include "quillrun/writer.hpp"

namespace {

using namespace quillrun;
using namespace quillrun::bench;

constexpr int kRuns = 3;

}  // namespace

int main() {
  std::printf("building %zu nav points with %zu satellites each...\n", kPoints, kSatellites);
  const NavFileData trace = make_trace();
  const auto columns = gather_columns(trace);
  std::size_t raw = 0;
  for (const auto& column : columns) raw += column.size();

  std::vector<double> write_times;
  std::size_t image_size = 0;
  for (int run = 0; run < kRuns; ++run) {
    const auto start = Clock::now();
    auto image = write_nav_file(trace);
    write_times.push_back(seconds_since(start));
    if (!image) {
      std::fprintf(stderr, "write failed: %s\n", image.error().message().c_str());
      return 1;
    }
    image_size = image->size();
  }

  std::vector<double> zlib_times;
  std::size_t zlib_size = 0;
  for (int run = 0; run < kRuns; ++run) {
    zlib_size = 0;
    const auto start = Clock::now();
    for (const auto& column : columns) {
      uLongf length = compressBound(static_cast<uLong>(column.size()));
      std::vector<Bytef> out(length);
      if (compress2(out.data(), &length, column.data(), static_cast<uLong>(column.size()), 6) != Z_OK) {
        std::fprintf(stderr, "zlib failed\n");
        return 1;
      }
      zlib_size += length;
    }
    zlib_times.push_back(seconds_since(start));
  }

  const double write_best = *std::min_element(write_times.begin(), write_times.end());
  const double zlib_best = *std::min_element(zlib_times.begin(), zlib_times.end());
  std::printf("raw columns:            %9.1f MiB (%zu columns)\n", mib(raw), columns.size());
  std::printf("write_nav_file:         %9.3f s best of %d, %7.1f MiB/s of raw columns, image %7.1f MiB (%.1f%% of raw)\n",
              write_best, kRuns, mib(raw) / write_best, mib(image_size),
              100.0 * static_cast<double>(image_size) / static_cast<double>(raw));
  std::printf("zlib level 6 alone:     %9.3f s best of %d, %7.1f MiB/s of raw columns, output %7.1f MiB (%.1f%% of raw)\n",
              zlib_best, kRuns, mib(raw) / zlib_best, mib(zlib_size),
              100.0 * static_cast<double>(zlib_size) / static_cast<double>(raw));
  std::printf("write time / zlib time: %9.2f\n", write_best / zlib_best);
  return 0;
}
