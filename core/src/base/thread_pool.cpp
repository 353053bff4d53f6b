#include "base/thread_pool.hpp"

#include <sched.h>

#include <algorithm>
#include <atomic>
#include <system_error>
#include <thread>
#include <vector>

namespace quillrun::pool {
namespace {

std::atomic<std::size_t> g_limit{0};

[[nodiscard]] std::size_t usable_cpus() noexcept {
  cpu_set_t set;
  CPU_ZERO(&set);
  if (sched_getaffinity(0, sizeof(set), &set) != 0) return 1;
  const int count = CPU_COUNT(&set);
  return count > 0 ? static_cast<std::size_t>(count) : 1;
}

}  // namespace

std::size_t thread_count() noexcept {
  const std::size_t count = std::min(usable_cpus(), kMaxThreads);
  const std::size_t limit = g_limit.load(std::memory_order_relaxed);
  return limit == 0 ? count : std::min(count, limit);
}

void limit_threads(std::size_t threads) noexcept { g_limit.store(threads, std::memory_order_relaxed); }

void run_shared(const std::function<void()>& task, std::size_t helpers) {
  helpers = std::min(helpers, kMaxThreads - 1);
  // Destroyed before the caller's frame, even when the caller's own run
  // throws: the helpers' runs refer to it, so they are joined first.
  std::vector<std::jthread> threads;
  threads.reserve(helpers);
  for (std::size_t i = 0; i < helpers; ++i) {
    try {
      threads.emplace_back([&task] { task(); });
    } catch (const std::system_error&) {
      break;  // out of threads: the runs already started do the work
    }
  }
  task();
}

}  // namespace quillrun::pool
