#pragma once
// The core's one pool of worker threads, for work that touches no HDF5 and
// no Python: as many threads as the process may run on, at most 8, the
// calling thread counted among them. Made on first use; its threads live as
// long as the process.

#include <cstddef>
#include <functional>

namespace quillrun::pool {

inline constexpr std::size_t kMaxThreads = 8;

// The threads a parallel step may use, the caller's included: the CPUs the
// process may run on (sched_getaffinity), at most kMaxThreads, at most the
// limit set below.
[[nodiscard]] std::size_t thread_count() noexcept;

// Caps thread_count() (0 lifts the cap). Output never depends on it; tests
// and benchmarks use it to compare one thread with many.
void limit_threads(std::size_t threads) noexcept;

// Runs `task` on the calling thread and on up to `helpers` pool threads at
// once, and returns when every run that started has returned; a run that had
// not started by then never starts. Each run must share out the work itself
// and return when none is left; a run on a pool thread must not throw.
void run_shared(const std::function<void()>& task, std::size_t helpers);

}  // namespace quillrun::pool
