#include "base/thread_pool.hpp"

#include <sched.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <deque>
#include <exception>
#include <mutex>
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

// One call of run_shared: how many of its runs are queued or running.
struct Share {
  const std::function<void()>* task = nullptr;
  std::size_t queued = 0;
  std::size_t running = 0;
};

class Pool {
 public:
  explicit Pool(std::size_t workers) {
    threads_.reserve(workers);
    for (std::size_t i = 0; i < workers; ++i) threads_.emplace_back([this] { work(); });
  }
  Pool(const Pool&) = delete;
  Pool& operator=(const Pool&) = delete;

  [[nodiscard]] std::size_t workers() const noexcept { return threads_.size(); }

  void run(const std::function<void()>& task, std::size_t helpers) {
    Share share{&task, 0, 0};
    {
      const std::lock_guard lock(mutex_);
      for (std::size_t i = 0; i < helpers; ++i) queue_.push_back(&share);
      share.queued = helpers;
    }
    if (helpers > 0) wake_.notify_all();
    // The runs on pool threads refer to the caller's frame: they are waited
    // for even when the caller's own run throws.
    std::exception_ptr thrown;
    try {
      task();
    } catch (...) {
      thrown = std::current_exception();
    }
    std::unique_lock lock(mutex_);
    if (share.queued > 0) {
      queue_.erase(std::remove(queue_.begin(), queue_.end(), &share), queue_.end());
      share.queued = 0;
    }
    done_.wait(lock, [&] { return share.running == 0; });
    if (thrown) std::rethrow_exception(thrown);
  }

 private:
  void work() {
    std::unique_lock lock(mutex_);
    for (;;) {
      wake_.wait(lock, [this] { return !queue_.empty(); });
      Share* share = queue_.front();
      queue_.pop_front();
      --share->queued;
      ++share->running;
      lock.unlock();
      (*share->task)();
      lock.lock();
      if (--share->running == 0) done_.notify_all();
    }
  }

  std::mutex mutex_;
  std::condition_variable wake_;
  std::condition_variable done_;
  std::deque<Share*> queue_;
  std::vector<std::thread> threads_;
};

// Never destroyed: its threads wait on it until the process ends, and no
// exit should have to join them.
Pool& shared_pool() {
  static Pool* const pool = new Pool(std::min(usable_cpus(), kMaxThreads) - 1);
  return *pool;
}

}  // namespace

std::size_t thread_count() noexcept {
  const std::size_t count = std::min(usable_cpus(), kMaxThreads);
  const std::size_t limit = g_limit.load(std::memory_order_relaxed);
  return limit == 0 ? count : std::min(count, limit);
}

void limit_threads(std::size_t threads) noexcept { g_limit.store(threads, std::memory_order_relaxed); }

void run_shared(const std::function<void()>& task, std::size_t helpers) {
  Pool& pool = shared_pool();
  pool.run(task, std::min(helpers, pool.workers()));
}

}  // namespace quillrun::pool
