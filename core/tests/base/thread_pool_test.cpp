// The threads of an operation: its steps share them, a step started from
// inside another gets threads of its own, and all end with the operation.

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstddef>
#include <filesystem>
#include <functional>
#include <mutex>
#include <set>
#include <thread>

#include "base/thread_pool.hpp"

namespace quillrun::pool {
namespace {

std::size_t threads_of_this_process() {
  std::size_t count = 0;
  for ([[maybe_unused]] const auto& task : std::filesystem::directory_iterator("/proc/self/task")) ++count;
  return count;
}

// Waits (a while at most) until `ready` holds.
void await(const std::function<bool()>& ready) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (!ready() && std::chrono::steady_clock::now() < deadline) std::this_thread::yield();
}

// A step of three runs at once, `nested` run on the calling thread while the
// helpers' runs still wait; the threads it ran on.
std::set<std::thread::id> step(const std::function<void()>& nested = [] {}) {
  const std::thread::id caller = std::this_thread::get_id();
  std::mutex mutex;
  std::set<std::thread::id> threads;
  std::atomic<int> started{0};
  std::atomic<bool> through{false};
  run_shared(
      [&] {
        {
          const std::lock_guard lock(mutex);
          threads.insert(std::this_thread::get_id());
        }
        ++started;
        await([&] { return started == 3; });
        if (std::this_thread::get_id() == caller) {
          nested();
          through = true;
        }
        await([&] { return through.load(); });
      },
      2);
  return threads;
}

TEST(Crew, StepsShareItsThreadsAStepInsideAnotherHasItsOwnAndAllEndWithIt) {
  const std::size_t before = threads_of_this_process();
  {
    const Crew crew;
    const std::set<std::thread::id> first = step();
    EXPECT_EQ(first.size(), 3U);
    EXPECT_EQ(step(), first);
    std::set<std::thread::id> inner;
    EXPECT_EQ(step([&] { inner = step(); }), first);
    EXPECT_EQ(inner.size(), 3U);
    for (const std::thread::id id : inner) {
      if (id != std::this_thread::get_id()) {
        EXPECT_EQ(first.count(id), 0U);
      }
    }
  }
  EXPECT_EQ(threads_of_this_process(), before);
}

}  // namespace
}  // namespace quillrun::pool
