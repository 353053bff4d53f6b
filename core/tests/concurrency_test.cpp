// Reads and writes from several threads at once, as callers that let go of
// the GIL make them: the library as the project builds it is not
// thread-safe, so the core's lock is what keeps them apart.

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "quillrun/reader.hpp"
#include "quillrun/writer.hpp"
#include "trace_samples.hpp"

namespace quillrun {
namespace {

TEST(Concurrency, ThreadsWritingAndReadingAtOnceGetWhatOneThreadGets) {
  const NavFileData trace = testing::rich_trace();
  const auto image = write_nav_file(trace);
  ASSERT_TRUE(image.has_value());
  // The trace holds NaNs: what one thread reads back is the measure.
  const auto expected = read_nav_file(*image);
  ASSERT_TRUE(expected.has_value());
  std::atomic<int> mismatches{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&] {
      for (int round = 0; round < 20; ++round) {
        const auto written = write_nav_file(trace);
        const auto read = read_nav_file(*image);
        if (!written || *written != *image || !read || read->points.size() != expected->points.size() ||
            read->meta != expected->meta)
          ++mismatches;
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(mismatches.load(), 0);
}

}  // namespace
}  // namespace quillrun
