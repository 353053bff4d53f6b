#pragma once
// Worker threads for work that touches no HDF5 and no Python: as many as the
// process may run on, at most 8, the calling thread counted among them. They
// are started by the call that needs them and joined before it returns, so
// that between calls the process has only its own threads (a fork then finds
// none of ours, and no pool state that a thread missing in the child holds).

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

// Runs `task` on the calling thread and on up to `helpers` threads started
// for it, and returns when every run has returned and its thread has ended.
// A helper that the system refuses to start leaves its share to the others,
// so each run must share out the work itself and return when none is left;
// a run on a helper must not throw.
void run_shared(const std::function<void()>& task, std::size_t helpers);

}  // namespace quillrun::pool
