// A process forks while its other threads read and write through the core:
// each child reads, writes and starts threads of its own, and the parent's
// threads go on getting what they would alone. The whole run happens in a
// child of the test, and every fork's child ends itself with an alarm, so a
// hang fails the test instead of stopping it.

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <mutex>
#include <random>
#include <span>
#include <thread>
#include <vector>

#include "base/thread_pool.hpp"
#include "quillrun/reader.hpp"
#include "quillrun/writer.hpp"
#include "support/trace_samples.hpp"

namespace quillrun {
namespace {

using testing::at;

constexpr int kForks = 12;
constexpr unsigned kChildSeconds = 10;
constexpr unsigned kRunSeconds = 120;

// Enough satellite rows (12 per point) for a column's chunks to be shared
// among threads.
NavFileData satellite_trace(std::int64_t points) {
  NavFileData trace;
  for (std::int64_t i = 0; i < points; ++i) {
    NavPoint point;
    point.lat = 48.0 + static_cast<double>(i) * 1e-6;
    point.lon = 11.0 - static_cast<double>(i) * 1e-6;
    point.times = Timestamps::both(at(i * 100'000), at(i * 100'000 + 17));
    SatelliteReport report;
    report.times = point.times;
    for (std::uint32_t s = 0; s < 12; ++s)
      report.tracked.push_back(Satellite{static_cast<std::uint8_t>(s % 4), s + 1, s < 9,
                                         static_cast<float>((i + s) % 90), static_cast<float>((i * s) % 360),
                                         std::nullopt});
    point.satellites = std::move(report);
    trace.points.push_back(std::move(point));
  }
  return trace;
}

[[nodiscard]] bool same(std::span<const std::uint8_t> a, std::span<const std::uint8_t> b) {
  return std::equal(a.begin(), a.end(), b.begin(), b.end());
}

// A fork's child: its own threads start, and it writes and reads what the
// parent does. The exit status names what failed.
[[nodiscard]] int child_work(const NavFileData& trace, std::span<const std::uint8_t> image) {
  // Each run waits for the others, so that all four are running at once.
  std::atomic<std::size_t> runs{0};
  pool::run_shared(
      [&] {
        ++runs;
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
        while (runs < 4 && std::chrono::steady_clock::now() < deadline) std::this_thread::yield();
      },
      3);
  if (runs != 4) return 10;
  const auto written = write_nav_image(trace);
  if (!written || !same(written->bytes(), image)) return 11;
  const auto read = read_nav_file(image);
  if (!read || read->points != trace.points) return 12;
  return 0;
}

// Two threads write and read in a loop while the main thread forks at
// random moments. Returns the exit status of the run.
[[nodiscard]] int fork_while_threads_read_and_write() {
  const NavFileData trace = satellite_trace(6000);
  const auto first = write_nav_file(trace);
  if (!first) return 1;
  const std::vector<std::uint8_t>& image = *first;

  // Held by a worker everywhere but inside the core, and by the main thread
  // across fork(): at a fork every worker is inside a read or write (or
  // waiting to go on), where the core's own fork handling is what counts.
  // It also keeps the sanitizer's allocator, which GCC 12's runtime does not
  // lock for a fork, out of use by other threads at that moment.
  std::mutex outside;
  std::atomic<bool> stop{false};
  std::atomic<int> started{0};
  std::atomic<int> rounds{0};
  std::atomic<int> wrong{0};
  std::vector<std::jthread> workers;
  for (int w = 0; w < 2; ++w) {
    workers.emplace_back([&] {
      std::unique_lock lock(outside);
      ++started;
      while (!stop) {
        lock.unlock();
        const auto written = write_nav_image(trace);
        lock.lock();
        if (!written || !same(written->bytes(), image)) ++wrong;
        lock.unlock();
        const auto read = read_nav_file(image);
        lock.lock();
        if (!read || read->points != trace.points) ++wrong;
        ++rounds;
      }
    });
  }

  // A thread still starting may be inside the allocator.
  while (started < 2) std::this_thread::yield();

  int failures = 0;
  std::mt19937 rng(7);
  for (int k = 0; k < kForks && failures == 0; ++k) {
    std::this_thread::sleep_for(std::chrono::microseconds(rng() % 5000));
    pid_t child = -1;
    {
      const std::lock_guard quiet(outside);
      child = fork();
    }
    if (child == 0) {
      alarm(kChildSeconds);
      _exit(child_work(trace, image));
    }
    int status = 0;
    if (child < 0 || waitpid(child, &status, 0) != child) {
      std::fprintf(stderr, "fork %d: no child to wait for\n", k);
      ++failures;
    } else if (WIFSIGNALED(status)) {
      std::fprintf(stderr, "fork %d: the child ended by signal %d%s\n", k, WTERMSIG(status),
                   WTERMSIG(status) == SIGALRM ? " (it hung)" : "");
      ++failures;
    } else if (WEXITSTATUS(status) != 0) {
      std::fprintf(stderr, "fork %d: the child failed with status %d\n", k, WEXITSTATUS(status));
      ++failures;
    }
  }
  stop = true;
  workers.clear();
  if (wrong != 0) std::fprintf(stderr, "the parent's threads got %d wrong results\n", wrong.load());
  if (rounds == 0) std::fprintf(stderr, "the parent's threads made no round\n");
  return failures == 0 && wrong == 0 && rounds > 0 ? 0 : 2;
}

TEST(Fork, ChildrenOfAProcessWhoseThreadsReadAndWriteDoBothAndStartThreads) {
  const pid_t run = fork();
  ASSERT_GE(run, 0);
  if (run == 0) {
    alarm(kRunSeconds);
    _exit(fork_while_threads_read_and_write());
  }
  int status = 0;
  ASSERT_EQ(waitpid(run, &status, 0), run);
  ASSERT_TRUE(WIFEXITED(status)) << "the run ended by signal " << WTERMSIG(status);
  EXPECT_EQ(WEXITSTATUS(status), 0);
}

}  // namespace
}  // namespace quillrun
