#pragma once
// Worker threads for work that touches no HDF5 and no Python, and does not
// log (the sink may need Python's lock, which a fork holds while it waits for
// the read or write these threads serve): as many as the process may run on,
// at most 8, the calling thread counted among them. They are started by the
// call that needs them and joined before it returns, so that between calls
// the process has only its own threads (a fork then finds none of ours, and
// no state of theirs).

#include <cstddef>
#include <functional>
#include <memory>

namespace quillrun::pool {

inline constexpr std::size_t kMaxThreads = 8;

// The threads a parallel step may use, the caller's included: the CPUs the
// process may run on (sched_getaffinity), at most kMaxThreads, at most the
// limit set below.
[[nodiscard]] std::size_t thread_count() noexcept;

// Caps thread_count() (0 lifts the cap). Output never depends on it; tests
// and benchmarks use it to compare one thread with many.
void limit_threads(std::size_t threads) noexcept;

// The threads of one whole operation on the thread that makes it: while it
// lives there, run_shared hands each step to the threads an earlier step
// started, and starts more only when a step wants more. They end with it.
// Without one, each run_shared starts and ends threads of its own, and ends
// only once every thread it started has been scheduled.
class Crew {
 public:
  Crew() noexcept;
  ~Crew();
  Crew(const Crew&) = delete;
  Crew& operator=(const Crew&) = delete;

 private:
  friend void run_shared(const std::function<void()>& task, std::size_t helpers);
  class Team;

  Crew* outer_;
  std::unique_ptr<Team> team_;  // made by the first step that wants threads
};

// Runs `task` on the calling thread and on up to `helpers` other threads at
// once, and returns when every run that started has returned; a run that had
// not started by then never starts, and a helper that the system refuses to
// start leaves its share to the others. Each run must share out the work
// itself and return when none is left; a run on a helper must not throw.
void run_shared(const std::function<void()>& task, std::size_t helpers);

}  // namespace quillrun::pool
