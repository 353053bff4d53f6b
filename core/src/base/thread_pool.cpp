#include "base/thread_pool.hpp"

#include <sched.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <exception>
#include <mutex>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

namespace quillrun::pool {
namespace {

std::atomic<std::size_t> g_limit{0};

// The crew of the operation this thread is running, if any.
thread_local Crew* t_crew = nullptr;

[[nodiscard]] std::size_t usable_cpus() noexcept {
  cpu_set_t set;
  CPU_ZERO(&set);
  if (sched_getaffinity(0, sizeof(set), &set) != 0) return 1;
  const int count = CPU_COUNT(&set);
  return count > 0 ? static_cast<std::size_t>(count) : 1;
}

}  // namespace

class Crew::Team {
 public:
  Team() = default;
  Team(const Team&) = delete;
  Team& operator=(const Team&) = delete;
  ~Team() {
    {
      const std::lock_guard lock(mutex_);
      stopping_ = true;
    }
    wake_.notify_all();
    threads_.clear();  // joins them
  }

  // Whether a step is running: only the thread that runs the steps asks.
  [[nodiscard]] bool busy() const noexcept { return busy_; }

  void run(const std::function<void()>& task, std::size_t helpers) {
    while (threads_.size() < helpers) {
      try {
        threads_.emplace_back([this] { work(); });
      } catch (const std::system_error&) {
        break;  // out of threads: those already there do the work
      }
    }
    busy_ = true;
    {
      const std::lock_guard lock(mutex_);
      task_ = &task;
      open_ = std::min(helpers, threads_.size());
    }
    wake_.notify_all();
    // The helpers' runs refer to the caller's frame: they are waited for
    // even when the caller's own run throws.
    std::exception_ptr thrown;
    try {
      task();
    } catch (...) {
      thrown = std::current_exception();
    }
    {
      std::unique_lock lock(mutex_);
      // A helper not yet scheduled does not hold the step up.
      open_ = 0;
      done_.wait(lock, [&] { return running_ == 0; });
      task_ = nullptr;
    }
    busy_ = false;
    if (thrown) std::rethrow_exception(thrown);
  }

 private:
  void work() {
    std::unique_lock lock(mutex_);
    for (;;) {
      wake_.wait(lock, [this] { return stopping_ || open_ > 0; });
      if (stopping_) return;
      --open_;
      ++running_;
      const std::function<void()>& task = *task_;
      lock.unlock();
      task();
      lock.lock();
      if (--running_ == 0) done_.notify_all();
    }
  }

  std::mutex mutex_;
  std::condition_variable wake_;
  std::condition_variable done_;
  const std::function<void()>* task_ = nullptr;
  std::size_t open_ = 0;     // runs of the step that helpers may still start
  std::size_t running_ = 0;  // runs of the step on helpers
  bool stopping_ = false;
  bool busy_ = false;
  std::vector<std::jthread> threads_;
};

Crew::Crew() noexcept : outer_(std::exchange(t_crew, this)) {}

Crew::~Crew() {
  t_crew = outer_;
  team_.reset();
}

std::size_t thread_count() noexcept {
  const std::size_t count = std::min(usable_cpus(), kMaxThreads);
  const std::size_t limit = g_limit.load(std::memory_order_relaxed);
  return limit == 0 ? count : std::min(count, limit);
}

void limit_threads(std::size_t threads) noexcept { g_limit.store(threads, std::memory_order_relaxed); }

void run_shared(const std::function<void()>& task, std::size_t helpers) {
  helpers = std::min(helpers, kMaxThreads - 1);
  if (helpers == 0) {
    task();
    return;
  }
  if (Crew* crew = t_crew) {
    if (!crew->team_) crew->team_ = std::make_unique<Crew::Team>();
    if (!crew->team_->busy()) {
      crew->team_->run(task, helpers);
      return;
    }
  }
  // No crew, or a step started from inside another: threads of its own.
  Crew::Team team;
  team.run(task, helpers);
}

}  // namespace quillrun::pool
